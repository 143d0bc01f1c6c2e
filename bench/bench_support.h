// Shared set-up for the benchmarks: a main-thread context and the peak resident size.
#pragma once

#include <sys/resource.h>

#include "base/base_arena.h"
#include "driver/driver_fs.h"
#include "os/os_core.h"

// The process's one file service, for the benchmarks that load files themselves.
inline FileService *
bench_process_init(void) {
  static ThreadContext ctx = thread_context_create();
  ctx.is_main_thread = 1;
  thread_context_set(&ctx);
  os_process_init();
  return fs_start();
}

inline double
bench_peak_rss_mib(void) {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return (double)ru.ru_maxrss / 1024.0;
}
