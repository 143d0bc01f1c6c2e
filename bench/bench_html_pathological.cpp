// Hostile hand-written page shapes: each is checked as the build checks a page
// (tokenize, parse, validate, collect and queue links, write back) at 1 MB and 10 MB.
// Time per byte must stay flat: the summary prints MB/s at both sizes, the ratio of
// the two times (about 10 when linear) and the memory a pass takes.
#include <benchmark/benchmark.h>

#include <map>
#include <string>

#include "bench_support.h"
#include "driver/driver_build.h"
#include "html/html_core.h"

static std::string
make_input(int shape, size_t n) {
  std::string s;
  s.reserve(n + 256);
  s += "<title>t</title>\n";
  switch (shape) {
    case 0: {  // unknown elements, one a line: a finding each
      for (size_t i = 0; s.size() < n; i += 1) {
        std::string name = "blink" + std::to_string(i % 1000);
        s += "<" + name + ">x</" + name + ">\n";
      }
    } break;
    case 1: {  // unknown attributes spread over many lines, duplicated in another case
      for (size_t i = 0; s.size() < n; i += 1) s += "<p foo=1\n bar" + std::to_string(i % 100) + "=\"2\" Foo>x</p>\n";
    } break;
    case 2: {  // one element with every attribute named apart
      s += "<p";
      for (size_t i = 0; s.size() < n; i += 1) s += " a" + std::to_string(i) + "=\"" + std::to_string(i) + "\"";
      s += ">x</p>";
    } break;
    case 3: {  // elements nested deeper and deeper, never closed
      while (s.size() < n) s += "<div>";
    } break;
    case 4: {  // start tags that never end
      while (s.size() < n) s += "<a href=\"x\" <p class=y ";
    } break;
    case 5: {  // random bytes, NULs among them
      u64 x = 0x9e3779b97f4a7c15ull;
      while (s.size() < n) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        s += (char)(x & 0xff);
      }
    } break;
    case 6: {  // web links, one a line: each queued with its line and column
      for (size_t i = 0; s.size() < n; i += 1) {
        s += "<a href=\"https://example.com/" + std::to_string(i) + "\">x</a>\n";
      }
    } break;
    case 7: {  // text with stray "<" and unmatched end tags
      while (s.size() < n) s += "a < b </i> c\n";
    } break;
    case 8: {  // ids, each linked from the page itself, and as many links to ids it lacks
      for (size_t i = 0; s.size() < n; i += 1) {
        std::string k = std::to_string(i);
        s += "<p id=\"n" + k + "\"><a href=\"#n" + k + "\">x</a> <a href=\"#gone" + k + "\">y</a></p>\n";
      }
    } break;
  }
  return s;
}

static const char *shape_names[] = {"unknown_elements", "unknown_attributes", "attributes_on_one", "nested_unclosed",
                                    "unclosed_start_tags", "binary", "web_links", "stray_markup", "fragment_links"};
static const int shape_count = 9;

static void
check_page(Arena *arena, StrView src, int shape) {
  HtmlTokenList tokens = html_tokenize(arena, src);
  HtmlParseResult r = html_parse(arena, src, str_lit("p.html"), tokens, HtmlParse_CheckAll, str_lit("/site/"));
  html_validate(arena, &r);
  html_collect_links(arena, &r);
  // The links stage as the build runs it, with no checker: each web link is placed and dropped.
  static Site *site = push_struct(arena_create_sized(MB(1), KB(64)), Site);
  PageRecord rec = {};
  rec.source = src;
  rec.path = str_lit("p.html");
  driver_queue_page_links(site, arena, &rec, &r);
  // Its fragments under check_fragments: the page's ids read once, then each link looked up.
  if (shape == 8) {
    site->settings.check_fragments = 1;
    driver_ids_forget(site);
    driver_check_page_targets(arena, &r, src, rec.path, str_lit("/site/"), site);
    site->settings.check_fragments = 0;
  }
  StrList out = {};
  html_write(arena, &out, r.root);
  benchmark::DoNotOptimize(out.total_size);
}

