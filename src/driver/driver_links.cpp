// Links: after parsing, what a page's links point at is looked up (local targets on
// disk, the sizes of local images) and its web links are queued with the link checker,
// for hand-written pages and documents alike. The parsers never touch the disk.
#include "base/base_format.h"
#include "doc/doc_core.h"
#include "driver/driver_build.h"
#include "gen/gen_page.h"
#include "html/html_core.h"
#include "net/net_link.h"
#include "net/net_linkcheck.h"
#include "site/site_url.h"
#include "os/os_core.h"
#include "site/site_path.h"

//~ Fragments

// The ids a page has are read once per round, when the first link with a "#name" leads
// to it: a page of the run's documents from its document, as its page will be made; a
// hand-written page through the file service when it is a source of the run (what the
// run reads), else from disk.

void
driver_ids_forget(Site *site) {
  if (!site->id_target_count) return;
  MemoryZero(site->id_targets, sizeof site->id_targets);
  site->id_target_count = 0;
  arena_pop_to(site->ids_arena, 0);
}

// The bytes of a file for its ids; `held` is set when they are held from the file service.
static StrView
driver_ids_read(Site *site, Arena *arena, StrView path, ContentKey *held) {
  if (site->file_service && driver_source_find(site, path)) {
    FileSnapshot snap = file_request(site->file_service, path, DEADLINE_NONE);
    StrView content = {};
    if (snap.ok && !snap.error && content_acquire(site->file_service, snap.key, &content)) {
      *held = snap.key;
      return content;
    }
  }
  return os_read_file(arena, path);
}

// A document's page assembled as the pipeline assembles it, for its ids alone.
static HtmlIdSet
driver_generated_ids(Site *site, Arena *arena, StrView source_path, StrView content, StrView page_path) {
  ArenaTemp scratch = scratch_begin(&arena, 1);
  DocParseOptions options = {site->settings.root};
  DocParseResult doc = doc_parse_file(scratch.arena, content, source_path, &options);
  PageResult page = page_assemble(scratch.arena, &site->shared, &doc, source_path, page_path, 0);
  HtmlIdSet ids = {};
  for (HtmlNode *n = page.document; !html_node_is_nil(n); n = html_next_preorder(n, page.document)) {
    if (n->type != HtmlNode_Element) continue;
    StrView id = html_attribute_value(n, HtmlAttrKind_Id);
    if (id.length) html_id_set_add(scratch.arena, &ids, id);
    StrView name = n->element->kind == HtmlTagKind_A ? html_attribute_value(n, HtmlAttrKind_Name) : StrView{};
    if (name.length) html_id_set_add(scratch.arena, &ids, name);
  }
  HtmlIdSet kept = html_id_set_copy(arena, &ids);
  scratch_end(scratch);
  return kept;
}

// The ids of the page at the folded path; `own` is its text when the caller holds it.
static DriverIdTarget *
driver_id_target(Site *site, StrView folded, StrView own) {
  DriverIdTarget **slot = &site->id_targets[str_hash_djb2(folded) % DRIVER_ID_SLOTS];
  for (DriverIdTarget *t = *slot; t; t = t->next) {
    if (str_equal(t->path, folded)) return t;
  }
  if (!site->ids_arena) site->ids_arena = arena_create_sized(MB(64), KB(64));
  Arena *arena = site->ids_arena;
  DriverIdTarget *t = push_struct(arena, DriverIdTarget);
  if (!t) return 0;  // no memory: nothing is judged
  t->path = str_push_copy(arena, folded);
  DriverPlanned *planned = driver_planned_find(site, folded);
  StrView ext = str_skip_last_dot(folded);
  bool html = str_match(ext, str_lit("html"), StrMatchFlag_CaseInsensitive) ||
              str_match(ext, str_lit("htm"), StrMatchFlag_CaseInsensitive);
  if (own.length) {
    t->ids = html_ids_of(arena, own);
    t->known = 1;
  } else if (planned ? planned->source.length != 0 : html) {
    // A raw view is no page of ids anybody links to: it stays unknown.
    ArenaTemp scratch = scratch_begin(&arena, 1);
    StrView path = planned ? planned->source : folded;
    ContentKey held = {};
    StrView content = driver_ids_read(site, scratch.arena, path, &held);
    t->known = content.length || os_path_exists(path);
    if (content.length && planned) t->ids = driver_generated_ids(site, arena, path, content, folded);
    else if (content.length) t->ids = html_ids_of(arena, content);
    if (!content_key_is_zero(held)) content_release(site->file_service, held);
    scratch_end(scratch);
  }
  t->next = *slot;
  *slot = t;
  site->id_target_count += 1;
  return t;
}

// The "#" part of a hand-written page's link, without its "#", as a browser reads it:
// after the first "#" of the decoded value ("&#35;" is one too); null when it has none.
static StrView
driver_link_fragment(Arena *arena, StrView text, HtmlLink *l) {
  StrView decoded = html_decode_url(arena, str_substr(text, l->start, Max(l->end, l->value_end)));
  u64 hash = str_find(decoded, 0, str_lit("#"), 0);
  return hash < decoded.length ? str_skip(decoded, hash + 1) : StrView{};
}

