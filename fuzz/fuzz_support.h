// Shared set-up of the fuzz targets: a main-thread context and one arena rewound per input.
#pragma once

#include "base/base_arena.h"
#include "os/os_core.h"

static Arena *fuzz_arena;

extern "C" int
LLVMFuzzerInitialize(int *, char ***) {
  static ThreadContext ctx = thread_context_create();
  ctx.is_main_thread = 1;
  thread_context_set(&ctx);
  os_process_init();
  fuzz_arena = arena_create_sized(GB(4), MB(1));
  return 0;
}
