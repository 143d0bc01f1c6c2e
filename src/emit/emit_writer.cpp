// The background writer. Creating files costs the kernel about as much as parsing and
// rendering cost us, so a page that waits for nothing is serialized and written on a
// thread of its own while the driver goes on with the next documents.
//
// Two batches take turns: the driver fills one (the pages are assembled on its arena)
// while the writer empties the other. On a disk where making a file costs more than
// making a page, the driver would then wait for the writer: instead it makes the text
// of pages the writer has not reached, from the end of the batch, while it waits. A
// batch is handed over when it holds enough, and the driver takes back the one handed over before it, once written, to print what
// writing said and to count. The writer only reads what a batch holds, the records'
// paths and sources, which stay put until the driver takes the batch back (every round
// ends with emit_finish, before anything is reported or built again), and what the
// site's pages share, which is made before the first page and never changed.
#include "emit/emit.h"

#include "base/base_format.h"
#include "gen/gen_page.h"
#include "os/os_core.h"
#include "os/os_thread.h"

// Who makes a job's text: the writer or, while it waits, the driver.
enum EmitJobStage : u32 {
  EmitJob_Fresh,
  EmitJob_Making,  // claimed by one of the two
  EmitJob_Made,    // the texts are ready to write
};

struct EmitJob {
  EmitJob *next;
  PageRecord *record;
  HtmlNode *page;
  StrList messages;  // what writing said, printed by the driver
  EmitTexts texts;
  WritePending pending;  // a hand-written page written beside itself, to commit
  u32 stage;  // EmitJobStage, atomic
  b32 written;
  EmitOutcome outcome;
};

enum EmitBatchState : u32 {
  EmitBatch_Filling,  // the driver's (empty, or being filled)
  EmitBatch_Handed,   // the writer's, to write
  EmitBatch_Written,  // the driver's again, to take back
};

struct EmitBatch {
  Arena *arena;
  Arena *made;  // the texts the driver makes while it waits for this batch
  EmitJob *first;
  EmitJob *last;
  u64 count;
  u64 sequence;  // hand-over order: the writer writes the older batch first
  u32 state;     // EmitBatchState, under the writer's mutex
};

// A batch is handed over at this many pages or bytes, whichever comes first.
#define EMIT_BATCH_PAGES 48
#define EMIT_BATCH_BYTES MB(4)

struct EmitWriter {
  Site *site;  // read only by the thread: settings, real folders, what pages share
  ThreadRecord *thread;
  MutexRecord *mutex;
  CondVarRecord *cv;
  EmitBatch batches[2];
  u32 filling;  // the batch the driver fills
  u64 sequence;
  b32 quit;    // the run is over: the thread leaves (under the mutex)
  b32 exited;  // and says so
  b32 failed;  // it could not start: pages are written by the driver
};

static bool
emit_job_claim(EmitJob *job) {
  u32 fresh = EmitJob_Fresh;
  return __atomic_compare_exchange_n(&job->stage, &fresh, (u32)EmitJob_Making, false, __ATOMIC_ACQ_REL,
                                     __ATOMIC_ACQUIRE);
}

// Up to this many hand-written pages in a batch are synced one by one.
#define EMIT_SYNC_EACH_MAX 16

static void
emit_job_make(Arena *arena, Site *site, EmitJob *job) {
  job->texts = emit_make_texts(arena, site, job->record, job->page);
  __atomic_store_n(&job->stage, (u32)EmitJob_Made, __ATOMIC_RELEASE);
}

// What writing says is kept with the job on the batch's arena, which is the writer's
// while the batch is handed over. A hand-written page is written beside itself: the
// batch's pages share one sync before they are committed.
static void
emit_job_write(Site *site, EmitBatch *b, EmitJob *job) {
  console_capture_errors(b->arena, &job->messages);
  bool hand = job->record->kind == PageKind_HandWritten;
  job->outcome = emit_write_texts(b->arena, site, job->record, &job->texts, hand ? &job->pending : 0);
  console_capture_errors(0, 0);
  job->written = 1;
}

