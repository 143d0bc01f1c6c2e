// POSIX implementation of the operating-system layer.
#include "os/os_core.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "os/os_thread.h"

static OsProcessInfo os_info;
static thread_local int os_errno;

//~ Helpers

// Paths cross into the system as NUL-terminated copies on scratch memory.
static const char *
os_cpath(Arena *scratch, StrView path) {
  return (const char *)str_push_copy(scratch, path).data;
}

static u64
os_stat_modified(const struct stat *st) {
  return (u64)st->st_mtim.tv_sec * 1000000000ull + (u64)st->st_mtim.tv_nsec;
}

static FileProperties
os_props_from_stat(const struct stat *st) {
  FileProperties p = {};
  if (S_ISDIR(st->st_mode)) p.flags |= FilePropertyFlag_Folder;
  else if (!S_ISREG(st->st_mode)) p.flags |= FilePropertyFlag_Special;
  p.size = S_ISREG(st->st_mode) ? (u64)st->st_size : 0;
  p.modified = os_stat_modified(st);
  return p;
}

static int
os_fd(OsHandle h) {
  return (int)h.value - 1;
}

static OsHandle
os_handle_from_fd(int fd) {
  OsHandle h = {};
  if (fd >= 0) h.value = (u64)fd + 1;
  return h;
}

const char *
os_last_error(void) {
  return strerror(os_errno);
}

u32
os_last_error_code(void) {
  return (u32)os_errno;
}

bool
os_error_is_missing(u32 code) {
  return code == ENOENT || code == ENOTDIR;
}

//~ Fail points

// A bit per armed point; the counters are read only once the bit is seen. Only
// the arming thread's calls count, so threads the test did not start (streamers
// making their arenas) never take its failure.
static u32 os_fail_armed;
static u64 os_fail_first[OsFail_COUNT];
static u64 os_fail_count[OsFail_COUNT];
static u64 os_fail_calls[OsFail_COUNT];
static void *os_fail_thread[OsFail_COUNT];
static thread_local u8 os_fail_thread_tag;

static bool
os_fail_slow(OsFailPoint point) {
  u32 bit = 1u << point;
  if (!(__atomic_load_n(&os_fail_armed, __ATOMIC_ACQUIRE) & bit)) return false;
  void *thread = __atomic_load_n(&os_fail_thread[point], __ATOMIC_ACQUIRE);
  if (thread && thread != (void *)&os_fail_thread_tag) return false;
  u64 call = __atomic_add_fetch(&os_fail_calls[point], 1, __ATOMIC_ACQ_REL);
  u64 first = __atomic_load_n(&os_fail_first[point], __ATOMIC_ACQUIRE);
  u64 count = __atomic_load_n(&os_fail_count[point], __ATOMIC_ACQUIRE);
  if (call + 1 >= first + count) __atomic_fetch_and(&os_fail_armed, ~bit, __ATOMIC_ACQ_REL);
  return call >= first && call < first + count;
}

static inline bool
os_fail_now(OsFailPoint point) {
  if (__builtin_expect(__atomic_load_n(&os_fail_armed, __ATOMIC_RELAXED) == 0, 1)) return false;
  return os_fail_slow(point);
}

void
os_test_fail_span(OsFailPoint point, u64 n, u64 count) {
  if (point >= OsFail_COUNT) return;
  u32 bit = 1u << point;
  __atomic_fetch_and(&os_fail_armed, ~bit, __ATOMIC_ACQ_REL);
  if (n == 0 || count == 0) return;
  __atomic_store_n(&os_fail_first[point], n, __ATOMIC_RELEASE);
  __atomic_store_n(&os_fail_count[point], count, __ATOMIC_RELEASE);
  __atomic_store_n(&os_fail_calls[point], 0, __ATOMIC_RELEASE);
  __atomic_store_n(&os_fail_thread[point], (void *)&os_fail_thread_tag, __ATOMIC_RELEASE);
  __atomic_fetch_or(&os_fail_armed, bit, __ATOMIC_ACQ_REL);
}

void
os_test_fail_nth(OsFailPoint point, u64 n) {
  os_test_fail_span(point, n, 1);
}

