// The block structures of a rendered document: headings and the table of contents,
// quotes, collapsible sections, paragraphs, lists, separators, tables, footnotes and
// inline references. They share the renderer's output stack and page counter.
#include "gen/gen_render.h"

//~ Helpers

static void
render_set(RenderState *s, HtmlNode *e, u32 attr, StrView value) {
  html_set_attribute(s->arena, e, attr, value);
}

static void
render_set_number(RenderState *s, HtmlNode *e, u32 attr, const char *prefix, u64 n) {
  html_set_attribute(s->arena, e, attr, render_number_text(s, prefix, n));
}

static DocNode *
render_ancestor(DocNode *node, u32 kind) {
  DocNode *a = doc_node_find_ancestor(node, kind);
  return doc_node_is_nil(a) ? 0 : a;
}

// A line inside a section or quote goes back to the content of the nearer of the two:
// a section's text never falls out into the quote around the section, nor a quote's
// into the section around the quote.
static void
render_pop_to_container(RenderState *s, DocNode *node) {
  for (DocNode *a = node->parent; !doc_node_is_nil(a); a = a->parent) {
    if (a->kind == DocNodeKind_Collapsible) {
      render_pop_until_prefix(s, str_lit("co_"));
      return;
    }
    if (a->kind == DocNodeKind_Quote) {
      render_pop_until_prefix(s, str_lit("quo_"));
      return;
    }
  }
}

// A collapsible section's switch: the Info icon made an "input" checkbox. The page's
// style rules show the content that follows it only while it is ticked.
static HtmlNode *
render_switch(RenderState *s, DocNode *node, StrView id) {
  HtmlNode *input = icon_element(s->arena, IconKind_Info);
  input->element = html_element_info_by_kind(HtmlTagKind_Input);
  input->text = input->raw = input->element->name;
  input->source_offset = node->source_offset;
  render_set(s, input, HtmlAttrKind_Style, str_lit("color:#9f9480;margin:0 0.3em;"));
  render_set(s, input, HtmlAttrKind_Id, id);
  render_set(s, input, HtmlAttrKind_Type, str_lit("checkbox"));
  return input;
}

//~ Headings and the table of contents

// The "href" of the entry made for the heading at this offset, without its "#".
static StrView
render_toc_target(RenderState *s, u64 source_offset) {
  if (html_node_is_nil(s->toc)) return StrView{};
  for (HtmlNode *n = s->toc; !html_node_is_nil(n); n = html_next_preorder(n, s->toc)) {
    if (n->type != HtmlNode_Element || n->source_offset != source_offset) continue;
    StrView href = html_attribute_value(n, HtmlAttrKind_Href);
    if (href.length) return str_skip(href, 1);
  }
  return StrView{};
}

void
render_heading(RenderState *s, DocNode *node) {
  DocNode *section = render_ancestor(node, DocNodeKind_Collapsible);
  render_pop_to_container(s, node);
  //- inside a collapsible section: a span, nothing else
  if (section) {
    HtmlNode *span = render_element(s, HtmlTagKind_Span, node);
    html_add_class(s->arena, span, render_number_text(s, "co_he_", node->number));
    html_content_append(render_top(s), span);
    render_push(s, span, node);
    return;
  }
  bool in_toc = node->parent->kind == DocNodeKind_Toc;
  u32 tag = 0;
  if (in_toc) tag = HtmlTagKind_A;
  else if (node->number == 0) tag = HtmlTagKind_H2;
  else if (node->number == 2) tag = HtmlTagKind_H3;
  else if (node->number == 4) tag = HtmlTagKind_H4;
  else if (node->number == 6) tag = HtmlTagKind_H5;
  if (!tag) return;  // a level without a tag makes no element
  HtmlNode *e = render_element(s, tag, node);
  render_set(s, e, HtmlAttrKind_Style, render_kind_style(node->kind));
  e->level = node->number;
  if (in_toc) {
    //- "#he_N" first, then the entry's own number
    render_set_number(s, e, HtmlAttrKind_Href, "#he_", render_take_number(s));
    HtmlNode *li = render_element(s, HtmlTagKind_Li, node);
    html_add_class(s->arena, li, render_number_text(s, "toc_i_", render_take_number(s)));
    html_content_append(render_top(s), li);
    html_content_append(li, e);
  } else {
    render_set(s, e, HtmlAttrKind_Id, render_toc_target(s, node->source_offset));
    html_content_append(render_top(s), e);
  }
  render_push(s, e, node);
}

