#include "test_support.h"

TEST(Arena, PushesAlignAndStayInsideTheFirstBlock) {
  Arena *a = arena_create_sized(MB(1), KB(4));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(arena_pos(a), 64u) << "an empty arena starts after its header";
  u8 *p = (u8 *)arena_push(a, 3, 1);
  u8 *q = (u8 *)arena_push(a, 8, 8);
  EXPECT_EQ(p, (u8 *)a + 64);
  EXPECT_EQ((uintptr_t)q % 8, 0u);
  EXPECT_EQ(arena_pos(a), 80u);
  // Memory past the first commit granule is committed on demand.
  u8 *big = (u8 *)arena_push(a, KB(100), 8);
  ASSERT_NE(big, nullptr);
  memset(big, 0xab, KB(100));
  EXPECT_GE(a->committed, arena_pos(a));
  arena_release(a);
}

TEST(Arena, ChainsBlocksPastTheReserveAndPopsBackAcrossThem) {
  Arena *a = arena_create_sized(KB(64), KB(4));
  u64 start = arena_pos(a);
  arena_push(a, KB(40), 8);
  Arena *first = a->current;
  // Too large for the reserve: a block of exactly the request plus the header.
  u8 *huge = (u8 *)arena_push(a, KB(200), 8);
  ASSERT_NE(huge, nullptr);
  Arena *big_block = a->current;
  EXPECT_NE(big_block, first);
  EXPECT_EQ(big_block->reserved, AlignPow2(KB(200) + 64, 4096));
  EXPECT_EQ(big_block->base_pos, first->reserved);
  // The next small push goes to the newest block.
  u8 *small = (u8 *)arena_push(a, 16, 8);
  EXPECT_EQ(a->current, big_block);
  EXPECT_GT(small, huge);
  // A push that does not fit chains a normal-sized block.
  arena_push(a, KB(40), 8);
  EXPECT_NE(a->current, big_block);
  EXPECT_EQ(a->current->prev, big_block);
  u64 before_third = big_block->base_pos + big_block->pos;
  arena_pop_to(a, before_third);
  EXPECT_EQ(a->current, big_block) << "popping into an earlier block releases the newer ones";
  arena_pop_to(a, start + 8);
  EXPECT_EQ(a->current, first);
  EXPECT_EQ(arena_pos(a), start + 8);
  arena_pop_to(a, 0);
  EXPECT_EQ(arena_pos(a), 64u) << "popping to 0 leaves an empty first block";
  arena_release(a);
}

TEST(Arena, PopByAmountAndTempScopes) {
  Arena *a = arena_create_sized(MB(1), KB(4));
  arena_push(a, 100, 1);
  u64 pos = arena_pos(a);
  arena_pop(a, 40);
  EXPECT_EQ(arena_pos(a), pos - 40);
  arena_pop(a, 1000000);
  EXPECT_EQ(arena_pos(a), pos - 40) << "an amount past the position changes nothing";
  ArenaTemp t = temp_begin(a);
  arena_push(a, 5000, 8);
  temp_end(t);
  EXPECT_EQ(arena_pos(a), pos - 40);
  arena_release(a);
}

TEST(Arena, NoChainArenaFailsWhenFull) {
  ArenaParams p = {};
  p.flags = ArenaFlag_NoChain;
  p.reserve_size = KB(8);
  p.commit_size = KB(4);
  Arena *a = arena_create(p);
  EXPECT_NE(arena_push(a, KB(4), 8), nullptr);
  EXPECT_EQ(arena_push(a, KB(8), 8), nullptr);
  EXPECT_EQ(a->current, a);
  arena_release(a);
}

TEST(Arena, CallerMemoryIsUsedAsIs) {
  alignas(64) static u8 buffer[4096];
  ArenaParams p = {};
  p.flags = ArenaFlag_NoChain;
  p.reserve_size = sizeof(buffer);
  p.memory = buffer;
  Arena *a = arena_create(p);
  EXPECT_EQ((u8 *)a, buffer);
  EXPECT_EQ(arena_push(a, 100, 8), buffer + 64);
  EXPECT_EQ(arena_push(a, 8192, 8), nullptr);
  arena_release(a);
}

TEST(ArenaDeathTest, ForwardPopTraps) {
  EXPECT_DEATH(
      {
        Arena *a = arena_create_sized(MB(1), KB(4));
        arena_pop_to(a, 1000);
      },
      "");
}

TEST(Scratch, ConflictsPickTheOtherArena) {
  ThreadContext *ctx = thread_context_get();
  ASSERT_NE(ctx, nullptr);
  ArenaTemp none = scratch_begin(0, 0);
  EXPECT_EQ(none.arena, ctx->scratch[0]);
  scratch_end(none);
  Arena *first = ctx->scratch[0];
  ArenaTemp other = scratch_begin(&first, 1);
  EXPECT_EQ(other.arena, ctx->scratch[1]);
  scratch_end(other);
  Arena *both[2] = {ctx->scratch[1], ctx->scratch[0]};
  ArenaTemp neither = scratch_begin(both, 2);
  EXPECT_EQ(neither.arena, nullptr);
}

TEST(Scratch, ThreadNameIsCutTo64BytesInTheContext) {
  ThreadContext *ctx = thread_context_get();
  u64 pos = arena_pos(ctx->scratch[0]);
  std::string longname(100, 'n');
  thread_set_name("%s-%d", longname.c_str(), 7);
  EXPECT_EQ(ctx->name_length, 64u);
  EXPECT_EQ(std::string((char *)ctx->name, 64), longname.substr(0, 64));
  EXPECT_EQ(arena_pos(ctx->scratch[0]), pos) << "the scratch position is restored";
  char sys[32] = {};
  pthread_getname_np(pthread_self(), sys, sizeof(sys));
  EXPECT_EQ(std::string(sys), longname.substr(0, 15));
  thread_set_name("[Main Thread]");
}