// Whether the "#name" of a link (without its "#") is an id of the page at `folded`; a
// page whose ids cannot be read is not judged.
static bool
driver_fragment_found(Site *site, StrView folded, StrView fragment, StrView own) {
  if (!folded.length && !own.length) return true;
  DriverIdTarget *t = driver_id_target(site, folded, own);
  return !t || !t->known || html_fragment_found(&t->ids, fragment);
}

//~ Local targets

// What a link found is noted in the memo: the page is made again when that changes.
static bool
driver_target_found(Site *site, MemoEntry *memo, StrView full) {
  bool exists = driver_memo_target_found(site, full);
  if (memo && full.length) driver_memo_add_dep(site, memo, MemoDep_Target, full, MemoStamp{0, 0, 0, exists});
  return exists;
}

u64
driver_check_document_targets(Arena *arena, DocParseResult *doc, StrView root, Site *site, MemoEntry *memo) {
  DiagnosticList missing = {};
  bool paths = !site || site->settings.check_file_paths;
  bool fragments = site && site->settings.check_fragments;
  u64 fragments_missing = 0;
  for (DocLocalLink *l = doc->first_local_link; l; l = l->next) {
    ArenaTemp scratch = scratch_begin(&arena, 1);
    StrView full = site_link_resolve_local(scratch.arena, l->written, root, l->base_folder);
    bool exists = driver_target_found(site, memo, full);
    u64 hash = str_find(l->written, 0, str_lit("#"), 0);
    bool fragment_missing = false;
    StrView fragment = hash < l->written.length ? str_skip(l->written, hash + 1) : StrView{};
    if (exists && fragments && hash < l->written.length) {
      fragment_missing = !driver_fragment_found(site, full, fragment, StrView{});
      // Another source's ids judge it: the memo cannot tell when they change.
      if (memo) memo->unreusable = 1;
    }
    scratch_end(scratch);
    if (fragment_missing) {
      StrView page = site_link_split(l->written).path;
      StrView msg = diag_list_keeps(&missing) ? str_pushf(arena, "#%S not found in %S", &fragment, &page) : StrView{};
      diag_push(arena, &missing, l->offset, DiagSeverity_Warning, msg);
      fragments_missing += 1;
    }
    if (exists || !paths) continue;
    l->node->flags |= DocNodeFlag_BrokenLink;
    // The message names the target with "~" expanded, as the page links to it.
    StrView msg = str_pushf(arena, "%S not found", &l->node->text);
    diag_push(arena, &missing, l->offset, DiagSeverity_Warning, msg);
  }
  u64 n = missing.count - fragments_missing;
  if (site) SiteCount(site, fragments_missing, fragments_missing);
  diag_merge(&doc->diagnostics, &missing);
  return n;
}

u64
driver_check_page_targets(Arena *arena, HtmlParseResult *page, StrView text, StrView path, StrView root,
                          Site *site, MemoEntry *memo) {
  DiagnosticList missing = {};
  bool paths = !site || site->settings.check_file_paths;
  bool fragments = site && site->settings.check_fragments;
  u64 fragments_missing = 0;
  for (HtmlLink *l = page->links.first; l; l = l->next) {
    if (l->kind != HtmlLinkKind_Local) continue;
    StrView target = str_substr(text, l->start, l->end);
    ArenaTemp scratch = scratch_begin(&arena, 1);
    StrView full = site_link_resolve_local(scratch.arena, target, root, str_chop_last_slash_keep(path));
    bool exists = driver_target_found(site, memo, full);
    StrView fragment = exists && fragments ? driver_link_fragment(scratch.arena, text, l) : StrView{};
    if (fragment.data) {
      // A link with no path leads into its own page.
      bool own = !site_link_split(target).path.length && !site_link_is_address(target);
      StrView folded = own ? site_path_fold(scratch.arena, path) : full;
      if (memo && !own) memo->unreusable = 1;
      if (!driver_fragment_found(site, folded, fragment, own ? text : StrView{})) {
        // A page with a finding per link keeps only the first messages: the others are not made.
        StrView where = target.length ? target : str_lit("this page");
        StrView msg = diag_list_keeps(&missing) ? str_pushf(arena, "#%S not found in %S", &fragment, &where) : StrView{};
        diag_push(arena, &missing, l->start, DiagSeverity_Warning, msg);
        fragments_missing += 1;
      }
    }
    scratch_end(scratch);
    if (!exists && paths) diag_push(arena, &missing, l->start, DiagSeverity_Warning, str_pushf(arena, "%S not found", &target));
  }
  // After what validation said, which is not in page order either.
  u64 n = missing.count - fragments_missing;
  if (site) SiteCount(site, fragments_missing, fragments_missing);
  diag_append(&page->diagnostics, &missing);
  return n;
}

//~ Images