void
render_toc(RenderState *s, DocNode *node) {
  HtmlNode *nav = render_element(s, HtmlTagKind_Nav, node);
  render_set(s, nav, HtmlAttrKind_Id, str_lit("toc"));
  HtmlNode *p = render_element(s, HtmlTagKind_P, node);
  html_add_text(s->arena, p, str_lit("Table of content:"));
  render_set(s, p, HtmlAttrKind_Style, str_lit("margin-bottom:1rem;font-size:1.5rem;"));
  html_content_append(nav, p);
  HtmlNode *ul = render_element(s, HtmlTagKind_Ul, node);
  html_content_append(nav, ul);
  html_content_append(render_top(s), nav);
  render_push(s, ul, node);
  s->toc = nav;
}

//~ Quotes

void
render_quote(RenderState *s, DocNode *node) {
  HtmlNode *bq = render_element(s, HtmlTagKind_Blockquote, node);
  render_set(s, bq, HtmlAttrKind_Style, str_lit("display:flex;flex-direction:column;"));
  bq->level = node->number;
  HtmlNode *row = render_element(s, HtmlTagKind_Div, node);
  render_set(s, row, HtmlAttrKind_Style, str_lit("margin-left:0.6rem;display:flex;flex-direction:row;"));
  HtmlNode *connector = render_element(s, HtmlTagKind_Div, node);
  HtmlNode *content = render_element(s, HtmlTagKind_Div, node);
  if (!s->top_quote) {
    //- the first quote of a chain
    render_set(s, connector, HtmlAttrKind_Style,
               str_lit("height:0.7rem;width:1rem;border-style:solid;border-color:#cbc8c0;border-bottom:none;"
                       "border-left-width:2px;border-top:none;border-right:none;"));
    render_set(s, content, HtmlAttrKind_Style,
               str_lit("margin-left:0.2em;margin-left:0.2em;padding:0.5rem 0.5rem 0.5rem 0.2rem;"
                       "border:2px solid #ebebeb;border-radius:3px;"));
    html_content_append(render_top(s), bq);
    s->top_quote = bq;
  } else {
    //- a later quote goes inside the chain's quote of its level, or one level up
    u8 level = node->number == s->top_quote->level ? node->number : (u8)(node->number ? node->number - 1 : 0);
    HtmlNode *container = html_find_element_by_kind_level(s->top_quote, HtmlTagKind_Blockquote, level);
    // A level the chain does not have would leave the quote, and its text, unattached.
    if (html_node_is_nil(container)) container = s->top_quote;
    render_set_number(s, bq, HtmlAttrKind_Id, "quo_", render_take_number(s));
    render_set(s, bq, HtmlAttrKind_Style, str_lit("margin:0.5rem 0 0 1rem;"));
    render_set(s, connector, HtmlAttrKind_Style,
               str_lit("height:0.7rem;width:1rem;border-style:solid;border-color:#cbc8c0;border-bottom-width:2px;"
                       "border-bottom-left-radius:4px;border-left-width:2px;border-top:none;border-right:none;"));
    render_set(s, content, HtmlAttrKind_Style,
               str_lit("margin:0.5em 0 0 0;padding:0.6em 0.7em;border:2px solid #ebebeb;border-radius:3px;"));
    html_content_append(container, bq);
  }
  render_set_number(s, content, HtmlAttrKind_Id, "quo_", render_take_number(s));
  html_content_append(bq, row);
  html_content_append(row, connector);
  html_content_append(row, content);
  render_push(s, content, node);
}

//~ Collapsible sections

