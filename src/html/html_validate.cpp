// Validation against the tables, link collection, local link checks and previews.
#include "html/html_core.h"
#include "net/net_link.h"
#include "net/net_linkcheck.h"

//~ Validation

static void
html_report(Arena *arena, HtmlParseResult *r, StrView subject, u64 offset, StrView message) {
  (void)subject;
  doc_diag_push(arena, &r->diagnostics, offset, DiagSeverity_Error, message);
}

static bool
html_parent_allowed(Arena *arena, HtmlNode *e) {
  StrView semi[1] = {str_lit(";")};
  ArenaTemp scratch = scratch_begin(&arena, 1);
  StrList pieces = str_split(scratch.arena, e->element->allowed_parents, semi, 1);
  HtmlNode *owner = html_enclosing_element(e->parent);
  bool ok = false;
  for (StrNode *n = pieces.first; n && !ok; n = n->next) {
    if (!n->string.length) continue;
    if (str_match(n->string, str_lit("root"), StrMatchFlag_CaseInsensitive) && e->parent->type == HtmlNode_Document) {
      ok = true;
    } else if (!html_node_is_nil(owner) && str_match(n->string, owner->element->name, StrMatchFlag_CaseInsensitive)) {
      ok = true;
    }
  }
  scratch_end(scratch);
  return ok;
}

static void
html_validate_attribute(Arena *arena, HtmlParseResult *r, HtmlNode *a) {
  u64 at = a->source_offset + 1;
  if ((r->check_flags & HtmlCheck_UnknownAttributes) && a->attribute->name.length == 0) {
    html_report(arena, r, a->text, at, str_pushf(arena, "%S unknown attribute", &a->text));
  }
  u64 same = 0;
  for (HtmlNode *b = a->parent->first_child; !html_node_is_nil(b); b = b->next) {
    if (b->type == HtmlNode_Attribute && b->attribute == a->attribute) same += 1;
  }
  if (same != 1) html_report(arena, r, a->text, at, str_pushf(arena, "%S is a duplicated attribute", &a->text));
  if (a->attribute->value_type == HtmlAttrValue_Url) {
    HtmlNode *v = a->first_child;
    bool empty = html_node_is_nil(v) || ((v->flags & HtmlNodeFlag_String) && v->text.length == 0);
    if (empty) html_report(arena, r, {}, at, str_pushf(arena, "attribute's key %S must not be empty", &a->text));
  }
}

static void
html_validate_element(Arena *arena, HtmlParseResult *r, HtmlNode *e) {
  u64 at = e->source_offset + 1;
  if (!html_node_is_nil(e->prev) && e->prev->type != HtmlNode_Element && e->prev->type != HtmlNode_Content) {
    html_report(arena, r, e->text, at, str_lit("parsing failed, tag was encountered inside attribute node"));
  }
  if ((r->check_flags & HtmlCheck_UnknownElements) && e->element->name.length == 0) {
    html_report(arena, r, e->text, at, str_pushf(arena, "%S unknown tag element", &e->text));
  }
  bool shaped = !html_node_is_nil(e->first_child) && e->first_child->type == HtmlNode_AttributeList &&
                !html_node_is_nil(e->last_child) && e->last_child->type == HtmlNode_Content;
  if (!shaped) {
    html_report(arena, r, e->text, e->source_offset,
                str_pushf(arena,
                          "Structure (internal): %S does not have correct internal nodes which will cause critical "
                          "errors",
                          &e->text));
    return;
  }
  if ((r->check_flags & HtmlCheck_AllowedParents) && !html_parent_allowed(arena, e)) {
    StrView parents = e->element->allowed_parents;
    html_report(arena, r, e->text, e->source_offset,
                str_pushf(arena, "Structure: %S does not have an allowed parent, it should be one of theses: %S",
                          &e->text, &parents));
  }
  if (!(e->element->content & (HtmlContent_MayBeEmpty | HtmlContent_Void)) && html_node_is_nil(e->last_child->first_child)) {
    html_report(arena, r, e->text, at, str_pushf(arena, "%S must not have empty content", &e->text));
  }
}

