// Paths and site addresses: the one home of path arithmetic, pure text and never the
// disk, so the parsers and the generator ask the same questions the same way.
//   - is a target an address, a web address, ever checked?   site_link_is_*
//   - where does its path end and its "?query#fragment" begin?   site_link_split
//   - what does "~" stand for, where does a local target point?   site_link_expand_root,
//     site_link_resolve_local
//   - how is a target written from a page?                      site_link_from_page
//   - folding, containment and walks between site paths         site_path_*
//   - folder and name of a real file-system path               site_fs_*
// Site paths take a backslash as "/"; file-system paths split only at "/".
#pragma once

#include "base/base_strings.h"

//~ Addresses

// True when the text begins with a scheme and ":" (letters, then letters, digits, "+",
// "-", "."), as in "https:", "mailto:", "data:".
bool site_link_has_scheme(StrView text);
// A scheme or a network path ("//host"): an address, never a file of this site.
bool site_link_is_address(StrView target);
// An address that the link checker fetches: a scheme, a host with a dot.
bool site_link_is_web_address(StrView target);
// Scripts and icons are never checked.
bool site_link_is_never_checked(StrView target);

//~ Link targets

// A target cut at its first "?" or "#": the path, then what follows it from that mark.
struct SiteLinkParts {
  StrView path;
  StrView suffix;
};

SiteLinkParts site_link_split(StrView target);
// Every "~" stands for the site root; a root ending in "/" takes the place of "~/".
// An empty root leaves the target as it is.
StrView site_link_expand_root(Arena *arena, StrView target, StrView root);
// The file a local target names, resolved as a browser resolves it from the page that
// holds the link: query and fragment cut, "~" the site root, anything else relative
// to `page_folder`, then folded. Empty when the target names no local file: an
// address, an empty target, or a path from the server's root ("/x", which depends on
// how the site is served), or "~" with no root.
StrView site_link_resolve_local(Arena *arena, StrView target, StrView root, StrView page_folder);
// The target as the page at `page_path` writes it: backslashes become "/", and a path
// inside `root` (the page being inside it too) becomes relative to the page's folder,
// its query and fragment kept. Anything else, and any target when the page path or the
// root is empty, stays as written.
StrView site_link_from_page(Arena *arena, StrView page_path, StrView root, StrView target);

//~ Site paths

// Folds "." and ".." and runs of separators (backslashes count as "/") without
// touching the disk; a ".." above a relative start is kept.
StrView site_path_fold(Arena *arena, StrView path);
// Backslashes become "/"; nothing else changes (the text itself when it has none).
StrView site_path_fold_slashes(Arena *arena, StrView text);
// Whether `path` names `folder` itself or something below it, once both are folded
// (no disk access): "root/../x" is not inside "root/".
bool site_path_inside(Arena *arena, StrView path, StrView folder);
// The components leading from `from` to `to`: ".." past what differs, then down. A
// `from` holding a dot names a file and starts from its folder.
StrList site_path_steps(Arena *arena, StrView from, StrView to);
// The raw view beside a page: the folder, then "raw_" and the file name.
StrView site_path_raw_view(Arena *arena, StrView page_path);

//~ File-system paths (only "/" separates: on Linux a backslash is part of a name)

// "." without a slash, "/" for a name in the root.
StrView site_fs_folder(StrView path);
StrView site_fs_name(StrView path);
// Whether `real` lies strictly below `folder`; whole components are compared, so
// "/a/bc" does not lie below "/a/b".
bool site_fs_below(StrView real, StrView folder);
