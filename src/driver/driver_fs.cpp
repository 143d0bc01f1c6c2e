// File streaming, content registry and change scanning.
#include "driver/driver_fs.h"

#include <sys/mman.h>
#include <xxhash.h>

#include "os/os_core.h"

static ContentRegistry *content_registry;
static FileStreamer *file_streamer;
static u64 fs_loads;

//~ Content registry

#define CONTENT_SLOT_COUNT 1024
#define CONTENT_STRIPE_COUNT 128

ContentKey
content_key_from_bytes(StrView bytes) {
  XXH128_hash_t h = XXH3_128bits(bytes.data, bytes.length);
  ContentKey k = {h.low64, h.high64};
  return k;
}

void
content_registry_init(void) {
  ThreadContext *ctx = thread_context_get();
  if (!ctx || !ctx->is_main_thread || content_registry) return;
  Arena *arena = arena_create_sized(MB(16), KB(4));
  ContentRegistry *r = push_struct(arena, ContentRegistry);
  r->arena = arena;
  r->table = striped_table_create(arena, CONTENT_SLOT_COUNT, CONTENT_STRIPE_COUNT, StripeLock_Mutex, MB(64), KB(64));
  content_registry = r;
}

static ContentNode *
content_find(StripedSlot *slot, ContentKey key) {
  for (ContentNode *n = (ContentNode *)slot->first; n; n = n->next) {
    if (content_key_equal(n->key, key)) return n;
  }
  return 0;
}

ContentKey
content_store(Arena *owner, StrView bytes) {
  ContentKey key = content_key_from_bytes(bytes);
  StripedTable *t = &content_registry->table;
  Stripe *stripe = striped_table_stripe(t, key.hi);
  StripedSlot *slot = striped_table_slot(t, key.hi);
  mutex_lock(stripe->mutex);
  if (content_find(slot, key)) {
    mutex_unlock(stripe->mutex);
    arena_release(owner);
    return key;
  }
  ContentNode *node = push_struct(stripe->arena, ContentNode);
  node->owner = owner;
  node->key = key;
  node->bytes = bytes;
  // The bytes start on a page of their own (see the streamer), so only they become read-only.
  u64 page = os_process_info()->page_size ? os_process_info()->page_size : 4096;
  if (bytes.length && ((uintptr_t)bytes.data % page) == 0) {
    mprotect(bytes.data, AlignPow2(bytes.length, page), PROT_READ);
  }
  node->prev = (ContentNode *)slot->last;
  if (slot->last) ((ContentNode *)slot->last)->next = node;
  else slot->first = node;
  slot->last = node;
  mutex_unlock(stripe->mutex);
  condvar_wake_all(stripe->cv);
  return key;
}

StrView
content_lookup(ContentKey key) {
  StrView r = {};
  if (!content_registry) return r;
  StripedTable *t = &content_registry->table;
  Stripe *stripe = striped_table_stripe(t, key.hi);
  mutex_lock(stripe->mutex);
  ContentNode *n = content_find(striped_table_slot(t, key.hi), key);
  if (n) {
    r = n->bytes;
    n->last_use = os_now_micros();
  }
  mutex_unlock(stripe->mutex);
  return r;
}

u64
content_registry_count(void) {
  u64 count = 0;
  StripedTable *t = &content_registry->table;
  for (u64 s = 0; s < t->slot_count; s += 1) {
    Stripe *stripe = &t->stripes[(s % t->slot_count) % t->stripe_count];
    mutex_lock(stripe->mutex);
    for (ContentNode *n = (ContentNode *)t->slots[s].first; n; n = n->next) count += 1;
    mutex_unlock(stripe->mutex);
  }
  return count;
}

//~ File table

static FileEntry *
fs_find(StripedSlot *slot, StrView path) {
  for (FileEntry *e = (FileEntry *)slot->first; e; e = e->next) {
    if (str_equal(e->path, path)) return e;
  }
  return 0;
}

