#include "test_support.h"

#include <atomic>
#include <map>
#include <set>

#include "os/os_core.h"
#include "os/os_thread.h"

TEST(Waits, PastDeadlineReturnsAtOnceAndTimeoutsReportFalse) {
  MutexRecord *m = mutex_create();
  CondVarRecord *cv = condvar_create();
  RwLockRecord *l = rwlock_create();
  mutex_lock(m);
  EXPECT_FALSE(condvar_wait_mutex(cv, m, 0));
  EXPECT_FALSE(condvar_wait_mutex(cv, m, os_now_micros()));
  EXPECT_FALSE(condvar_wait_mutex(cv, m, os_now_micros() + 2000)) << "nobody wakes it";
  mutex_unlock(m);
  rwlock_lock_shared(l);
  EXPECT_FALSE(condvar_wait_rwlock(cv, l, os_now_micros() + 2000));
  rwlock_unlock_shared(l);
}

struct WakeState {
  MutexRecord *m;
  CondVarRecord *cv;
  RwLockRecord *l;
  std::atomic<int> flag;
  std::atomic<int> done;
};

static void
waker_entry(u64 param) {
  WakeState *st = (WakeState *)param;
  thread_set_name("[test] waker");
  os_sleep_ms(20);
  rwlock_lock_exclusive(st->l);
  mutex_lock(st->m);
  st->flag = 1;
  mutex_unlock(st->m);
  rwlock_unlock_exclusive(st->l);
  condvar_wake_all(st->cv);
  st->done = 1;
}

TEST(Waits, UnlimitedWaitsSleepUntilWoken) {
  WakeState st = {mutex_create(), condvar_create(), rwlock_create(), {0}, {0}};
  thread_start((u64)&st, waker_entry);
  // The shared read/write lock is given up while waiting, or the waker could not write.
  rwlock_lock_shared(st.l);
  while (!st.flag) EXPECT_TRUE(condvar_wait_rwlock(st.cv, st.l, DEADLINE_NONE));
  rwlock_unlock_shared(st.l);
  while (!st.done) os_sleep_ms(1);

  WakeState st2 = {mutex_create(), condvar_create(), rwlock_create(), {0}, {0}};
  thread_start((u64)&st2, waker_entry);
  // The waker sleeps first, so the wait below really sleeps and must be woken, not time out.
  u64 start = os_now_micros();
  int waits = 0;
  bool woken = true;
  mutex_lock(st2.m);
  while (!st2.flag && woken) {
    woken = condvar_wait_mutex(st2.cv, st2.m, start + 5000000);
    waits += 1;
  }
  mutex_unlock(st2.m);
  EXPECT_TRUE(woken) << "the wake came before the deadline";
  EXPECT_GE(waits, 1) << "the flag was not yet set when the wait began";
  EXPECT_LT(os_now_micros() - start, 5000000u);
  while (!st2.done) os_sleep_ms(1);
}

TEST(Rings, CopiesWrapAroundTheEnd) {
  u8 ring[64];
  memset(ring, '.', sizeof(ring));
  const char *src = "0123456789";
  EXPECT_EQ(ring_write(ring, 64, 60, src, 10), 10u);
  EXPECT_EQ(std::string((char *)ring + 60, 4), "0123");
  EXPECT_EQ(std::string((char *)ring, 6), "456789");
  EXPECT_EQ(ring[6], '.');
  char out[10];
  EXPECT_EQ(ring_read(ring, 64, 124, out, 10), 10u) << "positions are taken modulo the ring size";
  EXPECT_EQ(std::string(out, 10), "0123456789");
  u8 big[100];
  EXPECT_EQ(ring_write(ring, 64, 0, big, 100), 64u);
}

// The table's promise: one stripe lock guards each slot (every hash of a slot picks the
// same stripe), and stripes share neither locks nor arenas, so threads that hold
// different stripes never meet.
struct TestNode {
  TestNode *next;
  u64 key;
};

struct TableRun {
  StripedTable *table;
  std::atomic<int> *finished;
  u64 thread_index;
};

static void
table_filler(u64 param) {
  TableRun *run = (TableRun *)param;
  StripedTable *t = run->table;
  for (u64 i = 0; i < 5000; i += 1) {
    u64 key = run->thread_index * 5000 + i;
    u64 h = key * 0x9e3779b97f4a7c15ull;
    Stripe *stripe = striped_table_stripe(t, h);
    StripedSlot *slot = striped_table_slot(t, h);
    rwlock_lock_exclusive(stripe->rwlock);
    TestNode *node = push_struct(stripe_arena(stripe), TestNode);
    node->key = key;
    SLLQueuePush(*(TestNode **)&slot->first, *(TestNode **)&slot->last, node);
    rwlock_unlock_exclusive(stripe->rwlock);
  }
  run->finished->fetch_add(1);
}

TEST(StripedTables, OneLockPerSlotAndStripesShareNothing) {
  Arena *a = test_arena();
  StripedTable t = striped_table_create(a, 1024, 64, StripeLock_RwLock, MB(8), KB(4));
  //- every hash of one slot picks one stripe; every stripe is used
  std::map<StripedSlot *, Stripe *> owner;
  std::set<Stripe *> used;
  for (u64 k = 0; k < 200000; k += 1) {
    u64 h = k * 0x9e3779b97f4a7c15ull + (k >> 3);
    Stripe *s = striped_table_stripe(&t, h);
    auto it = owner.emplace(striped_table_slot(&t, h), s).first;
    ASSERT_EQ(it->second, s) << "hash " << h << " reaches its slot through another stripe";
    used.insert(s);
  }
  EXPECT_EQ(used.size(), 64u);
  std::set<void *> locks, arenas;
  for (u64 s = 0; s < t.stripe_count; s += 1) {
    locks.insert(t.stripes[s].rwlock);
    arenas.insert(t.stripes[s].arena);
  }
  EXPECT_EQ(locks.size(), 64u) << "each stripe has a lock of its own";
  EXPECT_EQ(arenas, std::set<void *>{nullptr}) << "no stripe maps memory before its first use";
  EXPECT_EQ(locks.count(nullptr), 0u);

  //- four threads fill slots under their stripes' locks: nothing lost, nothing misplaced
  std::atomic<int> finished{0};
  TableRun runs[4];
  for (u64 i = 0; i < 4; i += 1) {
    runs[i] = {&t, &finished, i};
    thread_start((u64)&runs[i], table_filler);
  }
  while (finished < 4) os_sleep_ms(1);
  std::set<u64> keys;
  for (u64 s = 0; s < t.slot_count; s += 1) {
    for (TestNode *n = (TestNode *)t.slots[s].first; n; n = n->next) {
      keys.insert(n->key);
      EXPECT_EQ(striped_table_slot(&t, n->key * 0x9e3779b97f4a7c15ull), &t.slots[s]);
    }
  }
  EXPECT_EQ(keys.size(), 20000u);
  arenas.clear();
  for (u64 s = 0; s < t.stripe_count; s += 1) arenas.insert(t.stripes[s].arena);
  EXPECT_EQ(arenas.size(), 64u) << "each stripe has an arena of its own";
  EXPECT_EQ(arenas.count(nullptr), 0u);
}