// Jobs in order; one the driver is making is left for a later pass.
static void
emit_write_batch(Site *site, EmitBatch *b) {
  for (;;) {
    bool left = false;
    for (EmitJob *job = b->first; job; job = job->next) {
      if (job->written) continue;
      if (emit_job_claim(job)) {
        ArenaTemp scratch = scratch_begin(&b->arena, 1);
        emit_job_make(scratch.arena, site, job);
        emit_job_write(site, b, job);
        scratch_end(scratch);
      } else if (__atomic_load_n(&job->stage, __ATOMIC_ACQUIRE) == EmitJob_Made) {
        emit_job_write(site, b, job);
      } else {
        left = true;
      }
    }
    if (!left) break;
    os_sleep_ms(0);
  }
  //- hand-written pages: one sync per file system for all their new bytes, then each
  //  checked and renamed; a file system that cannot be synced whole syncs file by file,
  //  and so do a few pages: a whole file system's dirty data costs more than their own
  u64 pending = 0;
  for (EmitJob *job = b->first; job; job = job->next) pending += job->outcome.page == WriteStatus_Pending;
  u64 devices[8];
  bool synced[8];
  u32 device_count = 0;
  for (EmitJob *job = b->first; job; job = job->next) {
    if (job->outcome.page != WriteStatus_Pending) continue;
    u32 d = 0;
    while (d < device_count && devices[d] != job->pending.device) d += 1;
    if (d == device_count && device_count < ArrayCount(devices) && pending > EMIT_SYNC_EACH_MAX) {
      devices[d] = job->pending.device;
      synced[d] = os_sync_file_system(job->pending.temp);
      device_count += 1;
    }
    console_capture_errors(b->arena, &job->messages);
    job->outcome.page = emit_commit_pending(&job->pending, d < device_count && synced[d]);
    console_capture_errors(0, 0);
  }
}

static void
emit_writer_entry(u64 parameter) {
  EmitWriter *w = (EmitWriter *)parameter;
  thread_set_name("[Gen] Writer");
  for (;;) {
    //- the older batch handed over, or the end of the run
    mutex_lock(w->mutex);
    EmitBatch *b = 0;
    for (;;) {
      for (u32 i = 0; i < 2; i += 1) {
        EmitBatch *c = &w->batches[i];
        if (c->state == EmitBatch_Handed && (!b || c->sequence < b->sequence)) b = c;
      }
      if (b || w->quit) break;
      condvar_wait_mutex(w->cv, w->mutex, DEADLINE_NONE);
    }
    if (!b) {
      // Nothing of the writer is touched after this: the driver may let it go.
      w->exited = 1;
      condvar_wake_all(w->cv);
      mutex_unlock(w->mutex);
      return;
    }
    mutex_unlock(w->mutex);
    emit_write_batch(w->site, b);
    mutex_lock(w->mutex);
    b->state = EmitBatch_Written;
    mutex_unlock(w->mutex);
    condvar_wake_all(w->cv);
  }
}

// The writer of the site, started at its first use; 0 when it cannot run, and pages are
// then written by the driver.
static EmitWriter *
emit_writer(Site *site) {
  EmitWriter *w = site->writer;
  if (w) return w->failed ? 0 : w;
  w = push_struct(site->arena, EmitWriter);
  site->writer = w;
  w->site = site;
  w->failed = 1;
  w->mutex = mutex_create();
  w->cv = condvar_create();
  for (u32 i = 0; i < 2; i += 1) {
    w->batches[i].arena = arena_create_sized(GB(4), MB(1));
    w->batches[i].made = arena_create_sized(GB(4), MB(1));
    if (!w->batches[i].arena || !w->batches[i].made) return 0;
  }
  if (!w->mutex || !w->cv) return 0;
  ThreadRecord *t = thread_start((u64)w, emit_writer_entry);
  if (!t || !t->started) return 0;
  w->thread = t;
  w->failed = 0;
  return w;
}

//~ The driver's side

