// The per-file pipelines and the page report.
#include "base/base_format.h"
#include "doc/doc_core.h"
#include "driver/driver_build.h"
#include "gen/gen_write.h"
#include "html/html_core.h"
#include "net/net_linkcheck.h"
#include "net/net_link.h"

// Each record works on an arena of its own; a record filled again starts it afresh.
static Arena *
driver_record_arena(Arena *old) {
  if (old) arena_release(old);
  return arena_create_sized(MB(64), KB(64));
}

// The source's page record, queued at its first use and emptied for a new fill after.
static PageRecord *
driver_page_record(PageQueue *q, DriverSource *src) {
  PageRecord *r = src->record;
  if (!r) {
    r = push_struct(q->arena, PageRecord);
    SLLQueuePush(q->first, q->last, r);
    q->count += 1;
    src->record = r;
  }
  PageRecord *next = r->next;
  Arena *arena = driver_record_arena(r->arena);
  MemoryZeroStruct(r);
  r->next = next;
  r->arena = arena;
  return r;
}

static void
driver_record_document(DocumentSet *set, DriverSource *src, Arena *arena, DocParseResult *doc, StrView path) {
  DocumentRecord *rec = src->document;
  if (!rec) {
    rec = push_struct(set->arena, DocumentRecord);
    SLLQueuePush(set->first, set->last, rec);
    set->count += 1;
    src->document = rec;
  } else if (rec->arena && rec->arena != arena) {
    arena_release(rec->arena);
  }
  rec->arena = arena;
  rec->doc = doc;
  rec->source_path = path;
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
// rewritten, since its tree may have lost text; nor is a page with no markup at all.
static PageRecord *
driver_process_page(DriverRun *run, DriverSource *src, StrView content) {
  PageQueue *q = driver_page_queue();
  PageRecord *rec = driver_page_record(q, src);
  Arena *arena = rec->arena;
  rec->path = src->path;
  rec->source = content;
  rec->source_path = src->path;
  rec->source_key = src->key;
  rec->source_modified = src->modified;
  if (content.length == 0) return rec;
  HtmlParseResult *r = push_struct(arena, HtmlParseResult);
  // Tokens serve the parse only; they live on scratch memory.
  ArenaTemp tokens_scratch = scratch_begin(&arena, 1);
  HtmlTokenList tokens = html_tokenize(tokens_scratch.arena, content);
  *r = html_parse(arena, content, rec->path, tokens, HtmlParse_CheckAll, q->root_path);
  scratch_end(tokens_scratch);
  html_validate(arena, r);
  html_check_attributes(arena, r);
  driver_drop_unchecked_links(&r->links, content);
  u32 mode = (q->check_urls ? HtmlLinkCheck_QueueWeb : 0u) |
             (run->settings.check_file_paths ? HtmlLinkCheck_LocalPaths : 0u);
  rec->web_links_queued = html_check_links(arena, content, rec->path, &r->links, &r->diagnostics, mode, q->root_path);
  if (q->check_urls) {
    for (HtmlLink *l = r->links.first; l; l = l->next) {
      if (l->kind == HtmlLinkKind_Web) str_list_push(arena, &rec->web_links, str_substr(content, l->start, l->end));
    }
  }
  diag_print(&r->diagnostics, content, rec->path);
  rec->html = r;
  bool markup = str_find(content, 0, str_lit("<"), 0) < content.length;
  rec->rewrite = r->parse_errors == 0 && markup;
  return rec;
}

// A qil document: parsed with its diagnostics printed; a draft keeps an empty record.
static PageRecord *
driver_process_document(DriverRun *run, DriverSource *src, StrView content) {
  (void)run;
  DocumentSet *set = driver_document_set();
  Arena *arena = driver_record_arena(src->document ? src->document->arena : 0);
  if (src->document) src->document->arena = 0;  // released just above
  DocParseOptions options = {set->root_path, set->check_file_paths};
  DocParseResult *doc = push_struct(arena, DocParseResult);
  *doc = doc_parse_file(arena, content, src->path, &options);
  diag_print(&doc->diagnostics, content, src->path);
  if (str_match(doc->status, str_lit("draft"), StrMatchFlag_CaseInsensitive)) {
    driver_record_document(set, src, arena, 0, StrView{});
    return 0;
  }
  // Page assembly plugs in here.
  driver_record_document(set, src, arena, doc, src->path);
  return 0;
}

PageRecord *
driver_process_file(DriverRun *run, DriverSource *src, StrView content) {
  StrView ext = str_skip_last_dot(src->path);
  PageRecord *record = src->record;
  if (str_equal(ext, str_lit("html"))) {
    record = driver_process_page(run, src, content);
  } else if (str_equal(ext, str_lit("qil"))) {
    record = driver_process_document(run, src, content);
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

// The serialized page, keeping the line end that ended the page as the author wrote it.
static StrView
driver_page_text(Arena *arena, PageRecord *record) {
  StrList pieces = {};
  html_write(arena, &pieces, record->html->root);
  StrView src = record->source;
  if (src.length && src.data[src.length - 1] == '\n') {
    bool crlf = src.length > 1 && src.data[src.length - 2] == '\r';
    str_list_push(arena, &pieces, crlf ? str_lit("\r\n") : str_lit("\n"));
  }
  return str_list_join(arena, &pieces, 0);
}

void
driver_report_page(DriverRun *run, PageRecord *record) {
  ArenaTemp scratch = scratch_begin(&run->arena, 1);
  //- a hand-written page is replaced only while its file still holds what was parsed
  if (record->html && record->rewrite) {
    WriteExpect expect = {record->source, record->source_modified};
    WriteOptions options = {&expect, run->target_real};
    gen_replace_file(record->path, driver_page_text(scratch.arena, record), &options);
  }
  record->messages = StrList{};
  str_list_pushf(scratch.arena, &record->messages, "link checked: %I64u", record->web_links_queued);
  console_printf("%.*s: \n\t", str_expand(record->path));
  for (StrNode *n = record->messages.first; n; n = n->next) console_printf("%.*s: \n\t", str_expand(n->string));
  record->messages = StrList{};
  record->reported = 1;
  scratch_end(scratch);
}