// At most one request per path waits in the ring, so a path is never loaded twice
// for one change. Entries are never removed, so the pointer stays valid unlocked.
static bool
fs_claim_queue(FileEntry *e) {
  if (__atomic_load_n(&e->loading, __ATOMIC_ACQUIRE)) return false;
  u64 expected = 0;
  return __atomic_compare_exchange_n(&e->queued, &expected, 1, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
}

static bool
fs_entry_ready(FileEntry *e) {
  return e && __atomic_load_n(&e->loading, __ATOMIC_ACQUIRE) == 0 && !content_key_is_zero(e->key);
}

FileSnapshot
file_request(StrView path, u64 deadline) {
  FileSnapshot snap = {};
  if (!file_streamer) return snap;
  StripedTable *t = &file_streamer->files;
  u64 h = str_hash_djb2(path);
  Stripe *stripe = striped_table_stripe(t, h);
  StripedSlot *slot = striped_table_slot(t, h);
  rwlock_lock_shared(stripe->rwlock);
  for (bool first_pass = true;; first_pass = false) {
    //- loaded and not being reloaded: done
    FileEntry *e = fs_find(slot, path);
    if (fs_entry_ready(e)) {
      snap.key = e->key;
      snap.modified = e->modified;
      snap.loads = e->loads;
      snap.ok = 1;
      break;
    }
    //- first pass: make the entry and queue the path (again: an earlier request may
    //  have given up before its path fit in the ring; a streamer drops duplicates)
    if (first_pass) {
      rwlock_unlock_shared(stripe->rwlock);
      rwlock_lock_exclusive(stripe->rwlock);
      FileEntry *entry = fs_find(slot, path);
      if (!entry) {
        entry = push_struct(stripe->arena, FileEntry);
        entry->path = str_push_copy(stripe->arena, path);
        if (slot->last) ((FileEntry *)slot->last)->next = entry;
        else slot->first = entry;
        slot->last = entry;
      }
      bool mine = fs_claim_queue(entry);
      rwlock_unlock_exclusive(stripe->rwlock);
      // Queued with no stripe lock held: a full ring waits for streamers that may
      // need this stripe to finish their loads.
      bool queued = !mine || fs_enqueue(path, deadline);
      rwlock_lock_shared(stripe->rwlock);
      if (!queued) __atomic_store_n(&entry->queued, 0, __ATOMIC_RELEASE);
      if (!queued && !fs_entry_ready(fs_find(slot, path))) break;
      // A deadline that has passed gives up right after queuing; otherwise search
      // again before sleeping, since the load may have ended while unlocked.
      if (deadline != DEADLINE_NONE && os_now_micros() >= deadline) break;
      continue;
    }
    //- wait for a load on this stripe
    if (deadline != DEADLINE_NONE && os_now_micros() >= deadline) break;
    condvar_wait_rwlock(stripe->cv, stripe->rwlock, deadline);
  }
  rwlock_unlock_shared(stripe->rwlock);
  return snap;
}

//~ Request ring

bool
fs_enqueue(StrView path, u64 deadline) {
  FileStreamer *fs = file_streamer;
  // A message that can never fit would wait forever.
  if (!fs || 8 + path.length > fs->ring_size) return false;
  mutex_lock(fs->ring_mutex);
  while (fs->ring_size - (fs->write_pos - fs->read_pos) < 8 + path.length) {
    if (deadline != DEADLINE_NONE && os_now_micros() >= deadline) {
      mutex_unlock(fs->ring_mutex);
      return false;
    }
    condvar_wait_mutex(fs->ring_cv, fs->ring_mutex, deadline);
  }
  u64 len = path.length;
  ring_write(fs->ring, fs->ring_size, fs->write_pos, &len, 8);
  ring_write(fs->ring, fs->ring_size, fs->write_pos + 8, path.data, len);
  fs->write_pos = AlignPow2(fs->write_pos + 8 + len, 8);
  mutex_unlock(fs->ring_mutex);
  condvar_wake_all(fs->ring_cv);
  return true;
}

u64
fs_load_count(void) {
  return __atomic_load_n(&fs_loads, __ATOMIC_ACQUIRE);
}

//~ Streamers

// Reads a regular file into an arena of its own, its bytes starting on a fresh page.
// Anything else (missing, unreadable, a folder, a FIFO or device) loads as empty.
static StrView
fs_load_file(Arena **owner_out, StrView path, u64 *modified_out) {
  FileProperties props = os_path_properties(path);
  u64 page = os_process_info()->page_size ? os_process_info()->page_size : 4096;
  u64 size = (props.flags & (FilePropertyFlag_Folder | FilePropertyFlag_Special)) ? 0 : props.size;
  // Committed whole at once: one protection change per file instead of one per push.
  Arena *owner = arena_create_sized(AlignPow2(size + page, MB(1)), AlignPow2(size + page, page));
  if (owner) owner->commit_granularity = KB(4);
  *owner_out = owner;
  *modified_out = props.modified;
  StrView bytes = {};
  if (!owner || props.flags & (FilePropertyFlag_Folder | FilePropertyFlag_Special)) return bytes;
  OsHandle h = os_open_file(OsOpen_Read, path);
  if (!h.value) return bytes;
  // The size may have changed since the listing: read what the open file holds now.
  FileProperties now = os_handle_properties(h);
  *modified_out = now.modified;
  arena_push(owner, 0, page);
  FileRange range = {0, now.size};
  bytes = os_read_range(owner, h, range);
  os_close_file(h);
  return bytes;
}

static void
fs_streamer_entry(u64 index) {
  thread_set_name("[FS] Streamer #%I64u", index);
  FileStreamer *fs = file_streamer;
  StripedTable *t = &fs->files;
  for (;;) {
    ArenaTemp scratch = scratch_begin(0, 0);

    //- take one request from the ring
    mutex_lock(fs->ring_mutex);
    while (fs->write_pos - fs->read_pos < 8) condvar_wait_mutex(fs->ring_cv, fs->ring_mutex, DEADLINE_NONE);
    u64 len = 0;
    ring_read(fs->ring, fs->ring_size, fs->read_pos, &len, 8);
    u8 *buf = push_array_no_zero(scratch.arena, u8, len + 1);
    ring_read(fs->ring, fs->ring_size, fs->read_pos + 8, buf, len);
    fs->read_pos = AlignPow2(fs->read_pos + 8 + len, 8);
    mutex_unlock(fs->ring_mutex);
    condvar_wake_all(fs->ring_cv);
    StrView path = str_make(buf, len);

    //- claim the entry
    u64 h = str_hash_djb2(path);
    Stripe *stripe = striped_table_stripe(t, h);
    StripedSlot *slot = striped_table_slot(t, h);
    rwlock_lock_shared(stripe->rwlock);
    FileEntry *e = fs_find(slot, path);
    u64 expected = 0;
    bool claimed = e && __atomic_compare_exchange_n(&e->loading, &expected, 1, false, __ATOMIC_ACQ_REL,
                                                     __ATOMIC_ACQUIRE);
    // Taken from the ring either way: a change seen during a load is found again by the scanner.
    if (e) __atomic_store_n(&e->queued, 0, __ATOMIC_RELEASE);
    rwlock_unlock_shared(stripe->rwlock);

    //- load, store, publish
    if (claimed) {
      Arena *owner = 0;
      u64 modified = 0;
      StrView bytes = fs_load_file(&owner, path, &modified);
      ContentKey key = content_store(owner, bytes);
      rwlock_lock_exclusive(stripe->rwlock);
      e->key = key;
      e->modified = modified;
      e->loads += 1;
      __atomic_store_n(&e->loading, 0, __ATOMIC_RELEASE);
      rwlock_unlock_exclusive(stripe->rwlock);
      __atomic_add_fetch(&fs_loads, 1, __ATOMIC_ACQ_REL);
      condvar_wake_all(stripe->cv);
    }
    scratch_end(scratch);
  }
}

//~ Scanner

static void
fs_scanner_entry(u64) {
  thread_set_name("[FS] Scanner");
  FileStreamer *fs = file_streamer;
  StripedTable *t = &fs->files;
  for (;;) {
    for (u64 s = 0; s < t->slot_count; s += 1) {
      ArenaTemp scratch = scratch_begin(0, 0);
      Stripe *stripe = &t->stripes[s % t->stripe_count];
      rwlock_lock_shared(stripe->rwlock);
      u64 cap = 0;
      for (FileEntry *e = (FileEntry *)t->slots[s].first; e; e = e->next) cap += 1;
      FileEntry **changed = push_array_no_zero(scratch.arena, FileEntry *, cap + 1);
      u64 count = 0;
      for (FileEntry *e = (FileEntry *)t->slots[s].first; e && count < cap; e = e->next) {
        if (__atomic_load_n(&e->loading, __ATOMIC_ACQUIRE) || __atomic_load_n(&e->queued, __ATOMIC_ACQUIRE)) continue;
        if (os_path_properties(e->path).modified != e->modified && fs_claim_queue(e)) changed[count++] = e;
      }
      rwlock_unlock_shared(stripe->rwlock);
      // Queued after the stripe lock is given back, for the same reason as in file_request.
      for (u64 i = 0; i < count; i += 1) fs_enqueue(changed[i]->path, DEADLINE_NONE);
      scratch_end(scratch);
    }
    os_sleep_ms(100);
  }
}

//~ Start-up

void
fs_init(void) {
  ThreadContext *ctx = thread_context_get();
  if (!ctx || !ctx->is_main_thread || file_streamer) return;
  Arena *arena = arena_create_sized(GB(8), KB(4));
  FileStreamer *fs = push_struct(arena, FileStreamer);
  fs->arena = arena;
  fs->ring_size = FS_RING_SIZE;
  fs->ring = push_array(arena, u8, FS_RING_SIZE);
  fs->ring_mutex = mutex_create();
  fs->ring_cv = condvar_create();
  fs->files = striped_table_create(arena, FS_SLOT_COUNT, FS_STRIPE_COUNT, StripeLock_RwLock, GB(8), KB(4));
  u64 procs = os_process_info()->processor_count;
  fs->streamer_count = Max(procs > 1 ? procs - 1 : 0, (u64)2);
  fs->streamers = push_array(arena, ThreadRecord *, fs->streamer_count);
  file_streamer = fs;
  for (u64 i = 0; i < fs->streamer_count; i += 1) fs->streamers[i] = thread_start(i, fs_streamer_entry);
  fs->scanner = thread_start(0, fs_scanner_entry);
}
