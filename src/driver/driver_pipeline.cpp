// The per-file pipelines and the page report.
#include "base/base_format.h"
#include "doc/doc_core.h"
#include "driver/driver_build.h"
#include "gen/gen_write.h"
#include "html/html_core.h"
#include "net/net_linkcheck.h"
#include "net/net_link.h"

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

// Scripts and icons are never checked.
static void
driver_drop_unchecked_links(HtmlLinkList *links, StrView text) {
  for (HtmlLink *l = links->first; l;) {
    HtmlLink *next = l->next;
    if (link_is_never_checked(str_substr(text, l->start, l->end))) {
      DLLRemove(links->first, links->last, l);
      links->count -= 1;
    }
    l = next;
  }
}

// A hand-written page: parsed, validated, its links collected and checked; its
// diagnostics are printed now, once. A page whose parse raised an error is never
// rewritten, since its tree may have lost text.
static PageRecord *
driver_process_page(DriverRun *run, StrView path, StrView content) {
  PageQueue *q = driver_page_queue();
  PageRecord *rec = driver_queue_page(q);
  rec->path = str_push_copy(q->arena, path);
  rec->source = content;
  if (content.length == 0) return rec;
  HtmlParseResult *r = push_struct(q->arena, HtmlParseResult);
  // Tokens serve the parse only; they live on scratch memory.
  ArenaTemp tokens_scratch = scratch_begin(&q->arena, 1);
  HtmlTokenList tokens = html_tokenize(tokens_scratch.arena, content);
  *r = html_parse(q->arena, content, rec->path, tokens, 15, q->root_path);
  scratch_end(tokens_scratch);
  html_validate(q->arena, r);
  html_check_attributes(q->arena, r);
  driver_drop_unchecked_links(&r->links, content);
  u32 mode = (q->check_urls ? HtmlLinkCheck_QueueWeb : 0u) | (run->settings.check_file_paths ? HtmlLinkCheck_LocalPaths : 0u);
  rec->web_links_queued =
      html_check_links(q->arena, content, rec->path, &r->links, &r->diagnostics, mode, q->root_path);
  if (q->check_urls) {
    for (HtmlLink *l = r->links.first; l; l = l->next) {
      if (l->kind == HtmlLinkKind_Web) str_list_push(q->arena, &rec->web_links, str_substr(content, l->start, l->end));
    }
  }
  diag_print(&r->diagnostics, content, rec->path);
  rec->html = r;
  rec->rewrite = r->parse_errors == 0;
  return rec;
}

// A qil document: parsed with its diagnostics printed; a draft keeps an empty record.
static PageRecord *
driver_process_document(DriverRun *run, StrView path, StrView content) {
  (void)run;
  DocumentSet *set = driver_document_set();
  DocParseOptions options = {set->root_path, set->check_file_paths};
  DocParseResult *doc = push_struct(set->arena, DocParseResult);
  *doc = doc_parse_file(set->arena, content, path, &options);
  diag_print(&doc->diagnostics, content, path);
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
    record = driver_process_page(run, path, content);
  } else if (str_equal(ext, str_lit("qil"))) {
    record = driver_process_document(run, path, content);
  }
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
  if (record->html && record->rewrite) write_html_file(scratch.arena, record->html->root, record->path);
  record->messages = StrList{};
  str_list_pushf(scratch.arena, &record->messages, "link checked: %I64u", record->web_links_queued);
  console_printf("%.*s: \n\t", str_expand(record->path));
  for (StrNode *n = record->messages.first; n; n = n->next) console_printf("%.*s: \n\t", str_expand(n->string));
  record->messages = StrList{};
  record->reported = 1;
  scratch_end(scratch);
}
