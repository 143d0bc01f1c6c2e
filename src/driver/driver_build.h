// The build driver: set-up, discovery, per-file pipelines, rounds and page reports.
#pragma once

#include "driver/driver_options.h"
#include "driver/driver_site.h"
#include "net/net_linkcheck.h"

//~ Functions

// The exit status (DriverExit): 0 without strict; under strict, 1 for findings and 2 when
// the run could not do what was asked. `problems` are those of the command line, already said.
int driver_run(FileService *service, OptionTable *options, StrList *problems = 0);

// A site for the settings: the real folders, the shared files read and what pages share
// made from them. Reads; writes nothing. `arena` lives as long as the site.
void driver_site_init(Site *site, Arena *arena, SiteSettings settings);
// Before the shared head and style sheets are first used in a run: the head's faults
// said, the style sheets written.
void driver_shared_first_use(Site *site);

// Discovery: a folder is walked breadth-first, each folder's entries in byte order.
// Under listen, every folder walked is watched through `service`.
// Folders that cannot be listed are said, and counted in `unlisted` when given.
StrList driver_discover(FileService *service, Arena *arena, StrView target, u64 *unlisted = 0);
// Loads and processes every file queued, in order.
void driver_process_files(Site *site);
// The pipeline for one source, by its extension, from the content loaded for it; fills
// the source's page record (queued at its first use) and document record.
PageRecord *driver_process_file(Site *site, DriverSource *source, StrView content);
//~ Links (driver_links.cpp): looked up after parsing, for both kinds of page

// Local targets of a document that do not exist: flagged on their nodes (the page shows
// them broken) and warned about where they stand, among the parse's diagnostics.
// A target that a document of the run makes into a page (`site`, when given) is found.
// Returns how many were missing.
u64 driver_check_document_targets(Arena *arena, DocParseResult *doc, StrView root, Site *site = 0,
                                  MemoEntry *memo = 0);
// Local targets of a hand-written page at `path` that do not exist, warned about; how many.
u64 driver_check_page_targets(Arena *arena, HtmlParseResult *page, StrView text, StrView path, StrView root,
                              Site *site = 0, MemoEntry *memo = 0);
// With check_fragments (on the site's settings), both also warn about a "#name" that is
// no id of the page the link leads to (counted apart, in fragments_missing); under
// check_file_paths alone they look only for the targets.
// The ids read for that are kept for the round; forgotten before the next.
void driver_ids_forget(Site *site);
// The source of the run at the path, or 0.
DriverSource *driver_source_find(Site *site, StrView path);

//~ serve (driver_serve.cpp)

// The "port" option's value as a port; 8000 when it is missing or is no port.
u16 driver_serve_port(StrView text);
// Starts serving the site root once its first build is done; false when it cannot.
bool driver_serve_begin(Site *site);
void driver_serve_end(Site *site);
// "serve DIR [option ...]": the site in DIR (sources in DIR/src) served; any other
// arguments are returned as they are.
StrList driver_serve_shorthand(Arena *arena, StrList args);

//~ init (driver_init.cpp)

// Writes a small working site into `folder`, new or empty, and prints how to build and
// serve it; refuses a folder that holds anything. The exit status.
int driver_init(StrView folder);

//~ Pages the run makes (driver_plan.cpp)

// With check_file_paths or check_fragments, before the first file is processed: the page and raw view of
// every published document queued, so that links to them count as found.
void driver_plan_outputs(Site *site);
// Whether a page or raw view at the folded path is made by this run.
bool driver_output_planned(Site *site, StrView folded);
DriverPlanned *driver_planned_find(Site *site, StrView folded);
// The sizes of the local JPEG images of a document for its page.
// Each image read is noted in `memo` when given.
RenderImageSizes driver_measure_images(Arena *arena, DocNode *root, const RenderPageInfo *page, Site *site = 0,
                                       MemoEntry *memo = 0);
// Scripts and icons are never checked: their links leave the list.
void driver_drop_unchecked_links(HtmlLinkList *links, StrView text);
// The finder of the searchers configuration whose patterns match the link, or 0.
const SourceFinder *driver_finder_for(Site *site, StrView url);
// The page's web links, queued with the link checker where they stand in its source.
void driver_queue_page_links(Site *site, Arena *arena, PageRecord *rec, HtmlParseResult *page);
void driver_queue_document_links(Site *site, PageRecord *rec, DocParseResult *doc, StrView content);

