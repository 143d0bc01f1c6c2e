// Output writing: serialize, then replace the file without ever leaving it half-written.
#include "emit/emit.h"

#include "base/base_format.h"
#include "os/os_core.h"
#include "site/site_path.h"

//~ Helpers

static bool
emit_bytes_equal(StrView a, StrView b) {
  return a.length == b.length && (a.length == 0 || memcmp(a.data, b.data, a.length) == 0);
}

static bool
emit_write_all(OsHandle h, StrView bytes) {
  FileRange range = {0, bytes.length};
  return os_write_range(h, range, bytes) == bytes.length;
}

// The reason is copied at once: later calls may change the system's text.
static StrView
emit_reason(Arena *arena) {
  return str_push_copy(arena, str_from_cstr(os_last_error()));
}

//~ Messages (exactly one line for each outcome that is not a success)

static WriteStatus
emit_say_failed(StrView path, StrView reason) {
  console_eprintf("qilsite: cannot write '%.*s': %.*s\n", str_expand(path), str_expand(reason));
  return WriteStatus_Failed;
}

static WriteStatus
emit_say_changed(StrView path) {
  console_eprintf("qilsite: '%.*s' changed during the build and was not rewritten\n", str_expand(path));
  return WriteStatus_Changed;
}

static WriteStatus
emit_say_missing(StrView path) {
  console_eprintf("qilsite: '%.*s' was deleted during the build and was not written again\n", str_expand(path));
  return WriteStatus_Missing;
}

static WriteStatus
emit_say_outside(StrView path, StrView real) {
  console_eprintf("qilsite: '%.*s' points outside the target folder (to '%.*s'); checked but not rewritten\n",
                  str_expand(path), str_expand(real));
  return WriteStatus_Outside;
}

//~ Checks

// Whether the open file still holds what was read: a different size means changed,
// the same size and time are trusted, otherwise the bytes decide.
static WriteStatus
emit_check_expect(Arena *arena, OsHandle h, StrView path, const WriteExpect *expect) {
  FileStatus st;
  if (!os_handle_status(h, &st)) return emit_say_failed(path, emit_reason(arena));
  if (st.props.flags & (FilePropertyFlag_Folder | FilePropertyFlag_Special)) return emit_say_changed(path);
  if (st.props.size != expect->bytes.length) return emit_say_changed(path);
  if (st.props.modified == expect->modified) return WriteStatus_Written;
  FileRange range = {0, st.props.size};
  StrView now = os_read_range(arena, h, range);
  if (os_last_error_code()) {
    StrView reason = str_pushf(arena, "reading it again failed: %s", os_last_error());
    return emit_say_failed(path, reason);
  }
  return emit_bytes_equal(now, expect->bytes) ? WriteStatus_Written : emit_say_changed(path);
}

static WriteStatus
emit_check_expect_at(Arena *arena, StrView path, StrView real, const WriteExpect *expect) {
  OsHandle h = os_open_file(OsOpen_Read | OsOpen_NoFollow, real);
  if (!h.value) {
    if (os_error_is_missing(os_last_error_code())) return emit_say_missing(path);
    StrView reason = str_pushf(arena, "reading it again failed: %s", os_last_error());
    return emit_say_failed(path, reason);
  }
  WriteStatus s = emit_check_expect(arena, h, path, expect);
  os_close_file(h);
  return s;
}

//~ Writers

// A file that does not exist yet: made directly, with nothing old to keep.
// The folder the last new file went into, as it was checked and made: a build writes
// many pages into one folder, and each check costs a walk of the path. One per thread,
// since pages are written by the driver and by its background writer.
static thread_local struct {
  u8 folder[1024];
  u64 folder_length;
  u8 inside[1024];
  u64 inside_length;
  u8 real[1024];
  u64 real_length;
} emit_last_folder;

static bool
emit_last_folder_is(StrView folder, StrView inside) {
  return emit_last_folder.folder_length && str_equal(folder, str_make(emit_last_folder.folder, emit_last_folder.folder_length)) &&
         str_equal(inside, str_make(emit_last_folder.inside, emit_last_folder.inside_length));
}

static void
emit_last_folder_keep(StrView folder, StrView inside, StrView real) {
  emit_last_folder.folder_length = 0;
  if (folder.length > 1024 || inside.length > 1024 || real.length > 1024) return;
  if (folder.length) MemoryCopy(emit_last_folder.folder, folder.data, folder.length);
  if (inside.length) MemoryCopy(emit_last_folder.inside, inside.data, inside.length);
  if (real.length) MemoryCopy(emit_last_folder.real, real.data, real.length);
  emit_last_folder.inside_length = inside.length;
  emit_last_folder.real_length = real.length;
  emit_last_folder.folder_length = folder.length;
}

