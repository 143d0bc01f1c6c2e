// The document renderer: the walk over the document tree, the output stack, the
// pending text, text runs and links, metadata entries and the other inline kinds.
//
// How the walk places things:
//   1. The walk enters and leaves every node (next child, else next sibling, else
//      climb), without recursion.
//   2. Every pushed element is owned by a document node; leaving the node closes the
//      elements it still owns, so what follows a block renders after it.
//   3. A line (heading, paragraph, cell, entry, footnote) closes when a block child
//      starts: the outline nests lines in the tree, the page shows them one after another.
//   4. Text waits in the pending list and is written before anything else happens to
//      the output stack, into the element that was on top while it was read.
#include "gen/gen_render.h"

#include "site/site_path.h"

// The names stand for the bits pages were always rendered with.
static_assert(DOC_NODE_MARK_FLAGS == 0x19e000 && DocNodeFlag_SpaceBefore == 0x4 && DocNodeKind_Unassigned == 8,
              "node bits");
static_assert((MetaRenderBit_Title | MetaRenderBit_Shown) == 0x180000, "entry marks");

//~ Tables

StrView
render_id_prefix(u32 kind, u64 flags) {
  switch (kind) {
    case DocNodeKind_Document: return str_lit("f_");
    case DocNodeKind_Error: return str_lit("er_");
    case DocNodeKind_Line: return str_lit("m_");
    case DocNodeKind_LinkDescription: return str_lit("d_");
    case DocNodeKind_Heading: return str_lit("he_");
    case DocNodeKind_Text:
      // The parser marks a missing local target as a file link too: the broken bit
      // decides, as it decides the element (a "span" instead of an "a").
      if (flags & DocNodeFlag_HttpLink) return str_lit("li_http_");
      if (flags & DocNodeFlag_BrokenLink) return str_lit("b_link_");
      if (flags & DocNodeFlag_FileLink) return str_lit("li_f_");
      return StrView{};
    case DocNodeKind_Unassigned: return str_lit("pre_");
    case DocNodeKind_Quote: return str_lit("quo_");
    case DocNodeKind_FootnoteRef: return str_lit("for_");
    case DocNodeKind_Footnote: return str_lit("fo_");
    case DocNodeKind_FootnoteList: return str_lit("fn_l");
    case DocNodeKind_InlineAnchor: return str_lit("inl_");
    case DocNodeKind_InlineRef: return str_lit("inl_ref_");
    case DocNodeKind_CodeBlock: return str_lit("bl_");
    case DocNodeKind_InlineCode: return str_lit("un_");
    case DocNodeKind_Collapsible:
      return (flags & DocNodeFlag_InlineCollapsible) ? str_lit("coi_") : str_lit("co_");
    case DocNodeKind_MetaEntry: return str_lit("cor_");
    case DocNodeKind_TopCollapsible: return str_lit("cod_");
    case DocNodeKind_Paragraph: return str_lit("pa_");
    case DocNodeKind_List: return str_lit("l_");
    case DocNodeKind_Table: return str_lit("t_");
    case DocNodeKind_TableCell: return str_lit("te_");
    case DocNodeKind_TableHeader: return str_lit("th_");
    case DocNodeKind_ListItem: return str_lit("i_");
    default: return StrView{};
  }
}

StrView
render_kind_style(u32 kind) {
  switch (kind) {
    case DocNodeKind_Collapsible: return str_lit("margin-top:0.1rem;");
    case DocNodeKind_CodeBlock:
      return str_lit("color:#3a3c3c;margin-top:0.5rem;display:inline-block;background-color:#f1f1f1;border-radius:2px;"
                     "width:fit-content;padding:1em 1.2em;white-space:pre;");
    case DocNodeKind_InlineCode:
      return str_lit("font-family:'Fira Code';line-height: 1.4rem;color:#161616;display:inline-block;"
                     "background-color:#f1f1f1;width:fit-content;font-size:0.9em;padding:0 0.2em;white-space:pre;");
    default: return StrView{};
  }
}

//~ Text helpers

bool
render_is_control(u8 c) {
  return (c < 0x20 && c != '\t' && c != '\n' && c != '\f' && c != '\r') || c == 0x7f;
}

