// The run's one record. The driver makes a `Site`, fills its settings once, and hands it
// explicitly to every stage: read (the file service) -> parse (pure) -> links -> assemble
// (pure) -> emit (the only writer) -> report. Worker threads that share state reach it
// through the site too; nothing else of the run is process-wide.
#pragma once

#include "driver/driver_fs.h"
#include "gen/gen_page.h"
#include "html/html_searchers.h"

struct HtmlParseResult;
struct DocParseResult;
struct DocumentRecord;
struct MemoEntry;
struct EmitWriter;
struct LinkChecker;
struct ServeServer;

//~ Settings (each exactly once)

struct SiteSettings {
  StrView target;
  StrView root;   // ends in "/"
  StrView local;  // ends in "/" when given
  StrView destination;
  b32 listen;
  b32 check_urls;  // cleared when the link checker cannot start
  b32 check_file_paths;
  b32 check_fragments;  // a link's "#name" must name an id of its target
  b32 print_todos;
  StrView consent_url;
  StrView ca_file;
  b32 strict;
  u32 format;          // DriverFormat
  StrView report_path;  // report=: where the report file goes; empty for none
  b32 color;           // standard error is a terminal and NO_COLOR is not set
  b32 no_raw_views;  // pages get no raw view and no "view raw" link
  b32 serve;         // listen, and serve the root over HTTP
  u16 port;
  u32 link_retries;    // retries=N: further attempts at a link that failed for a while
  u64 link_timeout_s;  // timeout=SECONDS: a whole request; zero: the checker's own
  StrList link_exclude;  // exclude=REGEX, each occurrence, then the lines of the exclude file
  StrView link_accept;   // accept=RANGES
  u32 link_redirects;    // redirects=ok|warn|error (LinkRedirects)
  u64 link_host_rate;    // host_rate=N: requests a second to one host; zero: no limit
  u32 link_cache;        // cache=on|off: answers kept between runs
  u64 link_cache_age_s;  // cache_age=DURATION: how young a kept good answer must be to stand
};

enum DriverFormat : u32 {
  DriverFormat_Classic,  // only what has no three-line form goes to standard error
  DriverFormat_Line,     // every diagnostic and link finding, one line each, on standard error
};

// The exit status: 0 without strict; under strict, 1 for findings, 2 when the run could
// not do what was asked (the latter wins).
enum DriverExit : int {
  DriverExit_Clean = 0,
  DriverExit_Findings = 1,
  DriverExit_Invocation = 2,
};

//~ Counters

// What a run (or, under listen, a round) did, for the summary and the exit status.
struct SiteStats {
  u64 pages_generated;
  u64 raw_views;
  u64 pages_rewritten;
  u64 pages_unchanged;  // already held our serialisation
  u64 kept_parse_error;
  u64 kept_no_markup;
  u64 kept_changed;     // edited or deleted during the run
  u64 kept_outside;     // a link to a file outside the target
  u64 write_failures;   // refused or failed writes of any page, index included
  u64 read_failures;    // sources and folders that could not be read or were gone
  u64 drafts;
  u64 unpublished;      // no usable output path
  u64 errors;
  u64 warnings;
  u64 links_checked;
  u64 links_broken;
  u64 links_redirected;
  u64 links_noted;
  u64 targets_missing;  // local link targets not found, under check_file_paths
  u64 fragments_missing;  // "#name" found in no id of its target, under check_fragments
  u64 links_unchecked;  // web addresses not fetched, each with its reason
  u64 links_excluded;   // web addresses the exclude patterns match
  u64 sources_deleted;
  u64 sources_new;
  u64 sources_reused;   // unchanged since the last build: not parsed, not rendered
};

// Counts for the whole run and for the round under way.
#define SiteCount(site, field, n) ((site)->total.field += (n), (site)->round.field += (n))

//~ Pages

// A web link of a page and where the page has it.
struct PageWebLink {
  PageWebLink *next;
  StrView url;       // as it is fetched (references decoded)
  StrView written;   // as the page writes it: previews are matched to links by it
  StrView location;  // file:line:column
  u64 offset;        // in the page's source
  u32 body;          // LinkBody: what it was queued with, and is asked about with
  StrView fragment;  // without its "#", when check_fragments judges it
};

