// The operating-system layer: files, folders, time and process facts.
#pragma once

#include "base/base_strings.h"

//~ Types

enum FilePropertyFlags : u32 {
  FilePropertyFlag_Folder = 1 << 0,
  // Not a regular file or folder (FIFO, socket, device): never opened for reading.
  FilePropertyFlag_Special = 1 << 1,
};

struct FileProperties {
  u32 flags;
  u64 size;
  u64 modified;  // nanoseconds since the epoch; compared for equality only
};

// What the writer needs to keep a file's identity and rights when it replaces it.
struct FileStatus {
  FileProperties props;
  u32 mode;  // permission bits, 07777
  u32 owner;
  u32 group;
  u64 links;
  u64 device;
  u64 inode;
};

struct FileRange {
  u64 first;
  u64 last;
};

enum OsOpenFlags : u32 {
  OsOpen_Read = 1,
  OsOpen_Write = 2,
  OsOpen_Create = 8,
  OsOpen_ShareRead = 16,
  // The last path component must not be a symbolic link.
  OsOpen_NoFollow = 32,
};

struct OsHandle {
  u64 value;  // file descriptor + 1; 0 is no handle
};

struct DirIterator {
  void *dir;  // DIR*
  u32 first_taken;
  StrView folder;  // folder path with its trailing slash, on the iterator's arena
};

struct DirEntry {
  StrView name;
  FileProperties props;
};

struct OsProcessInfo {
  u64 processor_count;
  u64 page_size;
  u64 allocation_granularity;
  u64 large_page_minimum;
  u64 counter_frequency;
  u32 new_file_mode;  // what a new file made with 0644 gets under the process's mask
};

// Places where tests can make the system fail on purpose.
enum OsFailPoint : u32 {
  OsFail_Write,   // os_write_range writes half, then fails with ENOSPC
  OsFail_Rename,  // os_replace_file fails with EIO
  OsFail_Commit,  // os_commit fails with ENOMEM
  OsFail_Read,    // os_read_range reads half, then fails with EIO
  OsFail_Chmod,   // os_handle_set_permissions fails with EIO
  OsFail_Sync,    // os_handle_sync and os_sync_file_system fail with EIO
  OsFail_Library, // os_library_open fails as when the library is not installed
  OsFail_COUNT,
};

//~ Files

// A failed read returns nothing and sets the thread's last error; a successful one
// (an empty file too) clears it, so callers tell the two apart with os_last_error_code.
StrView os_read_file(Arena *arena, StrView path);
// No handle (value 0) on failure, with the last error set; success clears it.
OsHandle os_open_file(u32 mode, StrView path);
void os_close_file(OsHandle handle);
// An advisory lock: the file at `path` (made when missing) is opened, then taken for this
// process until it ends or closes the handle; without `wait`, false at once when another
// process holds it.
OsHandle os_lock_open(StrView path);
bool os_lock_take(OsHandle h, bool wait);
FileProperties os_path_properties(StrView path);
// True when the path names anything (file, folder or special file), following links.
bool os_path_exists(StrView path);
FileProperties os_handle_properties(OsHandle handle);
// Follows links; false with the last error set when the path names nothing usable.
bool os_path_status(StrView path, FileStatus *out);
bool os_handle_status(OsHandle handle, FileStatus *out);
// The path with every link and dot resolved; empty (last error set) when it cannot be.
StrView os_real_path(Arena *arena, StrView path);
// True when this process may write the file (the system's access check).
bool os_path_writable(StrView path);
// Fewer bytes than asked for at the end of the file; when the system failed, the
// last error is set (it is cleared first), so a caller checks os_last_error_code.
StrView os_read_range(Arena *arena, OsHandle handle, FileRange range);
u64 os_write_range(OsHandle handle, FileRange range, StrView bytes);
// Writes a whole output file; false when it could not be written completely.
bool os_write_file(StrView path, StrView bytes);
// Makes an empty file named ".qilsite-XXXXXX" in the folder, readable only by its owner.
// It is never opened through a link, nor an existing file; its path goes on the arena.
OsHandle os_create_temp_file(Arena *arena, StrView folder, StrView *path_out);
// Between these, a stop signal waits: for writes that must not be cut in two.
void os_temp_hold_begin(void);
void os_temp_hold_end(void);
// Removes the temporary files that processes now gone left in the folder; once per folder
// and process. Returns how many it removed.
u64 os_temp_sweep(StrView folder);
// SIGINT and SIGTERM stop the process on a thread of their own: the temporary files it
// made are removed, then it exits with 128 and the signal's number. Main thread, before
// any other thread starts.
bool os_stop_signals_catch(void);
// A new file that must not exist yet (nor be a link); made with the usual permissions.
OsHandle os_create_new_file(StrView path);
// Closes the handle and reports a failure the system reports on close (delayed writes).
bool os_close_file_checked(OsHandle handle);
bool os_handle_sync(OsHandle handle);
// Everything written to the file system that holds `path` is on the disk: one wait for
// many files written one after the other (syncfs).
bool os_sync_file_system(StrView path);
bool os_handle_truncate(OsHandle handle, u64 size);
bool os_handle_set_permissions(OsHandle handle, u32 mode);
// Gives the file this owner and group as far as this process may: where it may not
// change them (EPERM), it keeps what it can and still reports success.
bool os_handle_set_owner(OsHandle handle, u32 owner, u32 group);
// Renames `from` over `to` in one step; `to` is replaced even when it is a link.
bool os_replace_file(StrView from, StrView to);
// The file at `from` takes the name `to` only while no file has that name.
bool os_rename_no_replace(StrView from, StrView to);
// The permissions a new file gets (0644 under the process's mask).
u32 os_new_file_mode(void);
bool os_delete_file(StrView path);
// The system's reason for the last failure on this thread.
const char *os_last_error(void);
// The system's error number for it (0 after a read or open that succeeded).
u32 os_last_error_code(void);
// True when the error means the path names nothing (no such file or folder).
bool os_error_is_missing(u32 code);

