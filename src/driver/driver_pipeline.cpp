// The per-file pipelines and the page report.
#include "base/base_format.h"
#include "doc/doc_core.h"
#include "driver/driver_build.h"
#include "gen/gen_page.h"
#include "html/html_core.h"
#include "net/net_linkcheck.h"
#include "net/net_link.h"
#include "net/net_url.h"

// Under listen each record works on an arena of its own, given back when the record is
// filled again. A run that does not listen fills every record once: its records share
// one arena, since an arena per record would cost the system a mapping each.
static Arena *driver_shared_records;

void
driver_share_record_arenas(bool share) {
  if (share && !driver_shared_records) driver_shared_records = arena_create_sized(GB(64), MB(1));
  if (!share) driver_shared_records = 0;
}

static Arena *driver_overflow_records;

static void
driver_release_record_arena(Arena *arena) {
  if (arena && arena != driver_shared_records && arena != driver_overflow_records) arena_release(arena);
}

// When the system has no mapping left for an arena of its own, a record goes on a
// shared arena: its memory is then kept till the end, and the run goes on.

static Arena *
driver_record_arena(Arena *old) {
  driver_release_record_arena(old);
  if (driver_shared_records) return driver_shared_records;
  Arena *own = arena_create_sized(MB(64), KB(64));
  if (own) return own;
  if (!driver_overflow_records) driver_overflow_records = arena_create_sized(GB(64), MB(1));
  return driver_overflow_records;
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
    driver_release_record_arena(rec->arena);
  }
  rec->arena = arena;
  rec->doc = doc;
  rec->source_path = path;
}

//~ Previews

// The finder whose URL patterns match the link: the last exact match, else the first
// finder with a pattern naming the link's host.
static const SourceFinder *
driver_finder_for(DriverRun *run, StrView url) {
  if (!run->finders.count) return 0;
  UrlParts link = url_parse(url);
  const SourceFinder *exact = 0, *by_host = 0;
  for (SourceFinder *f = run->finders.first; f; f = f->next) {
    for (StrNode *n = f->urls.first; n; n = n->next) {
      // The comparison changes the parts it is given: each takes fresh ones.
      UrlParts pattern = url_parse(n->string);
      UrlParts asked = link;
      if (url_same(&pattern, &asked)) {
        exact = f;
        continue;
      }
      if (by_host) continue;
      UrlParts pattern_again = url_parse(n->string);
      UrlParts host = url_parse(link.host);
      if (url_same(&pattern_again, &host)) by_host = f;
    }
  }
  return exact ? exact : by_host;
}

// The previews of the page's links whose answers came with a body a finder reads.
static LinkMetadata *
driver_link_metadata(DriverRun *run, Arena *arena, PageRecord *record) {
  LinkMetadata *first = 0, *last = 0;
  for (PageWebLink *l = record->first_web_link; l; l = l->next) {
    const SourceFinder *finder = driver_finder_for(run, l->url);
    if (!finder) continue;
    StrView body = {};
    linkcheck_verdict(run->links, l->url, 0, &body);
    if (!body.length) continue;
    LinkMetadataItemList items = {};
    metadata_extract(arena, finder, body, &items);
    // A page in which no marker found a value has no preview: its prefixes alone say nothing.
    bool found = false;
    DataMarker *marker = finder->data_markers.first;
    for (LinkMetadataItem *item = items.first; item && marker; item = item->next, marker = marker->next) {
      if (item->text.length > marker->prefix.length) found = true;
    }
    if (!found) continue;
    LinkMetadata *m = push_struct(arena, LinkMetadata);
    m->items = items.first;
    m->hash = str_hash_djb2(l->written);
    if (last) last->next = m;
    else first = m;
    last = m;
  }
  return first;
}

