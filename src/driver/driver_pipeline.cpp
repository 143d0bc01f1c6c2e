// The per-file pipelines: a source read, parsed, its links looked up and its page
// assembled and handed to the writer, or kept for the report.
#include "base/base_format.h"
#include "doc/doc_core.h"
#include "driver/driver_build.h"
#include "emit/emit.h"
#include "gen/gen_page.h"
#include "html/html_core.h"
#include "net/net_linkcheck.h"
#include "site/site_url.h"
#include "os/os_core.h"
#include "site/site_path.h"

//~ Records

// Under listen each record works on an arena of its own, given back when the record is
// filled again; a run that does not listen fills every record once, on one shared arena.
// An arena of its own starts in a block of the site's record pool, sized for the source:
// one mapping of the system's per record would exhaust them on a big site (about ten
// thousand documents). A record that outgrows its block chains blocks of its own.
static u32
driver_record_class(u64 expect) {
  u32 c = 0;
  while (c + 1 < DRIVER_RECORD_CLASSES && (DRIVER_RECORD_BLOCK_MIN << c) < expect) c += 1;
  return c;
}

static void
driver_release_record_arena(Site *site, Arena *arena) {
  if (!arena || arena == site->shared_records || arena == site->overflow_records) return;
  bool pooled = arena->flags & ArenaFlag_CallerMemory;
  u64 size = arena->reserved;
  arena_release(arena);
  if (!pooled) return;
  //- the block goes back to its class's list
  u32 c = driver_record_class(size);
  DriverRecordBlock *b = (DriverRecordBlock *)(void *)arena;
  b->next = site->free_record_blocks[c];
  site->free_record_blocks[c] = b;
}

// When the system gives nothing more, a record goes on the overflow arena: its memory is
// then kept till the end, and the run goes on.
static Arena *
driver_record_arena(Site *site, Arena *old, u64 expect) {
  driver_release_record_arena(site, old);
  if (site->shared_records) return site->shared_records;
  if (!site->record_pool) site->record_pool = arena_create_sized(GB(64), MB(1));
  u32 c = driver_record_class(expect);
  u64 size = DRIVER_RECORD_BLOCK_MIN << c;
  void *block = site->free_record_blocks[c];
  if (block) site->free_record_blocks[c] = site->free_record_blocks[c]->next;
  else block = arena_push(site->record_pool, size, KB(4));
  if (block) {
    ArenaParams params = {};
    params.memory = block;
    params.memory_size = size;
    params.reserve_size = Max(size, (u64)MB(1));  // what a chained block reserves
    params.commit_size = KB(64);
    Arena *own = arena_create(params);
    if (own) return own;
  }
  if (!site->overflow_records) site->overflow_records = arena_create_sized(GB(64), MB(1));
  return site->overflow_records;
}

// The source's page record, queued at its first use and emptied for a new fill after.
static PageRecord *
driver_page_record(Site *site, DriverSource *src, u64 expect) {
  PageRecord *r = src->record;
  if (!r) {
    r = push_struct(site->pages_arena, PageRecord);
    SLLQueuePush(site->first_page, site->last_page, r);
    site->page_count += 1;
    src->record = r;
  }
  PageRecord *next = r->next;
  Arena *arena = driver_record_arena(site, r->arena, expect);
  MemoryZeroStruct(r);
  r->next = next;
  r->arena = arena;
  return r;
}

// The source a page record was made from, and what the memo keeps of it.
static void
driver_record_source(PageRecord *rec, DriverSource *src, StrView content, MemoEntry *memo) {
  rec->source = content;
  rec->source_path = src->path;
  rec->source_key = src->key;
  rec->source_modified = src->modified;
  rec->memo = memo;
}

