#include "test_support.h"

#include <atomic>
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
  mutex_lock(st2.m);
  while (!st2.flag) condvar_wait_mutex(st2.cv, st2.m, DEADLINE_NONE);
  mutex_unlock(st2.m);
  while (!st2.done) os_sleep_ms(1);
  EXPECT_EQ(st2.flag, 1);
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

// A test table of text keys filled with the upgrade pattern: shared search,
// exclusive re-search and insert.
struct TestNode {
  TestNode *next;
  u64 key;
};

struct TableRun {
  StripedTable *table;
  std::atomic<int> *finished;
  std::atomic<u64> *inserted;
  u64 thread_index;
};

static void
table_insert(StripedTable *t, u64 key) {
  u64 h = key * 0x9e3779b97f4a7c15ull;
  Stripe *stripe = striped_table_stripe(t, h);
  StripedSlot *slot = striped_table_slot(t, h);
  rwlock_lock_shared(stripe->rwlock);
  for (TestNode *n = (TestNode *)slot->first; n; n = n->next) {
    if (n->key == key) {
      rwlock_unlock_shared(stripe->rwlock);
      return;
    }
  }
  rwlock_unlock_shared(stripe->rwlock);
  rwlock_lock_exclusive(stripe->rwlock);
  bool present = false;
  for (TestNode *n = (TestNode *)slot->first; n; n = n->next) present = present || n->key == key;
  if (!present) {
    TestNode *node = push_struct(stripe->arena, TestNode);
    node->key = key;
    if (slot->last) ((TestNode *)slot->last)->next = node;
    else slot->first = node;
    slot->last = node;
  }
  rwlock_unlock_exclusive(stripe->rwlock);
}

static void
table_filler(u64 param) {
  TableRun *run = (TableRun *)param;
  // Every thread inserts the same keys, in an order of its own.
  for (u64 i = 0; i < 5000; i += 1) {
    u64 k = (i * (run->thread_index * 2 + 1)) % 5000;
    table_insert(run->table, k);
  }
  run->finished->fetch_add(1);
}

TEST(StripedTables, ConcurrentFillLosesAndDuplicatesNothing) {
  Arena *a = test_arena();
  StripedTable t = striped_table_create(a, 1024, 64, StripeLock_RwLock, MB(8), KB(4));
  std::atomic<int> finished{0};
  std::atomic<u64> inserted{0};
  TableRun runs[4];
  for (u64 i = 0; i < 4; i += 1) {
    runs[i] = {&t, &finished, &inserted, i};
    thread_start((u64)&runs[i], table_filler);
  }
  while (finished < 4) os_sleep_ms(1);
  std::multiset<u64> keys;
  for (u64 s = 0; s < t.slot_count; s += 1) {
    for (TestNode *n = (TestNode *)t.slots[s].first; n; n = n->next) keys.insert(n->key);
  }
  EXPECT_EQ(keys.size(), 5000u);
  std::set<u64> unique(keys.begin(), keys.end());
  EXPECT_EQ(unique.size(), 5000u);
  for (u64 s = 0; s < t.stripe_count; s += 1) EXPECT_NE(t.stripes[s].arena, nullptr);
}