// The web links of a generated page, found in its tree: each "a" whose address is a web
// address, its text gathered into one buffer the links point into.
static HtmlLinkList
driver_generated_links(Arena *arena, HtmlNode *root, StrView *text_out) {
  HtmlLinkList links = {};
  StrList texts = {};
  u64 at = 0;
  for (HtmlNode *n = root; !html_node_is_nil(n); n = html_next_preorder(n, root)) {
    if (n->type != HtmlNode_Element || n->element->kind != HtmlTagKind_A) continue;
    StrView href = html_attribute_value(n, HtmlAttrKind_Href);
    if (!link_is_web_address(href)) continue;
    HtmlLink *l = push_struct(arena, HtmlLink);
    l->start = at;
    l->end = at + href.length;
    l->kind = HtmlLinkKind_Web;
    l->element = n;
    DLLPushBack(links.first, links.last, l);
    links.count += 1;
    // Written as the document has it ("&lt;" back to "<"), as its link was queued.
    href = html_decode_url(arena, href);
    l->end = at + href.length;
    str_list_push(arena, &texts, href);
    at += href.length;
  }
  *text_out = str_list_join(arena, &texts, 0);
  return links;
}

static void
driver_attach_previews(DriverRun *run, PageRecord *record) {
  if (!run->finders.count || !record->first_web_link) return;
  Arena *arena = record->arena;
  LinkMetadata *metadata = driver_link_metadata(run, arena, record);
  if (!metadata) return;
  if (record->html && record->html->root) {
    html_attach_link_metadata(arena, &record->html->links, record->source, metadata);
    html_validate(arena, record->html);
  } else if (record->generated) {
    StrView text = {};
    HtmlLinkList links = driver_generated_links(arena, record->generated->document, &text);
    html_attach_link_metadata(arena, &links, text, metadata);
  }
}

static void
driver_add_web_link(PageRecord *rec, StrView url, StrView written, StrView location) {
  PageWebLink *l = push_struct(rec->arena, PageWebLink);
  l->url = url;
  l->written = written;
  l->location = location;
  SLLQueuePush(rec->first_web_link, rec->last_web_link, l);
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
  // Without link checking the page waits for nothing: it is written back as soon as it
  // is checked, and its tree goes with the writer's batch instead of staying for the run.
  Arena *batch = q->check_urls ? 0 : driver_writer_arena();
  if (batch) arena = batch;
  HtmlParseResult *r = push_struct(arena, HtmlParseResult);
  // Tokens serve the parse only; they live on scratch memory.
  ArenaTemp tokens_scratch = scratch_begin(&arena, 1);
  HtmlTokenList tokens = html_tokenize(tokens_scratch.arena, content);
  *r = html_parse(arena, content, rec->path, tokens, HtmlParse_CheckAll, q->root_path);
  scratch_end(tokens_scratch);
  html_validate(arena, r);
  html_collect_links(arena, r);
  driver_drop_unchecked_links(&r->links, content);
  // The web links are queued here, one by one, so that a page waits only for the ones
  // the checker took.
  u32 mode = run->settings.check_file_paths ? HtmlLinkCheck_LocalPaths : 0u;
  html_check_links(arena, content, rec->path, &r->links, &r->diagnostics, mode, q->root_path, run->links);
  if (q->check_urls) {
    LineCursor cursor = line_cursor_begin();
    for (HtmlLink *l = r->links.first; l; l = l->next) {
      if (l->kind != HtmlLinkKind_Web) continue;
      LineCol lc = line_cursor_seek(&cursor, content, l->start);
      StrView location = str_pushf(arena, "%S:%I64d:%I64d", &rec->path, (s64)lc.line, (s64)lc.column);
      StrView written = str_push_copy(arena, str_substr(content, l->start, l->end));
      StrView url = html_decode_url(arena, written);
      if (linkcheck_enqueue(run->links, url, location, driver_finder_for(run, url) != 0)) {
        rec->web_links_queued += 1;
        driver_add_web_link(rec, url, written, location);
      }
    }
  }
  diag_print(&r->diagnostics, content, rec->path);
  DriverCount(run, errors, r->diagnostics.errors);
  DriverCount(run, warnings, r->diagnostics.warnings);
  rec->html = r;
  bool markup = str_find(content, 0, str_lit("<"), 0) < content.length;
  rec->rewrite = r->parse_errors == 0 && markup;
  if (batch) {
    if (rec->rewrite) driver_writer_push_page(run, rec, r->root);
    else if (r->parse_errors) DriverCount(run, kept_parse_error, 1);
    else DriverCount(run, kept_no_markup, 1);
    if (!rec->rewrite) driver_writer_push(run, 0, 0);
    rec->html = 0;
    rec->written = 1;
  }
  return rec;
}

