// The report: once a page's web links are answered, its previews are attached, a page
// that waited is handed to the writer, and its lines are printed; then the index.
#include "base/base_format.h"
#include "driver/driver_build.h"
#include "emit/emit.h"
#include "gen/gen_page.h"
#include "html/html_core.h"
#include "net/net_linkcheck.h"
#include "os/os_core.h"
#include "site/site_path.h"
#include "site/site_url.h"

//~ Previews

// The link checker's preview callback, on a worker thread as each body arrives: the
// items of the link's finder, or null when none found a value. Items whose text would
// show as nothing are left out: an empty span says nothing and fails the next check.
void *
driver_cut_previews(Arena *arena, void *user, StrView url, StrView body) {
  Site *site = (Site *)user;
  const SourceFinder *finder = driver_finder_for(site, url);
  if (!finder) return 0;
  ArenaTemp scratch = scratch_begin(&arena, 1);
  LinkMetadataItemList items = {};
  metadata_extract(scratch.arena, finder, body, &items);
  // A page in which no marker found a value has no preview: its prefixes alone say nothing.
  bool found = false;
  DataMarker *marker = finder->data_markers.first;
  for (LinkMetadataItem *item = items.first; item && marker; item = item->next, marker = marker->next) {
    if (item->text.length > marker->prefix.length) found = true;
  }
  LinkMetadataItem *first = 0, *last = 0;
  for (LinkMetadataItem *item = found ? items.first : 0; item; item = item->next) {
    StrView shown = str_trim_whitespace(html_preview_text(scratch.arena, item->text));
    if (!shown.length) continue;
    LinkMetadataItem *kept = push_struct(arena, LinkMetadataItem);
    kept->flags = item->flags;
    kept->text = str_push_copy(arena, item->text);
    if (last) last->next = kept;
    else first = kept;
    last = kept;
  }
  scratch_end(scratch);
  return first;
}

