// Discovery of the source files below a target folder.
#include <stdlib.h>

#include "base/base_format.h"
#include "driver/driver_build.h"
#include "os/os_core.h"

static int
driver_compare_names(const void *a, const void *b) {
  const DirEntry *x = (const DirEntry *)a;
  const DirEntry *y = (const DirEntry *)b;
  u64 n = Min(x->name.length, y->name.length);
  int c = n ? memcmp(x->name.data, y->name.data, n) : 0;
  if (c) return c;
  return x->name.length < y->name.length ? -1 : x->name.length > y->name.length ? 1 : 0;
}

static bool
driver_is_source_name(StrView name) {
  StrView ext = str_skip_last_dot(name);
  return str_equal(ext, str_lit("html")) || str_equal(ext, str_lit("qil"));
}

StrList
driver_discover(FileService *service, Arena *arena, StrView target, u64 *unlisted) {
  StrList files = {};
  if (target.length == 0) return files;
  FileProperties props = os_path_properties(target);
  if ((props.flags & FilePropertyFlag_Special) && driver_is_source_name(target)) {
    console_eprintf("qilsite: '%.*s' is not a regular file: skipped\n", str_expand(target));
    return files;
  }
  if (!(props.flags & FilePropertyFlag_Folder)) {
    // A single file is watched through its folder.
    StrView folder = str_chop_last_slash_keep(target);
    fs_watch_folder(service, folder.length == target.length ? StrView{} : folder);
    str_list_push(arena, &files, target);
    return files;
  }
  ArenaTemp scratch = scratch_begin(&arena, 1);
  StrList folders = {};
  str_list_push(scratch.arena, &folders, path_ensure_trailing_slash(scratch.arena, target));
  for (StrNode *folder = folders.first; folder; folder = folder->next) {
    //- list the folder and order its entries by their bytes
    fs_watch_folder(service, folder->string);
    DirIterator it = os_dir_begin(scratch.arena, folder->string);
    if (!it.dir) {
      console_eprintf("qilsite: cannot list folder '%.*s': %s\n", str_expand(folder->string), os_last_error());
      if (unlisted) *unlisted += 1;
    }
    u64 cap = 64, count = 0;
    DirEntry *entries = push_array_no_zero(scratch.arena, DirEntry, cap);
    DirEntry e;
    while (os_dir_next(scratch.arena, &it, &e)) {
      if (count == cap) {
        DirEntry *bigger = push_array_no_zero(scratch.arena, DirEntry, cap * 2);
        memcpy(bigger, entries, sizeof(DirEntry) * count);
        entries = bigger;
        cap *= 2;
      }
      entries[count++] = e;
    }
    os_dir_end(&it);
    qsort(entries, count, sizeof(DirEntry), driver_compare_names);

    //- folders join the queue, everything else the file list
    for (u64 i = 0; i < count; i += 1) {
      StrView name = entries[i].name;
      if (entries[i].props.flags & FilePropertyFlag_Folder) {
        str_list_push(scratch.arena, &folders, str_pushf(scratch.arena, "%S%S/", &folder->string, &name));
      } else if ((entries[i].props.flags & FilePropertyFlag_Special) && driver_is_source_name(name)) {
        // A pipe or a device would block or never end; a dangling link has nothing to read.
        console_eprintf("qilsite: '%.*s%.*s' is not a regular file: skipped\n", str_expand(folder->string),
                        str_expand(name));
      } else {
        str_list_push(arena, &files, str_pushf(arena, "%S%S", &folder->string, &name));
      }
    }
  }
  scratch_end(scratch);
  return files;
}