void
html_validate(Arena *arena, HtmlParseResult *result) {
  HtmlNode *root = result->root;
  if (html_node_is_nil(root)) return;
  for (HtmlNode *n = html_next_preorder(root, root); !html_node_is_nil(n); n = html_next_preorder(n, root)) {
    if (n->type == HtmlNode_Attribute) html_validate_attribute(arena, result, n);
    else if (n->type == HtmlNode_Element) html_validate_element(arena, result, n);
  }
  result->ok = result->diagnostics.max_severity < 4 ? 1 : 0;
}

//~ Links

void
html_check_attributes(Arena *arena, HtmlParseResult *result) {
  HtmlNode *root = result->root;
  if (html_node_is_nil(root)) return;
  StrView source = root->text;
  for (HtmlNode *e = html_next_preorder(root, root); !html_node_is_nil(e); e = html_next_preorder(e, root)) {
    if (e->type != HtmlNode_Element || !(e->flags & HtmlNodeFlag_HasUrl)) continue;
    HtmlNode *list = html_attribute_list_of(e);
    bool dont_fetch = false;
    for (HtmlNode *a = list->first_child; !html_node_is_nil(a); a = a->next) {
      if (str_match(a->text, str_lit("dontFetch"), StrMatchFlag_CaseInsensitive)) dont_fetch = true;
      if (a->attribute->value_type != HtmlAttrValue_Url) continue;
      HtmlNode *v = a->first_child;
      if (!dont_fetch && !html_node_is_nil(v)) {
        //- the target's span in the page text, without quotes and "#" part
        u64 start = v->source_offset;
        u64 end = start + v->source_length;
        if (v->flags & HtmlNodeFlag_String) {
          start += 1;
          if (end > start) end -= 1;
        }
        StrView target = str_substr(source, start, end);
        for (u64 k = target.length; k > 0; k -= 1) {
          if (target.data[k - 1] == '#') {
            end = start + k - 1;
            break;
          }
        }
        HtmlLink *link = push_struct(arena, HtmlLink);
        link->start = start;
        link->end = end;
        link->kind = link_is_web_address(str_substr(source, start, end)) ? HtmlLinkKind_Web : HtmlLinkKind_Local;
        link->element = e;
        link->prev = result->links.last;
        if (result->links.last) result->links.last->next = link;
        else result->links.first = link;
        result->links.last = link;
        result->links.count += 1;
      }
      break;
    }
  }
}

u64
html_check_links(Arena *arena, StrView text, StrView path, HtmlLinkList *links, DiagnosticList *diagnostics,
                 u32 mode, StrView site_root) {
  u64 queued = 0;
  for (HtmlLink *l = links->first; l; l = l->next) {
    StrView target = str_substr(text, l->start, l->end);
    if (l->kind == HtmlLinkKind_Web && (mode & HtmlLinkCheck_QueueWeb)) {
      LineCol lc = str_line_col(text, l->start);
      StrView location = str_pushf(arena, "%S:%I64d:%I64d", &path, (s64)lc.line, (s64)lc.column);
      if (linkcheck_enqueue(str_push_copy(arena, target), location)) queued += 1;
    } else if (l->kind == HtmlLinkKind_Local && (mode & HtmlLinkCheck_LocalPaths)) {
      ArenaTemp scratch = scratch_begin(&arena, 1);
      StrView full = link_resolve_local(scratch.arena, target, site_root, str_chop_last_slash_keep(path));
      bool missing = full.length && !link_target_exists(full);
      scratch_end(scratch);
      if (missing) {
        doc_diag_push(arena, diagnostics, l->start, DiagSeverity_Warning, str_pushf(arena, "%S not found", &target));
      }
    }
  }
  return queued;
}

void
html_attach_link_metadata(Arena *arena, HtmlLinkList *links, StrView text, LinkMetadata *metadata) {
  for (HtmlLink *l = links->first; l; l = l->next) {
    u64 h = str_hash_djb2(str_substr(text, l->start, l->end));
    LinkMetadata *m = metadata;
    while (m && m->hash != h) m = m->next;
    if (!m) continue;
    HtmlNode *holder = l->element->parent;
    for (LinkMetadataItem *item = m->items; item; item = item->next) {
      HtmlNode *span = html_element_create(arena, HtmlTagKind_Span, {});
      HtmlNode *content = span->last_child;
      content->text = content->raw = str_push_copy(arena, item->text);
      html_add_class(arena, span, str_lit("metadata"));
      if (item->flags & 0x400) html_add_class(arena, span, str_lit("missing-metadata"));
      html_append_child(holder, span);
    }
  }
}

