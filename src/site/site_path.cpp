// Paths and site addresses: address tests, "~" expansion, folding, local resolution,
// links between pages, and the folder and name of file-system paths.
#include "site/site_path.h"

#include "site/site_url.h"

//~ Addresses

bool
site_link_has_scheme(StrView text) {
  for (u64 i = 0; i < text.length; i += 1) {
    u8 c = text.data[i];
    if (c == ':') return i > 0;
    if (!(char_is_letter(c) || (i > 0 && (char_is_digit(c) || c == '+' || c == '-' || c == '.')))) return false;
  }
  return false;
}

bool
site_link_is_address(StrView target) {
  return site_link_has_scheme(target) || str_match(str_lit("//"), target, StrMatchFlag_Prefix);
}

bool
site_link_is_web_address(StrView target) {
  return url_is_web_address(url_parse(target));
}

bool
site_link_is_never_checked(StrView target) {
  StrView t = site_link_split(target).path;
  StrView path = url_parse(t).path;
  if (path.length == 0) path = t;
  StrView ext = str_skip_last_dot(path);
  if (ext.length == path.length) return false;
  return str_match(ext, str_lit("js"), StrMatchFlag_CaseInsensitive) ||
         str_match(ext, str_lit("ico"), StrMatchFlag_CaseInsensitive);
}

//~ Site paths

