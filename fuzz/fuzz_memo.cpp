// libFuzzer target: the build memo's reader. Whatever a damaged or hostile memo holds, it
// is read in linear time or refused, and every entry it yields points into its text.
#include <stdlib.h>

#include "driver/driver_build.h"
#include "fuzz_support.h"

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  u64 pos = arena_pos(fuzz_arena);
  // The inputs' key is all zeros, so that the header the fuzzer keeps gets past it.
  StrView head = str_lit("qilsite memo 1 00000000000000000000000000000000\n");
  u8 *bytes = push_array_no_zero(fuzz_arena, u8, head.length + size);
  MemoryCopy(bytes, head.data, head.length);
  if (size) MemoryCopy(bytes + head.length, data, size);
  StrView text = str_make(bytes, head.length + size);
  Site *site = push_struct(fuzz_arena, Site);
  site->arena = fuzz_arena;
  bool ok = driver_memo_parse(site, text);
  site->memo.valid = ok;
  u64 count = 0;
  for (MemoEntry *e = site->memo.first; e; e = e->next_in_order) {
    count += 1;
    if (e->text.data < text.data || e->text.data + e->text.length > text.data + text.length) abort();
    if (ok && driver_memo_find(site, e->source) == 0) abort();
  }
  if (ok && count > text.length) abort();
  arena_pop_to(fuzz_arena, pos);
  return 0;
}
