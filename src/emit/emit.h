// Writing pages to their files.
#pragma once

#include "html/html_core.h"

// What a page held when it was read.
struct WriteExpect {
  StrView bytes;  // the bytes that were parsed
  u64 modified;   // their modification time, ns (FileProperties.modified)
};

enum WriteStatus : u32 {
  WriteStatus_Written,
  WriteStatus_Unchanged,  // the file already held these bytes
  WriteStatus_Changed,    // someone changed it since it was read
  WriteStatus_Missing,    // it was deleted since it was read
  WriteStatus_Refused,    // not ours to replace: read-only, not a regular file
  WriteStatus_Failed,     // the system failed; the old file is whole
  WriteStatus_Outside,    // its real file lies outside the folder the run may write in
  WriteStatus_Pending,    // written beside the file, waiting for gen_commit_pending
};

// A replacement made in two steps, so that many pages share one wait for the disk: the
// new bytes are written to a temporary file beside the old one, then (once the file
// system is synced) the old file is checked and replaced.
struct WritePending {
  StrView path;  // as named
  StrView real;  // the file the name leads to
  StrView temp;  // the new bytes, not yet synced
  u64 device;    // the file system both lie on
  WriteExpect expect;
  b32 has_expect;
};

struct WriteOptions {
  // When set: the file must exist and still hold these bytes.
  const WriteExpect *expect;
  // When set: a real path (os_real_path of the target folder); a page whose real
  // file lies outside it is left alone.
  StrView inside_folder;
  // Set for files the build makes from sources (generated pages, raw views, style
  // sheets): they are not forced to the disk one by one, since a crash costs only a
  // rebuild. A hand-written page is always synced before it replaces the old one.
  b32 no_sync;
  // When set, a file replaced through a temporary one is left at the temporary file:
  // the status is Pending and `defer` says what gen_commit_pending needs (its texts on
  // `defer_arena`). Other outcomes are final as usual.
  WritePending *defer = 0;
  Arena *defer_arena = 0;
};

// Replaces the file at `path` (the file a link names, the link staying) so that a
// failure leaves the old file whole: through a temporary file in the same folder
// renamed over it, or, for a file with several hard links, in place with a
// temporary copy of the old bytes kept until the write is complete. The new file
// keeps the old one's permissions, owner and group. A missing file is made (with
// its folders) unless `options->expect` is set. Options may be null.
// Every outcome but Written and Unchanged prints one line on standard error that
// names the path and the reason.
WriteStatus gen_replace_file(StrView path, StrView bytes, const WriteOptions *options);
// Syncs the temporary file unless `synced` (the whole file system was), checks that the
// old file still holds what was read, and renames the temporary file over it; every
// outcome but Written prints its line as gen_replace_file does.
WriteStatus gen_commit_pending(const WritePending *pending, bool synced);
// The serialized tree, ending in the line end that ended `source` (the text it was
// parsed from), as the author wrote it.
StrView gen_page_text(Arena *arena, HtmlNode *root, StrView source);
// Serializes the tree and replaces the file with it as gen_replace_file does.
WriteStatus write_html_page(Arena *arena, HtmlNode *root, StrView path, const WriteOptions *options);

// The same without options: true when the file holds the tree's text afterwards.
bool write_html_file(Arena *arena, HtmlNode *root, StrView path);
// The same for text already serialized; unchanged files are not touched.
bool gen_write_file_safely(StrView path, StrView bytes);