void
render_collapsible(RenderState *s, DocNode *node) {
  if (doc_node_is_nil(node->first_child)) return;
  u64 n = render_take_number(s);
  bool inline_section = node->flags & DocNodeFlag_InlineCollapsible;
  HtmlNode *content;
  if (inline_section) {
    content = render_element(s, HtmlTagKind_Span, node);
    html_add_class(s->arena, content, render_number_text(s, "toggle-content_i_", n));
    html_add_class(s->arena, content, str_lit("coi_"));
  } else {
    content = render_element(s, HtmlTagKind_Div, node);
    render_set(s, content, HtmlAttrKind_Style, render_kind_style(node->kind));
    html_add_class(s->arena, content, render_number_text(s, "toggle-content_", n));
    html_add_class(s->arena, content, str_lit("co_"));
  }
  render_set_number(s, content, HtmlAttrKind_Id, "co_", n);
  HtmlNode *input = render_switch(s, node, render_number_text(s, "toggle-checkbox_", n));
  HtmlNode *quote = render_ancestor(node, DocNodeKind_Quote)
                        ? html_find_ancestor_by_kind(render_top(s), HtmlTagKind_Blockquote)
                        : html_nil_node;
  if (!inline_section && !html_node_is_nil(quote)) {
    //- in a quote: at the start of the quote's content, switch first
    html_insert(quote, content, HtmlInsert_FirstChild);
    html_insert(quote, input, HtmlInsert_FirstChild);
  } else {
    html_content_append(render_top(s), input);
    html_insert(input, content, HtmlInsert_After);
  }
  render_push(s, content, node);
}

void
render_top_collapsible(RenderState *s, DocNode *node) {
  HtmlNode *div = render_element(s, HtmlTagKind_Div, node);
  u64 n = render_take_number(s);
  // Ids are unique on a page: the first block keeps the bare "cod_" the layout and the
  // style sheet look for, each later one adds its number, and its switch follows.
  StrView id = s->top_blocks ? render_number_text(s, "cod_", n) : str_lit("cod_");
  s->top_blocks += 1;
  render_set(s, div, HtmlAttrKind_Id, id);
  html_add_class(s->arena, div, render_number_text(s, "toggle-content_", n));
  HtmlNode *input = render_switch(s, node, str_pushf(s->scratch, "toggle-checkbox_%S", &id));
  html_content_append(render_top(s), input);
  html_insert(input, div, HtmlInsert_After);
  render_push(s, div, node);
}

//~ Paragraphs

void
render_paragraph(RenderState *s, DocNode *node) {
  DocNode *section = render_ancestor(node, DocNodeKind_Collapsible);
  DocNode *quote = render_ancestor(node, DocNodeKind_Quote);
  render_pop_to_container(s, node);
  HtmlNode *e;
  if (section) {
    e = render_element(s, HtmlTagKind_Span, node);
    html_add_class(s->arena, e, render_number_text(s, "co_p_", node->number));
  } else {
    e = render_element(s, HtmlTagKind_P, node);
    e->level = node->number;
    if (quote) render_set(s, e, HtmlAttrKind_Style, str_lit("line-height:1em;margin:0;"));
  }
  html_content_append(render_top(s), e);
  render_push(s, e, node);
}

//~ Lists

void
render_list(RenderState *s, DocNode *node) {
  bool inline_list = node->flags & DocNodeFlag_ListInline;
  u32 tag = HtmlTagKind_Ul;
  if (inline_list) tag = HtmlTagKind_Span;
  else if (node->flags & (DocNodeFlag_ListAlpha | DocNodeFlag_ListNumbered)) tag = HtmlTagKind_Ol;
  HtmlNode *e = render_element(s, tag, node);
  e->level = node->number;
  DocNode *parent = node->parent;
  if (inline_list) {
    html_add_class(s->arena, e, render_number_text(s, "l_in_", render_take_number(s)));
    render_set(s, e, HtmlAttrKind_Style, str_lit("display:inline;"));
  } else if (parent->kind == DocNodeKind_ListItem) {
    html_add_class(s->arena, e,
                   str_pushf(s->scratch, "l_%u_%u", (unsigned)parent->number, (unsigned)node->number));
  } else {
    u64 n = render_take_number(s);
    html_add_class(s->arena, e, str_pushf(s->scratch, "l_%u-%llu", (unsigned)node->number, (unsigned long long)n));
  }
  if (node->flags & DocNodeFlag_ListAlpha) render_set(s, e, HtmlAttrKind_Style, str_lit("list-style:lower-alpha inside;"));
  // An inline list continues the line it stands in: the element on top holds that line.
  html_content_append(render_top(s), e);
  render_push(s, e, node);
  render_bind(s, node, e, html_nil_node);
}

