// Arenas, temporary positions and the per-thread context with its scratch arenas.
#pragma once

#include "base/base_core.h"

//~ Types

enum ArenaFlags : u32 {
  ArenaFlag_NoChain = 1 << 0,
  ArenaFlag_LargePages = 1 << 1,
  // Internal: the first block lives in caller memory and is not unmapped.
  ArenaFlag_CallerMemory = 1u << 31,
};

#define ARENA_HEADER_SIZE 64

// Every block begins with this header; the arena handle is the first block.
struct Arena {
  Arena *prev;
  Arena *current;
  u32 flags;
  u32 commit_granularity;
  u64 reserve_size;
  u64 base_pos;
  u64 pos;
  u64 committed;
  u64 reserved;
};
static_assert(sizeof(Arena) == ARENA_HEADER_SIZE, "arena header is 64 bytes");

struct ArenaParams {
  u32 flags;
  u64 reserve_size;
  u64 commit_size;
  void *memory;  // optional caller memory of reserve_size bytes
  u64 memory_size;
};

struct ArenaTemp {
  Arena *arena;
  u64 pos;
};

struct ThreadContext {
  Arena *scratch[2];
  u8 name[64];
  u64 name_length;
  u32 is_main_thread;
};

//~ Arena

Arena *arena_create(ArenaParams params);
Arena *arena_create_sized(u64 reserve_size, u64 commit_size);
void *arena_push(Arena *arena, u64 size, u64 alignment);
void *arena_push_zero(Arena *arena, u64 size, u64 alignment);
u64 arena_pos(Arena *arena);
void arena_pop_to(Arena *arena, u64 pos);
void arena_pop(Arena *arena, u64 amount);
void arena_release(Arena *arena);
u64 arena_page_granule(void);
void arena_set_page_granule(u64 granule);

#define push_array(arena, T, n) ((T *)arena_push_zero((arena), sizeof(T) * (n), alignof(T)))
#define push_array_no_zero(arena, T, n) ((T *)arena_push((arena), sizeof(T) * (n), alignof(T)))
#define push_struct(arena, T) push_array(arena, T, 1)

ArenaTemp temp_begin(Arena *arena);
void temp_end(ArenaTemp temp);

//~ Thread context

ThreadContext thread_context_create(void);
void thread_context_release(ThreadContext *ctx);
void thread_context_set(ThreadContext *ctx);
ThreadContext *thread_context_get(void);

ArenaTemp scratch_begin(Arena **conflicts, u64 count);
void scratch_end(ArenaTemp temp);

// Formats the name; keeps its first 64 bytes and hands the whole name to the system.
void thread_set_name(const char *fmt, ...);
