// Pathological qil inputs: each shape is parsed at 1 MB and 10 MB, and the time per
// byte must stay flat (linear time). Prints MB/s and the peak resident memory of each
// case, then a table of both sizes with the time ratio, which is about 10 when the
// parser is linear and about 100 when it is quadratic. Each case's peak is its own:
// the kernel's high-water mark is reset before it.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <string>

#include "bench_support.h"
#include "doc/doc_core.h"

enum Shape {
  Shape_LongLine,
  Shape_NestedQuotes,
  Shape_NestedLists,
  Shape_InlineSections,
  Shape_Brackets,
  Shape_OpenQuote,
  Shape_Fences,
  Shape_InvalidBytes,
  Shape_BraceTildeLine,       // one line of "}~": every token unusable
  Shape_TableRowBars,         // one table row with a bar every four bytes
  Shape_SectionLevels24,      // a section of level-2 and level-4 lines
  Shape_RandomBinary,         // random bytes
  Shape_InlineSectionKeys,    // "`` a " repeated: each inline section tries a metadata key
  Shape_SectionDeepLines,     // level-3 lines in a section without a level-2 heading
  Shape_ColumnChainLinks,     // many declared columns, then cells holding links with bars
  Shape_NestedDescriptions,   // link descriptions that never close, each with a list marker
  Shape_Count,
};

static const char *shape_names[Shape_Count] = {
    "long_line",        "nested_quotes",     "nested_lists",    "inline_sections", "brackets",
    "open_quote",       "fences",            "invalid_bytes",   "brace_tilde_line", "table_row_bars",
    "section_levels_2_4", "random_binary",   "inline_section_keys", "section_deep_lines",
    "column_chain_links", "nested_descriptions",
};

static std::string
repeat_to(std::string s, const std::string &unit, size_t n) {
  while (s.size() < n) s += unit;
  return s;
}

static std::string
make_input(int shape, size_t n) {
  std::string s;
  s.reserve(n + 64);
  switch (shape) {
    case Shape_LongLine: return repeat_to("", "word ", n);
    case Shape_NestedQuotes:  // quotations nested by indentation, deeper and deeper
      for (size_t i = 0; s.size() < n; i += 1) s += std::string(i % 4000, ' ') + "> q\n";
      return s;
    case Shape_NestedLists:  // list levels nested by indentation
      for (size_t i = 0; s.size() < n; i += 1) s += std::string(i % 4000, ' ') + ". item\n";
      return s;
    case Shape_InlineSections: return repeat_to("", "`` ", n);  // opened inside one line, never closed
    case Shape_Brackets: return repeat_to("", "[#1 \\[ [*2] [x] ] | ", n);
    case Shape_OpenQuote: return repeat_to("Title\n  text \"", "still quoted ", n);  // unterminated at the end
    case Shape_Fences: return repeat_to("", "```\n~{ ` \n", n);  // code fences and raw html openers
    case Shape_InvalidBytes: return repeat_to("", std::string("\xc3\xa9\x00\x80\xff", 5), n);
    case Shape_BraceTildeLine: return repeat_to("", "}~", n);
    case Shape_TableRowBars: return repeat_to("|---|\n", "| a ", n);
    case Shape_SectionLevels24: return repeat_to("``\n", "    a\n        b\n", n);
    case Shape_RandomBinary: {
      u64 x = 88172645463325252ull;  // xorshift: the same bytes every run
      s.resize(n);
      for (size_t i = 0; i < n; i += 1) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        s[i] = (char)(x >> 24);
      }
      return s;
    }
    case Shape_InlineSectionKeys: return repeat_to("", "`` a ", n);
    case Shape_SectionDeepLines: return repeat_to("``\n", "      a\n", n);
    case Shape_ColumnChainLinks: return repeat_to(repeat_to("", "|---", n / 4) + "\n", "| \"u://x\"(|) ", n);
    case Shape_NestedDescriptions: return repeat_to("x ", "\"u://x\"(a. ", n);
  }
  return s;
}

//~ Peak memory of one case

// The kernel's high-water mark of resident memory is reset before each case, so
// every case reports its own peak rather than the largest so far.
static void
peak_rss_reset(void) {
  if (FILE *f = fopen("/proc/self/clear_refs", "w")) {
    fputs("5", f);
    fclose(f);
  }
}