void
render_list_item(RenderState *s, DocNode *node) {
  DocNode *list = node->parent;
  RenderBinding *b = list->kind == DocNodeKind_List ? render_binding(s, list) : 0;
  HtmlNode *list_element = b ? b->element : html_nil_node;
  if (b && render_frame_is_open(s, list_element)) {
    while (render_top(s) != list_element) render_pop(s);
  }
  bool inline_list = list->kind == DocNodeKind_List && (list->flags & DocNodeFlag_ListInline);
  HtmlNode *item;
  if (inline_list) {
    item = render_element(s, HtmlTagKind_Span, node);
    html_add_class(s->arena, item, str_lit("it_inl"));
  } else {
    item = render_element(s, HtmlTagKind_Li, node);
  }
  if (list->flags & DocNodeFlag_ListBullet) html_add_class(s->arena, item, str_lit("it_un"));
  item->level = node->number;
  html_content_append(html_node_is_nil(list_element) ? render_top(s) : list_element, item);
  render_push(s, item, node);
}

//~ Separators

// The separator stands where the line before it ended: inside the section or quote
// that holds it, else in the body.
void
render_separator(RenderState *s, DocNode *node) {
  html_content_append(render_top(s), render_element(s, HtmlTagKind_Hr, node));
}

//~ Tables
// Every column of a table is a "table" of its own; the columns of one table stand side
// by side in a "ta_c" container. A cell finds its column through its grandparent.

void
render_table(RenderState *s, DocNode *node) {
  HtmlNode *table = render_element(s, HtmlTagKind_Table, node);
  table->level = node->number;
  HtmlNode *thead = render_element(s, HtmlTagKind_Thead, node);
  HtmlNode *header_row = render_element(s, HtmlTagKind_Tr, node);
  html_content_append(table, thead);
  html_content_append(thead, header_row);
  HtmlNode *container = html_nil_node;
  DocNode *parent = node->parent;
  RenderBinding *before = parent->kind == DocNodeKind_Table ? render_binding(s, parent) : 0;
  if (before) {
    //- a further column: beside the one before it
    container = before->container;
    if (!html_node_is_nil(container)) html_content_append(container, table);
    else html_insert(before->element, table, HtmlInsert_After);
  } else if (node->flags & DocNodeFlag_TableNested) {
    container = render_element(s, HtmlTagKind_Div, node);
    html_add_class(s->arena, container, str_lit("ta_c"));
    html_content_append(render_top(s), container);
    html_content_append(container, table);
  } else {
    html_content_append(render_top(s), table);
  }
  render_bind(s, node, table, container);
}

void
render_table_header(RenderState *s, DocNode *node) {
  RenderBinding *b = render_binding(s, node->parent);
  if (!b) return;
  HtmlNode *row = html_find_element_by_kind_level(b->element, HtmlTagKind_Tr, 0);
  HtmlNode *th = render_element(s, HtmlTagKind_Th, node);
  th->level = node->number;
  html_content_append(row, th);
  render_push(s, th, node);
}

void
render_table_cell(RenderState *s, DocNode *node) {
  RenderBinding *b = render_binding(s, node->parent->parent);
  if (!b) return;
  if (html_node_is_nil(b->body)) {
    b->body = render_element(s, HtmlTagKind_Tbody, node);
    html_content_append(b->element, b->body);
  }
  //- the row of the cell's number, made on first use; rows mostly come in order
  HtmlNode *rows = html_content_of(b->body);
  HtmlNode *row = html_nil_node;
  if (!html_node_is_nil(rows->last_child) && rows->last_child->level == node->number) row = rows->last_child;
  for (HtmlNode *r = rows->first_child; html_node_is_nil(row) && !html_node_is_nil(r); r = r->next) {
    if (r->type == HtmlNode_Element && r->element->kind == HtmlTagKind_Tr && r->level == node->number) row = r;
  }
  if (html_node_is_nil(row)) {
    row = render_element(s, HtmlTagKind_Tr, node);
    row->level = node->number;
    html_content_append(b->body, row);
  }
  HtmlNode *td = render_element(s, HtmlTagKind_Td, node);
  html_content_append(row, td);
  render_push(s, td, node);
}

//~ Footnotes and inline references