//~ The build memo (driver_memo.cpp): what the last build made of each source

// Reads the memo below the root; after the shared files and the searchers are read.
void driver_memo_read(Site *site);
// Reads the memo's text into `site->memo` (on the site's arena); false, with some entries
// perhaps read, when the text is damaged or was made with other inputs.
bool driver_memo_parse(Site *site, StrView text);
// After a round that wrote the pages: the memo written again for the next build.
void driver_memo_write(Site *site);
// The last build's entry for a source, or 0.
MemoEntry *driver_memo_find(Site *site, StrView source);
// A new entry for what this run makes of the source (0 when the run keeps no memo).
MemoEntry *driver_memo_capture(Site *site, DriverSource *src);
void driver_memo_keep_diagnostics(Site *site, MemoEntry *e, DiagnosticList *list);
void driver_memo_add_dep(Site *site, MemoEntry *e, u32 kind, StrView path, MemoStamp stamp);
void driver_memo_keep_links(Site *site, MemoEntry *e, PageRecord *rec);
// The diagnostics of an entry as a list, to be said again.
DiagnosticList driver_memo_diagnostics(Arena *arena, MemoEntry *e);
// Whether every file the entry's page depended on is as it was, and its outputs too.
bool driver_memo_inputs_hold(Site *site, MemoEntry *e);
MemoStamp driver_memo_stamp(StrView path);
// Whether a local link target counts as found (it exists, or a page of the run makes it).
bool driver_memo_target_found(Site *site, StrView full);

//~ What is said beyond the standard output report (driver_findings.cpp)

// The diagnostics of a source on standard error, one line each (all of them under
// format=line, else those without a three-line form); with a report file, kept in
// `keep_in` on `keep` (a list made before is replaced). `kind`: DriverFindingKind.
void driver_say_diagnostics(Site *site, DriverFindingList *keep_in, Arena *keep, DiagnosticList *list, StrView source,
                            StrView path, u32 kind);
// A link finding on standard error under format=line.
void driver_say_link(Site *site, PageWebLink *link, const LinkAnswer *answer);
// Something the run could not do as asked (already said): exit status 2 under strict.
void driver_problem(Site *site, StrView message);
// The report file of report=PATH: SARIF for ".sarif", JUnit XML for ".xml", else JSON.
void driver_write_report(Site *site, int status, u64 ms);

//~ Pipelines and reports

//~ The manifest (driver_manifest.cpp): the files this tool wrote

// Reads the site's manifest; at set-up.
void driver_manifest_read(Site *site);
// A path as the manifest names it, relative to the root; empty when not below it.
StrView driver_manifest_key(Arena *arena, Site *site, StrView path);
// Why a generated page or raw view may not be written at `path` (a file this tool did not
// write, a source, the index, the shared head), or empty when it may.
StrView driver_manifest_refusal(Arena *arena, Site *site, StrView path);
// After a round: what the sources make now is listed, what they made before and make no
// more is removed (only files this tool wrote), and the manifest is written again.
void driver_manifest_update(Site *site);
// Leaves out of a discovered list the files this tool wrote.
void driver_manifest_drop_outputs(Site *site, StrList *files);

// Frees the output paths the source's page and raw view hold; whether it held any.
bool driver_release_claims(Site *site, DriverSource *src);
// Whether every web link of the page has been fetched.
bool driver_page_ready(Site *site, PageRecord *record);
// The link checker's preview callback (LinkPreviewFn); `user` is the Site.
void *driver_cut_previews(Arena *arena, void *user, StrView url, StrView body);
// Writes a page that waited for its links (previews attached) and prints its lines.
void driver_report_page(Site *site, PageRecord *record);
// Rebuilds the index page from the generated pages and prints every record's path;
// after a round that reported pages.
void driver_report_index(Site *site);

enum IndexStatus : u32 {
  IndexStatus_Written,    // written, or already holding this text
  IndexStatus_NotParsed,  // its parse raised an error: left as it is
  IndexStatus_NotWritten, // it could not be read, or the writer refused or failed (it said why)
};

// Refills the lists of the site's index page with links to the pages, gives it the
// shared head and style sheets, and replaces the file, unless its parse raised an error
// or it changed while it was read. Prints its diagnostics.
IndexStatus driver_write_index(Site *site, Arena *arena, IndexPageList *pages);