// Waits for the batch to be written, prints what writing said, counts, and empties it.
static void
emit_take_back(Site *site, EmitWriter *w, EmitBatch *b) {
  //- while the writer is behind, make the texts of the last jobs it has not reached
  for (;;) {
    mutex_lock(w->mutex);
    bool handed = b->state == EmitBatch_Handed;
    mutex_unlock(w->mutex);
    if (!handed) break;
    EmitJob *last = 0;
    for (EmitJob *job = b->first; job; job = job->next) {
      if (__atomic_load_n(&job->stage, __ATOMIC_ACQUIRE) == EmitJob_Fresh) last = job;
    }
    if (!last) break;
    if (emit_job_claim(last)) emit_job_make(b->made, site, last);
  }
  mutex_lock(w->mutex);
  while (b->state == EmitBatch_Handed) condvar_wait_mutex(w->cv, w->mutex, DEADLINE_NONE);
  mutex_unlock(w->mutex);
  for (EmitJob *job = b->first; job; job = job->next) {
    for (StrNode *n = job->messages.first; n; n = n->next) console_eprintf("%.*s", str_expand(n->string));
    emit_count(site, job->record, job->outcome);
  }
  b->first = b->last = 0;
  b->count = 0;
  arena_pop_to(b->arena, 0);
  arena_pop_to(b->made, 0);
  mutex_lock(w->mutex);
  b->state = EmitBatch_Filling;
  mutex_unlock(w->mutex);
}

static void
emit_hand_over_batch(Site *site, EmitWriter *w) {
  EmitBatch *b = &w->batches[w->filling];
  if (!b->count) {
    // Parses that made no page, nobody else holds.
    arena_pop_to(b->arena, 0);
    return;
  }
  mutex_lock(w->mutex);
  b->sequence = ++w->sequence;
  b->state = EmitBatch_Handed;
  mutex_unlock(w->mutex);
  condvar_wake_all(w->cv);
  w->filling ^= 1;
  emit_take_back(site, w, &w->batches[w->filling]);
}

Arena *
emit_batch_arena(Site *site) {
  EmitWriter *w = emit_writer(site);
  return w ? w->batches[w->filling].arena : 0;
}

void
emit_parse_done(Site *site) {
  EmitWriter *w = emit_writer(site);
  if (!w) return;
  // Only a parse that made no page: its memory is taken back once there is enough of it.
  EmitBatch *b = &w->batches[w->filling];
  if (arena_pos(b->arena) < EMIT_BATCH_BYTES) return;
  if (!b->count) arena_pop_to(b->arena, 0);
  else emit_hand_over_batch(site, w);
}

void
emit_hand_over(Site *site, PageRecord *record, HtmlNode *page) {
  EmitWriter *w = emit_writer(site);
  if (!w) {
    ArenaTemp scratch = scratch_begin(&site->arena, 1);
    emit_page_now(site, scratch.arena, record, page);
    scratch_end(scratch);
    return;
  }
  EmitBatch *b = &w->batches[w->filling];
  EmitJob *job = push_struct(b->arena, EmitJob);
  job->record = record;
  job->page = page;
  SLLQueuePush(b->first, b->last, job);
  b->count += 1;
  if (b->count >= EMIT_BATCH_PAGES || arena_pos(b->arena) >= EMIT_BATCH_BYTES) emit_hand_over_batch(site, w);
}

void
emit_finish(Site *site) {
  EmitWriter *w = site->writer;
  if (!w || w->failed) return;
  emit_hand_over_batch(site, w);
  // The batch just handed over (the older one was taken back by the hand-over).
  emit_take_back(site, w, &w->batches[w->filling ^ 1]);
}

void
emit_close(Site *site) {
  EmitWriter *w = site->writer;
  if (!w) return;
  emit_finish(site);
  if (w->thread) {
    mutex_lock(w->mutex);
    w->quit = 1;
    condvar_wake_all(w->cv);
    while (!w->exited) condvar_wait_mutex(w->cv, w->mutex, DEADLINE_NONE);
    mutex_unlock(w->mutex);
  }
  for (u32 i = 0; i < 2; i += 1) {
    if (w->batches[i].arena) arena_release(w->batches[i].arena);
    if (w->batches[i].made) arena_release(w->batches[i].made);
  }
  site->writer = 0;
}