static void driver_write_generated(DriverRun *run, Arena *arena, PageRecord *record, PageResult *page);

//~ Output paths

// The first output path that names an "html" file.
static StrView
driver_page_output(DocParseResult *doc) {
  for (StrNode *n = doc->output_paths.first; n; n = n->next) {
    if (n->string.length && str_equal(str_skip_last_dot(n->string), str_lit("html"))) return n->string;
  }
  return StrView{};
}

// Where the document names an output path: the quoted text of its "output_path" entry.
static u64
driver_output_offset(DocParseResult *doc, StrView path) {
  for (DocNode *n = doc->root; !doc_node_is_nil(n); n = doc_node_next_preorder(n, doc->root)) {
    DocNode *entry = n->parent;
    if (n->kind == DocNodeKind_Text && entry->kind == DocNodeKind_MetaEntry && entry->meta_key &&
        entry->meta_key->id == MetaKeyId_OutputPath && str_equal(n->text, path)) {
      return n->source_offset;
    }
  }
  return 0;
}

static DriverClaim **
driver_claim_slot(DriverRun *run, StrView folded) {
  return &run->claims[str_hash_djb2(folded) % DRIVER_CLAIM_SLOTS];
}

static void
driver_claim_release(DriverRun *run, DriverSource *src) {
  if (!src->output_claim.length) return;
  for (DriverClaim **at = driver_claim_slot(run, src->output_claim); *at; at = &(*at)->next) {
    if ((*at)->source == src) {
      DriverClaim *c = *at;
      *at = c->next;
      c->next = run->free_claims;
      run->free_claims = c;
      break;
    }
  }
  src->output_claim = StrView{};
}

// The source that holds the path already, or nil once `src` holds it.
static DriverSource *
driver_claim_take(DriverRun *run, DriverSource *src, StrView folded) {
  DriverClaim **slot = driver_claim_slot(run, folded);
  for (DriverClaim *c = *slot; c; c = c->next) {
    if (str_equal(c->path, folded)) return c->source;
  }
  DriverClaim *c = run->free_claims;
  if (c) run->free_claims = c->next;
  else c = push_struct(run->arena, DriverClaim);
  // The path lives as long as the run: claims outlive the documents they came from.
  c->path = str_push_copy(run->arena, folded);
  c->source = src;
  c->next = *slot;
  *slot = c;
  src->output_claim = c->path;
  return 0;
}

// The page's web links, queued with the link checker where they stand in the source.
static void
driver_queue_document_links(DriverRun *run, PageRecord *rec, DocParseResult *doc, StrView content) {
  LineCursor cursor = line_cursor_begin();
  for (DocNode *n = doc->root; !doc_node_is_nil(n); n = doc_node_next_preorder(n, doc->root)) {
    if (n->kind != DocNodeKind_Text || !(n->flags & DocNodeFlag_HttpLink) || n->text.length == 0) continue;
    LineCol lc = line_cursor_seek(&cursor, content, n->source_offset);
    StrView location = str_pushf(rec->arena, "%S:%I64d:%I64d", &rec->source_path, (s64)lc.line, (s64)lc.column);
    StrView url = str_push_copy(rec->arena, n->text);
    if (linkcheck_enqueue(run->links, url, location, driver_finder_for(run, url) != 0)) {
      rec->web_links_queued += 1;
      driver_add_web_link(rec, url, url, location);
    }
  }
}

