// Links: the one owner of what a link target is. Every question about a target goes
// through here, from qil documents and hand-written pages alike:
//   - is it a web address?                 link_is_web_address (url_is_web_address on its parts)
//   - does it carry a scheme or a network path?  url_has_scheme, link_is_address
//   - what does "~" stand for?             link_expand_root
//   - where does a local target point?     link_resolve_local
//   - does it exist?                       link_target_exists
//   - is it ever checked?                  link_is_never_checked
#pragma once

#include "base/base_strings.h"

// True when the text begins with a scheme and ":" (letters, then letters, digits, "+",
// "-", "."), as in "https:", "mailto:", "data:".
bool url_has_scheme(StrView text);
// A scheme or a network path ("//host"): an address, never a file of this site.
bool link_is_address(StrView target);
// An address that the link checker fetches: a scheme, a host with a dot.
bool link_is_web_address(StrView target);
// Every "~" stands for the site root; a root ending in "/" takes the place of "~/".
// An empty root leaves the target as it is.
StrView link_expand_root(Arena *arena, StrView target, StrView root);
// Folds "." and ".." and runs of separators (backslashes count as "/") without
// touching the disk; a ".." above a relative start is kept.
StrView link_fold_path(Arena *arena, StrView path);
// The file a local target names, resolved as a browser resolves it from the page that
// holds the link: query and fragment cut, "~" the site root, anything else relative
// to `page_folder`, then folded. Empty when the target names no local file: an
// address, an empty target, or a path from the server's root ("/x", which depends on
// how the site is served), or "~" with no root.
StrView link_resolve_local(Arena *arena, StrView target, StrView root, StrView page_folder);
// Whether `path` names `folder` itself or something below it, once both are folded
// (no disk access): "root/../x" is not inside "root/".
bool link_path_inside(Arena *arena, StrView path, StrView folder);
// Whether the resolved target exists (a folder counts).
bool link_target_exists(StrView resolved);
// Scripts and icons are never checked.
bool link_is_never_checked(StrView target);
