// The per-file pipelines and the page report.
#include "base/base_format.h"
#include "doc/doc_core.h"
#include "driver/driver_build.h"
#include "net/net_linkcheck.h"

static PageRecord *
driver_queue_page(PageQueue *q) {
  PageRecord *r = push_struct(q->arena, PageRecord);
  if (q->last) q->last->next = r;
  else q->first = r;
  q->last = r;
  q->count += 1;
  return r;
}

static void
driver_record_document(DocumentSet *set, DocParseResult *doc, StrView path) {
  DocumentRecord *rec = push_struct(set->arena, DocumentRecord);
  rec->doc = doc;
  rec->source_path = path;
  if (set->last) set->last->next = rec;
  else set->first = rec;
  set->last = rec;
  set->count += 1;
}

// A qil document: parsed with its diagnostics printed; a draft keeps an empty record.
static PageRecord *
driver_process_document(DriverRun *run, StrView path, StrView content) {
  (void)run;
  DocumentSet *set = driver_document_set();
  DocParseOptions options = {set->root_path, set->check_file_paths};
  DocParseResult *doc = push_struct(set->arena, DocParseResult);
  *doc = doc_parse_file(set->arena, content, path, &options);
  if (str_match(doc->status, str_lit("draft"), StrMatchFlag_CaseInsensitive)) {
    driver_record_document(set, 0, StrView{});
    return 0;
  }
  // Page assembly plugs in here.
  driver_record_document(set, doc, str_push_copy(set->arena, path));
  return 0;
}

PageRecord *
driver_process_file(DriverRun *run, StrView path, StrView content) {
  (void)run;
  (void)content;
  StrView ext = str_skip_last_dot(path);
  PageRecord *record = 0;
  if (str_equal(ext, str_lit("html"))) {
    // Hand-written pages are loaded; parsing and rewriting plug in here.
  } else if (str_equal(ext, str_lit("qil"))) {
    record = driver_process_document(run, path, content);
  }
  (void)driver_queue_page;
  return record;
}

bool
driver_page_ready(PageRecord *record) {
  for (StrNode *n = record->web_links.first; n; n = n->next) {
    if (!linkcheck_fetch_ended(n->string)) return false;
  }
  return true;
}

void
driver_report_page(DriverRun *run, PageRecord *record) {
  ArenaTemp scratch = scratch_begin(&run->arena, 1);
  record->messages = StrList{};
  str_list_pushf(scratch.arena, &record->messages, "link checked: %I64u", record->web_links_queued);
  console_printf("%.*s: \n\t", str_expand(record->path));
  for (StrNode *n = record->messages.first; n; n = n->next) console_printf("%.*s: \n\t", str_expand(n->string));
  record->messages = StrList{};
  record->reported = 1;
  scratch_end(scratch);
}