// A qil document: parsed with its diagnostics printed; a published one gets its page
// assembled and queued; a draft keeps an empty record.
static PageRecord *
driver_process_document(DriverRun *run, DriverSource *src, StrView content) {
  DocumentSet *set = driver_document_set();
  PageQueue *q = driver_page_queue();
  Arena *arena = driver_record_arena(src->document ? src->document->arena : 0);
  if (src->document) src->document->arena = 0;  // released just above
  DocParseOptions options = {set->root_path, set->check_file_paths};
  // Without link checking no page waits for answers: it is written as soon as it is
  // made, so its parse lives on the writer's batch and goes with it, rather than
  // staying for the whole run.
  Arena *batch = q->check_urls ? 0 : driver_writer_arena();
  Arena *parse_arena = batch ? batch : arena;
  DocParseResult *doc = push_struct(parse_arena, DocParseResult);
  *doc = doc_parse_file(parse_arena, content, src->path, &options);
  bool draft = str_match(doc->status, str_lit("draft"), StrMatchFlag_CaseInsensitive);

  //- the page's file: inside the site root, and no other document's
  driver_claim_release(run, src);
  StrView out = draft ? StrView{} : driver_page_output(doc);
  if (out.length) {
    ArenaTemp scratch = scratch_begin(&arena, 1);
    StrView folded = link_fold_path(scratch.arena, out);
    u64 offset = driver_output_offset(doc, out);
    DriverSource *holder = 0;
    if (!link_path_inside(scratch.arena, out, set->root_path)) {
      StrView msg = str_pushf(parse_arena, "%S lies outside the site root %S: the page is not written", &out,
                              &set->root_path);
      diag_push(parse_arena, &doc->diagnostics, offset, DiagSeverity_Warning, msg);
      out = StrView{};
    } else if ((holder = driver_claim_take(run, src, folded)) != 0) {
      StrView msg = str_pushf(parse_arena, "%S is already the page of %S: this document's page is not written", &out,
                              &holder->path);
      diag_push(parse_arena, &doc->diagnostics, offset, DiagSeverity_Warning, msg);
      out = StrView{};
    }
    scratch_end(scratch);
  }
  diag_print(&doc->diagnostics, content, src->path);
  DriverCount(run, errors, doc->diagnostics.errors);
  DriverCount(run, warnings, doc->diagnostics.warnings);
  if (draft) DriverCount(run, drafts, 1);
  else if (!out.length) DriverCount(run, unpublished, 1);

  if (draft) {
    driver_record_document(set, src, arena, 0, StrView{});
  } else {
    driver_record_document(set, src, arena, batch ? 0 : doc, src->path);
  }

  //- the page, assembled on the record's arena; a record without one reports nothing
  PageRecord *rec = src->record;
  if (!out.length) {
    if (rec) driver_page_record(q, src);
    if (batch) driver_writer_push(run, 0, 0);
    return src->record;
  }
  rec = driver_page_record(q, src);
  rec->path = str_push_copy(rec->arena, out);
  rec->raw_path = page_raw_path(rec->arena, rec->path);
  rec->document = src->document;
  rec->source = content;
  rec->source_path = src->path;
  rec->source_key = src->key;
  rec->source_modified = src->modified;
  if (q->check_urls) driver_queue_document_links(run, rec, doc, content);
  rec->generated = push_struct(rec->arena, PageResult);
  if (rec->first_web_link) {
    // Its previews come with the answers: the tree waits for the report.
    *rec->generated = page_assemble(rec->arena, doc, src->path, rec->path);
    return rec;
  }
  //- nothing to wait for: written now, so no page tree stays for the rest of the run
  if (!batch && !rec->first_web_link) batch = driver_writer_arena();
  if (batch) {
    PageResult page = page_assemble(batch, doc, src->path, rec->path);
    rec->generated->title = str_push_copy(rec->arena, page.title);
    rec->written = 1;
    driver_writer_push(run, rec, page.document);
    return rec;
  }
  ArenaTemp scratch = scratch_begin(&arena, 1);
  PageResult page = page_assemble(scratch.arena, doc, src->path, rec->path);
  rec->generated->title = str_push_copy(rec->arena, page.title);
  driver_write_generated(run, scratch.arena, rec, &page);
  rec->written = 1;
  scratch_end(scratch);
  return rec;
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
driver_page_ready(DriverRun *run, PageRecord *record) {
  for (PageWebLink *l = record->first_web_link; l; l = l->next) {
    if (!linkcheck_fetch_ended(run->links, l->url)) return false;
  }
  return true;
}

// A generated page and its raw view, written only below the site root.
static bool
driver_written(WriteStatus status) {
  return status == WriteStatus_Written || status == WriteStatus_Unchanged;
}

static void
driver_write_generated(DriverRun *run, Arena *arena, PageRecord *record, PageResult *page) {
  WriteOptions options = {0, run->root_real, 1};
  StrView text = gen_page_text(arena, page->document, {});
  if (driver_written(gen_replace_file(record->path, text, &options))) DriverCount(run, pages_generated, 1);
  else DriverCount(run, write_failures, 1);
  if (!record->document) return;
  StrView back = str_skip_last_slash(record->path);
  PageResult raw = build_raw_page(arena, record->source, record->source_path, record->raw_path, back);
  if (driver_written(gen_replace_file(record->raw_path, gen_page_text(arena, raw.document, {}), &options))) {
    DriverCount(run, raw_views, 1);
  } else {
    DriverCount(run, write_failures, 1);
  }
}

// A hand-written page is replaced only while its file still holds what was parsed.
static void
driver_write_page(DriverRun *run, Arena *arena, PageRecord *record) {
  if (!record->rewrite) {
    if (record->html->parse_errors) DriverCount(run, kept_parse_error, 1);
    else DriverCount(run, kept_no_markup, 1);
    return;
  }
  WriteExpect expect = {record->source, record->source_modified};
  WriteOptions options = {&expect, run->target_real, 0};
  driver_count_page_write(run, gen_replace_file(record->path, gen_page_text(arena, record->html->root, record->source),
                                                &options));
}

void
driver_count_page_write(DriverRun *run, u32 status) {
  switch (status) {
    case WriteStatus_Written: DriverCount(run, pages_rewritten, 1); break;
    case WriteStatus_Unchanged: DriverCount(run, pages_unchanged, 1); break;
    case WriteStatus_Changed:
    case WriteStatus_Missing: DriverCount(run, kept_changed, 1); break;
    case WriteStatus_Outside: DriverCount(run, kept_outside, 1); break;
    default: DriverCount(run, write_failures, 1); break;
  }
}

void
driver_report_page(DriverRun *run, PageRecord *record) {
  record->reported = 1;
  if (!record->path.length) return;
  ArenaTemp scratch = scratch_begin(&run->arena, 1);
  driver_attach_previews(run, record);
  if (record->html) driver_write_page(run, scratch.arena, record);
  else if (record->generated && !record->written) driver_write_generated(run, scratch.arena, record, record->generated);
  record->messages = StrList{};
  str_list_pushf(scratch.arena, &record->messages, "link checked: %I64u", record->web_links_queued);
  //- what the answers say, link by link, where this page has the link
  for (PageWebLink *l = record->first_web_link; l; l = l->next) {
    StrView message = {};
    u32 verdict = linkcheck_verdict(run->links, l->url, &message, 0);
    DriverCount(run, links_checked, 1);
    if (verdict == LinkVerdict_Broken) DriverCount(run, links_broken, 1);
    if (verdict == LinkVerdict_Redirected) DriverCount(run, links_redirected, 1);
    if (verdict == LinkVerdict_Noted) DriverCount(run, links_noted, 1);
    if (verdict == LinkVerdict_None) continue;
    StrView name = linkcheck_verdict_name(verdict);
    str_list_pushf(scratch.arena, &record->messages, "%S %S\n\t%S", &l->location, &name, &message);
  }
  console_printf("%.*s: \n\t", str_expand(record->path));
  for (StrNode *n = record->messages.first; n; n = n->next) console_printf("%.*s: \n\t", str_expand(n->string));
  record->messages = StrList{};
  scratch_end(scratch);
}

void
driver_report_index(DriverRun *run) {
  PageQueue *q = driver_page_queue();
  ArenaTemp scratch = scratch_begin(&run->arena, 1);
  IndexPageList pages = {};
  for (PageRecord *r = q->first; r; r = r->next) {
    if (!r->generated || !r->path.length) continue;
    IndexPage *p = push_struct(scratch.arena, IndexPage);
    p->path = r->path;
    p->title = r->generated->title;
    SLLQueuePush(pages.first, pages.last, p);
    pages.count += 1;
  }
  IndexStatus index = write_index_page(scratch.arena, &pages);
  if (index == IndexStatus_NotParsed || index == IndexStatus_NotWritten) DriverCount(run, write_failures, 1);
  for (PageRecord *r = q->first; r; r = r->next) {
    if (r->path.length) console_printf("%.*s: \n\t", str_expand(r->path));
  }
  scratch_end(scratch);
}
