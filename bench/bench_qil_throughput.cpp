// qil lexing + parsing throughput on generated realistic documents, beside md4c's
// and cmark's parsers on Markdown documents of the same size and shape.
#include <benchmark/benchmark.h>
#include <cmark.h>
#include <md4c.h>

#include <string>
#include <vector>

#include "bench_support.h"
#include "site_gen.h"
#include "doc/doc_core.h"

//~ Documents: every construct, about 4 KB each (the site benchmarks' generator)

using site_gen::markdown_document;
using site_gen::qil_document;

static std::vector<std::string> qil_docs, md_docs;
static size_t qil_bytes, md_bytes;

static void
make_corpora(void) {
  for (u64 i = 0; i < 256; i += 1) {
    qil_docs.push_back(qil_document(i + 1, 4096));
    md_docs.push_back(markdown_document(i + 1, 4096));
    qil_bytes += qil_docs.back().size();
    md_bytes += md_docs.back().size();
  }
}

//~ Benchmarks

static void
BM_QilLexParse(benchmark::State &state) {
  Arena *arena = arena_create_sized(GB(1), MB(1));
  for (auto _ : state) {
    for (const std::string &doc : qil_docs) {
      u64 pos = arena_pos(arena);
      StrView src = str_make((u8 *)doc.data(), doc.size());
      DocParseOptions options = {str_lit("/site/")};
      DocParseResult r = doc_parse(arena, str_lit("doc.qil"), src, doc_tokenize(arena, src), &options);
      benchmark::DoNotOptimize(r.root);
      arena_pop_to(arena, pos);
    }
  }
  state.SetBytesProcessed((int64_t)(state.iterations() * qil_bytes));
  state.counters["peak_MiB"] = bench_peak_rss_mib();
  arena_release(arena);
}
BENCHMARK(BM_QilLexParse)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// Lexing alone, to tell the two stages apart.
static void
BM_QilLexOnly(benchmark::State &state) {
  Arena *arena = arena_create_sized(GB(1), MB(1));
  for (auto _ : state) {
    for (const std::string &doc : qil_docs) {
      u64 pos = arena_pos(arena);
      DocLexResult r = doc_tokenize(arena, str_make((u8 *)doc.data(), doc.size()));
      benchmark::DoNotOptimize(r.tokens.tokens);
      arena_pop_to(arena, pos);
    }
  }
  state.SetBytesProcessed((int64_t)(state.iterations() * qil_bytes));
  arena_release(arena);
}
BENCHMARK(BM_QilLexOnly)->Unit(benchmark::kMillisecond)->MinTime(1.0);

static int md_enter(MD_BLOCKTYPE, void *, void *) { return 0; }
static int md_leave(MD_BLOCKTYPE, void *, void *) { return 0; }
static int md_enter_span(MD_SPANTYPE, void *, void *) { return 0; }
static int md_leave_span(MD_SPANTYPE, void *, void *) { return 0; }
static int md_text(MD_TEXTTYPE, const MD_CHAR *, MD_SIZE, void *) { return 0; }

static void
BM_Md4cParse(benchmark::State &state) {
  MD_PARSER parser = {};
  parser.flags = MD_DIALECT_GITHUB;
  parser.enter_block = md_enter;
  parser.leave_block = md_leave;
  parser.enter_span = md_enter_span;
  parser.leave_span = md_leave_span;
  parser.text = md_text;
  for (auto _ : state) {
    for (const std::string &doc : md_docs) md_parse(doc.data(), (MD_SIZE)doc.size(), &parser, 0);
  }
  state.SetBytesProcessed((int64_t)(state.iterations() * md_bytes));
}
BENCHMARK(BM_Md4cParse)->Unit(benchmark::kMillisecond)->MinTime(1.0);

static void
BM_CmarkParse(benchmark::State &state) {
  for (auto _ : state) {
    for (const std::string &doc : md_docs) {
      cmark_node *root = cmark_parse_document(doc.data(), doc.size(), CMARK_OPT_DEFAULT);
      benchmark::DoNotOptimize(root);
      cmark_node_free(root);
    }
  }
  state.SetBytesProcessed((int64_t)(state.iterations() * md_bytes));
}
BENCHMARK(BM_CmarkParse)->Unit(benchmark::kMillisecond)->MinTime(1.0);

int
main(int argc, char **argv) {
  bench_process_init();
  make_corpora();
  printf("corpora: %zu qil documents, %zu bytes; %zu Markdown documents, %zu bytes\n", qil_docs.size(), qil_bytes,
         md_docs.size(), md_bytes);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  printf("peak memory: %.1f MiB\n", bench_peak_rss_mib());
  return 0;
}
