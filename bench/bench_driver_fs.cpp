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
    DriverRun run = {};
    run.arena = arena_create_sized(GB(1), KB(64));
    run.file_service = bench_files;
    run.files = driver_discover(bench_files, run.arena, str_from_cstr((tree_root + "/src").c_str()));
    loaded += run.files.node_count;
    driver_process_files(&run);
    arena_release(run.arena);
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
