// Discovers and loads a generated tree of 10,000 files through the build driver's
// file loop (files of an extension no pipeline takes, so only loading is measured).
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "bench_support.h"
#include "driver/driver_build.h"

static std::string tree_root;
static FileService *bench_files;

static void
make_tree(u64 files) {
  char tmpl[] = "/tmp/qilsite-bench-XXXXXX";
  tree_root = mkdtemp(tmpl);
  for (u64 i = 0; i < files; i += 1) {
    std::string folder = tree_root + "/src/d" + std::to_string(i % 50) + "/e" + std::to_string(i % 7);
    std::filesystem::create_directories(folder);
    std::ofstream f(folder + "/page" + std::to_string(i) + ".txt");
    // About 2 KB each, a tenth of them identical.
    std::string body = i % 10 == 0 ? std::string("same content\n") : "file " + std::to_string(i) + "\n";
    for (int k = 0; k < 40; k += 1) body += "line of text for the benchmark tree, padding it out\n";
    f << body;
  }
}

static void
BM_DiscoverAndLoad(benchmark::State &state) {
  u64 loaded = 0;
  for (auto _ : state) {
    state.PauseTiming();
    if (!tree_root.empty()) std::filesystem::remove_all(tree_root);
    make_tree(10000);
    state.ResumeTiming();
    Arena *arena = arena_create_sized(GB(1), KB(64));
    Site *site = push_struct(arena, Site);
    SiteSettings settings = {};
    settings.root = str_from_cstr((tree_root + "/").c_str());
    driver_site_init(site, arena, settings);
    site->file_service = bench_files;
    site->queued = driver_discover(bench_files, arena, str_from_cstr((tree_root + "/src").c_str()));
    loaded += site->queued.node_count;
    driver_process_files(site);
    arena_release(site->pages_arena);
    arena_release(arena);
  }
  state.counters["files/s"] = benchmark::Counter((double)loaded, benchmark::Counter::kIsRate);
  state.counters["peak_MiB"] = bench_peak_rss_mib();
}
BENCHMARK(BM_DiscoverAndLoad)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

int
main(int argc, char **argv) {
  bench_files = bench_process_init();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (!tree_root.empty()) std::filesystem::remove_all(tree_root);
  return 0;
}
