// File streaming: a request ring served by streamer threads, a striped file table
// watched by a scanner thread, and the content registry that keeps every distinct
// content once, read-only.
#pragma once

#include "base/base_strings.h"
#include "os/os_core.h"
#include "os/os_thread.h"

//~ Content registry

struct ContentKey {
  u64 lo;
  u64 hi;
};

struct ContentNode {
  ContentNode *next;
  ContentNode *prev;
  Arena *owner;
  ContentKey key;
  StrView bytes;
  u64 last_use;
  u64 holders;  // file entries and driver sources that hold this content
};

struct ContentRegistry {
  Arena *arena;
  StripedTable table;
  ContentNode **free_nodes;  // per stripe: records of contents given back, for reuse
};

inline bool content_key_equal(ContentKey a, ContentKey b) { return a.lo == b.lo && a.hi == b.hi; }
inline bool content_key_is_zero(ContentKey a) { return (a.lo | a.hi) == 0; }

struct FileService;

ContentKey content_key_from_bytes(StrView bytes);
// A content stays while someone holds it: each file entry holds the content of its
// latest load, and the driver holds what its records were built from. When the last
// holder lets go, the bytes are given back, so edits under `listen` do not pile up.
// Takes ownership of the arena holding the bytes (a duplicate content releases it);
// the caller holds the content once.
ContentKey content_store(FileService *service, Arena *owner, StrView bytes);
// The stored bytes, or an empty view when the key is unknown.
StrView content_lookup(FileService *service, ContentKey key);
// Holds the content and gives its bytes; false when it is no longer stored.
bool content_acquire(FileService *service, ContentKey key, StrView *bytes);
void content_release(FileService *service, ContentKey key);
// Number of distinct contents stored (for tests and benchmarks).
u64 content_registry_count(FileService *service);

//~ File streaming

#define FS_RING_SIZE 65536
#define FS_SLOT_COUNT 8192
#define FS_STRIPE_COUNT 64

// A path's place in the streaming cycle, held in `FileEntry.state` and changed only by
// compare-and-swap, so exactly one party makes each transition:
//   Idle -> Queued     file_request or the scanner, which then puts the path in the ring
//                      (no stripe lock held while it waits for ring space); back to Idle
//                      when the ring refused it before a deadline.
//   Queued -> Loading  the streamer that takes the path from the ring (shared stripe lock).
//   Loading -> Idle    that streamer, after publishing key, time and load count under the
//                      exclusive stripe lock; it then wakes the stripe's waiters.
// At most one request per path is in the ring. Entries are never removed, so a pointer
// to one stays valid without a lock; `key` and `loads` are read under the stripe lock,
// `modified` and `state` atomically.
enum FileState : u32 {
  FileState_Idle = 0,
  FileState_Queued = 1,
  FileState_Loading = 2,
};

struct FileEntry {
  FileEntry *next;
  StrView path;
  ContentKey key;
  u64 modified;  // of the bytes behind `key`, ns
  u64 size;      // of the file when they were read
  u64 loads;     // loads finished for this path
  const char *error;  // why the last load could not read the file; 0 when it could
  u32 state;     // FileState
};

struct FileSnapshot {
  ContentKey key;
  u64 modified;
  u64 loads;
  const char *error;  // the file exists but could not be read; its content is empty
  b32 ok;  // false when the deadline passed first
};

// One streamer thread's own state, reached through its thread parameter.
struct FileStreamerThread {
  FileService *service;
  ThreadRecord *thread;
  Arena *slab;  // small files of a run that reads each file once share it
  u64 index;
};

struct FileStreamer {
  Arena *arena;
  u8 *ring;
  u64 ring_size;
  u64 write_pos;
  u64 read_pos;
  MutexRecord *ring_mutex;
  CondVarRecord *ring_cv;
  StripedTable files;
  u64 streamer_count;
  FileStreamerThread *streamers;
};

// A folder the kernel watches for the scanner, by its watch number.
struct FsWatchFolder {
  StrView path;  // as discovery writes it: ending in '/', or empty for the current folder
  b32 used;
};

struct FsWatch {
  OsHandle handle;
  MutexRecord *mutex;
  Arena *arena;
  FsWatchFolder *folders;  // by watch number
  u64 folder_count;
  u32 failed;      // a folder could not be watched: every file is looked at instead
  u64 new_names;   // names that appeared in watched folders, counted
  // The folder watched last for a new file entry: the next entry is most often beside it.
  u64 last_folder_length;  // ~0 before the first
  u8 last_folder[1024];
};

// Everything the file service's callers and threads share; made once by fs_start and
// handed to every function below and to each thread it starts.
struct FileService {
  ContentRegistry *registry;
  FileStreamer *streamer;
  FsWatch watch;
  ThreadRecord *scanner;
  u32 scanning;  // whether the scanner looks for edits
  u64 loads;     // loads finished, over all paths
};

// Makes the registry and starts max(processors - 1, 2) streamer threads and the
// scanner; main thread, once per process. 0 off the main thread.
FileService *fs_start(void);
// Whether the scanner looks for edits (on by default); a run that does not listen reads
// each file once and needs no second look.
void fs_set_scanning(FileService *service, bool on);
// Listen mode: the folders the kernel tells the scanner about. `folder` is written as
// discovery writes it (ending in '/'; empty for the current folder). False when the
// run does not listen or the folder cannot be watched; after such a failure the
// scanner looks at every file again, and fs_watching() says so.
bool fs_watch_folder(FileService *service, StrView folder);
bool fs_watching(FileService *service);
// Test hook: the scanner goes back to reading every file's time, as after a failure.
void fs_test_stop_watching(FileService *service);
// Counts names of sources and folders that appeared in watched folders: a driver
// that listens looks for new files only when it moved.
u64 fs_new_names(FileService *service);
FileSnapshot file_request(FileService *service, StrView path, u64 deadline);
bool fs_enqueue(FileService *service, StrView path, u64 deadline);
// Loads finished since start, over all paths.
u64 fs_load_count(FileService *service);