static WriteStatus emit_write_new_checked(Arena *arena, StrView path, StrView bytes, StrView inside, bool sync);
static WriteStatus emit_write_new_into(Arena *arena, StrView path, StrView target, OsHandle h, StrView tmp,
                                      StrView bytes, bool sync);

static WriteStatus
emit_write_new(Arena *arena, StrView path, StrView bytes, StrView inside, bool sync) {
  StrView folder = site_fs_folder(path);
  if (emit_last_folder_is(folder, inside)) {
    StrView real_folder = str_make(emit_last_folder.real, emit_last_folder.real_length);
    StrView name = site_fs_name(path);
    const char *sep = real_folder.data[real_folder.length - 1] == '/' ? "" : "/";
    StrView target = str_pushf(arena, "%S%s%S", &real_folder, sep, &name);
    StrView tmp = {};
    OsHandle h = os_create_temp_file(arena, real_folder, &tmp);
    if (h.value) return emit_write_new_into(arena, path, target, h, tmp, bytes, sync);
    // The folder changed since: everything is checked again.
    emit_last_folder.folder_length = 0;
  }
  return emit_write_new_checked(arena, path, bytes, inside, sync);
}

static WriteStatus
emit_write_new_checked(Arena *arena, StrView path, StrView bytes, StrView inside, bool sync) {
  StrView folder = site_fs_folder(path);
  if (inside.length) {
    // The nearest folder that exists must lie in the target before any folder is made.
    StrView f = folder;
    StrView real = os_real_path(arena, f);
    while (!real.length && os_error_is_missing(os_last_error_code()) && !str_equal(f, site_fs_folder(f))) {
      f = site_fs_folder(f);
      real = os_real_path(arena, f);
    }
    if (!real.length) return emit_say_failed(path, emit_reason(arena));
    StrView folder_real = inside;
    while (folder_real.length > 1 && folder_real.data[folder_real.length - 1] == '/') folder_real.length -= 1;
    if (!str_equal(real, folder_real) && !site_fs_below(real, inside)) return emit_say_outside(path, real);
  }
  if (!os_make_dirs_for_file(path)) return emit_say_failed(path, emit_reason(arena));
  StrView real_folder = os_real_path(arena, folder);
  if (!real_folder.length) return emit_say_failed(path, emit_reason(arena));
  StrView name = site_fs_name(path);
  const char *sep = real_folder.data[real_folder.length - 1] == '/' ? "" : "/";
  StrView target = str_pushf(arena, "%S%s%S", &real_folder, sep, &name);
  if (inside.length && !site_fs_below(target, inside)) return emit_say_outside(path, target);
  // What a run stopped here before left behind is cleared once, in every folder written.
  os_temp_sweep(real_folder);
  StrView tmp = {};
  OsHandle h = os_create_temp_file(arena, real_folder, &tmp);
  if (!h.value) return emit_say_failed(path, emit_reason(arena));
  emit_last_folder_keep(folder, inside, real_folder);
  return emit_write_new_into(arena, path, target, h, tmp, bytes, sync);
}

// The new bytes go to a temporary file that takes the page's name only once complete, so
// a run stopped half-way leaves no empty or cut page under it. The name is taken only
// while free: a file or link that appeared meanwhile is never written through or over.
static WriteStatus
emit_write_new_into(Arena *arena, StrView path, StrView target, OsHandle h, StrView tmp, StrView bytes, bool sync) {
  bool ok = emit_write_all(h, bytes) && os_handle_set_permissions(h, os_new_file_mode()) &&
            (!sync || os_handle_sync(h));
  StrView reason = ok ? StrView{} : emit_reason(arena);
  if (!os_close_file_checked(h) && ok) {
    ok = false;
    reason = emit_reason(arena);
  }
  if (ok && !os_rename_no_replace(tmp, target)) {
    ok = false;
    reason = emit_reason(arena);
  }
  if (!ok) {
    os_delete_file(tmp);
    return emit_say_failed(path, reason);
  }
  return WriteStatus_Written;
}

// One link: a temporary file beside the real one is renamed over it, so the old
// file stays whole until the new one is complete.
static WriteStatus emit_replace_with(Arena *arena, StrView path, StrView real, StrView tmp, const WriteExpect *expect);