// The previews of the page's links whose answers came with a body a finder read.
static LinkMetadata *
driver_link_metadata(Site *site, Arena *arena, PageRecord *record) {
  LinkMetadata *first = 0, *last = 0;
  for (PageWebLink *l = record->first_web_link; l; l = l->next) {
    void *preview = 0;
    linkcheck_verdict(site->links, l->url, 0, &preview, l->body);
    if (!preview) continue;
    LinkMetadata *m = push_struct(arena, LinkMetadata);
    m->items = (LinkMetadataItem *)preview;
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
    if (!site_link_is_web_address(href)) continue;
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

// The previews a generated page had when it was last written, for its links that got
// none this time: a page is made anew from its document, so what a hand-written page
// keeps by itself is read back from the page on disk.
static LinkMetadata *
driver_previews_kept(Site *site, Arena *arena, PageRecord *record, LinkMetadata *fresh) {
  bool some_missing = false;
  for (PageWebLink *l = record->first_web_link; l && !some_missing; l = l->next) {
    if (!driver_finder_for(site, l->url)) continue;
    void *preview = 0;
    linkcheck_verdict(site->links, l->url, 0, &preview, l->body);
    if (!preview) some_missing = true;
  }
  if (!some_missing) return fresh;
  StrView text = os_read_file(arena, record->path);
  if (!text.length) return fresh;
  HtmlParseResult old = html_parse(arena, text, record->path, html_tokenize(arena, text), 0, {});
  LinkMetadata *first = fresh, *last = fresh;
  while (last && last->next) last = last->next;
  for (HtmlNode *n = old.root; !html_node_is_nil(n); n = html_next_preorder(n, old.root)) {
    if (n->type != HtmlNode_Element || n->element->kind != HtmlTagKind_A) continue;
    StrView href = html_decode_url(arena, html_attribute_value(n, HtmlAttrKind_Href));
    if (!site_link_is_web_address(href)) continue;
    u64 hash = str_hash_djb2(href);
    bool has_fresh = false;
    for (LinkMetadata *m = fresh; m && !has_fresh; m = m->next) has_fresh = m->hash == hash;
    if (has_fresh) continue;
    //- the spans right after the link, as they were written (already safe text)
    LinkMetadataItem *items = 0, *items_last = 0;
    for (HtmlNode *e = n->next; !html_node_is_nil(e); e = e->next) {
      if (e->type != HtmlNode_Element || e->element->kind != HtmlTagKind_Span) break;
      StrView cls = html_attribute_value(e, HtmlAttrKind_Class);
      if (!str_match(cls, str_lit("metadata"), StrMatchFlag_Prefix)) break;
      StrList parts = {};
      // The span's text nodes, as the page has them (references as written).
      for (HtmlNode *c = e->last_child->first_child; !html_node_is_nil(c); c = c->next) {
        if (c->type == HtmlNode_Content) {
          str_list_push(arena, &parts, str_substr(text, c->source_offset, c->source_offset + c->source_length));
        }
      }
      LinkMetadataItem *item = push_struct(arena, LinkMetadataItem);
      item->text = str_list_join(arena, &parts, 0);
      if (str_find(cls, 0, str_lit("missing-metadata"), 0) < cls.length) item->flags = LinkMetadataFlag_Missing;
      if (items_last) items_last->next = item;
      else items = item;
      items_last = item;
    }
    if (!items) continue;
    LinkMetadata *m = push_struct(arena, LinkMetadata);
    m->items = items;
    m->hash = hash;
    if (last) last->next = m;
    else first = m;
    last = m;
  }
  return first;
}

static void
driver_attach_previews(Site *site, PageRecord *record) {
  if (!site->finders.count || !record->first_web_link) return;
  Arena *arena = record->arena;
  LinkMetadata *metadata = driver_link_metadata(site, arena, record);
  if (record->kind == PageKind_Generated && record->tree) metadata = driver_previews_kept(site, arena, record, metadata);
  if (!metadata) return;
  if (record->kind == PageKind_HandWritten && record->html && record->html->root) {
    html_attach_link_metadata(arena, &record->html->links, record->source, metadata);
    html_validate(arena, record->html);
  } else if (record->kind == PageKind_Generated && record->tree) {
    StrView text = {};
    HtmlLinkList links = driver_generated_links(arena, record->tree, &text);
    html_attach_link_metadata(arena, &links, text, metadata);
  }
}

//~ Pages

bool
driver_page_ready(Site *site, PageRecord *record) {
  for (PageWebLink *l = record->first_web_link; l; l = l->next) {
    if (!linkcheck_fetch_ended(site->links, l->url, l->body)) return false;
  }
  return true;
}

// The "#name"s of the page's web links that the pages they lead to lack, said where the
// page has them, among its diagnostics.
static void
driver_check_web_fragments(Site *site, PageRecord *record) {
  if (!site->settings.check_fragments) return;
  Arena *arena = record->arena;
  DiagnosticList missing = {};
  for (PageWebLink *l = record->first_web_link; l; l = l->next) {
    if (!(l->body & LinkBody_Ids) || linkcheck_fragment_found(site->links, l->url, l->fragment)) continue;
    StrView address = str_prefix(l->url, str_find(l->url, 0, str_lit("#"), 0));
    StrView msg = str_pushf(arena, "#%S not found in %S", &l->fragment, &address);
    diag_push(arena, &missing, l->offset, DiagSeverity_Warning, msg);
  }
  if (!missing.count) return;
  diag_print(&missing, record->source, record->source_path);
  //- kept with what was said about the source when it was processed
  DriverSource *src = driver_source_find(site, record->source_path);
  DriverFindingList more = {};
  u32 kind = record->kind == PageKind_Generated ? DriverFinding_Document : DriverFinding_Page;
  driver_say_diagnostics(site, src ? &more : 0, arena, &missing, record->source, record->source_path, kind);
  if (src && more.first) {
    if (src->findings.last) src->findings.last->next = more.first;
    else src->findings.first = more.first;
    src->findings.last = more.last;
    src->findings.count += more.count;
  }
  SiteCount(site, warnings, missing.count);
  SiteCount(site, fragments_missing, missing.count);
}

void
driver_report_page(Site *site, PageRecord *record) {
  u32 state = record->state;
  record->state = PageState_Reported;
  if (!record->path.length) return;
  ArenaTemp scratch = scratch_begin(&site->arena, 1);
  driver_attach_previews(site, record);
  if (state == PageState_Waiting) {
    HtmlNode *tree = record->kind == PageKind_HandWritten ? record->html->root : record->tree;
    emit_page_now(site, scratch.arena, record, tree);
  } else if (state == PageState_Kept) {
    emit_kept(site, record);
  }
  driver_check_web_fragments(site, record);
  StrList messages = {};
  str_list_pushf(scratch.arena, &messages, "link checked: %I64u", record->web_links_queued);
  //- what the answers say, link by link, where this page has the link
  for (PageWebLink *l = record->first_web_link; l; l = l->next) {
    StrView message = {};
    u32 verdict = linkcheck_verdict(site->links, l->url, &message, 0, l->body);
    LinkAnswer answer = {};
    if (linkcheck_answer(site->links, l->url, &answer, l->body)) driver_say_link(site, l, &answer);
    SiteCount(site, links_checked, 1);
    if (verdict == LinkVerdict_Broken) SiteCount(site, links_broken, 1);
    if (verdict == LinkVerdict_Redirected) SiteCount(site, links_redirected, 1);
    if (verdict == LinkVerdict_Noted) SiteCount(site, links_noted, 1);
    if (verdict == LinkVerdict_Unchecked) SiteCount(site, links_unchecked, 1);
    if (verdict == LinkVerdict_Excluded) SiteCount(site, links_excluded, 1);
    // The user asked for excluded links: they are counted, not listed.
    if (verdict == LinkVerdict_None || verdict == LinkVerdict_Excluded) continue;
    StrView name = linkcheck_verdict_name(verdict);
    str_list_pushf(scratch.arena, &messages, "%S %S\n\t%S", &l->location, &name, &message);
  }
  console_printf("%.*s: \n\t", str_expand(record->path));
  for (StrNode *n = messages.first; n; n = n->next) console_printf("%.*s: \n\t", str_expand(n->string));
  scratch_end(scratch);
}

IndexStatus
driver_write_index(Site *site, Arena *arena, IndexPageList *pages) {
  ArenaTemp scratch = scratch_begin(&arena, 1);
  Arena *a = scratch.arena;
  StrView path = site->files.index_path;

  //- what the page holds now, for the writer to compare with just before replacing it
  FileProperties props = os_path_properties(path);
  StrView text = os_read_file(a, path);
  u32 error = os_last_error_code();
  bool exists = error == 0;
  if (!exists && !os_error_is_missing(error)) {
    console_eprintf("qilsite: cannot read '%.*s': %s; its lists were not refilled\n", str_expand(path),
                    os_last_error());
    emit_index_refused(site);
    scratch_end(scratch);
    return IndexStatus_NotWritten;
  }
  HtmlNode *root = html_nil_node;
  if (text.length) {
    HtmlParseResult parsed = html_parse(a, text, path, html_tokenize(a, text), HtmlParse_CheckAll, {});
    if (parsed.parse_errors) {
      // Its tree may have lost text: the user's page is left as it is.
      diag_print(&parsed.diagnostics, text, path);
      // Kept on the run's arena: a listen run says it again only after the index changed.
      driver_say_diagnostics(site, &site->index_findings, site->arena, &parsed.diagnostics, text, path,
                             DriverFinding_Page);
      console_eprintf("qilsite: '%.*s' was not rewritten: its lists were not refilled\n", str_expand(path));
      emit_index_refused(site);
      scratch_end(scratch);
      return IndexStatus_NotParsed;
    }
    root = parsed.root;
  }

  if (!exists) {
    console_eprintf("qilsite: no index page '%.*s': one is made with the shared head and no lists to fill "
                    "(qilsite init writes a site that has one)\n",
                    str_expand(path));
  }
  //- refilled, then replaced only while it holds what was read
  driver_shared_first_use(site);
  root = gen_index_page(a, &site->shared, root, path, pages);
  StrView out = gen_page_text(a, root, text);
  WriteExpect expect = {text, props.modified};
  bool written = emit_index(site, out, exists ? &expect : 0);
  scratch_end(scratch);
  return written ? IndexStatus_Written : IndexStatus_NotWritten;
}

void
driver_report_index(Site *site) {
  ArenaTemp scratch = scratch_begin(&site->arena, 1);
  IndexPageList pages = {};
  for (PageRecord *r = site->first_page; r; r = r->next) {
    // Only pages that are there: a link to one whose write failed would lead nowhere.
    if (r->kind != PageKind_Generated || !r->path.length || r->write_failed) continue;
    IndexPage *p = push_struct(scratch.arena, IndexPage);
    p->path = r->path;
    p->title = r->title;
    SLLQueuePush(pages.first, pages.last, p);
    pages.count += 1;
  }
  driver_write_index(site, scratch.arena, &pages);
  for (PageRecord *r = site->first_page; r; r = r->next) {
    if (r->path.length) console_printf("%.*s: \n\t", str_expand(r->path));
  }
  scratch_end(scratch);
}