static void
driver_record_document(Site *site, DriverSource *src, Arena *arena, DocParseResult *doc, StrView path) {
  DocumentRecord *rec = src->document;
  if (!rec) {
    rec = push_struct(site->pages_arena, DocumentRecord);
    SLLQueuePush(site->first_document, site->last_document, rec);
    site->document_count += 1;
    src->document = rec;
  } else if (rec->arena && rec->arena != arena) {
    driver_release_record_arena(site, rec->arena);
  }
  rec->arena = arena;
  rec->doc = doc;
  rec->source_path = path;
}

// A hand-written page: parsed, validated, its links collected and checked; its
// diagnostics are printed now, once. A page whose parse raised an error is never
// rewritten, since its tree may have lost text; nor is a page with no markup at all.
static PageRecord *
driver_process_page(Site *site, DriverSource *src, StrView content) {
  PageRecord *rec = driver_page_record(site, src, site->settings.check_urls ? content.length * 64 : 0);
  Arena *arena = rec->arena;
  rec->kind = PageKind_HandWritten;
  rec->path = src->path;
  MemoEntry *memo = driver_memo_capture(site, src);
  driver_record_source(rec, src, content, memo);
  if (content.length == 0) return rec;
  // Without link checking the page waits for nothing: it is written back as soon as it
  // is checked, and its tree goes with the writer's batch instead of staying for the run.
  bool check_urls = site->settings.check_urls;
  Arena *batch = check_urls ? 0 : emit_batch_arena(site);
  if (batch) arena = batch;
  HtmlParseResult *r = push_struct(arena, HtmlParseResult);
  // Tokens serve the parse only; they live on scratch memory.
  ArenaTemp tokens_scratch = scratch_begin(&arena, 1);
  HtmlTokenList tokens = html_tokenize(tokens_scratch.arena, content);
  *r = html_parse(arena, content, rec->path, tokens, HtmlParse_CheckAll, site->settings.root);
  scratch_end(tokens_scratch);
  html_validate(arena, r);
  html_collect_links(arena, r);
  //- links: local targets looked up, web links queued
  driver_drop_unchecked_links(&r->links, content);
  if (site->settings.check_file_paths || site->settings.check_fragments) {
    u64 missing = driver_check_page_targets(arena, r, content, rec->path, site->settings.root, site, memo);
    SiteCount(site, targets_missing, missing);
  }
  if (check_urls) driver_queue_page_links(site, arena, rec, r);
  diag_print(&r->diagnostics, content, rec->path);
  driver_say_diagnostics(site, &src->findings, rec->arena, &r->diagnostics, content, rec->path, DriverFinding_Page);
  driver_memo_keep_diagnostics(site, memo, &r->diagnostics);
  driver_memo_keep_links(site, memo, rec);
  SiteCount(site, errors, r->diagnostics.errors);
  SiteCount(site, warnings, r->diagnostics.warnings);
  rec->html = r;
  // A page whose parse raised an error is never rewritten, since its tree may have
  // lost text; nor is a page with no markup at all.
  bool markup = str_find(content, 0, str_lit("<"), 0) < content.length;
  bool rewrite = r->parse_errors == 0 && markup;
  rec->state = rewrite ? PageState_Waiting : PageState_Kept;
  if (memo) {
    // A page written back is known once the writer says it already held these bytes.
    memo->outcome = rewrite ? MemoOutcome_Unchanged : r->parse_errors ? MemoOutcome_ParseError : MemoOutcome_NoMarkup;
    memo->usable = !rewrite;
  }
  if (batch) {
    if (rewrite) {
      emit_hand_over(site, rec, r->root);
      rec->state = PageState_Handed;
    } else {
      emit_kept(site, rec);
      emit_parse_done(site);
      rec->state = PageState_None;
    }
    rec->html = 0;
  }
  return rec;
}

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
driver_claim_slot(Site *site, StrView folded) {
  return &site->claims[str_hash_djb2(folded) % DRIVER_CLAIM_SLOTS];
}

