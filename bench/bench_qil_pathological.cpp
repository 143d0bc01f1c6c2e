// Pathological qil inputs: each shape is parsed at two sizes, and the time per byte
// must stay flat (linear time). Prints MB/s for both sizes and their ratio.
#include <benchmark/benchmark.h>

#include <string>

#include "bench_support.h"
#include "doc/doc_core.h"

static std::string
make_input(int shape, size_t n) {
  std::string s;
  s.reserve(n + 64);
  switch (shape) {
    case 0:  // one long line of words
      while (s.size() < n) s += "word ";
      break;
    case 1:  // quotations nested by indentation, deeper and deeper
      for (size_t i = 0; s.size() < n; i += 1) s += std::string(i % 4000, ' ') + "> q\n";
      break;
    case 2:  // list levels nested by indentation
      for (size_t i = 0; s.size() < n; i += 1) s += std::string(i % 4000, ' ') + ". item\n";
      break;
    case 3:  // sections opened inside one line, never closed
      while (s.size() < n) s += "`` ";
      break;
    case 4:  // brackets and backslashes
      while (s.size() < n) s += "[#1 \\[ [*2] [x] ] | ";
      break;
    case 5:  // a long unterminated quote at the end
      s = "Title\n  text \"";
      while (s.size() < n) s += "still quoted ";
      break;
    case 6:  // nested code fences and raw html openers
      while (s.size() < n) s += "```\n~{ ` \n";
      break;
    case 7:  // invalid bytes and NULs
      while (s.size() < n) s += std::string("\xc3\xa9\x00\x80\xff", 5);
      break;
  }
  return s;
}

static const char *shape_names[] = {"long_line", "nested_quotes", "nested_lists", "inline_sections",
                                    "brackets",  "open_quote",    "fences",       "invalid_bytes"};

static void
BM_Pathological(benchmark::State &state) {
  int shape = (int)state.range(0);
  size_t n = (size_t)state.range(1);
  std::string input = make_input(shape, n);
  Arena *arena = arena_create_sized(GB(8), MB(1));
  // One untimed pass first: the timed passes then reuse committed pages, so the
  // figures compare parsing work rather than the first touch of fresh memory.
  {
    StrView src = str_make((u8 *)input.data(), input.size());
    doc_parse(arena, str_lit("p.qil"), src, doc_tokenize(arena, src), 0);
    arena_pop_to(arena, 64);
  }
  for (auto _ : state) {
    u64 pos = arena_pos(arena);
    StrView src = str_make((u8 *)input.data(), input.size());
    DocParseResult r = doc_parse(arena, str_lit("p.qil"), src, doc_tokenize(arena, src), 0);
    benchmark::DoNotOptimize(r.root);
    arena_pop_to(arena, pos);
  }
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)input.size());
  state.SetLabel(shape_names[shape]);
  arena_release(arena);
}

static void
pathological_args(benchmark::internal::Benchmark *b) {
  for (int shape = 0; shape < 8; shape += 1) {
    b->Args({shape, 1 << 20});
    b->Args({shape, 10 << 20});
  }
}
BENCHMARK(BM_Pathological)->Apply(pathological_args)->Unit(benchmark::kMillisecond)->MinTime(0.2);

int
main(int argc, char **argv) {
  bench_process_init();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  printf("peak memory: %.1f MiB\n", bench_peak_rss_mib());
  return 0;
}
