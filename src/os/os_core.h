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

struct FileRange {
  u64 first;
  u64 last;
};

enum OsOpenFlags : u32 {
  OsOpen_Read = 1,
  OsOpen_Write = 2,
  OsOpen_Create = 8,
  OsOpen_ShareRead = 16,
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
};

//~ Files

StrView os_read_file(Arena *arena, StrView path);
OsHandle os_open_file(u32 mode, StrView path);
void os_close_file(OsHandle handle);
FileProperties os_path_properties(StrView path);
// True when the path names anything (file, folder or special file), following links.
bool os_path_exists(StrView path);
FileProperties os_handle_properties(OsHandle handle);
StrView os_read_range(Arena *arena, OsHandle handle, FileRange range);
u64 os_write_range(OsHandle handle, FileRange range, StrView bytes);
// Writes a whole output file; false when it could not be written completely.
bool os_write_file(StrView path, StrView bytes);
// The system's reason for the last failure on this thread.
const char *os_last_error(void);

//~ Folders

bool os_make_dirs_for_file(StrView path);
DirIterator os_dir_begin(Arena *arena, StrView folder);
bool os_dir_next(Arena *arena, DirIterator *it, DirEntry *out);
void os_dir_end(DirIterator *it);
StrView os_current_dir(Arena *arena);

//~ Time

u64 os_now_micros(void);
void os_sleep_ms(u64 ms);

//~ Process

void os_process_init(void);
const OsProcessInfo *os_process_info(void);
