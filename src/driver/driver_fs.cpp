// File streaming, content registry and change scanning.
#include "driver/driver_fs.h"

#include <xxhash.h>

#include "os/os_core.h"

//~ Content registry

#define CONTENT_SLOT_COUNT 1024
#define CONTENT_STRIPE_COUNT 128

ContentKey
content_key_from_bytes(StrView bytes) {
  XXH128_hash_t h = XXH3_128bits(bytes.data, bytes.length);
  ContentKey k = {h.low64, h.high64};
  return k;
}

static ContentRegistry *
content_registry_create(void) {
  Arena *arena = arena_create_sized(MB(16), KB(4));
  ContentRegistry *r = push_struct(arena, ContentRegistry);
  r->arena = arena;
  r->table = striped_table_create(arena, CONTENT_SLOT_COUNT, CONTENT_STRIPE_COUNT, StripeLock_Mutex, MB(64), KB(64));
  r->free_nodes = push_array(arena, ContentNode *, CONTENT_STRIPE_COUNT);
  return r;
}

static ContentNode *
content_find(StripedSlot *slot, ContentKey key) {
  for (ContentNode *n = (ContentNode *)slot->first; n; n = n->next) {
    if (content_key_equal(n->key, key)) return n;
  }
  return 0;
}

ContentKey
content_store(FileService *service, Arena *owner, StrView bytes) {
  ContentRegistry *registry = service->registry;
  ContentKey key = content_key_from_bytes(bytes);
  StripedTable *t = &registry->table;
  Stripe *stripe = striped_table_stripe(t, key.hi);
  StripedSlot *slot = striped_table_slot(t, key.hi);
  mutex_lock(stripe->mutex);
  if (ContentNode *known = content_find(slot, key)) {
    known->holders += 1;
    mutex_unlock(stripe->mutex);
    arena_release(owner);
    return key;
  }
  // Node records are recycled through the stripe's free list.
  ContentNode **free_list = &registry->free_nodes[stripe - t->stripes];
  ContentNode *node = *free_list;
  if (node) {
    *free_list = node->next;
    MemoryZeroStruct(node);
  } else {
    node = push_struct(stripe_arena(stripe), ContentNode);
  }
  node->owner = owner;
  node->key = key;
  node->bytes = bytes;
  node->holders = 1;
  // The bytes start on a page of their own (see the streamer), so only they become read-only.
  // A content with an arena of its own is never written again, its header included: all
  // of it is read-only, so neighbouring contents share one mapping of the system's
  // instead of two each (a listen run over ten thousand files ran out of them).
  u64 page = os_process_info()->page_size ? os_process_info()->page_size : 4096;
  if (owner && owner->prev == 0 && owner->committed == owner->reserved && ((uintptr_t)owner % page) == 0 &&
      bytes.length &&
      (u8 *)bytes.data >= (u8 *)owner && (u8 *)bytes.data + bytes.length <= (u8 *)owner + owner->reserved) {
    os_protect_read_only(owner, owner->reserved);
  } else if (owner && bytes.length && ((uintptr_t)bytes.data % page) == 0) {
    os_protect_read_only(bytes.data, AlignPow2(bytes.length, page));
  }
  // Bytes on a streamer's shared slab (a run that reads each file once) stay writable: a
  // protection change per file stops every thread of the process for a TLB shootdown,
  // which in a virtual machine cost a fifth of an unchanged rebuild, and no such byte is
  // ever given back or loaded again.
  ContentNode *first = (ContentNode *)slot->first;
  ContentNode *last = (ContentNode *)slot->last;
  DLLPushBack(first, last, node);
  slot->first = first;
  slot->last = last;
  mutex_unlock(stripe->mutex);
  return key;
}

