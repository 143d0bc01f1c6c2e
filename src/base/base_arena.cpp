// Arenas over reserved address space, committed as they fill.
#include "base/base_arena.h"

#include <stdarg.h>

#include "base/base_format.h"
#include "base/base_strings.h"
#include "os/os_core.h"

static u64 arena_granule = 4096;
// Set once the system refused a reservation (a limit on address space, as `ulimit -v`
// sets): later arenas reserve little and grow by chaining blocks instead.
static u32 arena_space_tight;

#define ARENA_TIGHT_RESERVE MB(4)

u64
arena_page_granule(void) {
  return arena_granule;
}

void
arena_set_page_granule(u64 granule) {
  arena_granule = granule ? granule : 4096;
}

//~ Arena

Arena *
arena_create(ArenaParams params) {
  u64 g = arena_granule;
  u64 reserve = AlignPow2(Max(params.reserve_size, (u64)ARENA_HEADER_SIZE), g);
  u64 commit = AlignPow2(Max(params.commit_size, (u64)ARENA_HEADER_SIZE), g);
  if (commit > reserve) commit = reserve;
  u8 *base = 0;
  u32 flags = params.flags;
  if (params.memory) {
    // Caller memory: no reservation, all of it is usable at once.
    base = (u8 *)params.memory;
    reserve = params.memory_size ? params.memory_size : params.reserve_size;
    commit = reserve;
    flags |= ArenaFlag_CallerMemory;
  } else {
    //- what was asked, else a small block, else just what is committed at once
    u64 small = Max(commit, (u64)ARENA_TIGHT_RESERVE);
    u64 want = __atomic_load_n(&arena_space_tight, __ATOMIC_RELAXED) ? Min(reserve, small) : reserve;
    base = (u8 *)os_reserve(want);
    if (!base && want > small) {
      __atomic_store_n(&arena_space_tight, 1u, __ATOMIC_RELAXED);
      want = small;
      base = (u8 *)os_reserve(want);
    }
    if (!base && want > commit) {
      want = commit;
      base = (u8 *)os_reserve(want);
    }
    if (!base) return 0;
    reserve = want;
    if (flags & ArenaFlag_LargePages) commit = reserve;
    if (!os_commit(base, commit)) {
      os_release(base, reserve);
      return 0;
    }
  }
  Arena *a = (Arena *)base;
  a->prev = 0;
  a->current = a;
  a->flags = flags;
  a->commit_granularity = (u32)Min(params.commit_size ? params.commit_size : 4096, (u64)0xffffffffu);
  a->reserve_size = params.reserve_size;
  a->base_pos = 0;
  a->pos = ARENA_HEADER_SIZE;
  a->committed = commit;
  a->reserved = reserve;
  return a;
}

Arena *
arena_create_sized(u64 reserve_size, u64 commit_size) {
  ArenaParams p = {};
  p.reserve_size = reserve_size;
  p.commit_size = commit_size;
  return arena_create(p);
}

void *
arena_push(Arena *arena, u64 size, u64 alignment) {
  // An arena the system could not give (no address space left) gives nothing.
  if (!arena) return 0;
  if (alignment == 0) alignment = 1;
  // No block can hold this much, and the sums below would wrap round.
  if (size > ((u64)1 << 62) || alignment > ((u64)1 << 62)) return 0;
  Arena *b = arena->current;
  u64 p = AlignPow2(b->pos, alignment);
  u64 end = p + size;

  //- chain a new block when this one cannot hold the request
  if (end > b->reserved && !(arena->flags & ArenaFlag_NoChain)) {
    ArenaParams np = {};
    np.flags = arena->flags & ~(u32)ArenaFlag_CallerMemory;
    if (size + ARENA_HEADER_SIZE > arena->reserve_size) {
      // Alignments past the header need slack to keep the request fitting.
      u64 slack = alignment > ARENA_HEADER_SIZE ? alignment : 0;
      np.reserve_size = size + ARENA_HEADER_SIZE + slack;
      np.commit_size = size + ARENA_HEADER_SIZE + slack;
    } else {
      np.reserve_size = arena->reserve_size;
      np.commit_size = b->commit_granularity;
    }
    Arena *nb = arena_create(np);
    if (!nb) return 0;
    nb->commit_granularity = b->commit_granularity;
    nb->reserve_size = arena->reserve_size;
    nb->base_pos = b->base_pos + b->reserved;
    nb->prev = b;
    arena->current = nb;
    b = nb;
    p = AlignPow2(b->pos, alignment);
    end = p + size;
  }

  //- commit up to the end of the request
  if (end > b->committed && !(b->flags & ArenaFlag_LargePages)) {
    u64 gran = b->commit_granularity ? b->commit_granularity : 4096;
    u64 want = AlignPow2(end, gran);
    if (want > b->reserved) want = b->reserved;
    if (want > b->committed && os_commit((u8 *)b + b->committed, want - b->committed)) {
      b->committed = want;
    }
  }
  if (b->committed < end) return 0;
  b->pos = end;
  return (u8 *)b + p;
}

