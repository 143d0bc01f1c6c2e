// Threads and synchronisation over pthreads. Records come from process-wide pools
// and are never given back.
#include "os/os_thread.h"

#include <errno.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "os/os_core.h"

//~ Pools

struct RecordPool {
  pthread_rwlock_t lock;
  Arena *arena;
  void *free_list;
};

static RecordPool pool_threads, pool_mutexes, pool_rwlocks, pool_condvars;
static pthread_once_t pools_once = PTHREAD_ONCE_INIT;

static void
os_thread_pools_setup(void) {
  RecordPool *pools[4] = {&pool_threads, &pool_mutexes, &pool_rwlocks, &pool_condvars};
  for (RecordPool *p : pools) {
    pthread_rwlock_init(&p->lock, 0);
    p->arena = arena_create_sized(KB(256), KB(4));
    p->free_list = 0;
  }
}

void
os_thread_pools_init(void) {
  pthread_once(&pools_once, os_thread_pools_setup);
}

// Every record begins with its free-list link.
static void *
pool_take(RecordPool *pool, u64 size) {
  os_thread_pools_init();
  pthread_rwlock_wrlock(&pool->lock);
  void *r = pool->free_list;
  if (r) pool->free_list = *(void **)r;
  else r = arena_push(pool->arena, size, 64);
  pthread_rwlock_unlock(&pool->lock);
  if (r) memset(r, 0, size);
  return r;
}

//~ Threads

static void *
thread_start_routine(void *arg) {
  ThreadRecord *rec = (ThreadRecord *)arg;
  rec->id = (u32)syscall(SYS_gettid);
  ThreadContext ctx = thread_context_create();
  thread_context_set(&ctx);
  rec->entry(rec->parameter);
  thread_context_set(0);
  thread_context_release(&ctx);
  return 0;
}

ThreadRecord *
thread_start(u64 parameter, ThreadEntry *entry) {
  ThreadRecord *rec = (ThreadRecord *)pool_take(&pool_threads, sizeof(ThreadRecord));
  if (!rec) return 0;
  rec->parameter = parameter;
  rec->entry = entry;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (pthread_create(&rec->handle, &attr, thread_start_routine, rec) == 0) rec->started = 1;
  pthread_attr_destroy(&attr);
  return rec;
}

//~ Locks

MutexRecord *
mutex_create(void) {
  MutexRecord *m = (MutexRecord *)pool_take(&pool_mutexes, sizeof(MutexRecord));
  pthread_mutex_init(&m->mutex, 0);
  return m;
}

RwLockRecord *
rwlock_create(void) {
  RwLockRecord *l = (RwLockRecord *)pool_take(&pool_rwlocks, sizeof(RwLockRecord));
  pthread_rwlock_init(&l->lock, 0);
  return l;
}

CondVarRecord *
condvar_create(void) {
  CondVarRecord *cv = (CondVarRecord *)pool_take(&pool_condvars, sizeof(CondVarRecord));
  pthread_mutex_init(&cv->mutex, 0);
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(&cv->cond, &attr);
  pthread_condattr_destroy(&attr);
  return cv;
}

void mutex_lock(MutexRecord *m) { pthread_mutex_lock(&m->mutex); }
void mutex_unlock(MutexRecord *m) { pthread_mutex_unlock(&m->mutex); }
void rwlock_lock_shared(RwLockRecord *l) { pthread_rwlock_rdlock(&l->lock); }
void rwlock_unlock_shared(RwLockRecord *l) { pthread_rwlock_unlock(&l->lock); }
void rwlock_lock_exclusive(RwLockRecord *l) { pthread_rwlock_wrlock(&l->lock); }
void rwlock_unlock_exclusive(RwLockRecord *l) { pthread_rwlock_unlock(&l->lock); }

//~ Waits

// Sleeps until the generation moves or the deadline passes; the caller's lock is
// released only after the condition variable's mutex is held, so no wake is lost.
template <typename Unlock, typename Relock>
static bool
condvar_wait_generic(CondVarRecord *cv, u64 deadline, Unlock unlock, Relock relock) {
  u64 now = os_now_micros();
  if (deadline != DEADLINE_NONE && deadline <= now) return false;
  pthread_mutex_lock(&cv->mutex);
  u64 gen = cv->generation;
  unlock();
  bool woken = true;
  struct timespec ts;
  ts.tv_sec = (time_t)(deadline / 1000000ull);
  ts.tv_nsec = (long)((deadline % 1000000ull) * 1000ull);
  while (cv->generation == gen) {
    if (deadline == DEADLINE_NONE) {
      pthread_cond_wait(&cv->cond, &cv->mutex);
    } else if (pthread_cond_timedwait(&cv->cond, &cv->mutex, &ts) == ETIMEDOUT) {
      woken = cv->generation != gen;
      break;
    }
  }
  pthread_mutex_unlock(&cv->mutex);
  relock();
  return woken;
}

bool
condvar_wait_mutex(CondVarRecord *cv, MutexRecord *m, u64 deadline) {
  return condvar_wait_generic(
      cv, deadline, [m] { mutex_unlock(m); }, [m] { mutex_lock(m); });
}

bool
condvar_wait_rwlock(CondVarRecord *cv, RwLockRecord *l, u64 deadline) {
  return condvar_wait_generic(
      cv, deadline, [l] { rwlock_unlock_shared(l); }, [l] { rwlock_lock_shared(l); });
}

void
condvar_wake_all(CondVarRecord *cv) {
  pthread_mutex_lock(&cv->mutex);
  cv->generation += 1;
  pthread_cond_broadcast(&cv->cond);
  pthread_mutex_unlock(&cv->mutex);
}

//~ Rings

u64
ring_read(const u8 *ring, u64 ring_size, u64 pos, void *dst, u64 count) {
  u64 n = Min(count, ring_size);
  u64 off = pos % ring_size;
  u64 first = Min(n, ring_size - off);
  memcpy(dst, ring + off, first);
  memcpy((u8 *)dst + first, ring, n - first);
  return n;
}

u64
ring_write(u8 *ring, u64 ring_size, u64 pos, const void *src, u64 count) {
  u64 n = Min(count, ring_size);
  u64 off = pos % ring_size;
  u64 first = Min(n, ring_size - off);
  memcpy(ring + off, src, first);
  memcpy(ring, (const u8 *)src + first, n - first);
  return n;
}

//~ Striped tables

StripedTable
striped_table_create(Arena *arena, u64 slot_count, u64 stripe_count, StripeLockKind kind, u64 stripe_reserve,
                     u64 stripe_commit) {
  StripedTable t = {};
  t.slot_count = slot_count;
  t.slots = push_array(arena, StripedSlot, slot_count);
  t.stripe_count = stripe_count;
  t.stripes = push_array(arena, Stripe, stripe_count);
  for (u64 i = 0; i < stripe_count; i += 1) {
    Stripe *s = &t.stripes[i];
    if (kind == StripeLock_Mutex) s->mutex = mutex_create();
    else s->rwlock = rwlock_create();
    s->cv = condvar_create();
    s->reserve = stripe_reserve;
    s->commit = stripe_commit;
  }
  return t;
}

Arena *
stripe_arena(Stripe *s) {
  if (!s->arena) s->arena = arena_create_sized(s->reserve, s->commit);
  return s->arena;
}