static WriteStatus
emit_write_beside(Arena *arena, StrView path, StrView real, StrView bytes, const FileStatus *st,
                 const WriteExpect *expect, bool sync, const WriteOptions *options) {
  StrView tmp = {};
  os_temp_sweep(site_fs_folder(real));
  OsHandle h = os_create_temp_file(arena, site_fs_folder(real), &tmp);
  if (!h.value) return emit_say_failed(path, emit_reason(arena));
  WritePending *defer = options ? options->defer : 0;
  // The owner goes first: changing it may clear set-id bits that the mode then restores.
  bool ok = emit_write_all(h, bytes) && os_handle_set_owner(h, st->owner, st->group) &&
            os_handle_set_permissions(h, st->mode) && (!sync || defer || os_handle_sync(h));
  StrView reason = ok ? StrView{} : emit_reason(arena);
  if (!os_close_file_checked(h) && ok) {
    ok = false;
    reason = emit_reason(arena);
  }
  if (!ok) {
    os_delete_file(tmp);
    return emit_say_failed(path, reason);
  }
  if (defer) {
    Arena *keep = options->defer_arena;
    defer->path = str_push_copy(keep, path);
    defer->real = str_push_copy(keep, real);
    defer->temp = str_push_copy(keep, tmp);
    defer->device = st->device;
    defer->has_expect = expect != 0;
    if (expect) defer->expect = *expect;
    return WriteStatus_Pending;
  }
  return emit_replace_with(arena, path, real, tmp, expect);
}

static WriteStatus
emit_replace_with(Arena *arena, StrView path, StrView real, StrView tmp, const WriteExpect *expect) {
  StrView reason = {};
  // Checked as late as possible, so an edit made while the page was built is kept.
  if (expect) {
    WriteStatus s = emit_check_expect_at(arena, path, real, expect);
    if (s != WriteStatus_Written) {
      os_delete_file(tmp);
      return s;
    }
  }
  if (!os_replace_file(tmp, real)) {
    reason = emit_reason(arena);
    os_delete_file(tmp);
    console_eprintf("qilsite: cannot replace '%.*s': %.*s\n", str_expand(path), str_expand(reason));
    return WriteStatus_Failed;
  }
  return WriteStatus_Written;
}

// Several hard links: a rename would split the twins into two files, so the file is
// written in place. Its old bytes are copied aside first and stay there until the
// new ones are safely in.
static WriteStatus emit_write_in_place_held(Arena *arena, StrView path, StrView real, StrView bytes,
                                           const WriteExpect *expect);

// A stop signal waits for the whole of it: stopped half-way, the file would be cut and
// its copy removed.
static WriteStatus
emit_write_in_place(Arena *arena, StrView path, StrView real, StrView bytes, const WriteExpect *expect) {
  os_temp_sweep(site_fs_folder(real));
  os_temp_hold_begin();
  WriteStatus s = emit_write_in_place_held(arena, path, real, bytes, expect);
  os_temp_hold_end();
  return s;
}

static WriteStatus
emit_write_in_place_held(Arena *arena, StrView path, StrView real, StrView bytes, const WriteExpect *expect) {
  OsHandle h = os_open_file(OsOpen_Read | OsOpen_Write | OsOpen_NoFollow, real);
  if (!h.value) {
    if (expect && os_error_is_missing(os_last_error_code())) return emit_say_missing(path);
    return emit_say_failed(path, emit_reason(arena));
  }
  WriteStatus s = expect ? emit_check_expect(arena, h, path, expect) : WriteStatus_Written;
  if (s != WriteStatus_Written) {
    os_close_file(h);
    return s;
  }
  FileProperties props = os_handle_properties(h);
  FileRange range = {0, props.size};
  StrView old = os_read_range(arena, h, range);
  if (os_last_error_code()) {
    StrView reason = emit_reason(arena);
    os_close_file(h);
    return emit_say_failed(path, reason);
  }

  //- the copy of the old bytes
  StrView copy = {};
  OsHandle c = os_create_temp_file(arena, site_fs_folder(real), &copy);
  bool ok = c.value && emit_write_all(c, old) && os_handle_sync(c);
  StrView reason = ok ? StrView{} : emit_reason(arena);
  if (c.value && !os_close_file_checked(c) && ok) {
    ok = false;
    reason = emit_reason(arena);
  }
  if (!ok) {
    if (c.value) os_delete_file(copy);
    os_close_file(h);
    return emit_say_failed(path, reason);
  }

  //- the new bytes over the old ones, then the file cut to their length
  // Overwriting before truncating reuses the file's blocks, so a full disk is met later if at all.
  ok = emit_write_all(h, bytes) && os_handle_truncate(h, bytes.length) && os_handle_sync(h);
  if (!ok) {
    reason = emit_reason(arena);
    bool restored = emit_write_all(h, old) && os_handle_truncate(h, old.length) && os_handle_sync(h);
    os_close_file(h);
    if (!restored) {
      console_eprintf("qilsite: cannot write '%.*s': %.*s; its old content is kept in '%.*s'\n", str_expand(path),
                      str_expand(reason), str_expand(copy));
      return WriteStatus_Failed;
    }
    os_delete_file(copy);
    return emit_say_failed(path, reason);
  }
  // The bytes are on disk already (synced), so a late close error cannot lose them.
  os_close_file(h);
  os_delete_file(copy);
  return WriteStatus_Written;
}