// QILSITE_TEST_FAIL=POINT:N (write, rename, commit, read, chmod, sync, library) fails the Nth call
// at the point made by any thread of the process: a whole run under one fault.
static void
os_test_fail_from_environment(void) {
  const char *spec = getenv("QILSITE_TEST_FAIL");
  if (!spec) return;
  const char *names[OsFail_COUNT] = {"write", "rename", "commit", "read", "chmod", "sync", "library"};
  for (u32 p = 0; p < OsFail_COUNT; p += 1) {
    u64 len = strlen(names[p]);
    if (strncmp(spec, names[p], len) != 0 || spec[len] != ':') continue;
    u64 n = strtoull(spec + len + 1, 0, 10);
    os_test_fail_span((OsFailPoint)p, n, 1);
    __atomic_store_n(&os_fail_thread[p], (void *)0, __ATOMIC_RELEASE);
  }
}

//~ Files

OsHandle
os_open_file(u32 mode, StrView path) {
  OsHandle h = {};
  ArenaTemp scratch = scratch_begin(0, 0);
  int flags = O_CLOEXEC;
  if ((mode & OsOpen_Read) && (mode & OsOpen_Write)) flags |= O_RDWR;
  else if (mode & OsOpen_Write) flags |= O_WRONLY;
  else flags |= O_RDONLY | O_NONBLOCK;  // a FIFO must not block the opener
  if (mode & OsOpen_Create) flags |= O_CREAT | O_TRUNC;
  if (mode & OsOpen_NoFollow) flags |= O_NOFOLLOW;
  os_errno = 0;
  int fd = open(os_cpath(scratch.arena, path), flags, 0644);
  if (fd < 0) {
    os_errno = errno;
  } else if (!(mode & OsOpen_Write)) {
    // Reading is for regular files only (the non-blocking mode has no effect on them).
    struct stat st;
    bool stat_ok = fstat(fd, &st) == 0;
    if (!stat_ok || !S_ISREG(st.st_mode)) {
      os_errno = stat_ok && S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
      close(fd);
      fd = -1;
    }
  }
  if (fd >= 0) h.value = (u64)fd + 1;
  scratch_end(scratch);
  return h;
}

void
os_close_file(OsHandle handle) {
  if (handle.value) close(os_fd(handle));
}

OsHandle
os_lock_open(StrView path) {
  OsHandle h = {};
  ArenaTemp scratch = scratch_begin(0, 0);
  os_errno = 0;
  int fd = open(os_cpath(scratch.arena, path), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) os_errno = errno;
  else h.value = (u64)fd + 1;
  scratch_end(scratch);
  return h;
}

bool
os_lock_take(OsHandle h, bool wait) {
  if (!h.value) return false;
  for (;;) {
    if (flock(os_fd(h), LOCK_EX | (wait ? 0 : LOCK_NB)) == 0) return true;
    if (errno != EINTR) {
      os_errno = errno;
      return false;
    }
  }
}

FileProperties
os_handle_properties(OsHandle handle) {
  FileProperties p = {};
  struct stat st;
  if (handle.value && fstat(os_fd(handle), &st) == 0) p = os_props_from_stat(&st);
  return p;
}

static void
os_status_from_stat(const struct stat *st, FileStatus *out) {
  MemoryZeroStruct(out);
  out->props = os_props_from_stat(st);
  out->mode = (u32)(st->st_mode & 07777);
  out->owner = (u32)st->st_uid;
  out->group = (u32)st->st_gid;
  out->links = (u64)st->st_nlink;
  out->device = (u64)st->st_dev;
  out->inode = (u64)st->st_ino;
}

bool
os_path_status(StrView path, FileStatus *out) {
  ArenaTemp scratch = scratch_begin(0, 0);
  struct stat st;
  bool ok = stat(os_cpath(scratch.arena, path), &st) == 0;
  if (ok) os_status_from_stat(&st, out);
  else os_errno = errno;
  if (!ok) MemoryZeroStruct(out);
  scratch_end(scratch);
  return ok;
}

FileProperties
os_path_properties(StrView path) {
  FileStatus st;
  os_path_status(path, &st);
  return st.props;
}

// Decided by the system's answer alone: an empty file stamped at time 0 exists too.
bool
os_path_exists(StrView path) {
  FileStatus st;
  return os_path_status(path, &st);
}

bool
os_handle_status(OsHandle handle, FileStatus *out) {
  struct stat st;
  MemoryZeroStruct(out);
  if (!handle.value) {
    os_errno = EBADF;
    return false;
  }
  if (fstat(os_fd(handle), &st) != 0) {
    os_errno = errno;
    return false;
  }
  os_status_from_stat(&st, out);
  return true;
}

