// The build driver: set-up, discovery, per-file pipelines, rounds and page reports.
#pragma once

#include "driver/driver_fs.h"
#include "driver/driver_options.h"
#include "html/html_searchers.h"

//~ Records

struct HtmlParseResult;
struct DocParseResult;
struct PageResult;
struct DocumentRecord;

// A web link of a page and where the page has it.
struct PageWebLink {
  PageWebLink *next;
  StrView url;       // as it is fetched (references decoded)
  StrView written;   // as the page writes it: previews are matched to links by it
  StrView location;  // file:line:column
};

// A record's work (tree, links, messages) lives on its own arena: when its source
// changes under `listen`, the record is emptied and filled again in place, so memory
// follows the size of the site, not the number of edits.
struct PageRecord {
  PageRecord *next;
  Arena *arena;
  HtmlParseResult *html;   // a hand-written page, parsed
  PageResult *generated;   // a page assembled from a document
  PageWebLink *first_web_link;  // the links queued for checking, in page order
  PageWebLink *last_web_link;
  u64 web_links_queued;
  StrList messages;        // report lines, valid during the report only
  StrView path;            // the file the page is written to; empty: nothing to report
  DocumentRecord *document;  // what the raw-view page needs; none for hand-written pages
  StrView raw_path;        // a generated page's raw view, beside it
  StrView source;  // the page text the links point into
  StrView source_path;
  ContentKey source_key;
  u64 source_modified;  // the time of the file that held `source`
  u32 rewrite;  // the page is written back (its parse raised no error and it holds markup)
  u32 written;  // a generated page with nothing to wait for, written when it was made
  u32 reported;
};

struct PageQueue {
  Arena *arena;
  PageRecord *first;
  PageRecord *last;
  u64 count;
  StrView destination_path;
  StrView root_path;
  u32 check_urls;
  u32 print_todos;
};

struct DocumentRecord {
  DocumentRecord *next;
  Arena *arena;  // the parse, given back when the document is parsed again
  DocParseResult *doc;
  StrView source_path;
};

struct DocumentSet {
  Arena *arena;
  DocumentRecord *first;
  DocumentRecord *last;
  u64 count;
  StrView root_path;
  u32 check_file_paths;
  u32 check_urls;
};

struct DriverSettings {
  StrView target;
  StrView root;
  StrView local;
  StrView destination;
  b32 listen;
  b32 check_urls;
  b32 check_file_paths;
  b32 print_todos;
  StrView consent_url;
  StrView ca_file;
  b32 strict;
};

// What a run (or, under listen, a round) did, for the summary and the exit status.
struct DriverStats {
  u64 pages_generated;
  u64 raw_views;
  u64 pages_rewritten;
  u64 pages_unchanged;  // already held our serialisation
  u64 kept_parse_error;
  u64 kept_no_markup;
  u64 kept_changed;     // edited or deleted during the run
  u64 kept_outside;     // a link to a file outside the target
  u64 write_failures;   // refused or failed writes of any page, index included
  u64 drafts;
  u64 unpublished;      // no usable output path
  u64 errors;
  u64 warnings;
  u64 links_checked;
  u64 links_broken;
  u64 links_redirected;
  u64 links_noted;
  u64 sources_deleted;
  u64 sources_new;
};

// Counts for the whole run and for the round under way.
#define DriverCount(run, field, n) ((run)->total.field += (n), (run)->round.field += (n))

// A source file processed by the run and the content it was processed from.
struct DriverSource {
  DriverSource *next;
  DriverSource *hash_next;  // in the run's table of known paths
  StrView path;
  ContentKey key;  // held while the records are built from it
  ContentKey previous_key;
  u64 modified;
  PageRecord *record;
  DocumentRecord *document;
  StrView output_claim;  // the output path this source's page holds, or empty
  u32 deleted;           // said once: its page stays
};

// Which source holds an output path: the first document to name a path keeps it.
struct DriverClaim {
  DriverClaim *next;
  StrView path;  // folded
  DriverSource *source;
};

#define DRIVER_CLAIM_SLOTS 1024
#define DRIVER_SOURCE_SLOTS 4096

struct DriverRun {
  Arena *arena;  // the build arena
  DriverSettings settings;
  StrList files;  // discovery order; taken from the front
  DriverSource *first_source;
  DriverSource *last_source;
  StrView searchers_text;
  SourceFinderList finders;  // from the searchers configuration
  // The real path of the target folder: a page whose real file lies outside it (reached
  // through a symbolic link) is checked but never rewritten.
  StrView target_real;
  // The real path of the site root, once it exists: generated pages are written only below it.
  StrView root_real;
  DriverClaim *claims[DRIVER_CLAIM_SLOTS];
  DriverClaim *free_claims;
  DriverSource *source_slots[DRIVER_SOURCE_SLOTS];
  DriverStats total;
  DriverStats round;  // since the last summary line of a listen run
  u64 start_us;
  u32 progress_shown;  // a progress line stands on standard error
  u64 seen_loads;      // listen: the file loads counted when sources were last looked at
  u64 seen_names;      // listen: the new names counted when the target was last listed
  u64 scratch_start;
  LinkChecker *links;  // null when web links are not checked
};

//~ Functions

// Content registry and file streaming; main thread, once.
void driver_services_init(void);
// The exit status: 1 for a strict run that found an error, else 0.
int driver_run(OptionTable *options);

PageQueue *driver_page_queue(void);
DocumentSet *driver_document_set(void);

// Discovery: a folder is walked breadth-first, each folder's entries in byte order.
StrList driver_discover(Arena *arena, StrView target);
// Loads and processes every file of the list, in order.
void driver_process_files(DriverRun *run);
// The pipeline for one source, by its extension, from the content loaded for it; fills
// the source's page record (queued at its first use) and document record.
PageRecord *driver_process_file(DriverRun *run, DriverSource *source, StrView content);
// A run that does not listen puts every record on one shared arena.
void driver_share_record_arenas(bool share);
// The background writer: generated pages that wait for nothing are serialized and
// written (with their raw views) on a thread of their own while the driver parses
// the next documents. Main thread only. The arena a page to hand over is assembled on:
Arena *driver_writer_arena(void);
// Hands the page over; it is written soon, with `record`'s paths and source. A null
// record says only that the arena holds a parse nobody needs any more.
void driver_writer_push(DriverRun *run, PageRecord *record, HtmlNode *page);
// The same for a hand-written page to write back in place (its parse had no error).
void driver_writer_push_page(DriverRun *run, PageRecord *record, HtmlNode *root);
// Counts what writing a hand-written page back came to.
void driver_count_page_write(DriverRun *run, u32 status);
// Waits until every page handed over is written; what writing said on standard error
// is printed in the order the pages were handed over, and the run's counts follow.
void driver_writer_finish(DriverRun *run);
// Whether every web link of the page has been fetched.
bool driver_page_ready(DriverRun *run, PageRecord *record);
void driver_report_page(DriverRun *run, PageRecord *record);
// Rebuilds the index page from the generated pages of the queue and prints every
// record's path; after a round that reported pages.
void driver_report_index(DriverRun *run);