StrView
render_escape_lt(Arena *arena, StrView text) {
  u64 i = 0;
  while (i < text.length && text.data[i] != '<' && !render_is_control(text.data[i])) i += 1;
  if (i == text.length) return text;
  ArenaTemp scratch = scratch_begin(&arena, 1);
  StrList pieces = {};
  u64 start = 0;
  for (; i < text.length; i += 1) {
    u8 c = text.data[i];
    if (c != '<' && !render_is_control(c)) continue;
    str_list_push(scratch.arena, &pieces, str_substr(text, start, i));
    // A control byte (a NUL in a code block, say) has no place in an HTML page: it is
    // shown as the replacement character, as browsers show a NUL.
    str_list_push(scratch.arena, &pieces, c == '<' ? str_lit("&lt;") : str_lit("\xEF\xBF\xBD"));
    start = i + 1;
  }
  str_list_push(scratch.arena, &pieces, str_substr(text, start, text.length));
  StrView r = str_list_join(arena, &pieces, 0);
  scratch_end(scratch);
  return r;
}

StrView
render_page_link(Arena *arena, const RenderPageInfo *page, StrView target) {
  if (!page) return site_path_fold_slashes(arena, target);
  return site_link_from_page(arena, page->output_path, page->root_path, target);
}

StrView
render_doc_link(Arena *arena, const RenderPageInfo *page, DocNode *node) {
  StrView written = str_unquote(node->raw);
  bool relative = written.length && written.data[0] != '~' && !char_is_slash(written.data[0]) &&
                  !site_link_is_address(written) && !(node->flags & DocNodeFlag_HttpLink);
  if (relative) return site_path_fold_slashes(arena, written);
  return render_page_link(arena, page, node->text);
}

//~ Pending text

