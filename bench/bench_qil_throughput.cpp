// qil lexing + parsing throughput on generated realistic documents, beside md4c's
// and cmark's parsers on Markdown documents of the same size and shape.
#include <benchmark/benchmark.h>
#include <cmark.h>
#include <md4c.h>

#include <string>
#include <vector>

#include "bench_support.h"
#include "doc/doc_core.h"

//~ A deterministic generator of documents (every construct, about 4 KB each)

struct Lcg {
  u64 state;
  u64 next() {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return state >> 33;
  }
};

static const char *vocabulary[] = {
    "site",   "build",  "page",    "quick",  "parser", "arena",  "thread", "memory", "cache",  "link",
    "table",  "column", "heading", "simple", "static", "server", "engine", "token",  "stream", "layout",
    "render", "output", "source",  "folder", "index",  "check",  "update", "number", "string", "style",
};

static std::string
words(Lcg &r, int n) {
  std::string s;
  for (int i = 0; i < n; i += 1) {
    if (i) s += " ";
    s += vocabulary[r.next() % ArrayCount(vocabulary)];
  }
  return s;
}

static std::string
qil_document(u64 seed, size_t target) {
  Lcg r = {seed};
  std::string d = "``\n  title: " + words(r, 4) + "\n  author: " + words(r, 2) +
                  "\n  creation_date: 2024-03-17\n  category: " + words(r, 1) + "\n  output_path: \"~/website/p" +
                  std::to_string(seed) + ".html\"\n``\n";
  for (int section = 0; d.size() < target; section += 1) {
    d += words(r, 3) + "\n";
    d += "  " + words(r, 6) + " _" + words(r, 1) + "_ and __" + words(r, 1) + "__ with `" + words(r, 2) +
         "` and a link \"https://example.com/" + words(r, 1) + "\"(" + words(r, 2) + ") and an image _\"~/img/" +
         words(r, 1) + ".png\"(left, 50) [x] " + words(r, 5) + "[*1], " + words(r, 8) + "\n";
    d += "  . " + words(r, 5) + "\n  . " + words(r, 4) + "\n    1. " + words(r, 3) + "\n    2. " + words(r, 3) + "\n";
    d += "  > " + words(r, 9) + "\n";
    d += "  |---|---|\n  | " + words(r, 1) + " | " + words(r, 1) + " |\n  | " + words(r, 2) + " | " + words(r, 2) +
         " |\n";
    d += "  ```c\n  int main(void) { return " + std::to_string(section) + "; }\n  ```\n";
    d += "  ~{<span>" + words(r, 2) + "</span>}~\n";
    d += "    " + words(r, 2) + "\n      " + words(r, 12) + " \"./local/" + words(r, 1) + ".html\"\n";
  }
  d += "[*1] " + words(r, 6) + "\n";
  return d;
}

static std::string
markdown_document(u64 seed, size_t target) {
  Lcg r = {seed};
  std::string d = "---\ntitle: " + words(r, 4) + "\nauthor: " + words(r, 2) + "\n---\n\n";
  for (int section = 0; d.size() < target; section += 1) {
    d += "# " + words(r, 3) + "\n\n";
    d += words(r, 6) + " **" + words(r, 1) + "** and *" + words(r, 1) + "* with `" + words(r, 2) +
         "` and a link [" + words(r, 2) + "](https://example.com/" + words(r, 1) + ") and an image ![left](/img/" +
         words(r, 1) + ".png) [x] " + words(r, 5) + "[^1], " + words(r, 8) + "\n\n";
    d += "- " + words(r, 5) + "\n- " + words(r, 4) + "\n  1. " + words(r, 3) + "\n  2. " + words(r, 3) + "\n\n";
    d += "> " + words(r, 9) + "\n\n";
    d += "| " + words(r, 1) + " | " + words(r, 1) + " |\n|---|---|\n| " + words(r, 2) + " | " + words(r, 2) +
         " |\n\n";
    d += "```c\nint main(void) { return " + std::to_string(section) + "; }\n```\n\n";
    d += "<span>" + words(r, 2) + "</span>\n\n";
    d += "## " + words(r, 2) + "\n\n" + words(r, 12) + " [local](./local/" + words(r, 1) + ".html)\n\n";
  }
  d += "[^1]: " + words(r, 6) + "\n";
  return d;
}

//~ Corpora

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
      DocParseOptions options = {str_lit("/site/"), 0};
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