StrView
content_lookup(FileService *service, ContentKey key) {
  StrView r = {};
  if (!service) return r;
  StripedTable *t = &service->registry->table;
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

bool
content_acquire(FileService *service, ContentKey key, StrView *bytes) {
  *bytes = StrView{};
  if (!service) return false;
  StripedTable *t = &service->registry->table;
  Stripe *stripe = striped_table_stripe(t, key.hi);
  mutex_lock(stripe->mutex);
  ContentNode *n = content_find(striped_table_slot(t, key.hi), key);
  if (n) {
    n->holders += 1;
    n->last_use = os_now_micros();
    *bytes = n->bytes;
  }
  mutex_unlock(stripe->mutex);
  return n != 0;
}

void
content_release(FileService *service, ContentKey key) {
  if (!service || content_key_is_zero(key)) return;
  StripedTable *t = &service->registry->table;
  Stripe *stripe = striped_table_stripe(t, key.hi);
  StripedSlot *slot = striped_table_slot(t, key.hi);
  Arena *owner = 0;
  mutex_lock(stripe->mutex);
  ContentNode *n = content_find(slot, key);
  if (n && n->holders && --n->holders == 0) {
    ContentNode *first = (ContentNode *)slot->first;
    ContentNode *last = (ContentNode *)slot->last;
    DLLRemove(first, last, n);
    slot->first = first;
    slot->last = last;
    owner = n->owner;
    ContentNode **free_list = &service->registry->free_nodes[stripe - t->stripes];
    SLLStackPush(*free_list, n);
  }
  mutex_unlock(stripe->mutex);
  if (owner) arena_release(owner);
}

u64
content_registry_count(FileService *service) {
  u64 count = 0;
  StripedTable *t = &service->registry->table;
  for (u64 s = 0; s < t->slot_count; s += 1) {
    Stripe *stripe = &t->stripes[(s % t->slot_count) % t->stripe_count];
    mutex_lock(stripe->mutex);
    for (ContentNode *n = (ContentNode *)t->slots[s].first; n; n = n->next) count += 1;
    mutex_unlock(stripe->mutex);
  }
  return count;
}

//~ File table

static void fs_watch_folder_of(FileService *service, StrView path);

static FileEntry *
fs_find(StripedSlot *slot, StrView path) {
  for (FileEntry *e = (FileEntry *)slot->first; e; e = e->next) {
    if (str_equal(e->path, path)) return e;
  }
  return 0;
}

static u32
fs_state(FileEntry *e) {
  return __atomic_load_n(&e->state, __ATOMIC_ACQUIRE);
}

static bool
fs_transition(FileEntry *e, u32 from, u32 to) {
  return __atomic_compare_exchange_n(&e->state, &from, to, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
}

static u64
fs_loads_of(FileEntry *e) {
  return __atomic_load_n(&e->loads, __ATOMIC_ACQUIRE);
}

// Loaded at least once and not being reloaded.
static bool
fs_entry_ready(FileEntry *e) {
  return e && fs_loads_of(e) && fs_state(e) == FileState_Idle;
}

// Finds the path's entry or makes it; takes the stripe lock exclusively for the insert.
static FileEntry *
fs_find_or_insert(FileService *service, Stripe *stripe, StripedSlot *slot, StrView path) {
  rwlock_lock_shared(stripe->rwlock);
  FileEntry *e = fs_find(slot, path);
  rwlock_unlock_shared(stripe->rwlock);
  if (e) return e;
  rwlock_lock_exclusive(stripe->rwlock);
  e = fs_find(slot, path);
  bool made = !e;
  if (made) {
    e = push_struct(stripe_arena(stripe), FileEntry);
    e->path = str_push_copy(stripe_arena(stripe), path);
    SLLQueuePush(*(FileEntry **)&slot->first, *(FileEntry **)&slot->last, e);
  }
  rwlock_unlock_exclusive(stripe->rwlock);
  // Watched before its first load, so no change after that load goes unseen.
  if (made) fs_watch_folder_of(service, path);
  return e;
}

// Idle -> Queued -> in the ring; false when the ring refused it before the deadline.
// `first_load`: only a path never loaded is queued. The streamer counts the load before
// it sets Idle, so a load that ended just before the swap is seen here after it.
static bool
fs_queue_entry(FileService *service, FileEntry *e, u64 deadline, bool first_load) {
  if (!fs_transition(e, FileState_Idle, FileState_Queued)) return true;  // queued or loading already
  if (first_load && fs_loads_of(e)) {
    __atomic_store_n(&e->state, (u32)FileState_Idle, __ATOMIC_RELEASE);
    return true;
  }
  if (fs_enqueue(service, e->path, deadline)) return true;
  fs_transition(e, FileState_Queued, FileState_Idle);
  return false;
}

FileSnapshot
file_request(FileService *service, StrView path, u64 deadline) {
  FileSnapshot snap = {};
  if (!service) return snap;
  StripedTable *t = &service->streamer->files;
  u64 h = str_hash_djb2(path);
  Stripe *stripe = striped_table_stripe(t, h);
  StripedSlot *slot = striped_table_slot(t, h);

  //- find or insert; a path never loaded is queued
  FileEntry *e = fs_find_or_insert(service, stripe, slot, path);
  if (!fs_loads_of(e)) {
    // Refused by a full ring before the deadline, or too long ever to fit.
    if (!fs_queue_entry(service, e, deadline, true)) return snap;
    // A deadline that has passed asked only for the path to be queued.
    if (deadline != DEADLINE_NONE && os_now_micros() >= deadline) return snap;
  }

  //- wait for the load
  rwlock_lock_shared(stripe->rwlock);
  for (;;) {
    if (fs_entry_ready(e)) {
      snap.key = e->key;
      snap.modified = e->modified;
      snap.loads = e->loads;
      snap.error = e->error;
      snap.ok = 1;
      break;
    }
    if (deadline != DEADLINE_NONE && os_now_micros() >= deadline) break;
    // An entry left idle and unloaded (its request was refused) is queued again.
    if (!fs_loads_of(e) && fs_state(e) == FileState_Idle) {
      rwlock_unlock_shared(stripe->rwlock);
      bool queued = fs_queue_entry(service, e, deadline, true);
      rwlock_lock_shared(stripe->rwlock);
      if (!queued) break;
      continue;
    }
    condvar_wait_rwlock(stripe->cv, stripe->rwlock, deadline);
  }
  rwlock_unlock_shared(stripe->rwlock);
  return snap;
}

//~ Request ring

bool
fs_enqueue(FileService *service, StrView path, u64 deadline) {
  FileStreamer *fs = service ? service->streamer : 0;
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
fs_load_count(FileService *service) {
  return service ? __atomic_load_n(&service->loads, __ATOMIC_ACQUIRE) : 0;
}

//~ Streamers

#define FS_SLAB_FILE_MAX MB(1)

static bool
fs_scanning(FileService *service) {
  return __atomic_load_n(&service->scanning, __ATOMIC_ACQUIRE);
}

// Reads a regular file into an arena of its own, its bytes starting on a fresh page.
// Anything else (missing, unreadable, a folder, a FIFO or device) loads as empty.
static StrView
fs_load_file(FileStreamerThread *self, Arena **owner_out, StrView path, u64 *modified_out, u64 *size_out,
             const char **error_out) {
  FileProperties props = os_path_properties(path);
  *size_out = props.size;
  u64 page = os_process_info()->page_size ? os_process_info()->page_size : 4096;
  u64 size = (props.flags & (FilePropertyFlag_Folder | FilePropertyFlag_Special)) ? 0 : props.size;
  // Reserved and committed whole at once, with no spare reservation after it: one
  // protection change per file, and neighbouring files' mappings can merge, so a site of
  // many files stays far below the system's limit on mappings.
  u64 whole = AlignPow2(size + page, page);
  Arena *owner = 0;
  Arena *into = 0;
  if (!fs_scanning(self->service) && size <= FS_SLAB_FILE_MAX) {
    // A run that reads every file once never gives one back: small files share one
    // arena per streamer, so a site of many files costs the system a few mappings.
    if (!self->slab) self->slab = arena_create_sized(GB(64), MB(1));
    into = self->slab;
  } else {
    owner = arena_create_sized(whole, whole);
    if (owner) owner->commit_granularity = KB(4);
    into = owner;
  }
  *owner_out = owner;
  *modified_out = props.modified;
  StrView bytes = {};
  if (!into) {
    *error_out = "not enough memory to load it";
    return bytes;
  }
  if (props.flags & (FilePropertyFlag_Folder | FilePropertyFlag_Special)) return bytes;
  OsHandle h = os_open_file(OsOpen_Read, path);
  if (!h.value) {
    // Gone since the listing is not an error (the page is simply no longer there).
    if (!os_error_is_missing(os_last_error_code())) *error_out = os_last_error();
    return bytes;
  }
  // The size may have changed since the listing: read what the open file holds now.
  FileProperties now = os_handle_properties(h);
  *modified_out = now.modified;
  *size_out = now.size;
  arena_push(into, 0, page);
  FileRange range = {0, now.size};
  bytes = os_read_range(into, h, range);
  // The next file starts on a page of its own too: the read-only pages of this one end here.
  if (into == self->slab) arena_push(into, 0, page);
  // A read that failed part-way is no content: the file is reported, not half taken.
  if (os_last_error_code()) {
    *error_out = os_last_error();
    bytes = StrView{};
  }
  os_close_file(h);
  return bytes;
}

static void
fs_streamer_entry(u64 param) {
  FileStreamerThread *self = (FileStreamerThread *)param;
  FileService *service = self->service;
  thread_set_name("[FS] Streamer #%I64u", self->index);
  FileStreamer *fs = service->streamer;
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
    bool claimed = e && fs_transition(e, FileState_Queued, FileState_Loading);
    rwlock_unlock_shared(stripe->rwlock);

    //- load, store, publish
    if (claimed) {
      Arena *owner = 0;
      u64 modified = 0;
      const char *error = 0;
      u64 size = 0;
      StrView bytes = fs_load_file(self, &owner, path, &modified, &size, &error);
      ContentKey key = content_store(service, owner, bytes);
      rwlock_lock_exclusive(stripe->rwlock);
      ContentKey previous = fs_loads_of(e) ? e->key : ContentKey{};
      e->key = key;
      __atomic_store_n(&e->modified, modified, __ATOMIC_RELEASE);
      __atomic_store_n(&e->size, size, __ATOMIC_RELEASE);
      e->error = error;
      __atomic_store_n(&e->loads, e->loads + 1, __ATOMIC_RELEASE);
      __atomic_store_n(&e->state, (u32)FileState_Idle, __ATOMIC_RELEASE);
      rwlock_unlock_exclusive(stripe->rwlock);
      content_release(service, previous);
      __atomic_add_fetch(&service->loads, 1, __ATOMIC_ACQ_REL);
      condvar_wake_all(stripe->cv);
    }
    scratch_end(scratch);
  }
}

//~ Scanner

// Under listen, the kernel tells the scanner which names changed in the folders that
// discovery walked, and only those files' times are read again. A look at every file
// every few seconds catches what no notification says (a folder moved away, a file
// changed by a program that never closes it). Without notifications (none left, or
// none at all) every file's time is read every 100 ms, as before.
#define FS_FULL_LOOK_MS 5000
#define FS_PENDING_MAX 256

void
fs_set_scanning(FileService *service, bool on) {
  if (service) __atomic_store_n(&service->scanning, on ? 1u : 0u, __ATOMIC_RELEASE);
}

bool
fs_watch_folder(FileService *service, StrView folder) {
  if (!fs_watching(service) || !fs_scanning(service)) return false;
  FsWatch *watch = &service->watch;
  mutex_lock(watch->mutex);
  s32 w = os_watch_folder(watch->handle, folder);
  if (w < 0) {
    // A folder removed before it could be watched has nothing left to tell; only a watch
    // the system refuses sends the scanner back to looking at every file.
    if (!os_error_is_missing(os_last_error_code())) __atomic_store_n(&watch->failed, 1u, __ATOMIC_RELEASE);
    mutex_unlock(watch->mutex);
    return false;
  }
  if ((u64)w >= watch->folder_count) {
    u64 count = Max((u64)w + 1, watch->folder_count * 2);
    FsWatchFolder *bigger = push_array(watch->arena, FsWatchFolder, count);
    if (watch->folder_count) memcpy(bigger, watch->folders, sizeof(FsWatchFolder) * watch->folder_count);
    watch->folders = bigger;
    watch->folder_count = count;
  }
  FsWatchFolder *f = &watch->folders[w];
  if (!f->used || !str_equal(f->path, folder)) {
    f->path = str_push_copy(watch->arena, folder);
    f->used = 1;
  }
  mutex_unlock(watch->mutex);
  return true;
}

// The folder of a path as discovery writes folders, watched unless it was the last one.
static void
fs_watch_folder_of(FileService *service, StrView path) {
  if (!fs_scanning(service) || !fs_watching(service)) return;
  u64 slash = path.length;
  while (slash > 0 && path.data[slash - 1] != '/') slash -= 1;
  StrView folder = str_prefix(path, slash);
  FsWatch *watch = &service->watch;
  mutex_lock(watch->mutex);
  bool same = folder.length == watch->last_folder_length && memcmp(folder.data, watch->last_folder, folder.length) == 0;
  mutex_unlock(watch->mutex);
  if (same || !fs_watch_folder(service, folder) || folder.length > sizeof watch->last_folder) return;
  mutex_lock(watch->mutex);
  memcpy(watch->last_folder, folder.data, folder.length);
  watch->last_folder_length = folder.length;
  mutex_unlock(watch->mutex);
}

bool
fs_watching(FileService *service) {
  return service && service->watch.handle.value && !__atomic_load_n(&service->watch.failed, __ATOMIC_ACQUIRE);
}

void
fs_test_stop_watching(FileService *service) {
  __atomic_store_n(&service->watch.failed, 1u, __ATOMIC_RELEASE);
}

u64
fs_new_names(FileService *service) {
  return service ? __atomic_load_n(&service->watch.new_names, __ATOMIC_ACQUIRE) : 0;
}

static void
fs_count_new_name(FileService *service) {
  __atomic_add_fetch(&service->watch.new_names, 1, __ATOMIC_ACQ_REL);
}

// Queues a loaded, idle entry whose file's time or size moved (a load made while the
// file was being written may share the final time, within one tick of the clock, but
// not its size); false when a load is under way, so the entry is to be looked at
// again once it is done.
static bool
fs_look_at(FileService *service, FileEntry *e) {
  if (!fs_loads_of(e)) return true;  // never loaded: its first request loads it
  if (fs_state(e) != FileState_Idle) return false;
  u64 known = __atomic_load_n(&e->modified, __ATOMIC_ACQUIRE);
  u64 size = __atomic_load_n(&e->size, __ATOMIC_ACQUIRE);
  FileProperties now = os_path_properties(e->path);
  if (now.modified != known || now.size != size) fs_queue_entry(service, e, DEADLINE_NONE, false);
  return true;
}

// Every known file: the entries of one slot are listed under the shared stripe lock,
// then their times are read with no lock held, so a slow file system never holds off
// the streamers.
static void
fs_look_at_all(FileService *service) {
  StripedTable *t = &service->streamer->files;
  for (u64 s = 0; s < t->slot_count && fs_scanning(service); s += 1) {
    ArenaTemp scratch = scratch_begin(0, 0);
    Stripe *stripe = &t->stripes[s % t->stripe_count];
    rwlock_lock_shared(stripe->rwlock);
    u64 cap = 0;
    for (FileEntry *e = (FileEntry *)t->slots[s].first; e; e = e->next) cap += 1;
    FileEntry **idle = push_array_no_zero(scratch.arena, FileEntry *, cap + 1);
    u64 count = 0;
    for (FileEntry *e = (FileEntry *)t->slots[s].first; e && count < cap; e = e->next) {
      if (fs_loads_of(e) && fs_state(e) == FileState_Idle) idle[count++] = e;
    }
    rwlock_unlock_shared(stripe->rwlock);
    for (u64 i = 0; i < count; i += 1) fs_look_at(service, idle[i]);
    scratch_end(scratch);
  }
}

static FileEntry *
fs_entry_of(FileStreamer *fs, StrView path) {
  u64 h = str_hash_djb2(path);
  Stripe *stripe = striped_table_stripe(&fs->files, h);
  rwlock_lock_shared(stripe->rwlock);
  FileEntry *e = fs_find(striped_table_slot(&fs->files, h), path);
  rwlock_unlock_shared(stripe->rwlock);
  return e;
}

// A name the driver would pick up as a source: not hidden, a qil document or a page.
static bool
fs_name_is_source(StrView name) {
  if (!name.length || name.data[0] == '.') return false;
  StrView ext = str_skip_last_dot(name);
  return str_equal(ext, str_lit("qil")) || str_equal(ext, str_lit("html"));
}

static void
fs_scanner_entry(u64 param) {
  FileService *service = (FileService *)param;
  thread_set_name("[FS] Scanner");
  FileStreamer *fs = service->streamer;
  FsWatch *watch = &service->watch;
  // Entries that were loading when their news came.
  FileEntry *pending[FS_PENDING_MAX];
  u64 pending_count = 0;
  u64 last_full_look = os_now_micros();
  for (;;) {
    if (!fs_scanning(service)) {
      os_sleep_ms(100);
      continue;
    }
    if (!fs_watching(service)) {
      fs_look_at_all(service);
      os_sleep_ms(100);
      continue;
    }
    //- what the kernel says changed
    ArenaTemp scratch = scratch_begin(0, 0);
    OsWatchEvent *events = 0;
    u64 count = os_watch_read(scratch.arena, watch->handle, pending_count ? 20 : 500, &events);
    bool look_at_all = false;
    for (u64 i = 0; i < count; i += 1) {
      OsWatchEvent *ev = &events[i];
      if (ev->flags & OsWatch_Overflow) {
        look_at_all = true;
        fs_count_new_name(service);
        continue;
      }
      mutex_lock(watch->mutex);
      FsWatchFolder folder = ev->watch >= 0 && (u64)ev->watch < watch->folder_count
                                 ? watch->folders[ev->watch]
                                 : FsWatchFolder{};
      mutex_unlock(watch->mutex);
      if (!folder.used || !ev->name.length) continue;
      StrView path = str_pushf(scratch.arena, "%S%S", &folder.path, &ev->name);
      if (ev->flags & OsWatch_Folder) {
        // A folder made or moved in is watched before discovery lists it, so nothing
        // made in it afterwards goes unseen.
        if ((ev->flags & OsWatch_Changed) && ev->name.data[0] != '.') {
          fs_watch_folder(service, str_pushf(scratch.arena, "%S/", &path));
          fs_count_new_name(service);
        }
        continue;
      }
      FileEntry *e = fs_entry_of(fs, path);
      if (e) {
        if (fs_look_at(service, e)) continue;
        if (pending_count < FS_PENDING_MAX) pending[pending_count++] = e;
        else look_at_all = true;
      } else if ((ev->flags & OsWatch_Changed) && fs_name_is_source(ev->name)) {
        fs_count_new_name(service);
      }
    }
    scratch_end(scratch);

    //- entries that were loading when their news came
    u64 kept = 0;
    for (u64 i = 0; i < pending_count; i += 1) {
      if (!fs_look_at(service, pending[i])) pending[kept++] = pending[i];
    }
    pending_count = kept;

    //- now and then, every file
    u64 now = os_now_micros();
    if (look_at_all || now - last_full_look >= FS_FULL_LOOK_MS * 1000ull) {
      fs_look_at_all(service);
      last_full_look = now;
    }
  }
}

//~ Start-up

FileService *
fs_start(void) {
  ThreadContext *ctx = thread_context_get();
  if (!ctx || !ctx->is_main_thread) return 0;
  ContentRegistry *registry = content_registry_create();
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
  fs->streamers = push_array(arena, FileStreamerThread, fs->streamer_count);
  FileService *service = push_struct(arena, FileService);
  service->registry = registry;
  service->streamer = fs;
  service->scanning = 1;
  FsWatch *watch = &service->watch;
  watch->mutex = mutex_create();
  watch->arena = arena_create_sized(GB(1), KB(64));
  watch->handle = os_watch_open();
  watch->last_folder_length = ~0ull;
  for (u64 i = 0; i < fs->streamer_count; i += 1) {
    FileStreamerThread *streamer = &fs->streamers[i];
    streamer->service = service;
    streamer->index = i;
    streamer->thread = thread_start((u64)streamer, fs_streamer_entry);
  }
  service->scanner = thread_start((u64)service, fs_scanner_entry);
  return service;
}
