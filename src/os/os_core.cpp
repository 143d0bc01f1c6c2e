// POSIX implementation of the operating-system layer.
#include "os/os_core.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
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

const char *
os_last_error(void) {
  return strerror(os_errno);
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

FileProperties
os_handle_properties(OsHandle handle) {
  FileProperties p = {};
  struct stat st;
  if (handle.value && fstat(os_fd(handle), &st) == 0) p = os_props_from_stat(&st);
  return p;
}

FileProperties
os_path_properties(StrView path) {
  FileProperties p = {};
  ArenaTemp scratch = scratch_begin(0, 0);
  struct stat st;
  if (stat(os_cpath(scratch.arena, path), &st) == 0) p = os_props_from_stat(&st);
  else os_errno = errno;
  scratch_end(scratch);
  return p;
}

bool
os_path_exists(StrView path) {
  FileProperties p = os_path_properties(path);
  return p.modified || p.flags || p.size;
}

StrView
os_read_range(Arena *arena, OsHandle handle, FileRange range) {
  StrView r = {};
  if (!handle.value || range.last <= range.first) return r;
  u64 want = range.last - range.first;
  u8 *p = push_array_no_zero(arena, u8, want);
  if (!p) return r;
  u64 got = 0;
  while (got < want) {
    u64 piece = Min(want - got, (u64)0x7ffff000);
    ssize_t n = pread(os_fd(handle), p + got, piece, (off_t)(range.first + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += (u64)n;
  }
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
  os_close_file(h);
  return r;
}

u64
os_write_range(OsHandle handle, FileRange range, StrView bytes) {
  if (!handle.value || range.last <= range.first) return 0;
  u64 want = Min(range.last - range.first, bytes.length);
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

void
os_sleep_ms(u64 ms) {
  struct timespec ts;
  ts.tv_sec = (time_t)(ms / 1000);
  ts.tv_nsec = (long)((ms % 1000) * 1000000);
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
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
  arena_set_page_granule(os_info.page_size);
  os_thread_pools_init();
}

const OsProcessInfo *
os_process_info(void) {
  return &os_info;
}
