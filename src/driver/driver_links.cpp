// Links: after parsing, what a page's links point at is looked up (local targets on
// disk, the sizes of local images) and its web links are queued with the link checker,
// for hand-written pages and documents alike. The parsers never touch the disk.
#include "base/base_format.h"
#include "doc/doc_core.h"
#include "driver/driver_build.h"
#include "html/html_core.h"
#include "net/net_link.h"
#include "net/net_linkcheck.h"
#include "site/site_url.h"
#include "os/os_core.h"
#include "site/site_path.h"

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
  for (DocLocalLink *l = doc->first_local_link; l; l = l->next) {
    ArenaTemp scratch = scratch_begin(&arena, 1);
    StrView full = site_link_resolve_local(scratch.arena, l->written, root, l->base_folder);
    bool exists = driver_target_found(site, memo, full);
    scratch_end(scratch);
    if (exists) continue;
    l->node->flags |= DocNodeFlag_BrokenLink;
    // The message names the target with "~" expanded, as the page links to it.
    StrView msg = str_pushf(arena, "%S not found", &l->node->text);
    diag_push(arena, &missing, l->offset, DiagSeverity_Warning, msg);
  }
  u64 n = missing.count;
  diag_merge(&doc->diagnostics, &missing);
  return n;
}

u64
driver_check_page_targets(Arena *arena, HtmlParseResult *page, StrView text, StrView path, StrView root,
                          Site *site, MemoEntry *memo) {
  DiagnosticList missing = {};
  for (HtmlLink *l = page->links.first; l; l = l->next) {
    if (l->kind != HtmlLinkKind_Local) continue;
    StrView target = str_substr(text, l->start, l->end);
    ArenaTemp scratch = scratch_begin(&arena, 1);
    StrView full = site_link_resolve_local(scratch.arena, target, root, str_chop_last_slash_keep(path));
    bool exists = driver_target_found(site, memo, full);
    scratch_end(scratch);
    if (!exists) diag_push(arena, &missing, l->start, DiagSeverity_Warning, str_pushf(arena, "%S not found", &target));
  }
  // After what validation said, which is not in page order either.
  u64 n = missing.count;
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

static void
driver_add_web_link(PageRecord *rec, StrView url, StrView written, StrView location) {
  PageWebLink *l = push_struct(rec->arena, PageWebLink);
  l->url = url;
  l->written = written;
  l->location = location;
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
    if (linkcheck_enqueue(site->links, url, location, driver_finder_for(site, url) != 0)) {
      rec->web_links_queued += 1;
      driver_add_web_link(rec, url, written, location);
    }
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
    if (linkcheck_enqueue(site->links, url, location, driver_finder_for(site, url) != 0)) {
      rec->web_links_queued += 1;
      driver_add_web_link(rec, url, url, location);
    }
  }
}

