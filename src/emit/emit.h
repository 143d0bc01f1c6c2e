// Emit: the one writer. Only this module creates or replaces output files (generated
// pages, raw views, hand-written pages written back, the style sheets and the index),
// and only it counts what writing came to.
#pragma once

#include "driver/driver_site.h"
#include "html/html_core.h"

//~ Replacing files (emit_file.cpp)

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
  WriteStatus_Pending,    // written beside the file, waiting for emit_commit_pending
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
  // the status is Pending and `defer` says what emit_commit_pending needs (its texts on
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
WriteStatus emit_replace_file(StrView path, StrView bytes, const WriteOptions *options);
// Syncs the temporary file unless `synced` (the whole file system was), checks that the
// old file still holds what was read, and renames the temporary file over it; every
// outcome but Written prints its line as emit_replace_file does.
WriteStatus emit_commit_pending(const WritePending *pending, bool synced);
// Serializes the tree and replaces the file with it as emit_replace_file does.
WriteStatus emit_html_page(Arena *arena, HtmlNode *root, StrView path, const WriteOptions *options);

// A new file with its folders, named only while no file has its name: nothing is ever
// replaced. Anything but Written printed one line on standard error.
WriteStatus emit_create_file(StrView path, StrView bytes);
// The same without options: true when the file holds the tree's text afterwards.
bool emit_html_file(Arena *arena, HtmlNode *root, StrView path);
// The same for text already serialized; unchanged files are not touched.
bool emit_write_file_safely(StrView path, StrView bytes);

//~ Pages and the site's files (emit_site.cpp)

// A page's texts: the page, and a generated page's raw view.
struct EmitTexts {
  StrView page;
  StrView raw;
};

// What writing a page came to.
struct EmitOutcome {
  WriteStatus page;
  WriteStatus raw;
  b32 has_raw;
};

// The texts of the record's page from its tree: a hand-written page ends in the line end
// its author's text ended in; a generated page brings its raw view.
EmitTexts emit_make_texts(Arena *arena, Site *site, PageRecord *record, HtmlNode *tree);
// Writes them: a hand-written page only while its file still holds what was parsed and
// inside the target (left Pending in `defer` when given), a generated page and its raw
// view only below the site root. Prints nothing but what the file writer says.
EmitOutcome emit_write_texts(Arena *arena, Site *site, PageRecord *record, EmitTexts *texts, WritePending *defer);
// Counts what writing came to: the one place outcomes are counted.
void emit_count(Site *site, PageRecord *record, EmitOutcome outcome);
// Makes, writes and counts the page now, on the caller's thread.
void emit_page_now(Site *site, Arena *arena, PageRecord *record, HtmlNode *tree);
// A hand-written page that is not written back: counted by why.
void emit_kept(Site *site, PageRecord *record);
// The style sheets, at their first use in a run: the default sheet always, the per-tag
// sheet only when the site's file was missing or empty.
void emit_sheets(Site *site);
// Where the run writes the `index`th of gen_font_files.
StrView emit_font_path(Arena *arena, Site *site, u64 index);
// The index page's new text, replacing the file while it holds what was read (`expect`;
// null when there was no file). False when it was not written (the writer said why).
bool emit_index(Site *site, StrView text, const WriteExpect *expect);
// The index page could not be refilled (unreadable, or its parse raised an error): counted
// as a page not written.
void emit_index_refused(Site *site);
// Removes an output this tool wrote that its source no longer makes (one line says so);
// a folder or special file at the path is left alone.
void emit_remove_output(Site *site, StrView path, StrView source);
// Replaces the manifest; false (counted) when it could not be written.
bool emit_manifest(Site *site, StrView text);
// Replaces the build memo at `path`; a failure is said, not counted.
void emit_memo(StrView path, StrView text);

enum EmitReportKind : u32 {
  EmitReport_Json,
  EmitReport_Sarif,
  EmitReport_JUnit,
};

// Whether `text` opens as every report of that kind this tool writes.
bool emit_is_our_report(StrView text, u32 kind);
// Writes the report file where no file is, or over a report of the same kind this tool
// wrote before (see emit_is_our_report); any other file (one the user wrote, a source, a
// page) is left alone. False, said on standard error, when it was not written.
bool emit_report(Site *site, StrView path, StrView text, u32 kind);

//~ The background writer (emit_writer.cpp)
// Pages that wait for nothing are serialized and written on a thread of the writer's
// own while the driver parses the next documents. Main thread only.

// The arena a page to hand over is assembled on; 0 when the writer cannot run.
Arena *emit_batch_arena(Site *site);
// Hands the record's page over (written soon, with the record's paths and source), or
// writes it now when the writer cannot run.
void emit_hand_over(Site *site, PageRecord *record, HtmlNode *page);
// Says that the batch arena holds a parse nobody needs any more.
void emit_parse_done(Site *site);
// Waits until every page handed over is written; what writing said on standard error
// is printed in the order the pages were handed over, and the outcomes are counted.
void emit_finish(Site *site);
// The end of the run: everything written, the writer's thread gone, its memory given back.
void emit_close(Site *site);
