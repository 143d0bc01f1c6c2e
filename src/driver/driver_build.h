// The build driver: set-up, discovery, per-file pipelines, rounds and page reports.
#pragma once

#include "driver/driver_fs.h"
#include "driver/driver_options.h"

//~ Records

struct HtmlParseResult;
struct DocParseResult;
struct PageResult;
struct DocumentRecord;

struct PageRecord {
  PageRecord *next;
  HtmlParseResult *html;   // a hand-written page, parsed
  PageResult *generated;   // a page assembled from a document
  StrList web_links;       // the link targets queued for checking
  u64 web_links_queued;
  StrList messages;        // report lines, valid during the report only
  StrView path;            // the file the page is written to
  DocumentRecord *document;  // what the raw-view page needs; none for hand-written pages
  StrView source;  // the page text the links point into
  StrView source_path;
  ContentKey source_key;
  u32 rewrite;  // the page is written back (its parse raised no error)
  u32 reported;
  u32 superseded;  // replaced by a newer record after its source changed (listen)
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
};

// A source file processed by the run and the content it was processed from.
struct DriverSource {
  DriverSource *next;
  StrView path;
  ContentKey key;
  PageRecord *record;
};

struct DriverRun {
  Arena *arena;  // the build arena
  DriverSettings settings;
  StrList files;  // discovery order; taken from the front
  DriverSource *first_source;
  DriverSource *last_source;
  StrView searchers_text;
  u64 scratch_start;
};

//~ Functions

// Content registry, file streaming and the HTTP library's global start; main thread, once.
void driver_services_init(void);
void driver_run(OptionTable *options);

PageQueue *driver_page_queue(void);
DocumentSet *driver_document_set(void);

// Discovery: a folder is walked breadth-first, each folder's entries in byte order.
StrList driver_discover(Arena *arena, StrView target);
// Loads and processes every file of the list, in order.
void driver_process_files(DriverRun *run);
// The pipeline for one file, by its extension; may queue a page record.
PageRecord *driver_process_file(DriverRun *run, StrView path, StrView content);
// Whether every web link of the page has been fetched.
bool driver_page_ready(PageRecord *record);
void driver_report_page(DriverRun *run, PageRecord *record);