static void
driver_claim_drop(Site *site, DriverSource *src, StrView path) {
  if (!path.length) return;
  for (DriverClaim **at = driver_claim_slot(site, path); *at; at = &(*at)->next) {
    if ((*at)->source == src && str_equal((*at)->path, path)) {
      DriverClaim *c = *at;
      *at = c->next;
      c->next = site->free_claims;
      site->free_claims = c;
      break;
    }
  }
}

bool
driver_release_claims(Site *site, DriverSource *src) {
  bool held = src->output_claim.length || src->raw_claim.length;
  driver_claim_drop(site, src, src->output_claim);
  driver_claim_drop(site, src, src->raw_claim);
  src->output_claim = StrView{};
  src->raw_claim = StrView{};
  return held;
}

static DriverClaim *
driver_claim_find(Site *site, StrView folded) {
  for (DriverClaim *c = *driver_claim_slot(site, folded); c; c = c->next) {
    if (str_equal(c->path, folded)) return c;
  }
  return 0;
}

static void
driver_claim_put(Site *site, DriverSource *src, StrView folded, u32 kind) {
  DriverClaim **slot = driver_claim_slot(site, folded);
  DriverClaim *c = site->free_claims;
  if (c) site->free_claims = c->next;
  else c = push_struct(site->arena, DriverClaim);
  // The path lives as long as the run: claims outlive the documents they came from.
  c->path = str_push_copy(site->arena, folded);
  c->source = src;
  c->kind = kind;
  c->next = *slot;
  *slot = c;
  if (kind == DriverClaim_Page) src->output_claim = c->path;
  else src->raw_claim = c->path;
}

