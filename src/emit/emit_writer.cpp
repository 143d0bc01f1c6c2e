// The background writer. Creating files costs the kernel about as much as parsing and
// rendering cost us, so a page that waits for nothing is serialized and written on a
// thread of its own while the driver goes on with the next documents.
//
// Two batches take turns: the driver fills one (the pages are assembled on its arena)
// while the writer empties the other. On a disk where making a file costs more than
// making a page, the driver would then wait for the writer: instead it makes the text
// of pages the writer has not reached, from the end of the batch, while it waits. A batch is handed over when it holds enough, and
// the driver takes back the one handed over before it, once written, to print what
// writing said and to count. The writer only reads what a batch holds and the records'
// paths and sources, which stay put until the driver takes the batch back: every round
// ends with driver_writer_finish, before anything is reported or built again.
#include "driver/driver_build.h"

#include "base/base_format.h"
#include "gen/gen_page.h"
#include "emit/emit.h"
#include "os/os_core.h"
#include "os/os_thread.h"

// Who makes a job's text: the writer or, while it waits, the driver.
enum DriverJobStage : u32 {
  DriverJob_Fresh,
  DriverJob_Making,  // claimed by one of the two
  DriverJob_Made,    // the texts are ready to write
};

enum DriverJobKind : u32 {
  DriverJob_Generated,    // a page made from a document, and its raw view
  DriverJob_HandWritten,  // a page read from the target, written back in place
};

struct DriverWriteJob {
  DriverWriteJob *next;
  PageRecord *record;
  HtmlNode *page;
  u32 kind;  // DriverJobKind
  StrView inside;    // the real folder nothing is written outside of (site root, target)
  StrList messages;  // what writing said, printed by the driver
  StrView page_text;
  StrView raw_text;
  WritePending pending;  // a hand-written page written beside itself, to commit
  u32 stage;  // DriverJobStage, atomic
  b32 written;
  WriteStatus page_status;
  WriteStatus raw_status;
  b32 has_raw;
};

enum DriverBatchState : u32 {
  DriverBatch_Filling,  // the driver's (empty, or being filled)
  DriverBatch_Handed,   // the writer's, to write
  DriverBatch_Written,  // the driver's again, to take back
};

struct DriverWriteBatch {
  Arena *arena;
  Arena *made;  // the texts the driver makes while it waits for this batch
  DriverWriteJob *first;
  DriverWriteJob *last;
  u64 count;
  u64 sequence;  // hand-over order: the writer writes the older batch first
  u32 state;     // DriverBatchState, under the writer's mutex
};

// A batch is handed over at this many pages or bytes, whichever comes first.
#define DRIVER_BATCH_PAGES 48
#define DRIVER_BATCH_BYTES MB(4)

static struct {
  bool started;
  ThreadRecord *thread;
  MutexRecord *mutex;
  CondVarRecord *cv;
  DriverWriteBatch batches[2];
  u32 filling;  // the batch the driver fills
  u64 sequence;
} driver_writer;

static bool
driver_job_claim(DriverWriteJob *job) {
  u32 fresh = DriverJob_Fresh;
  return __atomic_compare_exchange_n(&job->stage, &fresh, (u32)DriverJob_Making, false, __ATOMIC_ACQ_REL,
                                     __ATOMIC_ACQUIRE);
}

// The page's text and its raw view's, on the arena given.
static void
driver_job_make(Arena *arena, DriverWriteJob *job) {
  PageRecord *rec = job->record;
  if (job->kind == DriverJob_HandWritten) {
    // Ends in the line end the author's text ended in.
    job->page_text = gen_page_text(arena, job->page, rec->source);
  } else {
    job->page_text = gen_page_text(arena, job->page, {});
  }
  if (job->kind == DriverJob_Generated && rec->document) {
    StrView back = str_skip_last_slash(rec->path);
    PageResult raw = build_raw_page(arena, rec->source, rec->source_path, rec->raw_path, back);
    job->raw_text = gen_page_text(arena, raw.document, {});
  }
  __atomic_store_n(&job->stage, (u32)DriverJob_Made, __ATOMIC_RELEASE);
}