enum PageKind : u32 {
  PageKind_HandWritten,  // a page read from the target, written back in place
  PageKind_Generated,    // a page assembled from a document, with its raw view
};

// A page record's life, one state at a time:
//   (filled)  -> None      no page: a draft, no usable output path, an empty page
//   (filled)  -> Waiting   its tree (`html` or `tree`) waits for its web links' answers
//   (filled)  -> Kept      a hand-written page that is not written back (parse error, no
//                          markup); it may still wait for its links
//   (filled)  -> Handed    handed to the writer as soon as it was made; no tree is kept
//   None, Waiting, Kept, Handed -> Reported   by the report, once every web link is answered
//                          (a Waiting page is handed to the writer there)
//   any       -> (filled)  again under listen when its source changes
enum PageState : u32 {
  PageState_None,
  PageState_Waiting,
  PageState_Kept,
  PageState_Handed,
  PageState_Reported,
};

// A record's work (tree, links, messages) lives on its own arena: when its source
// changes under `listen`, the record is emptied and filled again in place, so memory
// follows the size of the site, not the number of edits.
struct PageRecord {
  PageRecord *next;
  Arena *arena;
  u32 kind;   // PageKind
  u32 state;  // PageState
  HtmlParseResult *html;  // a hand-written page, parsed (Waiting, Kept)
  HtmlNode *tree;         // a generated page, assembled (Waiting)
  StrView title;          // a generated page's title, for the index
  b32 write_failed;       // its page could not be written: the index does not list it
  PageWebLink *first_web_link;  // the links queued for checking, in page order
  PageWebLink *last_web_link;
  u64 web_links_queued;
  StrView path;            // the file the page is written to
  DocumentRecord *document;  // what the raw-view page needs; none for hand-written pages
  StrView raw_path;        // a generated page's raw view, beside it
  StrView source;  // the page text the links point into
  StrView source_path;
  ContentKey source_key;
  u64 source_modified;  // the time of the file that held `source`
  MemoEntry *memo;      // what the memo keeps of it, told how writing went
};

// A diagnostic as said, kept for the report file: its position is counted when it is
// said, since the source may be gone by the time the report is written.
enum DriverFindingKind : u32 {
  DriverFinding_Document,
  DriverFinding_Page,
};

struct DriverFinding {
  DriverFinding *next;
  StrView path;
  u64 line;
  u64 column;
  u64 codepoint_column;
  u32 severity;
  u32 kind;  // DriverFindingKind
  StrView message;
};

struct DriverFindingList {
  DriverFinding *first;
  DriverFinding *last;
  u64 count;
};

struct DocumentRecord {
  DocumentRecord *next;
  Arena *arena;  // the parse, given back when the document is parsed again
  DocParseResult *doc;
  StrView source_path;
};

// A source file processed by the run and the content it was processed from.
struct DriverSource {
  DriverSource *next;
  DriverSource *hash_next;  // in the site's table of known paths
  StrView path;
  ContentKey key;  // held while the records are built from it
  ContentKey previous_key;
  u64 modified;
  PageRecord *record;
  DocumentRecord *document;
  StrView output_claim;  // the output path this source's page holds, or empty
  StrView raw_claim;     // and its raw view's
  MemoEntry *memo;       // what this run made of it, for the next build's memo
  u32 deleted;           // said once: its page stays
  u32 claim_refused;     // its output path was another's: it tries again when paths are freed
  // What was said about it the last time it was processed, for the report file; on the
  // arena of the records it made, so a rebuild under listen gives the old list back.
  DriverFindingList findings;
};

enum DriverClaimKind : u32 {
  DriverClaim_Page,
  DriverClaim_RawView,
};

// Which source holds an output path, for its page or its raw view: the first document
// to name a path keeps it.
struct DriverClaim {
  DriverClaim *next;
  StrView path;  // folded
  DriverSource *source;
  u32 kind;  // DriverClaimKind
};

