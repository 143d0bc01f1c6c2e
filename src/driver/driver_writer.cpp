// The background writer. Creating files costs the kernel about as much as parsing and
// rendering cost us, so a page that waits for nothing is serialized and written on a
// thread of its own while the driver goes on with the next documents.
//
// Two batches take turns: the driver fills one (the pages are assembled on its arena)
// while the writer empties the other. A batch is handed over when it holds enough, and
// the driver takes back the one handed over before it, once written, to print what
// writing said and to count. The writer only reads what a batch holds and the records'
// paths and sources, which stay put until the driver takes the batch back: every round
// ends with driver_writer_finish, before anything is reported or built again.
#include "driver/driver_build.h"

#include "base/base_format.h"
#include "gen/gen_page.h"
#include "gen/gen_write.h"
#include "os/os_thread.h"

struct DriverWriteJob {
  DriverWriteJob *next;
  PageRecord *record;
  HtmlNode *page;
  StrView inside;    // the real site root: nothing is written outside it
  StrList messages;  // what writing said, printed by the driver
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
  DriverWriteJob *first;
  DriverWriteJob *last;
  u64 count;
  u64 sequence;  // hand-over order: the writer writes the older batch first
  u32 state;     // DriverBatchState, under the writer's mutex
};

// A batch is handed over at this many pages or bytes, whichever comes first.
#define DRIVER_BATCH_PAGES 48
#define DRIVER_BATCH_BYTES MB(16)

static struct {
  bool started;
  ThreadRecord *thread;
  MutexRecord *mutex;
  CondVarRecord *cv;
  DriverWriteBatch batches[2];
  u32 filling;  // the batch the driver fills
  u64 sequence;
} driver_writer;

// What writing says is kept with the job on the batch's arena, which is the writer's
// while the batch is handed over.
static void
driver_writer_write(DriverWriteBatch *b, DriverWriteJob *job) {
  ArenaTemp scratch = scratch_begin(&b->arena, 1);
  PageRecord *rec = job->record;
  WriteOptions options = {0, job->inside, 1};
  console_capture_errors(b->arena, &job->messages);
  job->page_status = gen_replace_file(rec->path, gen_page_text(scratch.arena, job->page, {}), &options);
  if (rec->document) {
    job->has_raw = 1;
    StrView back = str_skip_last_slash(rec->path);
    PageResult raw = build_raw_page(scratch.arena, rec->source, rec->source_path, rec->raw_path, back);
    job->raw_status = gen_replace_file(rec->raw_path, gen_page_text(scratch.arena, raw.document, {}), &options);
  }
  console_capture_errors(0, 0);
  scratch_end(scratch);
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
    for (DriverWriteJob *job = b->first; job; job = job->next) driver_writer_write(b, job);
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
    if (!driver_writer.batches[i].arena) return false;
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
  mutex_lock(driver_writer.mutex);
  while (b->state == DriverBatch_Handed) condvar_wait_mutex(driver_writer.cv, driver_writer.mutex, DEADLINE_NONE);
  mutex_unlock(driver_writer.mutex);
  for (DriverWriteJob *job = b->first; job; job = job->next) {
    for (StrNode *n = job->messages.first; n; n = n->next) console_eprintf("%.*s", str_expand(n->string));
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

void
driver_writer_push(DriverRun *run, PageRecord *record, HtmlNode *page) {
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
  job->inside = run->root_real;
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