// What writing says is kept with the job on the batch's arena, which is the writer's
// while the batch is handed over.
static void
driver_job_write(DriverWriteBatch *b, DriverWriteJob *job) {
  PageRecord *rec = job->record;
  console_capture_errors(b->arena, &job->messages);
  if (job->kind == DriverJob_HandWritten) {
    // Replaced only while the file still holds what was parsed, and synced, being the
    // author's only copy; the batch's pages share one sync before they are committed.
    WriteExpect expect = {rec->source, rec->source_modified};
    WriteOptions options = {&expect, job->inside, 0, &job->pending, b->arena};
    job->page_status = gen_replace_file(rec->path, job->page_text, &options);
    console_capture_errors(0, 0);
    job->written = 1;
    return;
  }
  WriteOptions options = {0, job->inside, 1};
  job->page_status = gen_replace_file(rec->path, job->page_text, &options);
  if (rec->document) {
    job->has_raw = 1;
    job->raw_status = gen_replace_file(rec->raw_path, job->raw_text, &options);
  }
  console_capture_errors(0, 0);
  job->written = 1;
}

// Jobs in order; one the driver is making is left for a later pass.
static void
driver_writer_write_batch(DriverWriteBatch *b) {
  for (;;) {
    bool left = false;
    for (DriverWriteJob *job = b->first; job; job = job->next) {
      if (job->written) continue;
      if (driver_job_claim(job)) {
        ArenaTemp scratch = scratch_begin(&b->arena, 1);
        driver_job_make(scratch.arena, job);
        driver_job_write(b, job);
        scratch_end(scratch);
      } else if (__atomic_load_n(&job->stage, __ATOMIC_ACQUIRE) == DriverJob_Made) {
        driver_job_write(b, job);
      } else {
        left = true;
      }
    }
    if (!left) break;
    os_sleep_ms(0);
  }
  //- hand-written pages: one sync per file system for all their new bytes, then each
  //  checked and renamed; a file system that cannot be synced whole syncs file by file
  u64 devices[8];
  bool synced[8];
  u32 device_count = 0;
  for (DriverWriteJob *job = b->first; job; job = job->next) {
    if (job->page_status != WriteStatus_Pending) continue;
    u32 d = 0;
    while (d < device_count && devices[d] != job->pending.device) d += 1;
    if (d == device_count && device_count < ArrayCount(devices)) {
      devices[d] = job->pending.device;
      synced[d] = os_sync_file_system(job->pending.temp);
      device_count += 1;
    }
    console_capture_errors(b->arena, &job->messages);
    job->page_status = gen_commit_pending(&job->pending, d < device_count && synced[d]);
    console_capture_errors(0, 0);
  }
}

static void
driver_writer_entry(u64) {
  thread_set_name("[Gen] Writer");
  for (;;) {
    //- the older batch handed over
    mutex_lock(driver_writer.mutex);
    DriverWriteBatch *b = 0;
    for (;;) {
      for (u32 i = 0; i < 2; i += 1) {
        DriverWriteBatch *c = &driver_writer.batches[i];
        if (c->state == DriverBatch_Handed && (!b || c->sequence < b->sequence)) b = c;
      }
      if (b) break;
      condvar_wait_mutex(driver_writer.cv, driver_writer.mutex, DEADLINE_NONE);
    }
    mutex_unlock(driver_writer.mutex);
    driver_writer_write_batch(b);
    mutex_lock(driver_writer.mutex);
    b->state = DriverBatch_Written;
    mutex_unlock(driver_writer.mutex);
    condvar_wake_all(driver_writer.cv);
  }
}

static bool
driver_writer_start(void) {
  if (driver_writer.started) return driver_writer.thread != 0;
  driver_writer.started = true;
  driver_writer.mutex = mutex_create();
  driver_writer.cv = condvar_create();
  for (u32 i = 0; i < 2; i += 1) {
    driver_writer.batches[i].arena = arena_create_sized(GB(4), MB(1));
    driver_writer.batches[i].made = arena_create_sized(GB(4), MB(1));
    if (!driver_writer.batches[i].arena || !driver_writer.batches[i].made) return false;
  }
  if (!driver_writer.mutex || !driver_writer.cv) return false;
  ThreadRecord *t = thread_start(0, driver_writer_entry);
  if (t && t->started) driver_writer.thread = t;
  return driver_writer.thread != 0;
}

//~ The driver's side