static bool
render_date_is_valid(DateTime d) {
  static const u8 days[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (d.year == 0 || d.year > 9999 || d.month < 1 || d.month > 12 || d.day < 1 || d.day > days[d.month - 1]) {
    return false;
  }
  bool leap = (d.year % 4 == 0 && d.year % 100 != 0) || d.year % 400 == 0;
  return !(d.month == 2 && d.day == 29 && !leap);
}

void
render_flush_text(Arena *arena, HtmlNode *parent, DocNode *node, StrList *pending, u32 mode) {
  if (!pending || pending->node_count == 0) return;
  ArenaTemp scratch = scratch_begin(&arena, 1);
  StrView text = str_list_join(scratch.arena, pending, 0);
  u64 offset = doc_node_is_nil(node) ? 0 : node->source_offset;
  if (mode == RenderMode_Date) {
    //- "5 May 2024, 03:04:05 pm" with datetime "2024-05-05"
    StrList fields = {};
    const char *names[] = {"year", "month", "day", "hour", "minute", "second"};
    for (u64 i = 0; i < ArrayCount(names); i += 1) str_list_push(scratch.arena, &fields, str_from_cstr(names[i]));
    DateTime d = date_parse(scratch.arena, text, &fields);
    StrView month = month_short_name(d.month);
    u32 hour = d.hour % 12 ? d.hour % 12 : 12;
    StrView shown = str_pushf(scratch.arena, "%d %S %d, %02d:%02d:%02d %s", (int)d.day, &month, (int)d.year, (int)hour,
                              (int)d.minute, (int)d.second, d.hour < 12 ? "am" : "pm");
    HtmlNode *time = html_element_create(arena, HtmlTagKind_Time, shown);
    time->source_offset = offset;
    // A machine-readable date is "YYYY-MM-DD" and names a real day; a date that is not
    // one ("Err" above) says nothing to machines rather than something false.
    if (render_date_is_valid(d)) {
      html_set_attribute(arena, time, HtmlAttrKind_Datetime,
                         str_pushf(scratch.arena, "%04d-%02d-%02d", (int)d.year, (int)d.month, (int)d.day));
    }
    html_content_append(parent, time);
  } else if (mode == RenderMode_Categories) {
    //- ";ab;cd;e": the first byte is the separator, one-byte pieces are dropped.
    // The whole value is read, not its last token: ";" is a token of its own.
    StrView semi[1] = {str_lit(";")};
    StrList pieces = str_split(scratch.arena, str_skip(text, 1), semi, 1);
    for (StrNode *p = pieces.first; p; p = p->next) {
      if (p->string.length == 1) continue;
      HtmlNode *span = html_element_create(arena, HtmlTagKind_Span, p->string);
      span->source_offset = offset;
      html_add_class(arena, span, str_lit("cat-it"));
      html_content_append(parent, span);
    }
  } else {
    html_add_text(arena, parent, text);
  }
  scratch_end(scratch);
}

void
render_flush(RenderState *s) {
  if (s->pending.node_count == 0) return;
  render_flush_text(s->arena, render_top(s), s->pending_node, &s->pending, s->mode);
  MemoryZeroStruct(&s->pending);
  s->mode = RenderMode_Plain;
}

static void
render_pend(RenderState *s, DocNode *node, StrView text) {
  str_list_push(s->scratch, &s->pending, text);
  s->pending_node = node;
}

//~ Output stack and page counter

u64
render_take_number(RenderState *s) {
  return s->page->counter++;
}

HtmlNode *
render_top(RenderState *s) {
  return s->top->element;
}

static bool
render_is_link_element(HtmlNode *e) {
  return e->type == HtmlNode_Element && e->element->kind == HtmlTagKind_A;
}

static bool
render_is_code_owner(DocNode *owner) {
  return owner && (owner->kind == DocNodeKind_CodeBlock || owner->kind == DocNodeKind_InlineCode);
}

void
render_push(RenderState *s, HtmlNode *element, DocNode *owner) {
  if (html_node_is_nil(element)) return;
  RenderFrame *f = s->free_frames;
  if (f) s->free_frames = f->next;
  else f = push_struct(s->scratch, RenderFrame);
  f->element = element;
  f->owner = owner;
  f->next = s->top;
  s->top = f;
  if (render_is_link_element(element)) s->open_links += 1;
  if (render_is_code_owner(owner)) s->open_code += 1;
}

void
render_pop(RenderState *s) {
  RenderFrame *f = s->top;
  if (f == &s->bottom) return;
  if (render_is_link_element(f->element)) s->open_links -= 1;
  if (render_is_code_owner(f->owner)) s->open_code -= 1;
  s->top = f->next;
  f->next = s->free_frames;
  s->free_frames = f;
}

void
render_pop_to_root(RenderState *s) {
  while (s->top != &s->bottom) render_pop(s);
}

void
render_pop_owned(RenderState *s, DocNode *owner) {
  while (s->top != &s->bottom && s->top->owner == owner) render_pop(s);
}

void
render_pop_until_prefix(RenderState *s, StrView prefix) {
  RenderFrame *found = 0;
  for (RenderFrame *f = s->top; f; f = f->next) {
    if (html_attribute_value_has_prefix(f->element, HtmlAttrKind_Id, prefix)) {
      found = f;
      break;
    }
  }
  if (!found) return;
  while (s->top != found && s->top != &s->bottom) render_pop(s);
}

bool
render_frame_is_open(RenderState *s, HtmlNode *element) {
  for (RenderFrame *f = s->top; f; f = f->next) {
    if (f->element == element) return true;
  }
  return false;
}

HtmlNode *
render_element(RenderState *s, u32 tag, DocNode *node) {
  HtmlNode *e = html_element_create(s->arena, tag, {});
  if (!doc_node_is_nil(node)) e->source_offset = node->source_offset;
  return e;
}

StrView
render_number_text(RenderState *s, const char *prefix, u64 n) {
  return str_pushf(s->scratch, "%s%llu", prefix, (unsigned long long)n);
}

//~ Bindings of list and table nodes to their elements

static u64
render_binding_slot(DocNode *node) {
  return ((u64)(uintptr_t)node >> 4) % RENDER_BINDING_SLOTS;
}

void
render_bind(RenderState *s, DocNode *node, HtmlNode *element, HtmlNode *container) {
  RenderBinding *b = push_struct(s->scratch, RenderBinding);
  b->node = node;
  b->element = element;
  b->container = container;
  b->body = html_nil_node;
  u64 slot = render_binding_slot(node);
  b->next = s->bindings[slot];
  s->bindings[slot] = b;
}

RenderBinding *
render_binding(RenderState *s, DocNode *node) {
  for (RenderBinding *b = s->bindings[render_binding_slot(node)]; b; b = b->next) {
    if (b->node == node) return b;
  }
  return 0;
}

//~ Node tests

static bool
render_has_description(DocNode *node) {
  return !doc_node_is_nil(node->first_child) && node->first_child->kind == DocNodeKind_LinkDescription;
}

// A link's target as the document writes it ("~/x.html"): its raw token unquoted.
static StrView
render_written_target(DocNode *node) {
  return node->raw.length ? str_unquote(node->raw) : node->text;
}

static const MetaKey *
render_entry_key(DocNode *node) {
  if (doc_node_is_nil(node) || node->kind != DocNodeKind_MetaEntry) return 0;
  return node->meta_key;
}

static bool
render_entry_is_hidden(DocNode *node) {
  const MetaKey *key = render_entry_key(node);
  return key && key->hidden;
}

// Nodes that stand on their own lines of the page, not inside a line.
static bool
render_is_block(DocNode *node) {
  switch (node->kind) {
    case DocNodeKind_Heading:
    case DocNodeKind_Paragraph:
    case DocNodeKind_Quote:
    case DocNodeKind_Table:
    case DocNodeKind_TableCell:
    case DocNodeKind_TableHeader:
    case DocNodeKind_Separator:
    case DocNodeKind_CodeBlock:
    case DocNodeKind_TopCollapsible:
    case DocNodeKind_ListItem:
    case DocNodeKind_Footnote:
    case DocNodeKind_FootnoteList:
    case DocNodeKind_Toc:
    case DocNodeKind_MetaEntry: return true;
    case DocNodeKind_Collapsible: return !(node->flags & DocNodeFlag_InlineCollapsible);
    case DocNodeKind_List: return !(node->flags & DocNodeFlag_ListInline);
    default: return false;
  }
}

// Nodes whose element holds one line of text.
static bool
render_is_line(DocNode *node) {
  switch (node->kind) {
    case DocNodeKind_Heading:
    case DocNodeKind_Paragraph:
    case DocNodeKind_TableHeader:
    case DocNodeKind_TableCell:
    case DocNodeKind_MetaEntry:
    case DocNodeKind_Footnote: return true;
    default: return false;
  }
}

// Inline nodes that stand between words of a line, as words do.
static bool
render_is_spaced_inline(DocNode *node) {
  switch (node->kind) {
    case DocNodeKind_Checkbox:
    case DocNodeKind_InlineCode:
    case DocNodeKind_RawHtml:
    case DocNodeKind_FootnoteRef:
    case DocNodeKind_InlineRef: return true;
    case DocNodeKind_Collapsible: return node->flags & DocNodeFlag_InlineCollapsible;
    default: return false;
  }
}

static bool
render_is_inside(DocNode *node, u32 kind) {
  return !doc_node_is_nil(doc_node_find_ancestor(node, kind));
}

//~ Inline kinds

// The target of an inline reference. Only a node an anchor marks gets one: the
// table of contents copies the flag onto its copies of the heading's words.
static void
render_anchor(RenderState *s, DocNode *node) {
  DocNode *anchor = 0;
  for (DocAnchorNode *a = s->anchors ? s->anchors->first : 0; a && !anchor; a = a->next) {
    if (a->node && a->node->first_child == node) anchor = a->node;
  }
  if (!anchor) return;
  render_flush(s);
  HtmlNode *icon = icon_element(s->arena, IconKind_Eye);
  html_set_attribute(s->arena, icon, HtmlAttrKind_Style,
                     str_lit("color:#a9a9a9;transform:translate(0.3em, 0.2em) rotate(90deg);font-size:0.8em;margin:0;"));
  html_set_attribute(s->arena, icon, HtmlAttrKind_Id, render_number_text(s, "inl_", anchor->number));
  html_content_append(render_top(s), icon);
  if (node->flags & DocNodeFlag_SpaceAfter) render_pend(s, node, str_lit(" "));
}

static void
render_view_raw(RenderState *s, DocNode *node) {
  StrView value = site_link_expand_root(s->scratch, str_unquote(node->text), s->page->root_path);
  StrView raw = site_path_raw_view(s->scratch, value);
  if (s->result->output_path.length == 0) {
    s->result->output_path = str_push_copy(s->arena, value);
    if (!s->page->no_raw_view) s->result->raw_link = str_push_copy(s->arena, raw);
  }
  if (s->page->no_raw_view) return;
  HtmlNode *a = render_element(s, HtmlTagKind_A, node);
  html_set_attribute(s->arena, a, HtmlAttrKind_Rel, str_lit("alternate"));
  html_set_attribute(s->arena, a, HtmlAttrKind_Id, str_lit("fromDocumentParsed"));
  html_set_attribute(s->arena, a, HtmlAttrKind_Target, str_lit("_blank"));
  html_set_attribute(s->arena, a, HtmlAttrKind_Title, str_lit("view raw document"));
  StrView href = render_escape_lt(s->scratch, render_page_link(s->scratch, s->page, raw));
  html_set_attribute(s->arena, a, HtmlAttrKind_Href, href);
  html_content_append(render_top(s), a);
  HtmlNode *pencil = icon_element(s->arena, IconKind_Pencil);
  html_set_attribute(s->arena, pencil, HtmlAttrKind_Style, str_lit("color:#9f9480;margin-right:0.3em;"));
  html_content_append(a, pencil);
  html_add_text(s->arena, a, str_lit("view raw"));
}

// A link run: an "a", or for a target known to be missing a "span" with the Unlink icon.
static void
render_link(RenderState *s, DocNode *node) {
  u64 f = node->flags;
  bool web = f & DocNodeFlag_HttpLink;
  bool broken = !web && (f & DocNodeFlag_BrokenLink);
  bool image = f & DocNodeFlag_Image;
  StrView target = render_escape_lt(s->scratch, node->text);
  HtmlNode *e;
  if (broken) {
    e = render_element(s, HtmlTagKind_Span, node);
    html_set_attribute(s->arena, e, HtmlAttrKind_Title, site_path_fold_slashes(s->scratch, target));
    HtmlNode *icon = icon_element(s->arena, IconKind_Unlink);
    html_set_attribute(s->arena, icon, HtmlAttrKind_Style, str_lit("color:#440202"));
    html_content_append(e, icon);
  } else {
    e = render_element(s, HtmlTagKind_A, node);
    StrView href = render_escape_lt(s->scratch, render_doc_link(s->scratch, s->page, node));
    html_set_attribute(s->arena, e, HtmlAttrKind_Href, href);
  }
  StrView prefix = render_id_prefix(DocNodeKind_Text, broken ? DocNodeFlag_BrokenLink : f);
  html_set_attribute(s->arena, e, HtmlAttrKind_Id,
                     str_pushf(s->scratch, "%S%llu", &prefix, (unsigned long long)render_take_number(s)));
  html_content_append(render_top(s), e);
  if (!doc_node_is_nil(node->parent) && node->parent->kind == DocNodeKind_TopCollapsible) {
    html_content_append(e, icon_element(s->arena, IconKind_Nil));
  }
  if (image) {
    // An image link (an author's picture) holds the image; its description is the image's.
    DocNode *at = node;
    html_content_append(e, image_element(s->arena, &at, s->page));
  } else if (render_has_description(node)) {
    render_push(s, e, node);
  } else {
    // Without a description the link shows its target as written.
    html_add_text(s->arena, e, render_escape_lt(s->scratch, render_written_target(node)));
  }
}

// Enters a text run; false when its children are not to be walked.
static bool
render_text(RenderState *s, DocNode *node) {
  DocNode *parent = node->parent;
  u64 f = node->flags;
  //- code: the text as the source has it, with "<" kept from becoming markup
  bool code_child = parent->kind == DocNodeKind_CodeBlock || parent->kind == DocNodeKind_InlineCode;
  if (s->open_code || code_child) {
    html_add_text(s->arena, render_top(s), render_escape_lt(s->scratch, node->raw));
    // Code keeps its blanks as tokens of their own; other words inside it do not.
    if (!code_child && (f & DocNodeFlag_SpaceAfter)) html_add_text(s->arena, render_top(s), str_lit(" "));
    return true;
  }
  bool hidden = render_entry_is_hidden(parent);
  const MetaKey *key = render_entry_key(parent);
  bool marker = f & DOC_NODE_MARK_FLAGS;
  bool image = f & DocNodeFlag_Image;
  bool link = f & (DocNodeFlag_HttpLink | DocNodeFlag_FileLink | DocNodeFlag_BrokenLink);
  bool candidate = link && (!image || s->mode == RenderMode_LinkValue);
  bool described = render_has_description(node) && !image;
  //- a link, an image or an opening mark starts a run of its own
  if (candidate || image || (f & (DocNodeFlag_StrongOpen | DocNodeFlag_EmOpen))) render_flush(s);
  if (hidden) {
    if (candidate && key->id == MetaKeyId_OutputPath) render_view_raw(s, node);
    // Nothing else of a hidden entry is written, links and images included.
    return false;
  }
  if (f & DocNodeFlag_SpaceBefore) render_pend(s, node, str_lit(" "));
  bool shown = false;
  if (candidate) {
    shown = true;
    if (s->open_links) {
      // A link inside a link (a heading's link in the table of contents) is text.
      if (!described) render_pend(s, node, render_escape_lt(s->scratch, render_written_target(node)));
    } else {
      render_link(s, node);
    }
  }
  if (!shown && !marker && !image) render_pend(s, node, render_escape_lt(s->scratch, node->text));
  if (image && !candidate) {
    DocNode *at = node;
    html_content_append(render_top(s), image_element(s->arena, &at, s->page));
  }
  // A described link and a closing mark take their space after what they close.
  bool space_later = described || (f & (DocNodeFlag_StrongClose | DocNodeFlag_EmClose));
  if ((f & DocNodeFlag_SpaceAfter) && !space_later) render_pend(s, node, str_lit(" "));
  if (f & (DocNodeFlag_EmOpen | DocNodeFlag_StrongOpen)) {
    u32 tag = (f & DocNodeFlag_EmOpen) ? HtmlTagKind_Em : HtmlTagKind_Strong;
    HtmlNode *e = render_element(s, tag, node);
    html_content_append(render_top(s), e);
    // Owned by the line: the closing mark, or else the end of the line, closes it.
    render_push(s, e, parent);
  }
  return true;
}

static void
render_text_exit(RenderState *s, DocNode *node) {
  if (s->open_code) return;
  u64 f = node->flags;
  if (render_has_description(node) && !(f & DocNodeFlag_Image)) {
    render_flush(s);
    render_pop_owned(s, node);
    if (f & DocNodeFlag_SpaceAfter) render_pend(s, node, str_lit(" "));
  }
  if (f & (DocNodeFlag_StrongClose | DocNodeFlag_EmClose)) {
    render_flush(s);
    //- the nearest open mark of the same kind in this line
    u32 tag = (f & DocNodeFlag_EmClose) ? HtmlTagKind_Em : HtmlTagKind_Strong;
    RenderFrame *found = 0;
    for (RenderFrame *fr = s->top; fr != &s->bottom && fr->owner == node->parent; fr = fr->next) {
      if (fr->element->element->kind == tag) {
        found = fr;
        break;
      }
    }
    if (found) {
      while (s->top != found) render_pop(s);
      render_pop(s);
    }
    if ((f & DocNodeFlag_SpaceAfter) && !render_entry_is_hidden(node->parent)) render_pend(s, node, str_lit(" "));
  }
}

// The entry's value shown as emphasised (strong for the title) when it is plain text.
static bool
render_entry_can_mark(DocNode *node) {
  if (doc_node_is_nil(node->first_child) || node->first_child->kind != DocNodeKind_Text) return false;
  if (node->last_child->kind != DocNodeKind_Text) return false;
  for (DocNode *c = node->first_child; !doc_node_is_nil(c); c = c->next) {
    if (c->flags & (DocNodeFlag_StrongOpen | DocNodeFlag_EmOpen)) return false;
  }
  return true;
}

static void
render_meta_entry(RenderState *s, DocNode *node) {
  const MetaKey *key = node->meta_key;
  s->mode = RenderMode_Plain;
  if (!key || key->hidden) return;
  StrView text = render_escape_lt(s->scratch, node->text);
  HtmlNode *e;
  if (key->id == MetaKeyId_Title) {
    e = render_element(s, HtmlTagKind_H1, node);
    html_content_append(s->root_container, e);
  } else {
    e = render_element(s, HtmlTagKind_Span, node);
    u32 mode = RenderMode_Plain;
    if (key->id == MetaKeyId_AuthorLink) mode = RenderMode_LinkValue;
    else if (key->id == MetaKeyId_Category) mode = RenderMode_Categories;
    else if (key->value_kind & MetaValueKind_Date) mode = RenderMode_Date;
    if (mode != RenderMode_Plain) html_add_class(s->arena, e, str_lit("cor_"));
    html_add_class(s->arena, e, text);
    html_content_append(render_top(s), e);
    s->mode = mode;
  }
  HtmlNode *icon = icon_element(s->arena, (u32)key->icon);
  html_set_attribute(s->arena, icon, HtmlAttrKind_Style, str_lit("color:#9f9480;margin-right:0.3em;"));
  html_content_append(e, icon);
  html_set_attribute(s->arena, e, HtmlAttrKind_Title, text);
  render_push(s, e, node);
  //- the value between marks: strong for the title, emphasis for the others shown
  if ((key->render_mode & (MetaRenderBit_Title | MetaRenderBit_Shown)) && render_entry_can_mark(node)) {
    u32 tag = (key->render_mode & MetaRenderBit_Title) ? HtmlTagKind_Strong : HtmlTagKind_Em;
    HtmlNode *mark = render_element(s, tag, node);
    html_content_append(e, mark);
    render_push(s, mark, node);
  }
}

static void
render_raw_html(RenderState *s, DocNode *node) {
  HtmlParseResult r = html_parse(s->arena, node->raw, str_lit("raw.html"), html_tokenize(s->arena, node->raw), 0,
                                 s->page->root_path);
  html_close_omitted(s->arena, r.root);
  HtmlNode *top = render_top(s);
  //- "~" addresses, which no browser knows, are written relative to the page as the
  //  document's own links are; every other address is the author's and stays
  const u32 url_attrs[] = {HtmlAttrKind_Href, HtmlAttrKind_Src, HtmlAttrKind_Poster, HtmlAttrKind_Action,
                           HtmlAttrKind_Cite};
  for (HtmlNode *n = r.root; s->page && !html_node_is_nil(n); n = html_next_preorder(n, r.root)) {
    if (n->type != HtmlNode_Element) continue;
    for (u32 attr : url_attrs) {
      StrView value = html_attribute_value(n, attr);
      if (!value.length || value.data[0] != '~') continue;
      StrView full = site_link_expand_root(s->scratch, value, s->page->root_path);
      html_replace_attribute(s->arena, n, attr, render_page_link(s->scratch, s->page, full));
    }
  }
  HtmlNode *c = html_node_is_nil(r.root) ? html_nil_node : r.root->first_child;
  while (!html_node_is_nil(c)) {
    HtmlNode *next = c->next;
    html_detach(c);
    html_content_append(top, c);
    c = next;
  }
}

//~ The walk

// Enters a node; false when its children are not to be walked.
static bool
render_enter(RenderState *s, DocNode *node) {
  if (s->top_quote && !render_is_inside(node, DocNodeKind_Quote)) s->top_quote = 0;
  if (node->kind != DocNodeKind_Text) {
    render_flush(s);
    if (render_is_block(node) && !doc_node_is_nil(node->parent) && render_is_line(node->parent)) {
      render_pop_owned(s, node->parent);
    }
  }
  // Code holds text only ("code" is read back as raw text): the words of anything
  // else found inside it are written as they stand.
  if (s->open_code && node->kind != DocNodeKind_Text) return node->kind != DocNodeKind_InlineAnchor;
  if (node->flags & DocNodeFlag_HasAnchor) render_anchor(s, node);
  switch (node->kind) {
    case DocNodeKind_Text: return render_text(s, node);
    case DocNodeKind_InlineAnchor: return false;  // its first_child is the node it marks
    case DocNodeKind_LinkDescription:
      // An image reads its description as its options.
      return !(node->parent->flags & DocNodeFlag_Image);
    case DocNodeKind_Checkbox: {
      HtmlNode *icon = icon_element(s->arena, (node->flags & DocNodeFlag_Checked) ? IconKind_Check : IconKind_CheckEmpty);
      icon->source_offset = node->source_offset;
      html_content_append(render_top(s), icon);
    } break;
    case DocNodeKind_CodeBlock: {
      HtmlNode *e = render_element(s, HtmlTagKind_Span, node);
      html_set_attribute(s->arena, e, HtmlAttrKind_Style, render_kind_style(node->kind));
      html_add_class(s->arena, e, str_lit("bl_"));
      html_content_append(render_top(s), e);
      render_push(s, e, node);
    } break;
    case DocNodeKind_InlineCode: {
      HtmlNode *e = render_element(s, HtmlTagKind_Code, node);
      html_set_attribute(s->arena, e, HtmlAttrKind_Style, render_kind_style(node->kind));
      html_content_append(render_top(s), e);
      render_push(s, e, node);
    } break;
    case DocNodeKind_RawHtml: render_raw_html(s, node); break;
    case DocNodeKind_MetaEntry: render_meta_entry(s, node); break;
    case DocNodeKind_Heading: render_heading(s, node); break;
    case DocNodeKind_Toc: render_toc(s, node); break;
    case DocNodeKind_Quote: render_quote(s, node); break;
    case DocNodeKind_Collapsible: render_collapsible(s, node); break;
    case DocNodeKind_TopCollapsible: render_top_collapsible(s, node); break;
    case DocNodeKind_Paragraph: render_paragraph(s, node); break;
    case DocNodeKind_List: render_list(s, node); break;
    case DocNodeKind_ListItem: render_list_item(s, node); break;
    case DocNodeKind_Separator: render_separator(s, node); break;
    case DocNodeKind_Table: render_table(s, node); break;
    case DocNodeKind_TableHeader: render_table_header(s, node); break;
    case DocNodeKind_TableCell: render_table_cell(s, node); break;
    case DocNodeKind_FootnoteRef: render_footnote_ref(s, node); break;
    case DocNodeKind_Footnote: render_footnote(s, node); break;
    case DocNodeKind_FootnoteList: render_footnote_list(s, node); break;
    case DocNodeKind_InlineRef: render_inline_ref(s, node); break;
    default: break;  // no element: the children go into the element on top
  }
  return true;
}

static void
render_exit(RenderState *s, DocNode *node) {
  if (node->kind == DocNodeKind_Text) {
    render_text_exit(s, node);
    return;
  }
  render_flush(s);
  render_pop_owned(s, node);
  if (node->kind == DocNodeKind_MetaEntry) s->mode = RenderMode_Plain;
  // The blank after inline code, a checkbox or an inline section keeps the words apart.
  if ((node->flags & DocNodeFlag_SpaceAfter) && render_is_spaced_inline(node) && !s->open_code) render_pend(s, node, str_lit(" "));
  //- the entries of an inline section are separated by " · "
  DocNode *parent = node->parent;
  if (!doc_node_is_nil(parent) && parent->kind == DocNodeKind_Collapsible &&
      (parent->flags & DocNodeFlag_InlineCollapsible) && !doc_node_is_nil(node->next)) {
    html_add_text(s->arena, render_top(s), str_lit(" \xC2\xB7 "));
  }
}

RenderResult
render_document(Arena *arena, DocNode *root, HtmlNode *body_container, RenderPageInfo *page_info,
                DocAnchorList *anchors, StrList *extra_css) {
  RenderResult result = {};
  result.fragment = html_node_create(arena, HtmlNode_Fragment, 0, {}, {}, 0);
  result.toc = html_nil_node;
  if (html_node_is_nil(body_container)) {
    body_container = html_element_create(arena, HtmlTagKind_Div, {});
    html_append_child(result.fragment, body_container);
  }
  RenderPageInfo no_page = {};
  ArenaTemp scratch = scratch_begin(&arena, 1);
  RenderState *s = push_struct(scratch.arena, RenderState);
  s->arena = arena;
  s->scratch = scratch.arena;
  s->bottom.element = body_container;
  s->bottom.owner = 0;
  s->top = &s->bottom;
  s->root_container = body_container;
  s->anchors = anchors;
  s->extra_css = extra_css;
  s->page = page_info ? page_info : &no_page;
  s->result = &result;
  s->toc = html_nil_node;

  //- enter, descend, leave: next child, else next sibling, else climb (never above root)
  DocNode *node = root;
  if (!doc_node_is_nil(node)) {
    bool descend = render_enter(s, node);
    for (;;) {
      if (descend && !doc_node_is_nil(node->first_child)) {
        node = node->first_child;
        descend = render_enter(s, node);
        continue;
      }
      bool done = false;
      for (;;) {
        render_exit(s, node);
        if (node == root) {
          done = true;
          break;
        }
        if (!doc_node_is_nil(node->next)) {
          node = node->next;
          break;
        }
        node = node->parent;
        if (doc_node_is_nil(node)) {
          done = true;
          break;
        }
      }
      if (done) break;
      descend = render_enter(s, node);
    }
  }
  render_flush(s);
  result.toc = s->toc;
  scratch_end(scratch);
  return result;
}
