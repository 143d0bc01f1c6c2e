// Threads, pooled lock records, timed waits, ring copies and the striped table layout.
#pragma once

#include <pthread.h>

#include "base/base_arena.h"

//~ Records

typedef void ThreadEntry(u64 parameter);

struct ThreadRecord {
  ThreadRecord *next;
  pthread_t handle;
  u32 id;
  u32 started;
  u64 parameter;
  ThreadEntry *entry;
};

struct MutexRecord {
  MutexRecord *next;
  pthread_mutex_t mutex;
};

struct RwLockRecord {
  RwLockRecord *next;
  pthread_rwlock_t lock;
};

// A generation counter under its own mutex lets one condition variable serve
// waiters that hold either a mutex or a shared read/write lock.
struct CondVarRecord {
  CondVarRecord *next;
  pthread_mutex_t mutex;
  pthread_cond_t cond;
  u64 generation;
};

//~ Striped tables

struct StripedSlot {
  void *first;
  void *last;
};

struct Stripe {
  MutexRecord *mutex;    // set for mutex-guarded tables
  RwLockRecord *rwlock;  // set for read/write-locked tables
  CondVarRecord *cv;
  Arena *arena;  // made at its first use (stripe_arena): most stripes of a small run stay empty
  u64 reserve;
  u64 commit;
};

struct StripedTable {
  u64 slot_count;
  StripedSlot *slots;
  u64 stripe_count;
  Stripe *stripes;
};

enum StripeLockKind {
  StripeLock_Mutex,
  StripeLock_RwLock,
};

//~ Functions

void os_thread_pools_init(void);

ThreadRecord *thread_start(u64 parameter, ThreadEntry *entry);

MutexRecord *mutex_create(void);
RwLockRecord *rwlock_create(void);
CondVarRecord *condvar_create(void);

void mutex_lock(MutexRecord *m);
void mutex_unlock(MutexRecord *m);
void rwlock_lock_shared(RwLockRecord *l);
void rwlock_unlock_shared(RwLockRecord *l);
void rwlock_lock_exclusive(RwLockRecord *l);
void rwlock_unlock_exclusive(RwLockRecord *l);

// Deadlines are os_now_micros times; DEADLINE_NONE waits without limit.
// False at once when the deadline is not later than now, false on time-out, true when woken.
bool condvar_wait_mutex(CondVarRecord *cv, MutexRecord *m, u64 deadline);
bool condvar_wait_rwlock(CondVarRecord *cv, RwLockRecord *l, u64 deadline);
void condvar_wake_all(CondVarRecord *cv);

u64 ring_read(const u8 *ring, u64 ring_size, u64 pos, void *dst, u64 count);
u64 ring_write(u8 *ring, u64 ring_size, u64 pos, const void *src, u64 count);

StripedTable striped_table_create(Arena *arena, u64 slot_count, u64 stripe_count, StripeLockKind kind,
                                  u64 stripe_reserve, u64 stripe_commit);
inline StripedSlot *striped_table_slot(StripedTable *t, u64 hash) { return &t->slots[hash % t->slot_count]; }
// The stripe's arena, made at its first use; only while the stripe's lock is held exclusively.
Arena *stripe_arena(Stripe *s);
inline Stripe *
striped_table_stripe(StripedTable *t, u64 hash) {
  return &t->stripes[(hash % t->slot_count) % t->stripe_count];
}