// Waits for the batch to be written, prints what writing said, counts, and empties it.
static void
driver_writer_take_back(DriverRun *run, DriverWriteBatch *b) {
  //- while the writer is behind, make the texts of the last jobs it has not reached
  for (;;) {
    mutex_lock(driver_writer.mutex);
    bool handed = b->state == DriverBatch_Handed;
    mutex_unlock(driver_writer.mutex);
    if (!handed) break;
    DriverWriteJob *last = 0;
    for (DriverWriteJob *job = b->first; job; job = job->next) {
      if (__atomic_load_n(&job->stage, __ATOMIC_ACQUIRE) == DriverJob_Fresh) last = job;
    }
    if (!last) break;
    if (driver_job_claim(last)) driver_job_make(b->made, last);
  }
  mutex_lock(driver_writer.mutex);
  while (b->state == DriverBatch_Handed) condvar_wait_mutex(driver_writer.cv, driver_writer.mutex, DEADLINE_NONE);
  mutex_unlock(driver_writer.mutex);
  for (DriverWriteJob *job = b->first; job; job = job->next) {
    for (StrNode *n = job->messages.first; n; n = n->next) console_eprintf("%.*s", str_expand(n->string));
    if (job->kind == DriverJob_HandWritten) {
      driver_count_page_write(run, job->page_status);
      continue;
    }
    bool page_ok = job->page_status == WriteStatus_Written || job->page_status == WriteStatus_Unchanged;
    DriverCount(run, pages_generated, page_ok ? 1 : 0);
    DriverCount(run, write_failures, page_ok ? 0 : 1);
    if (!job->has_raw) continue;
    bool raw_ok = job->raw_status == WriteStatus_Written || job->raw_status == WriteStatus_Unchanged;
    DriverCount(run, raw_views, raw_ok ? 1 : 0);
    DriverCount(run, write_failures, raw_ok ? 0 : 1);
  }
  b->first = b->last = 0;
  b->count = 0;
  arena_pop_to(b->arena, 0);
  arena_pop_to(b->made, 0);
  mutex_lock(driver_writer.mutex);
  b->state = DriverBatch_Filling;
  mutex_unlock(driver_writer.mutex);
}

static void
driver_writer_hand_over(DriverRun *run) {
  DriverWriteBatch *b = &driver_writer.batches[driver_writer.filling];
  if (!b->count) {
    // Parses that made no page, nobody else holds.
    arena_pop_to(b->arena, 0);
    return;
  }
  mutex_lock(driver_writer.mutex);
  b->sequence = ++driver_writer.sequence;
  b->state = DriverBatch_Handed;
  mutex_unlock(driver_writer.mutex);
  condvar_wake_all(driver_writer.cv);
  driver_writer.filling ^= 1;
  driver_writer_take_back(run, &driver_writer.batches[driver_writer.filling]);
}

Arena *
driver_writer_arena(void) {
  if (!driver_writer_start()) return 0;
  return driver_writer.batches[driver_writer.filling].arena;
}

static void driver_writer_push_job(DriverRun *run, PageRecord *record, HtmlNode *page, u32 kind);

void
driver_writer_push(DriverRun *run, PageRecord *record, HtmlNode *page) {
  driver_writer_push_job(run, record, page, DriverJob_Generated);
}

void
driver_writer_push_page(DriverRun *run, PageRecord *record, HtmlNode *root) {
  driver_writer_push_job(run, record, root, DriverJob_HandWritten);
}

static void
driver_writer_push_job(DriverRun *run, PageRecord *record, HtmlNode *page, u32 kind) {
  DriverWriteBatch *b = &driver_writer.batches[driver_writer.filling];
  if (!record) {
    // Only a parse that made no page: its memory is taken back once there is enough of it.
    if (!b->count && arena_pos(b->arena) >= DRIVER_BATCH_BYTES) arena_pop_to(b->arena, 0);
    else if (arena_pos(b->arena) >= DRIVER_BATCH_BYTES) driver_writer_hand_over(run);
    return;
  }
  DriverWriteJob *job = push_struct(b->arena, DriverWriteJob);
  job->record = record;
  job->page = page;
  job->kind = kind;
  job->inside = kind == DriverJob_HandWritten ? run->target_real : run->root_real;
  SLLQueuePush(b->first, b->last, job);
  b->count += 1;
  if (b->count >= DRIVER_BATCH_PAGES || arena_pos(b->arena) >= DRIVER_BATCH_BYTES) driver_writer_hand_over(run);
}

void
driver_writer_finish(DriverRun *run) {
  if (!driver_writer.thread) return;
  driver_writer_hand_over(run);
  // The batch just handed over (the older one was taken back by the hand-over).
  driver_writer_take_back(run, &driver_writer.batches[driver_writer.filling ^ 1]);
}