static void
BM_HtmlPathological(benchmark::State &state) {
  int shape = (int)state.range(0);
  size_t n = (size_t)state.range(1);
  std::string input = make_input(shape, n);
  StrView src = str_make((u8 *)input.data(), input.size());
  Arena *arena = arena_create_sized(GB(16), MB(1));
  // One untimed pass first: it measures the memory a pass takes, and the timed passes
  // then reuse committed pages.
  u64 start = arena_pos(arena);
  check_page(arena, src, shape);
  double pass_mib = (double)(arena_pos(arena) - start) / (1024.0 * 1024.0);
  arena_pop_to(arena, start);
  for (auto _ : state) {
    check_page(arena, src, shape);
    arena_pop_to(arena, start);
  }
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)input.size());
  state.SetLabel(shape_names[shape]);
  state.counters["pass_MiB"] = pass_mib;
  state.counters["rss_MiB"] = bench_peak_rss_mib();
  arena_release(arena);
}

static void
pathological_args(benchmark::internal::Benchmark *b) {
  for (int shape = 0; shape < shape_count; shape += 1) {
    b->Args({shape, 1 << 20});
    b->Args({shape, 10 << 20});
  }
}
BENCHMARK(BM_HtmlPathological)->Apply(pathological_args)->Unit(benchmark::kMillisecond)->MinTime(0.3);

// Keeps each run's figures for the summary.
struct SummaryReporter : benchmark::ConsoleReporter {
  struct Figures {
    double seconds = 0, mb_per_s = 0, pass_mib = 0, rss_mib = 0;
  };
  std::map<std::string, std::map<int, Figures>> runs;

  void
  ReportRuns(const std::vector<Run> &reports) override {
    benchmark::ConsoleReporter::ReportRuns(reports);
    for (const Run &r : reports) {
      if (r.error_occurred || r.iterations == 0) continue;
      std::string name = r.benchmark_name();
      int mb = name.find("/10485760") != std::string::npos ? 10 : 1;
      Figures f;
      f.seconds = r.real_accumulated_time / (double)r.iterations;
      f.mb_per_s = r.counters.at("bytes_per_second").value / 1e6;
      f.pass_mib = r.counters.at("pass_MiB").value;
      f.rss_mib = r.counters.at("rss_MiB").value;
      runs[r.report_label][mb] = f;
    }
  }
};

int
main(int argc, char **argv) {
  bench_process_init();
  benchmark::Initialize(&argc, argv);
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  printf("\n%-20s %10s %10s %8s %10s %10s %10s  %s\n", "shape", "1MB MB/s", "10MB MB/s", "ratio", "pass 1MB",
         "pass 10MB", "RSS so far", "scaling");
  for (int shape = 0; shape < shape_count; shape += 1) {
    auto it = reporter.runs.find(shape_names[shape]);
    if (it == reporter.runs.end() || !it->second.count(1) || !it->second.count(10)) continue;
    SummaryReporter::Figures a = it->second[1], b = it->second[10];
    double ratio = b.seconds / a.seconds;
    // Inputs are 1 MiB and 10 MiB: linear work gives a ratio near 10, quadratic near 100.
    // A pass over 1 MiB keeps its tens of MiB of nodes mostly in the caches and one over
    // 10 MiB does not, which alone costs up to about half the speed per byte.
    const char *verdict = ratio <= 13.0 ? "linear" : ratio <= 20.0 ? "linear, memory-bound" : "WORSE THAN LINEAR";
    printf("%-20s %10.1f %10.1f %8.2f %8.1fMiB %8.1fMiB %8.1fMiB  %s\n", shape_names[shape],
           a.mb_per_s, b.mb_per_s, ratio, a.pass_mib, b.pass_mib, b.rss_mib, verdict);
  }
  printf("peak memory: %.1f MiB\n", bench_peak_rss_mib());
  return 0;
}