void *
arena_push_zero(Arena *arena, u64 size, u64 alignment) {
  void *p = arena_push(arena, size, alignment);
  if (p) memset(p, 0, size);
  return p;
}

u64
arena_pos(Arena *arena) {
  if (!arena) return 0;
  Arena *b = arena->current;
  return b->base_pos + b->pos;
}

void
arena_pop_to(Arena *arena, u64 pos) {
  if (!arena) return;
  u64 q = Max(pos, (u64)ARENA_HEADER_SIZE);
  Arena *b = arena->current;
  while (b->base_pos >= q && b->prev) {
    Arena *prev = b->prev;
    os_release(b, b->reserved);
    b = prev;
  }
  arena->current = b;
  u64 in_block = q - b->base_pos;
  if (in_block > b->pos) Trap();  // popping never moves forward
  b->pos = in_block;
}

void
arena_pop(Arena *arena, u64 amount) {
  u64 now = arena_pos(arena);
  if (amount < now) arena_pop_to(arena, now - amount);
}

void
arena_release(Arena *arena) {
  if (!arena) return;
  Arena *b = arena->current;
  while (b) {
    Arena *prev = b->prev;
    if (!(b->flags & ArenaFlag_CallerMemory)) os_release(b, b->reserved);
    b = prev;
  }
}

ArenaTemp
temp_begin(Arena *arena) {
  ArenaTemp t = {arena, arena ? arena_pos(arena) : 0};
  return t;
}

void
temp_end(ArenaTemp temp) {
  if (temp.arena) arena_pop_to(temp.arena, temp.pos);
}

//~ Thread context

static thread_local ThreadContext *tctx_current;

ThreadContext
thread_context_create(void) {
  ThreadContext ctx = {};
  for (int i = 0; i < 2; i += 1) ctx.scratch[i] = arena_create_sized(GB(8), KB(4));
  return ctx;
}

void
thread_context_release(ThreadContext *ctx) {
  for (int i = 0; i < 2; i += 1) {
    arena_release(ctx->scratch[i]);
    ctx->scratch[i] = 0;
  }
}

void
thread_context_set(ThreadContext *ctx) {
  tctx_current = ctx;
}

ThreadContext *
thread_context_get(void) {
  return tctx_current;
}

ArenaTemp
scratch_begin(Arena **conflicts, u64 count) {
  ArenaTemp t = {};
  ThreadContext *ctx = tctx_current;
  if (!ctx) return t;
  for (int i = 0; i < 2; i += 1) {
    bool taken = false;
    for (u64 j = 0; j < count; j += 1) {
      if (conflicts[j] == ctx->scratch[i]) taken = true;
    }
    if (!taken) return temp_begin(ctx->scratch[i]);
  }
  return t;
}

void
scratch_end(ArenaTemp temp) {
  temp_end(temp);
}

void
thread_set_name(const char *fmt, ...) {
  ThreadContext *ctx = tctx_current;
  if (!ctx) return;
  ArenaTemp scratch = temp_begin(ctx->scratch[0]);
  va_list args;
  va_start(args, fmt);
  StrView name = str_pushfv(scratch.arena, fmt, args);
  va_end(args);
  ctx->name_length = Min(name.length, (u64)sizeof(ctx->name));
  memcpy(ctx->name, name.data, ctx->name_length);
  os_thread_set_system_name(name);
  scratch_end(scratch);
}