// A block of the record pool: the first block of a record's arena.
struct DriverRecordBlock {
  DriverRecordBlock *next;
};

#define DRIVER_RECORD_BLOCK_MIN KB(16)
#define DRIVER_RECORD_CLASSES 8  // 16 KiB to 2 MiB

// A page or raw view a document of the run makes, folded (driver_plan.cpp).
struct DriverPlanned {
  DriverPlanned *next;
  StrView path;
  StrView source;  // the document that makes the page; empty for a raw view
};

// With check_fragments: the ids of a page links lead to, read once per round
// (driver_links.cpp). Not known: no page whose ids can be read (not HTML, not there).
struct DriverIdTarget {
  DriverIdTarget *next;
  StrView path;  // folded
  HtmlIdSet ids;
  b32 known;
};

#define DRIVER_CLAIM_SLOTS 16384
#define DRIVER_PLANNED_SLOTS 16384
#define DRIVER_SOURCE_SLOTS 16384
#define DRIVER_ID_SLOTS 16384

//~ The manifest

// An output file below the root this tool wrote, and the source that made it.
struct ManifestEntry {
  ManifestEntry *next;        // in its slot
  ManifestEntry *next_in_order;
  StrView output;  // relative to the root, folded
  StrView source;  // absolute, folded; empty for the site's own files
  b32 listed;      // in the manifest (read, or written by this run)
  b32 kept;        // made again by the round just ended
};

#define MANIFEST_SLOTS 16384

struct SiteManifest {
  StrView path;
  StrView cwd;   // relative paths are taken from here
  StrView root;  // absolute, folded, without a trailing slash
  StrView target;  // the files no page may take, absolute and folded: the target,
  StrView index;   // the index page,
  StrView head;    // the shared head
  StrView self;    // and the manifest itself
  b32 found;     // a manifest was there: nothing is adopted
  ManifestEntry *slots[MANIFEST_SLOTS];
  ManifestEntry *first;
  ManifestEntry *last;
};

//~ The build memo (driver_memo.cpp)

// What a build made of each source, kept below the root for the next build: a source whose
// content key and every input its page depended on are unchanged is neither parsed nor
// rendered again; its page stays, and what the build said and counted is said again.

// A file's identity on disk, compared for equality only.
struct MemoStamp {
  u64 size;
  u64 modified;
  u64 inode;
  b32 exists;
};

// A file the page depended on: a local link target (whether it was found) or an image.
struct MemoDep {
  MemoDep *next;
  StrView path;
  MemoStamp stamp;  // images: the file as read; targets: `exists` alone, as the link found it
  u32 kind;         // MemoDepKind
};

enum MemoDepKind : u32 {
  MemoDep_Image,
  MemoDep_Target,
};

enum MemoOutcome : u32 {
  MemoOutcome_Draft,        // a document that is a draft
  MemoOutcome_NoPage,       // a document with no usable output path (said in its diagnostics)
  MemoOutcome_Page,         // a generated page (and raw view) written
  MemoOutcome_Unchanged,    // a hand-written page that already held our serialisation
  MemoOutcome_ParseError,   // a hand-written page left alone: its parse raised an error
  MemoOutcome_NoMarkup,     // a hand-written page without markup, left alone
  MemoOutcome_COUNT,
};

struct MemoDiag {
  MemoDiag *next;
  u64 offset;
  u32 severity;
  u32 flags;
  StrView message;
};

struct MemoEntry {
  MemoEntry *next;  // in its slot
  MemoEntry *next_in_order;
  StrView source;
  ContentKey key;
  u32 outcome;  // MemoOutcome
  b32 usable;   // complete: what the source made is known and may be made again from it
  b32 unreusable;  // its page depends on what other sources hold (their ids): always built
  StrView page;
  StrView raw;
  StrView title;
  MemoStamp page_stamp;
  MemoStamp raw_stamp;
  //- what was said: the kept diagnostics and the counts of the whole list
  MemoDiag *first_diag;
  MemoDiag *last_diag;
  u64 diag_count;
  u64 diag_errors;
  u64 diag_warnings;
  u64 diag_one_line;
  s32 diag_max_severity;
  MemoDep *deps;  // in the order they were met
  MemoDep *last_dep;
  PageWebLink *first_link;  // its web links, queued again when it is not rebuilt
  PageWebLink *last_link;
  StrView text;  // its lines as read, written again as they are
};