StrView
site_path_fold(Arena *arena, StrView path) {
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
  //- joined with "/", the leading and trailing slash kept; room for the leading "/" or
  //  a lone ".", the trailing "/" and the terminator
  u64 size = 1 + (folder ? 1 : 0) + 1;
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

StrView
site_path_fold_slashes(Arena *arena, StrView text) {
  if (str_find(text, 0, str_lit("\\"), 0) == text.length) return text;
  u8 *out = push_array_no_zero(arena, u8, text.length + 1);
  for (u64 i = 0; i < text.length; i += 1) out[i] = char_slash_fold(text.data[i]);
  out[text.length] = 0;
  return str_make(out, text.length);
}

bool
site_path_inside(Arena *arena, StrView path, StrView folder) {
  ArenaTemp scratch = scratch_begin(&arena, 1);
  StrView p = site_path_fold(scratch.arena, path);
  StrView f = site_path_fold(scratch.arena, folder);
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

// The non-empty segments of a path; `segs` holds path.length / 2 + 1 views.
static u64
site_path_segments(StrView path, StrView *segs) {
  u64 count = 0, start = 0;
  for (u64 i = 0; i <= path.length; i += 1) {
    if (i < path.length && !char_is_slash(path.data[i])) continue;
    if (i > start) segs[count++] = str_substr(path, start, i);
    start = i + 1;
  }
  return count;
}

// From a folder to a path: ".." for each segment past the shared start, then the rest
// of the path. Segments are compared by position: a name met again further down is
// not the shared start.
static StrList
site_path_walk(Arena *arena, StrView from_folder, StrView to) {
  ArenaTemp scratch = scratch_begin(&arena, 1);
  StrView *from = push_array_no_zero(scratch.arena, StrView, from_folder.length / 2 + 1);
  StrView *dest = push_array_no_zero(scratch.arena, StrView, to.length / 2 + 1);
  u64 nf = site_path_segments(from_folder, from);
  u64 nt = site_path_segments(to, dest);
  u64 common = 0;
  while (common < nf && common < nt && str_equal(from[common], dest[common])) common += 1;
  StrList steps = {};
  for (u64 i = common; i < nf; i += 1) str_list_push(arena, &steps, str_lit(".."));
  for (u64 i = common; i < nt; i += 1) str_list_push(arena, &steps, dest[i]);
  scratch_end(scratch);
  return steps;
}

StrList
site_path_steps(Arena *arena, StrView from, StrView to) {
  if (str_find(from, 0, str_lit("."), 0) < from.length) from = str_chop_last_slash(from);
  return site_path_walk(arena, from, to);
}

StrView
site_path_raw_view(Arena *arena, StrView page_path) {
  StrView dir = str_chop_last_slash(page_path);
  StrView name = str_skip_last_slash(page_path);
  if (dir.length == page_path.length) return str_pushf(arena, "raw_%S", &page_path);
  return str_pushf(arena, "%S/raw_%S", &dir, &name);
}

//~ Link targets

SiteLinkParts
site_link_split(StrView target) {
  u64 cut = Min(str_find(target, 0, str_lit("?"), 0), str_find(target, 0, str_lit("#"), 0));
  return SiteLinkParts{str_prefix(target, cut), str_skip(target, cut)};
}

StrView
site_link_expand_root(Arena *arena, StrView target, StrView root) {
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
site_link_resolve_local(Arena *arena, StrView target, StrView root, StrView page_folder) {
  StrView t = site_link_split(target).path;
  if (t.length == 0 || site_link_is_address(t)) return StrView{};
  ArenaTemp scratch = scratch_begin(&arena, 1);
  StrView full = {};
  if (t.data[0] == '~') {
    // "~" is a path from the site root, itself absolute or from the current folder.
    if (root.length) full = site_link_expand_root(scratch.arena, t, root);
  } else if (!char_is_slash(t.data[0])) {
    StrView folder = page_folder;
    if (folder.length && !char_is_slash(folder.data[folder.length - 1])) {
      full = str_pushf(scratch.arena, "%S/%S", &folder, &t);
    } else {
      full = str_pushf(scratch.arena, "%S%S", &folder, &t);
    }
  }
  StrView r = full.length ? site_path_fold(arena, full) : StrView{};
  scratch_end(scratch);
  return r;
}

StrView
site_link_from_page(Arena *arena, StrView page_path, StrView root, StrView target) {
  StrView t = site_path_fold_slashes(arena, target);
  if (root.length == 0 || page_path.length == 0 || site_link_is_address(t)) return t;
  ArenaTemp scratch = scratch_begin(&arena, 1);
  StrView result = t;
  SiteLinkParts parts = site_link_split(t);
  StrView path = parts.path;
  StrView folded_root = site_path_fold(scratch.arena, root);
  StrView page = site_path_fold(scratch.arena, page_path);
  if (path.length) path = site_path_fold(scratch.arena, path);
  if (path.length && site_path_inside(scratch.arena, path, folded_root) &&
      site_path_inside(scratch.arena, page, folded_root)) {
    //- from the page's folder: up past what differs, then down to the target
    StrList steps = site_path_walk(scratch.arena, str_chop_last_slash(page), path);
    StrJoin join = {{}, str_lit("/"), {}};
    StrView rel = steps.node_count ? str_list_join(scratch.arena, &steps, &join) : str_lit(".");
    bool folder_target = path.data[path.length - 1] == '/';
    result = str_pushf(arena, "%S%s%S", &rel, folder_target ? "/" : "", &parts.suffix);
  }
  scratch_end(scratch);
  return result;
}

//~ File-system paths

static u64
site_fs_last_slash(StrView path) {
  for (u64 i = path.length; i > 0; i -= 1) {
    if (path.data[i - 1] == '/') return i - 1;
  }
  return path.length;
}

StrView
site_fs_folder(StrView path) {
  u64 i = site_fs_last_slash(path);
  if (i == path.length) return str_lit(".");
  if (i == 0) return str_lit("/");
  return str_prefix(path, i);
}

StrView
site_fs_name(StrView path) {
  u64 i = site_fs_last_slash(path);
  return i == path.length ? path : str_skip(path, i + 1);
}

bool
site_fs_below(StrView real, StrView folder) {
  while (folder.length > 1 && folder.data[folder.length - 1] == '/') folder.length -= 1;
  if (folder.length == 1 && folder.data[0] == '/') return real.length > 1 && real.data[0] == '/';
  return real.length > folder.length + 1 && memcmp(real.data, folder.data, folder.length) == 0 &&
         real.data[folder.length] == '/';
}