StrView
os_real_path(Arena *arena, StrView path) {
  StrView r = {};
  ArenaTemp scratch = scratch_begin(&arena, 1);
  char buf[PATH_MAX];
  if (realpath(os_cpath(scratch.arena, path), buf)) r = str_push_copy(arena, str_from_cstr(buf));
  else os_errno = errno;
  scratch_end(scratch);
  return r;
}

bool
os_path_writable(StrView path) {
  ArenaTemp scratch = scratch_begin(0, 0);
  bool ok = access(os_cpath(scratch.arena, path), W_OK) == 0;
  if (!ok) os_errno = errno;
  scratch_end(scratch);
  return ok;
}

// Clears the last error first, so a short read of a file that shrank meanwhile is
// told apart from one the system refused.
StrView
os_read_range(Arena *arena, OsHandle handle, FileRange range) {
  StrView r = {};
  os_errno = 0;
  if (!handle.value || range.last <= range.first) return r;
  u64 want = range.last - range.first;
  u8 *p = push_array_no_zero(arena, u8, want);
  if (!p) {
    os_errno = ENOMEM;
    return r;
  }
  // An injected failure stops half-way, as a failing disk may.
  bool injected = os_fail_now(OsFail_Read);
  u64 limit = injected ? want / 2 : want;
  u64 got = 0;
  while (got < limit) {
    u64 piece = Min(limit - got, (u64)0x7ffff000);
    ssize_t n = pread(os_fd(handle), p + got, piece, (off_t)(range.first + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) os_errno = errno;
    if (n <= 0) break;
    got += (u64)n;
  }
  if (injected && got == limit) os_errno = EIO;
  arena_pop(arena, want - got);
  return str_make(p, got);
}

StrView
os_read_file(Arena *arena, StrView path) {
  StrView r = {};
  OsHandle h = os_open_file(OsOpen_Read | OsOpen_ShareRead, path);
  if (!h.value) return r;
  FileProperties props = os_handle_properties(h);
  FileRange range = {0, props.size};
  r = os_read_range(arena, h, range);
  if (os_errno) {
    // Part of a file is never handed out as if it were all of it.
    arena_pop(arena, r.length);
    r = StrView{};
  }
  int err = os_errno;
  os_close_file(h);
  os_errno = err;
  return r;
}

u64
os_write_range(OsHandle handle, FileRange range, StrView bytes) {
  if (!handle.value || range.last <= range.first) return 0;
  u64 want = Min(range.last - range.first, bytes.length);
  // An injected failure stops half-way, as a disk that fills up does.
  bool injected = os_fail_now(OsFail_Write);
  if (injected) want /= 2;
  u64 done = 0;
  while (done < want) {
    u64 piece = Min(want - done, (u64)0x7ffff000);
    ssize_t n = pwrite(os_fd(handle), bytes.data + done, piece, (off_t)(range.first + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      os_errno = n < 0 ? errno : ENOSPC;
      break;
    }
    done += (u64)n;
  }
  if (injected && done == want) os_errno = ENOSPC;
  return done;
}

bool
os_write_file(StrView path, StrView bytes) {
  if (!os_make_dirs_for_file(path)) return false;
  OsHandle h = os_open_file(OsOpen_Write | OsOpen_Create, path);
  if (!h.value) return false;
  FileRange range = {0, bytes.length};
  bool ok = os_write_range(h, range, bytes) == bytes.length;
  if (close(os_fd(h)) != 0 && ok) {
    os_errno = errno;
    ok = false;
  }
  return ok;
}

bool
os_close_file_checked(OsHandle handle) {
  if (!handle.value) return true;
  if (close(os_fd(handle)) == 0) return true;
  os_errno = errno;
  return false;
}

//~ Temporary files
// Every temporary file the process makes is named for it (".qilsite-<pid>-XXXXXX") and
// listed here until it is renamed or removed: a stop signal removes what is left, and a
// later run removes those whose process is gone.

#define OS_TEMP_PREFIX ".qilsite-"

struct OsTempEntry {
  OsTempEntry *next;
  u64 length;
  char path[PATH_MAX];
};

struct OsSweptFolder {
  OsSweptFolder *next;
  StrView path;
};

#define OS_SWEPT_SLOTS 1024

static struct {
  pthread_mutex_t mutex;  // the list, the swept folders
  pthread_mutex_t hold;   // held through writes a stop must not cut in two
  Arena *arena;
  OsTempEntry *first;
  OsTempEntry *free;
  OsSweptFolder *swept[OS_SWEPT_SLOTS];
} os_temps = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER, 0, 0, 0, {}};

// Under the list's lock.
static bool
os_temp_track(const char *path, u64 length) {
  if (length >= PATH_MAX) return false;
  if (!os_temps.arena) os_temps.arena = arena_create_sized(MB(64), KB(64));
  OsTempEntry *e = os_temps.free;
  if (e) os_temps.free = e->next;
  else if (os_temps.arena) e = push_array_no_zero(os_temps.arena, OsTempEntry, 1);
  if (!e) return false;
  memcpy(e->path, path, length + 1);
  e->length = length;
  e->next = os_temps.first;
  os_temps.first = e;
  return true;
}

static void
os_temp_untrack(StrView path) {
  if (path.length < sizeof OS_TEMP_PREFIX) return;
  pthread_mutex_lock(&os_temps.mutex);
  for (OsTempEntry **at = &os_temps.first; *at; at = &(*at)->next) {
    OsTempEntry *e = *at;
    if (e->length == path.length && memcmp(e->path, path.data, path.length) == 0) {
      *at = e->next;
      e->next = os_temps.free;
      os_temps.free = e;
      break;
    }
  }
  pthread_mutex_unlock(&os_temps.mutex);
}

OsHandle
os_create_temp_file(Arena *arena, StrView folder, StrView *path_out) {
  ArenaTemp scratch = scratch_begin(&arena, 1);
  StrView f = folder;
  while (f.length > 1 && f.data[f.length - 1] == '/') f.length -= 1;
  const char *sep = f.length && f.data[f.length - 1] == '/' ? "" : "/";
  StrView tmpl = str_pushf(scratch.arena, "%S%s" OS_TEMP_PREFIX "%d-XXXXXX", &f, sep, (int)getpid());
  // Made and listed under the lock, so a stop never misses one.
  pthread_mutex_lock(&os_temps.mutex);
  // mkostemp opens with O_CREAT | O_EXCL, which never follows a link at the name.
  int fd = mkostemp((char *)tmpl.data, O_CLOEXEC);
  if (fd < 0) os_errno = errno;
  if (fd >= 0 && !os_temp_track((const char *)tmpl.data, tmpl.length)) {
    unlink((const char *)tmpl.data);
    close(fd);
    fd = -1;
    os_errno = ENOMEM;
  }
  pthread_mutex_unlock(&os_temps.mutex);
  *path_out = fd >= 0 ? str_push_copy(arena, tmpl) : StrView{};
  scratch_end(scratch);
  return os_handle_from_fd(fd);
}

void
os_temp_hold_begin(void) {
  pthread_mutex_lock(&os_temps.hold);
}

void
os_temp_hold_end(void) {
  pthread_mutex_unlock(&os_temps.hold);
}

// The process id in a temporary file's name, or 0 when the name is not one of ours.
static int
os_temp_owner(const char *name) {
  u64 n = sizeof OS_TEMP_PREFIX - 1;
  if (strncmp(name, OS_TEMP_PREFIX, n) != 0) return 0;
  int pid = 0;
  const char *c = name + n;
  for (; *c >= '0' && *c <= '9' && pid < 100000000; c += 1) pid = pid * 10 + (*c - '0');
  return *c == '-' ? pid : 0;
}

u64
os_temp_sweep(StrView folder) {
  ArenaTemp scratch = scratch_begin(0, 0);
  StrView f = folder.length ? folder : str_lit(".");
  //- once per folder and process
  u64 slot = str_hash_djb2(f) % OS_SWEPT_SLOTS;
  pthread_mutex_lock(&os_temps.mutex);
  bool seen = false;
  for (OsSweptFolder *s = os_temps.swept[slot]; s && !seen; s = s->next) seen = str_equal(s->path, f);
  if (!seen) {
    if (!os_temps.arena) os_temps.arena = arena_create_sized(MB(64), KB(64));
    OsSweptFolder *s = os_temps.arena ? push_struct(os_temps.arena, OsSweptFolder) : 0;
    if (s) {
      s->path = str_push_copy(os_temps.arena, f);
      s->next = os_temps.swept[slot];
      os_temps.swept[slot] = s;
    }
  }
  pthread_mutex_unlock(&os_temps.mutex);
  u64 removed = 0;
  int dfd = seen ? -1 : open(os_cpath(scratch.arena, f), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR *d = dfd >= 0 ? fdopendir(dfd) : 0;
  if (!d && dfd >= 0) close(dfd);
  int self = (int)getpid();
  for (struct dirent *e; d && (e = readdir(d)) != 0;) {
    int pid = os_temp_owner(e->d_name);
    // A process that is gone left it; a live one (another run elsewhere) is left alone.
    if (!pid || pid == self || kill(pid, 0) == 0 || errno != ESRCH) continue;
    if (unlinkat(dirfd(d), e->d_name, 0) == 0) removed += 1;
  }
  if (d) closedir(d);
  scratch_end(scratch);
  return removed;
}

//~ Stop signals

static void *
os_stop_thread(void *param) {
  sigset_t *set = (sigset_t *)param;
  int sig = 0;
  while (sigwait(set, &sig) != 0) {
  }
  //- no write is cut in two, and no temporary file is made after this: the locks stay held
  pthread_mutex_lock(&os_temps.hold);
  pthread_mutex_lock(&os_temps.mutex);
  u64 removed = 0;
  for (OsTempEntry *e = os_temps.first; e; e = e->next) {
    if (unlink(e->path) == 0) removed += 1;
  }
  // What was said and still sits in a buffer goes out first, unless a writer holds it.
  FILE *streams[2] = {stdout, stderr};
  for (FILE *f : streams) {
    if (ftrylockfile(f) != 0) continue;
    fflush_unlocked(f);
    funlockfile(f);
  }
  char line[160];
  int n = snprintf(line, sizeof line, "\nqilsite: stopped by %s; %llu temporary %s removed\n",
                   sig == SIGINT ? "SIGINT" : "SIGTERM", (unsigned long long)removed, removed == 1 ? "file" : "files");
  if (n > 0 && write(2, line, (size_t)Min(n, (int)sizeof line - 1)) < 0) {
  }
  _exit(128 + sig);
  return 0;
}

bool
os_stop_signals_catch(void) {
  static sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  // Blocked here, in the main thread before any other starts, so every thread inherits
  // the mask and only the waiting thread takes them.
  if (pthread_sigmask(SIG_BLOCK, &set, 0) != 0) return false;
  pthread_t t;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  bool ok = pthread_create(&t, &attr, os_stop_thread, &set) == 0;
  pthread_attr_destroy(&attr);
  if (!ok) pthread_sigmask(SIG_UNBLOCK, &set, 0);
  return ok;
}

OsHandle
os_create_new_file(StrView path) {
  ArenaTemp scratch = scratch_begin(0, 0);
  int fd = open(os_cpath(scratch.arena, path), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) os_errno = errno;
  scratch_end(scratch);
  return os_handle_from_fd(fd);
}

bool
os_handle_sync(OsHandle handle) {
  if (os_fail_now(OsFail_Sync)) {
    os_errno = EIO;
    return false;
  }
  if (handle.value && fsync(os_fd(handle)) == 0) return true;
  os_errno = handle.value ? errno : EBADF;
  return false;
}

bool
os_sync_file_system(StrView path) {
  if (os_fail_now(OsFail_Sync)) {
    os_errno = EIO;
    return false;
  }
  ArenaTemp scratch = scratch_begin(0, 0);
  int fd = open(os_cpath(scratch.arena, path), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  scratch_end(scratch);
  if (fd < 0) {
    os_errno = errno;
    return false;
  }
  bool ok = syncfs(fd) == 0;
  if (!ok) os_errno = errno;
  close(fd);
  return ok;
}

bool
os_handle_truncate(OsHandle handle, u64 size) {
  if (handle.value && ftruncate(os_fd(handle), (off_t)size) == 0) return true;
  os_errno = handle.value ? errno : EBADF;
  return false;
}

bool
os_handle_set_permissions(OsHandle handle, u32 mode) {
  if (os_fail_now(OsFail_Chmod)) {
    os_errno = EIO;
    return false;
  }
  if (handle.value && fchmod(os_fd(handle), (mode_t)(mode & 07777)) == 0) return true;
  os_errno = handle.value ? errno : EBADF;
  return false;
}

bool
os_handle_set_owner(OsHandle handle, u32 owner, u32 group) {
  if (!handle.value) {
    os_errno = EBADF;
    return false;
  }
  int fd = os_fd(handle);
  if (fchown(fd, (uid_t)owner, (gid_t)group) == 0) return true;
  if (errno != EPERM) {
    os_errno = errno;
    return false;
  }
  // Not allowed to give the file away: the group alone may still be ours to set.
  if (fchown(fd, (uid_t)-1, (gid_t)group) == 0 || errno == EPERM) return true;
  os_errno = errno;
  return false;
}

bool
os_replace_file(StrView from, StrView to) {
  if (os_fail_now(OsFail_Rename)) {
    os_errno = EIO;
    return false;
  }
  ArenaTemp scratch = scratch_begin(0, 0);
  bool ok = rename(os_cpath(scratch.arena, from), os_cpath(scratch.arena, to)) == 0;
  if (!ok) os_errno = errno;
  scratch_end(scratch);
  if (ok) os_temp_untrack(from);
  return ok;
}

bool
os_rename_no_replace(StrView from, StrView to) {
  if (os_fail_now(OsFail_Rename)) {
    os_errno = EIO;
    return false;
  }
  ArenaTemp scratch = scratch_begin(0, 0);
  const char *f = os_cpath(scratch.arena, from);
  const char *t = os_cpath(scratch.arena, to);
  bool ok = renameat2(AT_FDCWD, f, AT_FDCWD, t, RENAME_NOREPLACE) == 0;
  if (!ok && (errno == EINVAL || errno == ENOSYS)) {
    // A file system without the flag: a hard link fails as well when the name is taken.
    ok = link(f, t) == 0;
    if (ok) unlink(f);
  }
  if (!ok) os_errno = errno;
  scratch_end(scratch);
  if (ok) os_temp_untrack(from);
  return ok;
}

u32
os_new_file_mode(void) {
  return os_info.new_file_mode ? os_info.new_file_mode : 0644u;
}

bool
os_delete_file(StrView path) {
  ArenaTemp scratch = scratch_begin(0, 0);
  bool ok = unlink(os_cpath(scratch.arena, path)) == 0;
  if (!ok) os_errno = errno;
  scratch_end(scratch);
  os_temp_untrack(path);
  return ok;
}

//~ Folders

bool
os_make_dirs_for_file(StrView path) {
  ArenaTemp scratch = scratch_begin(0, 0);
  bool ok = true;
  StrList parts = path_split(scratch.arena, path);
  StrList sofar = {};
  for (StrNode *n = parts.first; n && n->next && ok; n = n->next) {
    str_list_push(scratch.arena, &sofar, n->string);
    if (n->string.length == 0) continue;
    // An absolute path keeps its leading empty component, so the join starts with "/".
    StrJoin join = {{}, str_lit("/"), {}};
    StrView dir = str_list_join(scratch.arena, &sofar, &join);
    if (mkdir((const char *)dir.data, 0755) != 0 && errno != EEXIST) {
      os_errno = errno;
      ok = false;
    }
  }
  scratch_end(scratch);
  return ok;
}

DirIterator
os_dir_begin(Arena *arena, StrView folder) {
  DirIterator it = {};
  StrView f = str_chop_last_slash_keep(str_trim_whitespace(folder));
  if (f.length == 0 || !char_is_slash(f.data[f.length - 1])) f = str_pushf(arena, "%S/", &f);
  else f = str_push_copy(arena, f);
  it.folder = f;
  ArenaTemp scratch = scratch_begin(&arena, 1);
  it.dir = opendir(os_cpath(scratch.arena, f));
  if (!it.dir) os_errno = errno;
  scratch_end(scratch);
  return it;
}

bool
os_dir_next(Arena *arena, DirIterator *it, DirEntry *out) {
  if (!it->dir) return false;
  DIR *d = (DIR *)it->dir;
  for (;;) {
    struct dirent *e = readdir(d);
    if (!e) return false;
    const char *name = e->d_name;
    if (name[0] == '.' && (name[1] == 0 || name[1] == '.')) continue;
    MemoryZeroStruct(out);
    out->name = str_push_copy(arena, str_from_cstr(name));
    struct stat st;
    // Symbolic links are followed for their kind, but a linked folder is not walked
    // into, so a link cycle cannot make discovery endless.
    if (fstatat(dirfd(d), name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
      if (S_ISLNK(st.st_mode)) {
        struct stat target;
        if (fstatat(dirfd(d), name, &target, 0) == 0) {
          out->props = os_props_from_stat(&target);
          if (out->props.flags & FilePropertyFlag_Folder) out->props.flags = FilePropertyFlag_Special;
        } else {
          out->props.flags = FilePropertyFlag_Special;
        }
      } else {
        out->props = os_props_from_stat(&st);
      }
    }
    it->first_taken = 1;
    return true;
  }
}

void
os_dir_end(DirIterator *it) {
  if (it->dir) closedir((DIR *)it->dir);
  it->dir = 0;
}

bool
os_stderr_is_terminal(void) {
  return isatty(2) == 1;
}

bool
os_stderr_wants_color(void) {
  // https://no-color.org: any non-empty value turns colour off.
  const char *no_color = getenv("NO_COLOR");
  if (no_color && no_color[0]) return false;
  return os_stderr_is_terminal();
}

StrView
os_self_image(Arena *arena) {
  return os_read_file(arena, str_lit("/proc/self/exe"));
}

StrView
os_current_dir(Arena *arena) {
  char *buf = getcwd(0, 0);
  StrView r = {};
  if (buf) {
    r = str_push_copy(arena, str_from_cstr(buf));
    free(buf);
  }
  return r;
}

//~ Time

u64
os_now_micros(void) {
  struct timespec ts;
  if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return 0;
  return (u64)ts.tv_sec * 1000000ull + (u64)ts.tv_nsec / 1000ull;
}

u64
os_now_unix_seconds(void) {
  struct timespec ts;
  if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return 0;
  return (u64)ts.tv_sec;
}

void
os_sleep_ms(u64 ms) {
  struct timespec ts;
  ts.tv_sec = (time_t)(ms / 1000);
  ts.tv_nsec = (long)((ms % 1000) * 1000000);
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

//~ Memory

void *
os_reserve(u64 size) {
  void *p = mmap(0, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) {
    os_errno = errno;
    return 0;
  }
  return p;
}

bool
os_commit(void *p, u64 size) {
  if (os_fail_now(OsFail_Commit)) {
    os_errno = ENOMEM;
    return false;
  }
  if (mprotect(p, AlignPow2(size, 4096), PROT_READ | PROT_WRITE) == 0) return true;
  os_errno = errno;
  return false;
}

void
os_release(void *p, u64 size) {
  munmap(p, size);
}

bool
os_protect_read_only(void *p, u64 size) {
  if (mprotect(p, size, PROT_READ) == 0) return true;
  os_errno = errno;
  return false;
}

//~ Threads

void
os_thread_set_system_name(StrView name) {
  char sys[16];
  u64 n = Min(name.length, (u64)15);
  memcpy(sys, name.data, n);
  sys[n] = 0;
  pthread_setname_np(pthread_self(), sys);
}

//~ Libraries

// The loader's text lives until its next call on the thread: a copy is kept instead.
static thread_local char os_library_words[512];

static void
os_library_note(const char *words) {
  snprintf(os_library_words, sizeof os_library_words, "%s", words ? words : "unknown error");
}

OsLibrary
os_library_open(StrView soname) {
  OsLibrary lib = {};
  // On the stack: a load may come before the thread has scratch memory.
  char name[256];
  if (soname.length >= sizeof name) {
    os_library_note("the library's name is too long");
    return lib;
  }
  if (soname.length) memcpy(name, soname.data, soname.length);
  name[soname.length] = 0;
  if (os_fail_now(OsFail_Library)) {
    snprintf(os_library_words, sizeof os_library_words, "%s: cannot open shared object file (test fault)", name);
  } else {
    lib.handle = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (!lib.handle) os_library_note(dlerror());
  }
  return lib;
}

void *
os_library_symbol(OsLibrary library, const char *name) {
  if (!library.handle) return 0;
  dlerror();
  void *address = dlsym(library.handle, name);
  if (!address) os_library_note(dlerror());
  return address;
}

const char *
os_library_error(void) {
  return os_library_words;
}

// Loads are rare and short: one lock serves every table.
static pthread_mutex_t os_library_mutex = PTHREAD_MUTEX_INITIALIZER;

bool
os_library_load(OsLibraryTable *t) {
  u32 state = __atomic_load_n(&t->state, __ATOMIC_ACQUIRE);
  if (state != OsLibraryState_Untried) return state == OsLibraryState_Ready;
  pthread_mutex_lock(&os_library_mutex);
  state = __atomic_load_n(&t->state, __ATOMIC_ACQUIRE);
  if (state == OsLibraryState_Untried) {
    OsLibrary lib = os_library_open(str_from_cstr(t->soname));
    bool ok = lib.handle != 0;
    for (u64 i = 0; ok && i < t->function_count; i += 1) {
      void *address = os_library_symbol(lib, t->functions[i].name);
      ok = address != 0;
      // Copied as bytes: the slot is a function pointer, not a void pointer.
      memcpy(t->functions[i].slot, &address, sizeof address);
    }
    if (!ok) {
      for (u64 i = 0; i < t->function_count; i += 1) memset(t->functions[i].slot, 0, sizeof(void *));
      snprintf(t->error, sizeof t->error, "cannot load %s (%s); the Debian package %s provides it", t->soname,
               os_library_error(), t->package);
    }
    // The library stays open for the process: its functions may be called until the end.
    state = ok ? OsLibraryState_Ready : OsLibraryState_Missing;
    __atomic_store_n(&t->state, state, __ATOMIC_RELEASE);
  }
  pthread_mutex_unlock(&os_library_mutex);
  return state == OsLibraryState_Ready;
}

//~ Process

void
os_process_init(void) {
  ThreadContext *ctx = thread_context_get();
  if (!ctx || !ctx->is_main_thread || os_info.page_size) return;
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  os_info.processor_count = n > 0 ? (u64)n : 1;
  long ps = sysconf(_SC_PAGESIZE);
  os_info.page_size = ps > 0 ? (u64)ps : 4096;
  os_info.allocation_granularity = os_info.page_size;
  os_info.large_page_minimum = 0;
  os_info.counter_frequency = 1000000;  // the monotonic clock is read in microseconds
  // The mode a file made with 0644 gets; read while no other thread runs, since reading
  // the mask means setting it.
  mode_t mask = umask(022);
  umask(mask);
  os_info.new_file_mode = 0644u & ~(u32)mask;
  arena_set_page_granule(os_info.page_size);
  os_thread_pools_init();
  os_test_fail_from_environment();
}

const OsProcessInfo *
os_process_info(void) {
  return &os_info;
}

//~ Folder watches

OsHandle
os_watch_open(void) {
  int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) {
    os_errno = errno;
    return OsHandle{0};
  }
  return OsHandle{(u64)fd + 1};
}

s32
os_watch_folder(OsHandle h, StrView folder) {
  if (!h.value) return -1;
  ArenaTemp scratch = scratch_begin(0, 0);
  // What editors do when they save: write and close, rename over, remove and make anew.
  // A time set alone comes as a modification, not as an attribute change.
  u32 mask = IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
             IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
  int wd = inotify_add_watch((int)(h.value - 1), os_cpath(scratch.arena, folder.length ? folder : str_lit(".")), mask);
  if (wd < 0) os_errno = errno;
  scratch_end(scratch);
  return wd;
}

u64
os_watch_read(Arena *arena, OsHandle h, u64 ms, OsWatchEvent **events) {
  *events = 0;
  if (!h.value) return 0;
  int fd = (int)(h.value - 1);
  struct pollfd p = {fd, POLLIN, 0};
  if (poll(&p, 1, (int)Min(ms, (u64)INT_MAX)) <= 0) return 0;
  alignas(struct inotify_event) u8 buffer[16384];
  u64 cap = 64, count = 0;
  OsWatchEvent *out = push_array_no_zero(arena, OsWatchEvent, cap);
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    for (ssize_t at = 0; at + (ssize_t)sizeof(struct inotify_event) <= n;) {
      const struct inotify_event *ev = (const struct inotify_event *)(buffer + at);
      at += (ssize_t)sizeof(struct inotify_event) + ev->len;
      u32 flags = 0;
      if (ev->mask & (IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB | IN_CREATE | IN_MOVED_TO)) flags |= OsWatch_Changed;
      if (ev->mask & (IN_DELETE | IN_MOVED_FROM)) flags |= OsWatch_Gone;
      if (ev->mask & IN_ISDIR) flags |= OsWatch_Folder;
      if (ev->mask & IN_Q_OVERFLOW) flags |= OsWatch_Overflow;
      if (ev->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) flags |= OsWatch_Ended;
      if (!flags) continue;
      if (count == cap) {
        OsWatchEvent *bigger = push_array_no_zero(arena, OsWatchEvent, cap * 2);
        memcpy(bigger, out, sizeof(OsWatchEvent) * count);
        out = bigger;
        cap *= 2;
      }
      StrView name = ev->len ? str_push_copy(arena, str_from_cstr(ev->name)) : StrView{};
      out[count++] = OsWatchEvent{ev->wd, flags, name};
    }
  }
  *events = out;
  return count;
}