RenderImageSizes
driver_measure_images(Arena *arena, DocNode *root, const RenderPageInfo *page, Site *site, MemoEntry *memo) {
  ArenaTemp scratch = scratch_begin(&arena, 1);
  RenderImageSize *items = 0;
  u64 count = 0, cap = 0;
  for (DocNode *n = root; !doc_node_is_nil(n); n = doc_node_next_preorder(n, root)) {
    if (!(n->flags & DocNodeFlag_Image)) continue;
    StrView path = image_jpeg_file(scratch.arena, n, page);
    if (!path.length) continue;
    if (memo) driver_memo_add_dep(site, memo, MemoDep_Image, path, driver_memo_stamp(path));
    ArenaTemp file = scratch_begin(&arena, 1);
    JpegInfo info = jpeg_info_from_bytes(file.arena, os_read_file(file.arena, path));
    scratch_end(file);
    if (!info.width || !info.height) continue;
    if (count == cap) {
      u64 grown = cap ? cap * 2 : 8;
      RenderImageSize *more = push_array_no_zero(scratch.arena, RenderImageSize, grown);
      if (count) MemoryCopy(more, items, count * sizeof *items);
      items = more;
      cap = grown;
    }
    items[count++] = RenderImageSize{n, info.width, info.height};
  }
  RenderImageSizes sizes = render_image_sizes_make(arena, items, count);
  scratch_end(scratch);
  return sizes;
}

//~ Web links

// The finder whose URL patterns match the link: the last exact match, else the first
// finder with a pattern naming the link's host.
const SourceFinder *
driver_finder_for(Site *site, StrView url) {
  if (!site->finders.count) return 0;
  UrlParts link = url_parse(url);
  const SourceFinder *exact = 0, *by_host = 0;
  for (SourceFinder *f = site->finders.first; f; f = f->next) {
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

// Queues a web link and keeps it on the page's list. With check_fragments, a link with a
// "#" part (`fragment` not null) makes the checker read the ids of the answer: every
// fragment of an address, "#top" too, shares that one fetch.
static void
driver_add_web_link(Site *site, PageRecord *rec, StrView url, StrView written, StrView location, u64 offset,
                    StrView fragment) {
  bool judged = site->settings.check_fragments && fragment.data;
  u32 body = (driver_finder_for(site, url) ? (u32)LinkBody_Preview : 0u) | (judged ? (u32)LinkBody_Ids : 0u);
  if (!linkcheck_enqueue(site->links, url, location, body)) return;
  rec->web_links_queued += 1;
  PageWebLink *l = push_struct(rec->arena, PageWebLink);
  l->url = url;
  l->written = written;
  l->location = location;
  l->offset = offset;
  l->body = body;
  if (judged) l->fragment = str_push_copy(rec->arena, fragment);
  SLLQueuePush(rec->first_web_link, rec->last_web_link, l);
}

// Scripts and icons are never checked.
void
driver_drop_unchecked_links(HtmlLinkList *links, StrView text) {
  for (HtmlLink *l = links->first; l;) {
    HtmlLink *next = l->next;
    if (site_link_is_never_checked(str_substr(text, l->start, l->end))) {
      DLLRemove(links->first, links->last, l);
      links->count -= 1;
    }
    l = next;
  }
}

void
driver_queue_page_links(Site *site, Arena *arena, PageRecord *rec, HtmlParseResult *page) {
  // Queued one by one, so that a page waits only for the ones the checker took.
  StrView content = rec->source;
  LineCursor cursor = line_cursor_begin();
  for (HtmlLink *l = page->links.first; l; l = l->next) {
    if (l->kind != HtmlLinkKind_Web) continue;
    LineCol lc = line_cursor_seek(&cursor, content, l->start);
    StrView location = str_pushf(arena, "%S:%I64d:%I64d", &rec->path, (s64)lc.line, (s64)lc.column);
    StrView written = str_push_copy(arena, str_substr(content, l->start, l->end));
    StrView url = html_decode_url(arena, written);
    StrView fragment = site->settings.check_fragments ? driver_link_fragment(arena, content, l) : StrView{};
    driver_add_web_link(site, rec, url, written, location, l->start, fragment);
  }
}

// The page's web links, queued with the link checker where they stand in the source.
void
driver_queue_document_links(Site *site, PageRecord *rec, DocParseResult *doc, StrView content) {
  LineCursor cursor = line_cursor_begin();
  for (DocNode *n = doc->root; !doc_node_is_nil(n); n = doc_node_next_preorder(n, doc->root)) {
    if (n->kind != DocNodeKind_Text || !(n->flags & DocNodeFlag_HttpLink) || n->text.length == 0) continue;
    LineCol lc = line_cursor_seek(&cursor, content, n->source_offset);
    StrView location = str_pushf(rec->arena, "%S:%I64d:%I64d", &rec->source_path, (s64)lc.line, (s64)lc.column);
    StrView url = str_push_copy(rec->arena, n->text);
    u64 hash = str_find(url, 0, str_lit("#"), 0);
    StrView fragment = hash < url.length ? str_skip(url, hash + 1) : StrView{};
    driver_add_web_link(site, rec, url, url, location, n->source_offset, fragment);
  }
}