// A qil document: parsed with its diagnostics printed; a published one gets its page
// assembled and queued; a draft keeps an empty record.
static PageRecord *
driver_process_document(Site *site, DriverSource *src, StrView content) {
  StrView root = site->settings.root;
  // With link checking the parse stays on it, and with a page that waits, on the page's.
  u64 expect = site->settings.check_urls ? content.length * 48 : 0;
  Arena *arena = driver_record_arena(site, src->document ? src->document->arena : 0, expect);
  if (src->document) src->document->arena = 0;  // released just above
  DocParseOptions options = {root};
  // Without link checking no page waits for answers: it is written as soon as it is
  // made, so its parse lives on the writer's batch and goes with it, rather than
  // staying for the whole run.
  bool check_urls = site->settings.check_urls;
  Arena *batch = check_urls ? 0 : emit_batch_arena(site);
  Arena *parse_arena = batch ? batch : arena;
  MemoEntry *memo = driver_memo_capture(site, src);
  DocParseResult *doc = push_struct(parse_arena, DocParseResult);
  *doc = doc_parse_file(parse_arena, content, src->path, &options);
  if (site->settings.check_file_paths || site->settings.check_fragments) {
    u64 missing = driver_check_document_targets(parse_arena, doc, root, site, memo);
    SiteCount(site, targets_missing, missing);
  }
  bool draft = str_match(doc->status, str_lit("draft"), StrMatchFlag_CaseInsensitive);

  //- the page's file: inside the site root, and no other document's
  driver_release_claims(site, src);
  src->claim_refused = 0;
  StrView out = draft ? StrView{} : driver_page_output(doc);
  // Whether what came of the document depends on it alone, not on the other sources or
  // on the files found below the root: then the memo may stand for it next time.
  bool memo_usable = true;
  if (out.length) {
    ArenaTemp scratch = scratch_begin(&arena, 1);
    // The page and its raw view are claimed together: no document takes over another's.
    StrView page_path = site_path_fold_slashes(scratch.arena, out);
    // Without raw views, the page alone is claimed and asked about.
    bool raw_view = !site->settings.no_raw_views;
    StrView raw_path = raw_view ? site_path_raw_view(scratch.arena, page_path) : StrView{};
    StrView folded = site_path_fold(scratch.arena, page_path);
    StrView raw_folded = raw_view ? site_path_fold(scratch.arena, raw_path) : StrView{};
    u64 offset = driver_output_offset(doc, out);
    DriverClaim *held = 0;
    StrView refusal = {};
    bool refused_raw = false;
    if (!site_path_inside(scratch.arena, out, root)) {
      StrView msg = str_pushf(parse_arena, "%S lies outside the site root %S: the page is not written", &out, &root);
      diag_push(parse_arena, &doc->diagnostics, offset, DiagSeverity_Warning, msg);
      out = StrView{};
    } else if ((held = driver_claim_find(site, folded)) != 0 ||
               (raw_view && (held = driver_claim_find(site, raw_folded)) != 0)) {
      bool ours_is_raw = held->path.length == raw_folded.length && str_equal(held->path, raw_folded);
      StrView named = ours_is_raw ? raw_path : out;
      const char *what = held->kind == DriverClaim_Page ? "page" : "raw view";
      StrView msg = str_pushf(parse_arena, "%S is already the %s of %S: this document's page is not written", &named,
                              what, &held->source->path);
      diag_push(parse_arena, &doc->diagnostics, offset, DiagSeverity_Warning, msg);
      out = StrView{};
      src->claim_refused = 1;
      memo_usable = false;
    } else if ((refusal = driver_manifest_refusal(scratch.arena, site, page_path)).length ||
               (raw_view &&
                (refused_raw = (refusal = driver_manifest_refusal(scratch.arena, site, raw_path)).length != 0))) {
      //- never over a file this tool did not write
      StrView named = refused_raw ? raw_path : out;
      StrView msg = str_pushf(parse_arena, "%S is %S: this document's page is not written", &named, &refusal);
      diag_push(parse_arena, &doc->diagnostics, offset, DiagSeverity_Warning, msg);
      SiteCount(site, write_failures, 1);
      out = StrView{};
      memo_usable = false;
    } else {
      driver_claim_put(site, src, folded, DriverClaim_Page);
      if (raw_view) driver_claim_put(site, src, raw_folded, DriverClaim_RawView);
    }
    scratch_end(scratch);
  } else if (!draft) {
    //- no page at all: said where, since the summary only counts such documents
    StrView msg = {};
    if (content.length == 0) {
      msg = str_lit("this document is empty, so no page is made for it");
    } else if (!doc->output_paths.first) {
      msg = str_lit("this document has no output_path, so no page is made for it: add output_path: "
                    "\"~/website/NAME.html\" to its metadata block, or status: draft to keep it unpublished");
    } else {
      msg = str_lit("no output_path of this document ends in .html, so no page is made for it: name the page's "
                    "file, as in output_path: \"~/website/NAME.html\"");
    }
    u64 offset = doc->meta_block ? doc->meta_block->source_offset : 0;
    diag_push_flags(parse_arena, &doc->diagnostics, offset, DiagSeverity_Warning, msg, DiagFlag_OneLine);
  }
  diag_print(&doc->diagnostics, content, src->path);
  driver_say_diagnostics(site, &src->findings, arena, &doc->diagnostics, content, src->path, DriverFinding_Document);
  driver_memo_keep_diagnostics(site, memo, &doc->diagnostics);
  if (memo) {
    memo->outcome = draft ? MemoOutcome_Draft : out.length ? MemoOutcome_Page : MemoOutcome_NoPage;
    memo->usable = memo_usable;
  }
  SiteCount(site, errors, doc->diagnostics.errors);
  SiteCount(site, warnings, doc->diagnostics.warnings);
  if (draft) SiteCount(site, drafts, 1);
  else if (!out.length) SiteCount(site, unpublished, 1);

  if (draft) {
    driver_record_document(site, src, arena, 0, StrView{});
  } else {
    driver_record_document(site, src, arena, batch ? 0 : doc, src->path);
  }

  //- the page, assembled on the record's arena; a record without one reports nothing
  if (!out.length) {
    if (src->record) driver_page_record(site, src, 0);
    if (batch) emit_parse_done(site);
    return src->record;
  }
  PageRecord *rec = driver_page_record(site, src, site->settings.check_urls ? content.length * 64 : 0);
  rec->kind = PageKind_Generated;
  // A backslash separates folders here too, as in every link: the page, its raw view and
  // the links to them name the same file.
  rec->path = site_path_fold_slashes(rec->arena, str_push_copy(rec->arena, out));
  if (!site->settings.no_raw_views) rec->raw_path = site_path_raw_view(rec->arena, rec->path);
  rec->document = src->document;
  driver_record_source(rec, src, content, memo);
  if (check_urls) driver_queue_document_links(site, rec, doc, content);
  driver_memo_keep_links(site, memo, rec);
  RenderPageInfo page_info = {rec->path, root, 0};
  RenderImageSizes images = driver_measure_images(rec->arena, doc->root, &page_info, site, memo);
  if (memo) {
    memo->page = str_push_copy(site->arena, rec->path);
    memo->raw = str_push_copy(site->arena, rec->raw_path);
  }
  driver_shared_first_use(site);
  if (rec->first_web_link) {
    // Its previews come with the answers: the tree waits for the report.
    PageResult page = page_assemble(rec->arena, &site->shared, doc, src->path, rec->path, &images);
    rec->tree = page.document;
    rec->title = page.title;
    rec->state = PageState_Waiting;
    if (memo) memo->title = str_push_copy(site->arena, rec->title);
    return rec;
  }
  //- nothing to wait for: handed to the writer now, so no page tree stays for the run
  rec->state = PageState_Handed;
  if (!batch) batch = emit_batch_arena(site);
  if (batch) {
    PageResult page = page_assemble(batch, &site->shared, doc, src->path, rec->path, &images);
    rec->title = str_push_copy(rec->arena, page.title);
    if (memo) memo->title = str_push_copy(site->arena, rec->title);
    emit_hand_over(site, rec, page.document);
    return rec;
  }
  ArenaTemp scratch = scratch_begin(&arena, 1);
  PageResult page = page_assemble(scratch.arena, &site->shared, doc, src->path, rec->path, &images);
  rec->title = str_push_copy(rec->arena, page.title);
  if (memo) memo->title = str_push_copy(site->arena, rec->title);
  emit_page_now(site, scratch.arena, rec, page.document);
  scratch_end(scratch);
  return rec;
}