static double
peak_rss_mib(void) {
  double kib = -1;
  if (FILE *f = fopen("/proc/self/status", "r")) {
    char line[256];
    while (fgets(line, sizeof line, f)) {
      if (strncmp(line, "VmHWM:", 6) == 0) kib = atof(line + 6);
    }
    fclose(f);
  }
  return kib < 0 ? bench_peak_rss_mib() : kib / 1024.0;
}

static double
cpu_seconds(void) {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

struct CaseResult {
  size_t bytes;
  double seconds;  // CPU time of one parse
  double peak_mib;
  double arena_per_byte;  // tokens and tree, in bytes per input byte
};
static CaseResult results[Shape_Count][2];

//~ Benchmark

static void
BM_Pathological(benchmark::State &state) {
  int shape = (int)state.range(0);
  int size_index = (int)state.range(1);
  size_t n = size_index ? (10u << 20) : (1u << 20);
  peak_rss_reset();
  std::string input = make_input(shape, n);
  Arena *arena = arena_create_sized(GB(8), MB(1));
  StrView src = str_make((u8 *)input.data(), input.size());
  // One untimed pass first: the timed passes then reuse committed pages, so the
  // figures compare parsing work rather than the first touch of fresh memory.
  u64 base = arena_pos(arena);
  doc_parse(arena, str_lit("p.qil"), src, doc_tokenize(arena, src), 0);
  double arena_bytes = (double)(arena_pos(arena) - base);
  arena_pop_to(arena, base);
  double cpu = 0;
  u64 passes = 0;
  for (auto _ : state) {
    u64 pos = arena_pos(arena);
    double t0 = cpu_seconds();
    DocParseResult r = doc_parse(arena, str_lit("p.qil"), src, doc_tokenize(arena, src), 0);
    benchmark::DoNotOptimize(r.root);
    cpu += cpu_seconds() - t0;
    passes += 1;
    arena_pop_to(arena, pos);
  }
  CaseResult *out = &results[shape][size_index];
  out->bytes = input.size();
  out->seconds = passes ? cpu / (double)passes : 0;
  out->peak_mib = peak_rss_mib();
  out->arena_per_byte = arena_bytes / (double)input.size();
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)input.size());
  state.counters["peak_MiB"] = out->peak_mib;
  state.counters["arena_B_per_B"] = out->arena_per_byte;
  state.SetLabel(shape_names[shape]);
  arena_release(arena);
}

static void
pathological_args(benchmark::internal::Benchmark *b) {
  for (int shape = 0; shape < Shape_Count; shape += 1) {
    b->Args({shape, 0});
    b->Args({shape, 1});
  }
}
BENCHMARK(BM_Pathological)->Apply(pathological_args)->Unit(benchmark::kMillisecond)->MinTime(0.2);

//~ Summary

static void
print_summary(void) {
  printf("\n%-22s %10s %10s %8s %10s %10s %8s  %s\n", "shape", "1MB MB/s", "10MB MB/s", "ratio", "1MB MiB", "10MB MiB",
         "B/byte", "10 MB vs 1 MB");
  for (int shape = 0; shape < Shape_Count; shape += 1) {
    CaseResult *a = &results[shape][0];
    CaseResult *b = &results[shape][1];
    if (!a->bytes || !b->bytes || a->seconds <= 0 || b->seconds <= 0) continue;
    double ratio = b->seconds / a->seconds;
    // Ten times the bytes: linear time gives about 10 (somewhat more once the tree no
    // longer fits in the caches), quadratic about 100.
    const char *verdict = ratio < 30.0 ? "about 10x: linear" : "far more than 10x: superlinear";
    printf("%-22s %10.1f %10.1f %8.1f %10.1f %10.1f %8.1f  %s\n", shape_names[shape], a->bytes / a->seconds / 1e6,
           b->bytes / b->seconds / 1e6, ratio, a->peak_mib, b->peak_mib, b->arena_per_byte, verdict);
  }
}

int
main(int argc, char **argv) {
  bench_process_init();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  print_summary();
  printf("peak memory: %.1f MiB\n", bench_peak_rss_mib());
  return 0;
}