//~ Folders

bool os_make_dirs_for_file(StrView path);
DirIterator os_dir_begin(Arena *arena, StrView folder);
bool os_dir_next(Arena *arena, DirIterator *it, DirEntry *out);
void os_dir_end(DirIterator *it);
StrView os_current_dir(Arena *arena);
// The bytes of the running program's file; empty when they cannot be read.
StrView os_self_image(Arena *arena);
// Whether standard error is a terminal (progress lines are drawn only there).
bool os_stderr_is_terminal(void);
// Whether colour on standard error is wanted: a terminal, and NO_COLOR not set (or empty).
bool os_stderr_wants_color(void);

//~ Folder watches

// The kernel's notifications of changes in folders (inotify), so a build that listens
// looks at a file only when something happened to it.
enum OsWatchFlag : u32 {
  OsWatch_Changed = 1 << 0,   // written to, touched, made, or renamed in
  OsWatch_Gone = 1 << 1,      // removed or renamed away
  OsWatch_Folder = 1 << 2,    // the name is a folder
  OsWatch_Overflow = 1 << 3,  // events were lost: everything may have changed
  OsWatch_Ended = 1 << 4,     // the watched folder itself is gone
};

struct OsWatchEvent {
  s32 watch;     // the folder's watch, as os_watch_folder returned it
  u32 flags;     // OsWatchFlag
  StrView name;  // in the folder; empty for the folder itself
};

// A handle for watches; value 0 when the system gives none.
OsHandle os_watch_open(void);
// The folder's watch (the same one for a folder watched twice), or -1.
s32 os_watch_folder(OsHandle h, StrView folder);
// Waits at most `ms` for changes and returns those read (on the arena), in order.
u64 os_watch_read(Arena *arena, OsHandle h, u64 ms, OsWatchEvent **events);

//~ Time

u64 os_now_micros(void);
// Seconds since 1970 by the wall clock: for times kept between runs.
u64 os_now_unix_seconds(void);
void os_sleep_ms(u64 ms);

//~ Memory

// Address space with no access; 0 when none is left.
void *os_reserve(u64 size);
// Makes reserved pages readable and writable.
bool os_commit(void *p, u64 size);
void os_release(void *p, u64 size);
// Pages that must not change any more; `p` starts a page.
bool os_protect_read_only(void *p, u64 size);

//~ Threads

// Linux keeps at most 15 bytes of the name.
void os_thread_set_system_name(StrView name);

//~ Libraries
// The libraries only some runs need (HTTP client, HTTP server, report writers) are opened
// when a run first needs them: loading them and what they bring costs every run otherwise.

struct OsLibrary {
  void *handle;  // 0: none
};

// Every symbol is bound at once and none is shared with later libraries; no handle on
// failure, with os_library_error saying why.
OsLibrary os_library_open(StrView soname);
// 0 when the library has no such symbol (os_library_error says so).
void *os_library_symbol(OsLibrary library, const char *name);
// The loader's words for this thread's last failure of the two above.
const char *os_library_error(void);

// A function a table wants: its name in the library and the function pointer it fills.
struct OsLibraryFunction {
  const char *name;
  void *slot;
};

enum OsLibraryState : u32 {
  OsLibraryState_Untried = 0,
  OsLibraryState_Ready = 1,
  OsLibraryState_Missing = 2,
};

// A library's functions, looked up the first time a feature asks for them.
struct OsLibraryTable {
  const char *soname;
  const char *package;  // the Debian package that installs it
  const OsLibraryFunction *functions;
  u64 function_count;
  u32 state;        // OsLibraryState
  char error[512];  // once Missing: the library, the loader's words and what to install
};

// Opens the table's library and fills every slot, once per process whichever thread comes
// first; later calls only read the outcome. False when the library or one of its functions
// is missing: then no slot is set and `error` says why in one line.
bool os_library_load(OsLibraryTable *table);

// `table`: one function pointer per name that LIST(X, table) gives as X(table, name), each
// typed from the library's own declaration (decltype does not evaluate it, so nothing is
// linked); `table##_library` fills it from `soname`. A user includes the library's header,
// declares the table, then defines each name as (*table.name), so calls read as before.
#define OS_LIBRARY_SLOT(table, name) decltype(&::name) name;
#define OS_LIBRARY_ENTRY(table, name) {#name, &table.name},
#define OS_LIBRARY_TABLE(table, LIST, soname, package)                                              \
  static struct {                                                                                   \
    LIST(OS_LIBRARY_SLOT, table)                                                                    \
  } table;                                                                                          \
  static const OsLibraryFunction table##_functions[] = {LIST(OS_LIBRARY_ENTRY, table)};            \
  static OsLibraryTable table##_library = {soname, package, table##_functions, ArrayCount(table##_functions), 0, {}};

//~ Process

void os_process_init(void);
const OsProcessInfo *os_process_info(void);

//~ Test hooks

// The nth call at the point from now on, made on this thread, fails (n = 0 disarms
// the point); one relaxed load is all a disarmed point costs.
void os_test_fail_nth(OsFailPoint point, u64 n);
// The same, but `count` calls in a row fail from the nth on.
void os_test_fail_span(OsFailPoint point, u64 n, u64 count);