static WriteStatus
emit_replace_on(Arena *arena, StrView path, StrView bytes, const WriteOptions *options) {
  const WriteExpect *expect = options ? options->expect : 0;
  StrView inside = options ? options->inside_folder : StrView{};
  FileStatus st;
  if (!os_path_status(path, &st)) {
    if (!os_error_is_missing(os_last_error_code())) return emit_say_failed(path, emit_reason(arena));
    //- a page that was read must never be made again once it is gone
    if (expect) return emit_say_missing(path);
    return emit_write_new(arena, path, bytes, inside, !(options && options->no_sync));
  }

  //- only regular files are replaced: never a folder, a device or a pipe
  if (st.props.flags & (FilePropertyFlag_Folder | FilePropertyFlag_Special)) {
    console_eprintf("qilsite: cannot write '%.*s': not a regular file\n", str_expand(path));
    return WriteStatus_Refused;
  }

  //- a link is followed only to a file inside the target folder
  StrView real = os_real_path(arena, path);
  if (!real.length) {
    if (expect && os_error_is_missing(os_last_error_code())) return emit_say_missing(path);
    return emit_say_failed(path, emit_reason(arena));
  }
  if (inside.length && !site_fs_below(real, inside)) return emit_say_outside(path, real);

  //- a file that already holds these bytes is left alone (no new time for the scanner)
  if (st.props.size == bytes.length) {
    StrView now = os_read_file(arena, real);
    if (!os_last_error_code() && emit_bytes_equal(now, bytes)) return WriteStatus_Unchanged;
  }

  //- a file without any write permission is the user's to keep, even from root
  if ((st.mode & 0222) == 0 || !os_path_writable(real)) {
    console_eprintf("qilsite: '%.*s' is read-only; checked but not rewritten\n", str_expand(path));
    return WriteStatus_Refused;
  }

  if (st.links > 1) return emit_write_in_place(arena, path, real, bytes, expect);
  return emit_write_beside(arena, path, real, bytes, &st, expect, !(options && options->no_sync), options);
}

WriteStatus
emit_commit_pending(const WritePending *p, bool synced) {
  ArenaTemp scratch = scratch_begin(0, 0);
  WriteStatus s = WriteStatus_Written;
  if (!synced) {
    OsHandle h = os_open_file(OsOpen_Read | OsOpen_Write | OsOpen_NoFollow, p->temp);
    bool ok = h.value && os_handle_sync(h);
    StrView reason = ok ? StrView{} : emit_reason(scratch.arena);
    if (h.value) os_close_file(h);
    if (!ok) {
      os_delete_file(p->temp);
      s = emit_say_failed(p->path, reason);
    }
  }
  if (s == WriteStatus_Written) s = emit_replace_with(scratch.arena, p->path, p->real, p->temp, p->has_expect ? &p->expect : 0);
  scratch_end(scratch);
  return s;
}

//~ Entry points

WriteStatus
emit_replace_file(StrView path, StrView bytes, const WriteOptions *options) {
  ArenaTemp scratch = scratch_begin(0, 0);
  WriteStatus s = emit_replace_on(scratch.arena, path, bytes, options);
  scratch_end(scratch);
  return s;
}

WriteStatus
emit_html_page(Arena *arena, HtmlNode *root, StrView path, const WriteOptions *options) {
  ArenaTemp scratch = scratch_begin(&arena, 1);
  StrList pieces = {};
  html_write(scratch.arena, &pieces, root);
  StrView text = str_list_join(scratch.arena, &pieces, 0);
  WriteStatus s = emit_replace_file(path, text, options);
  scratch_end(scratch);
  return s;
}

bool
emit_write_file_safely(StrView path, StrView bytes) {
  WriteStatus s = emit_replace_file(path, bytes, 0);
  return s == WriteStatus_Written || s == WriteStatus_Unchanged;
}

bool
emit_html_file(Arena *arena, HtmlNode *root, StrView path) {
  WriteStatus s = emit_html_page(arena, root, path, 0);
  return s == WriteStatus_Written || s == WriteStatus_Unchanged;
}

WriteStatus
emit_create_file(StrView path, StrView bytes) {
  ArenaTemp scratch = scratch_begin(0, 0);
  // Synced: a starter site is the user's from now on, not something a rebuild makes again.
  WriteStatus status = emit_write_new(scratch.arena, path, bytes, StrView{}, true);
  scratch_end(scratch);
  return status;
}