//~ Sources unchanged since the last build

// Claims the page and raw view of a memo entry as the pipeline would; false when another
// source holds either or the files may not be written, where the pipeline says why.
static bool
driver_reuse_claims(Site *site, DriverSource *src, MemoEntry *e) {
  ArenaTemp scratch = scratch_begin(&site->arena, 1);
  StrView folded = site_path_fold(scratch.arena, e->page);
  StrView raw_folded = e->raw.length ? site_path_fold(scratch.arena, e->raw) : StrView{};
  bool claimable = !driver_claim_find(site, folded) && !(raw_folded.length && driver_claim_find(site, raw_folded)) &&
              !driver_manifest_refusal(scratch.arena, site, e->page).length &&
              !(e->raw.length && driver_manifest_refusal(scratch.arena, site, e->raw).length);
  if (claimable) {
    driver_claim_put(site, src, folded, DriverClaim_Page);
    if (raw_folded.length) driver_claim_put(site, src, raw_folded, DriverClaim_RawView);
  }
  scratch_end(scratch);
  return claimable;
}

// A source whose content and inputs are those the memo has: nothing is parsed or made.
// What its processing said is said again, counted as it was, and its web links are
// queued again; its page record stands for the page already on disk.
static bool
driver_reuse(Site *site, DriverSource *src, StrView content) {
  MemoEntry *e = driver_memo_find(site, src->path);
  if (!e || !e->usable || !content.length || !content_key_equal(e->key, src->key)) return false;
  bool document = str_equal(str_skip_last_dot(src->path), str_lit("qil"));
  if (document != (e->outcome <= MemoOutcome_Page)) return false;
  if (!driver_memo_inputs_hold(site, e)) return false;
  driver_release_claims(site, src);
  src->claim_refused = 0;
  if (e->outcome == MemoOutcome_Page && !driver_reuse_claims(site, src, e)) return false;

  //- its records, as the pipeline leaves them once the page is written
  PageRecord *rec = 0;
  Arena *arena = 0;
  if (document) {
    arena = driver_record_arena(site, src->document ? src->document->arena : 0, 0);
    if (src->document) src->document->arena = 0;  // released just above
    driver_record_document(site, src, arena, 0, e->outcome == MemoOutcome_Draft ? StrView{} : src->path);
  }
  if (e->outcome >= MemoOutcome_Page) {
    rec = driver_page_record(site, src, 0);
    if (!document) arena = rec->arena;
    rec->kind = document ? PageKind_Generated : PageKind_HandWritten;
    rec->path = document ? e->page : src->path;
    rec->raw_path = document ? e->raw : StrView{};
    rec->title = e->title;
    rec->document = src->document;
    driver_record_source(rec, src, content, e);
    rec->state = PageState_Handed;
  }

  //- said and counted again
  DiagnosticList list = driver_memo_diagnostics(arena, e);
  diag_print(&list, content, src->path);
  u32 kind = document ? DriverFinding_Document : DriverFinding_Page;
  driver_say_diagnostics(site, &src->findings, arena, &list, content, src->path, kind);
  SiteCount(site, errors, list.errors);
  SiteCount(site, warnings, list.warnings);
  SiteCount(site, sources_reused, 1);
  for (MemoDep *d = e->deps; d; d = d->next) {
    if (d->kind == MemoDep_Target && !d->stamp.exists) SiteCount(site, targets_missing, 1);
  }
  switch (e->outcome) {
    case MemoOutcome_Draft: SiteCount(site, drafts, 1); break;
    case MemoOutcome_NoPage: SiteCount(site, unpublished, 1); break;
    case MemoOutcome_Page: {
      driver_shared_first_use(site);
      SiteCount(site, pages_generated, 1);
      if (e->raw.length) SiteCount(site, raw_views, 1);
    } break;
    case MemoOutcome_Unchanged: SiteCount(site, pages_unchanged, 1); break;
    case MemoOutcome_ParseError: SiteCount(site, kept_parse_error, 1); break;
    case MemoOutcome_NoMarkup: SiteCount(site, kept_no_markup, 1); break;
  }

  //- its web links, checked as every run checks them
  for (PageWebLink *l = e->first_link; rec && site->settings.check_urls && l; l = l->next) {
    if (!linkcheck_enqueue(site->links, l->url, l->location, 0)) continue;
    PageWebLink *q = push_struct(rec->arena, PageWebLink);
    q->url = l->url;
    q->written = l->written;
    q->location = l->location;
    SLLQueuePush(rec->first_web_link, rec->last_web_link, q);
    rec->web_links_queued += 1;
  }
  src->memo = e;
  site->memo.reused += 1;
  return true;
}

PageRecord *
driver_process_file(Site *site, DriverSource *src, StrView content) {
  StrView ext = str_skip_last_dot(src->path);
  PageRecord *record = src->record;
  // What was said about it before lived on the arenas its records are about to give back.
  src->findings = DriverFindingList{};
  if (driver_reuse(site, src, content)) return src->record;
  if (str_equal(ext, str_lit("html"))) {
    record = driver_process_page(site, src, content);
  } else if (str_equal(ext, str_lit("qil"))) {
    record = driver_process_document(site, src, content);
  }
  return record;
}