#define MEMO_SLOTS 16384

struct SiteMemo {
  StrView path;
  ContentKey inputs;  // what every page depends on: the tool, the shared files, the options
  b32 valid;          // read, and made with the same inputs
  b32 capture;        // this run keeps what it makes for the next build
  u64 entries;        // read
  u64 reused;         // of those, standing for their sources in this run
  u64 captured;       // sources processed anew
  MemoEntry *slots[MEMO_SLOTS];
  MemoEntry *first;
  MemoEntry *last;
};

//~ The site

// The shared files as read at the start of the run.
struct SiteSharedFiles {
  StrView head_path;
  StrView head_text;
  DiagnosticList head_diagnostics;  // said once, before the head is first used, when
  u64 head_parse_errors;            // its parse raised errors
  StrView tag_css_path;
  StrView tag_css_text;     // as read; empty when missing, empty or unreadable
  StrView tag_css_error;    // why a sheet that is there could not be read
  StrView default_css_path;
  StrView index_path;
  b32 head_said;
  b32 sheets_written;  // the style sheets are written at their first use
};

struct Site {
  Arena *arena;  // the build arena
  FileService *file_service;  // loads the sources and holds their contents
  LinkChecker *links;         // fetches the web links; 0 without check_urls
  SiteSettings settings;
  // The real path of the target folder: a page whose real file lies outside it (reached
  // through a symbolic link) is checked but never rewritten.
  StrView target_real;
  // The real path of the site root, once it exists: generated pages are written only below it.
  StrView root_real;
  SiteSharedFiles files;
  SiteManifest manifest;
  SiteMemo memo;
  GenShared shared;  // what assembly takes from the shared files
  StrView searchers_text;
  SourceFinderList finders;  // from the searchers configuration
  //- sources, pages and documents
  StrList queued;  // discovery order; taken from the front
  DriverSource *first_source;
  DriverSource *last_source;
  DriverSource *source_slots[DRIVER_SOURCE_SLOTS];
  Arena *pages_arena;  // records and claims, for the run
  PageRecord *first_page;
  PageRecord *last_page;
  u64 page_count;
  DocumentRecord *first_document;
  DocumentRecord *last_document;
  u64 document_count;
  DriverClaim *claims[DRIVER_CLAIM_SLOTS];
  DriverClaim *free_claims;
  DriverPlanned *planned[DRIVER_PLANNED_SLOTS];  // with check_file_paths or check_fragments
  Arena *ids_arena;  // the id targets, emptied each round
  DriverIdTarget *id_targets[DRIVER_ID_SLOTS];
  u64 id_target_count;
  // A run that does not listen puts every record's work on one arena (an arena per
  // record would cost the system a mapping each); under listen each record has its
  // own, started in a block of the pool, and when none can be had, records go on the
  // overflow arena.
  Arena *shared_records;
  Arena *overflow_records;
  Arena *record_pool;  // blocks the records' own arenas start in (listen)
  DriverRecordBlock *free_record_blocks[DRIVER_RECORD_CLASSES];
  //- the writer
  EmitWriter *writer;
  //- serve: told of every output a round wrote anew, so the pages served reload
  ServeServer *server;
  void (*on_output)(Site *site, StrView path);
  //- counters and the console
  SiteStats total;
  SiteStats round;  // since the last summary line of a listen run
  u64 start_us;
  u32 progress_shown;  // a progress line stands on standard error
  u64 seen_loads;      // listen: the file loads counted when sources were last looked at
  u64 seen_names;      // listen: the new names counted when the target was last listed
  u64 scratch_start;
  //- what was said, for the report file and the exit status
  DriverFindingList head_findings;   // the shared head's
  DriverFindingList index_findings;  // the index page's, when its parse failed
  StrList problems;  // why the run could not do all that was asked (exit status 2 under strict)
};