// The small raised number of a reference: outer span, inner span with the number,
// and the icon after the inner span.
static HtmlNode *
render_reference_mark(RenderState *s, DocNode *node, StrView outer_style, u32 icon_kind, HtmlNode **icon_out) {
  HtmlNode *outer = render_element(s, HtmlTagKind_Span, node);
  render_set(s, outer, HtmlAttrKind_Style, outer_style);
  HtmlNode *inner = render_element(s, HtmlTagKind_Span, node);
  render_set(s, inner, HtmlAttrKind_Style, str_lit("vertical-align:text-top;margin-right:0.2em;"));
  html_add_text(s->arena, inner, render_number_text(s, "", node->number));
  html_content_append(outer, inner);
  HtmlNode *icon = icon_element(s->arena, icon_kind);
  html_insert(inner, icon, HtmlInsert_After);
  if (icon_out) *icon_out = icon;
  return outer;
}

void
render_footnote_ref(RenderState *s, DocNode *node) {
  html_add_text(s->arena, render_top(s), str_lit("   "));
  // Inside a link (a reference's description, say) a link is no link: browsers close the
  // outer one there. The mark stays, as a span.
  bool in_link = s->open_links != 0;
  HtmlNode *a = render_element(s, in_link ? HtmlTagKind_Span : HtmlTagKind_A, node);
  render_set(s, a, HtmlAttrKind_Style, str_lit("margin-right:1.5em;position:relative;white-space:pre;"));
  if (!in_link) render_set_number(s, a, HtmlAttrKind_Href, "#fo_", node->number);
  html_content_append(a, render_reference_mark(s, node,
                                               str_lit("border: 0px solid grey;border-bottom-width:0.1em;"
                                                       "position:absolute;left:0;top:0;font-size:0.6rem;"
                                                       "font-family:'Fira Code';line-height:1;margin-left:0.5em;"),
                                               IconKind_DownDir, 0));
  html_content_append(render_top(s), a);
}

void
render_footnote(RenderState *s, DocNode *node) {
  HtmlNode *li = render_element(s, HtmlTagKind_Li, node);
  html_add_text(s->arena, li, str_lit("."));
  HtmlNode *sup = render_element(s, HtmlTagKind_Sup, node);
  render_set_number(s, sup, HtmlAttrKind_Id, "fo_", node->number);
  HtmlNode *span = render_element(s, HtmlTagKind_Span, node);
  render_set(s, span, HtmlAttrKind_Style,
             str_lit("margin-right:0.5em;vertical-align: super;font-size:0.6rem;font-family:Fira Code;line-height:1;"));
  html_add_text(s->arena, span, render_number_text(s, "", node->number));
  html_content_append(sup, span);
  html_content_append(li, sup);
  html_content_append(render_top(s), li);
  render_push(s, sup, node);
}

void
render_footnote_list(RenderState *s, DocNode *node) {
  render_pop_to_root(s);
  HtmlNode *nav = render_element(s, HtmlTagKind_Nav, node);
  render_set(s, nav, HtmlAttrKind_Id, str_lit("fn_l"));
  HtmlNode *ul = render_element(s, HtmlTagKind_Ul, node);
  html_content_append(nav, ul);
  html_content_append(render_top(s), nav);
  render_push(s, ul, node);
}

void
render_inline_ref(RenderState *s, DocNode *node) {
  bool in_link = s->open_links != 0;  // as for a footnote reference
  HtmlNode *a = render_element(s, in_link ? HtmlTagKind_Span : HtmlTagKind_A, node);
  if (!in_link) render_set_number(s, a, HtmlAttrKind_Href, "#inl_", node->number);
  HtmlNode *icon = html_nil_node;
  HtmlNode *mark = render_reference_mark(s, node,
                                         str_lit("border: 0px solid grey;border-bottom-width:0.1em;left:0;top:0;"
                                                 "font-size:0.6rem;font-family:Fira Code;line-height:1;"),
                                         IconKind_Eye, &icon);
  html_content_append(a, mark);
  html_content_append(render_top(s), a);
  if (!doc_node_is_nil(node->first_child)) {
    render_set(s, icon, HtmlAttrKind_Style, str_lit("margin-right:0.4em;"));
    render_push(s, a, node);
  } else {
    render_set(s, a, HtmlAttrKind_Style, str_lit("margin-right:.3em;"));
  }
}
