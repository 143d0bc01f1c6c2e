// Links: address tests, "~" expansion, local resolution and existence.
#include "net/net_link.h"

#include "net/net_url.h"
#include "os/os_core.h"

//~ Addresses

bool
url_has_scheme(StrView text) {
  for (u64 i = 0; i < text.length; i += 1) {
    u8 c = text.data[i];
    if (c == ':') return i > 0;
    if (!(char_is_letter(c) || (i > 0 && (char_is_digit(c) || c == '+' || c == '-' || c == '.')))) return false;
  }
  return false;
}

bool
link_is_address(StrView target) {
  return url_has_scheme(target) || str_match(str_lit("//"), target, StrMatchFlag_Prefix);
}

bool
link_is_web_address(StrView target) {
  return url_is_web_address(url_parse(target));
}

bool
link_is_never_checked(StrView target) {
  StrView t = str_prefix(target, Min(str_find(target, 0, str_lit("?"), 0), str_find(target, 0, str_lit("#"), 0)));
  StrView path = url_parse(t).path;
  if (path.length == 0) path = t;
  StrView ext = str_skip_last_dot(path);
  if (ext.length == path.length) return false;
  return str_match(ext, str_lit("js"), StrMatchFlag_CaseInsensitive) ||
         str_match(ext, str_lit("ico"), StrMatchFlag_CaseInsensitive);
}

//~ Local targets

StrView
link_expand_root(Arena *arena, StrView target, StrView root) {
  if (root.length == 0 || str_find(target, 0, str_lit("~"), 0) == target.length) return target;
  bool root_slash = char_is_slash(root.data[root.length - 1]);
  ArenaTemp scratch = scratch_begin(&arena, 1);
  StrList parts = {};
  u64 start = 0;
  for (u64 k = 0; k < target.length; k += 1) {
    if (target.data[k] != '~') continue;
    str_list_push(scratch.arena, &parts, str_substr(target, start, k));
    str_list_push(scratch.arena, &parts, root);
    start = k + 1;
    if (root_slash && start < target.length && char_is_slash(target.data[start])) start += 1;
  }
  str_list_push(scratch.arena, &parts, str_substr(target, start, target.length));
  StrView r = str_list_join(arena, &parts, 0);
  scratch_end(scratch);
  return r;
}

StrView
link_fold_path(Arena *arena, StrView path) {
  ArenaTemp scratch = scratch_begin(&arena, 1);
  bool absolute = path.length && char_is_slash(path.data[0]);
  bool folder = path.length && char_is_slash(path.data[path.length - 1]);
  //- segments on a stack of views; ".." pops a named segment
  StrView *segs = push_array_no_zero(scratch.arena, StrView, path.length / 2 + 2);
  u64 count = 0;
  u64 start = 0;
  for (u64 i = 0; i <= path.length; i += 1) {
    if (i < path.length && !char_is_slash(path.data[i])) continue;
    StrView seg = str_substr(path, start, i);
    start = i + 1;
    if (seg.length == 0 || str_equal(seg, str_lit("."))) continue;
    if (str_equal(seg, str_lit(".."))) {
      if (count && !str_equal(segs[count - 1], str_lit(".."))) {
        count -= 1;
        continue;
      }
      if (absolute) continue;  // nothing is above the file system's root
    }
    segs[count++] = seg;
  }
  //- joined with "/", the leading and trailing slash kept
  u64 size = (absolute ? 1 : 0) + (folder ? 1 : 0) + 1;
  for (u64 i = 0; i < count; i += 1) size += segs[i].length + 1;
  u8 *out = push_array_no_zero(arena, u8, size);
  u64 w = 0;
  if (absolute) out[w++] = '/';
  for (u64 i = 0; i < count; i += 1) {
    if (i) out[w++] = '/';
    MemoryCopy(out + w, segs[i].data, segs[i].length);
    w += segs[i].length;
  }
  if (count == 0 && !absolute) out[w++] = '.';
  if (folder && count) out[w++] = '/';
  out[w] = 0;
  scratch_end(scratch);
  return str_make(out, w);
}

bool
link_path_inside(Arena *arena, StrView path, StrView folder) {
  ArenaTemp scratch = scratch_begin(&arena, 1);
  StrView p = link_fold_path(scratch.arena, path);
  StrView f = link_fold_path(scratch.arena, folder);
  while (f.length > 1 && f.data[f.length - 1] == '/') f.length -= 1;
  bool inside;
  if (str_equal(f, str_lit("."))) {
    // The current folder holds every relative path that does not climb out of it.
    inside = p.length && p.data[0] != '/' && !str_equal(p, str_lit("..")) &&
             !str_match(str_lit("../"), p, StrMatchFlag_Prefix);
  } else if (str_equal(f, str_lit("/"))) {
    inside = p.length && p.data[0] == '/';
  } else {
    inside = str_match(f, p, StrMatchFlag_Prefix) && (p.length == f.length || p.data[f.length] == '/');
  }
  scratch_end(scratch);
  return inside;
}

StrView
link_resolve_local(Arena *arena, StrView target, StrView root, StrView page_folder) {
  StrView t = str_prefix(target, Min(str_find(target, 0, str_lit("?"), 0), str_find(target, 0, str_lit("#"), 0)));
  if (t.length == 0 || link_is_address(t)) return StrView{};
  ArenaTemp scratch = scratch_begin(&arena, 1);
  StrView full = {};
  if (t.data[0] == '~') {
    // "~" is a path from the site root, itself absolute or from the current folder.
    if (root.length) full = link_expand_root(scratch.arena, t, root);
  } else if (!char_is_slash(t.data[0])) {
    StrView folder = page_folder;
    if (folder.length && !char_is_slash(folder.data[folder.length - 1])) {
      full = str_pushf(scratch.arena, "%S/%S", &folder, &t);
    } else {
      full = str_pushf(scratch.arena, "%S%S", &folder, &t);
    }
  }
  StrView r = full.length ? link_fold_path(arena, full) : StrView{};
  scratch_end(scratch);
  return r;
}

bool
link_target_exists(StrView resolved) {
  return resolved.length && os_path_exists(resolved);
}
