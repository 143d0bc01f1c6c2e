// Page assembly: a parsed document becomes a complete HTML document, its rendered body
// laid out as a header strip, the body and a bottom strip.
#include "gen/gen_page.h"

// Formatting markers and link bits: runs that are not words of a title.
#define PAGE_TITLE_SKIP (DOC_NODE_MARK_FLAGS | DOC_NODE_LINK_FLAGS)
static_assert(PAGE_TITLE_SKIP == 0x19fc00ull, "the marks and link bits");

StrView
page_title_text(Arena *arena, DocNode *title_entry, StrView source_path) {
  StrList words = {};
  bool space = false;
  if (!doc_node_is_nil(title_entry)) {
    for (DocNode *c = title_entry->first_child; !doc_node_is_nil(c); c = c->next) {
      if (c->kind != DocNodeKind_Text) continue;
      if (!(c->flags & PAGE_TITLE_SKIP) && c->raw.length) {
        if (space && words.node_count) str_list_push(arena, &words, str_lit(" "));
        str_list_push(arena, &words, c->raw);
        space = false;
      }
      // A marker's blank still parts the words around it ("my _big_ day").
      if (c->flags & DocNodeFlag_SpaceAfter) space = true;
    }
  }
  if (words.node_count) return str_list_join(arena, &words, 0);
  StrView name = str_skip_last_slash(source_path);
  for (u64 i = name.length; i > 0; i -= 1) {
    if (name.data[i - 1] == '\\') {
      name = str_skip(name, i);
      break;
    }
  }
  u64 dot = name.length;
  for (u64 i = name.length; i > 0; i -= 1) {
    if (name.data[i - 1] == '.') {
      dot = i - 1;
      break;
    }
  }
  return str_prefix(name, dot);
}

StrView
gen_page_text(Arena *arena, HtmlNode *root, StrView source) {
  StrList pieces = {};
  html_write(arena, &pieces, root);
  // A page read keeps its own line end; one built anew ends like the page it replaces.
  bool ends_line = pieces.last && pieces.last->string.length &&
                   pieces.last->string.data[pieces.last->string.length - 1] == '\n';
  if (!ends_line && source.length && source.data[source.length - 1] == '\n') {
    bool crlf = source.length > 1 && source.data[source.length - 2] == '\r';
    str_list_push(arena, &pieces, crlf ? str_lit("\r\n") : str_lit("\n"));
  }
  return str_list_join(arena, &pieces, 0);
}

static HtmlNode *
page_element(Arena *arena, u32 tag, u32 attr, StrView value) {
  HtmlNode *e = html_element_create(arena, tag, {});
  if (attr) html_set_attribute(arena, e, attr, value);
  return e;
}

static HtmlNode *
page_style_element(Arena *arena, StrView text) {
  HtmlNode *style = html_element_create(arena, HtmlTagKind_Style, {});
  html_add_text(arena, style, text);
  return style;
}

// The elements the layout moves out of the rendered body: the title heading, the table
// of contents, the footnotes, the metadata switch and block. Each is the first of its
// kind in document order that does not lie inside one moved out before it (what that
// holds went with it; the footnotes stay in the body), found in one walk.
enum PagePart {
  PagePart_Heading,
  PagePart_Toc,
  PagePart_Notes,
  PagePart_Toggle,
  PagePart_Block,
  PagePart_COUNT,
};

static const StrView page_part_ids[PagePart_COUNT] = {
    {}, str_lit("toc"), str_lit("fn_l"), str_lit("toggle-checkbox_cod_"), str_lit("cod_")};

static bool
page_inside_earlier(HtmlNode *n, HtmlNode *root, HtmlNode **parts, u32 part) {
  for (HtmlNode *up = n->parent; !html_node_is_nil(up) && up != root; up = up->parent) {
    for (u32 p = 0; p < part; p += 1) {
      if (p == PagePart_Notes && part > PagePart_Notes) continue;
      if (parts[p] == up) return true;
    }
  }
  return false;
}

static void
page_find_parts(HtmlNode *root, HtmlNode **parts) {
  for (u32 p = 0; p < PagePart_COUNT; p += 1) parts[p] = html_nil_node;
  for (HtmlNode *n = root; !html_node_is_nil(n); n = html_next_preorder(n, root)) {
    if (n->type != HtmlNode_Element) continue;
    if (n->element->kind == HtmlTagKind_H1 && n->level == 0 && html_node_is_nil(parts[PagePart_Heading])) {
      parts[PagePart_Heading] = n;
    }
    HtmlNode *a = html_find_attribute(n, HtmlAttrKind_Id);
    if (html_node_is_nil(a->first_child)) continue;
    for (u32 p = PagePart_Toc; p < PagePart_COUNT; p += 1) {
      if (!html_node_is_nil(parts[p]) || !str_equal(a->first_child->text, page_part_ids[p])) continue;
      if (!page_inside_earlier(n, root, parts, p)) parts[p] = n;
    }
  }
}

PageResult
page_assemble(Arena *arena, const GenShared *shared, DocParseResult *doc, StrView source_path,
              StrView output_path, const RenderImageSizes *images) {
  PageResult page = {};
  ArenaTemp scratch = scratch_begin(&arena, 1);

  //- document, doctype and html
  HtmlNode *document = html_node_create(arena, HtmlNode_Document, 0, {}, output_path, 0);
  HtmlNode *doctype = html_element_create(arena, HtmlTagKind_Doctype, {});
  html_set_attribute(arena, doctype, HtmlAttrKind_Html, {});
  html_append_child(document, doctype);
  HtmlNode *html = page_element(arena, HtmlTagKind_Html, HtmlAttrKind_Style, str_lit("font-size:18px;"));
  html_set_attribute(arena, html, HtmlAttrKind_Lang, str_lit("en"));
  html_append_child(document, html);

  //- head: the shared head, the reset, the two sheets and the title
  HtmlNode *head = default_head_element(arena, shared, output_path);
  html_content_append(html, head);
  // A page has one title, the document's: one the shared head brings gives way to it.
  for (HtmlNode *t = html_find_last_element_by_kind(head, HtmlTagKind_Title); !html_node_is_nil(t);
       t = html_find_last_element_by_kind(head, HtmlTagKind_Title)) {
    html_detach(t);
  }
  html_content_append(head, page_style_element(arena, str_lit("*{all:unset;}")));
  html_content_append(head, page_style_element(arena, gen_page_default_css(arena, shared, output_path)));
  html_content_append(head, page_style_element(arena, shared->tag_css));
  page.title = page_title_text(arena, doc->title, source_path);
  HtmlNode *title = html_element_create(arena, HtmlTagKind_Title, {});
  html_add_text(arena, title, render_escape_lt(arena, page.title));
  html_content_append(head, title);

  //- body: header strip, body container, bottom strip
  HtmlNode *body = html_element_create(arena, HtmlTagKind_Body, {});
  html_content_append(html, body);
  HtmlNode *top = page_element(arena, HtmlTagKind_Div, HtmlAttrKind_Id, str_lit("top"));
  HtmlNode *container = page_element(arena, HtmlTagKind_Div, HtmlAttrKind_Id, str_lit("b_w"));
  HtmlNode *bottom = page_element(arena, HtmlTagKind_Div, HtmlAttrKind_Id, str_lit("bottom"));
  html_set_attribute(arena, bottom, HtmlAttrKind_Style, str_lit("padding:1rem 2rem;"));
  html_content_append(body, top);
  html_content_append(body, container);
  html_content_append(body, bottom);

  //- the table of contents first, the footnotes last
  DocNode *root = doc->root;
  if (!doc_node_is_nil(doc->toc) && !doc_node_is_nil(doc->toc->first_child) && doc->toc->parent != root) {
    doc_node_prepend(root, doc->toc);
  }
  if (!doc_node_is_nil(doc->footnotes) && !doc_node_is_nil(doc->footnotes->first_child) &&
      doc->footnotes->parent != root) {
    doc_node_append(root, doc->footnotes);
  }

  //- render, with the rules every page's switches need
  RenderPageInfo info = {output_path, shared->root_path, 0, images, shared->no_raw_views};
  StrList css = {};
  RenderResult rendered = render_document(arena, root, container, &info, &doc->anchors, &css);
  page.output_path = rendered.output_path;
  page.raw_link = rendered.raw_link;
  str_list_push(scratch.arena, &css,
                str_lit("[class*=\"toggle-content_\"]{padding:0 1.2em;margin:0;display:none !important;"
                        "background-color:#f9f9f9;border:1px solid #ddd;border-radius:5px;display:inline-block;}"));
  str_list_push(scratch.arena, &css,
                str_lit("input[type=\"checkbox\"]:checked~[class*=\"toggle-content_\"]{display:flex !important;"
                        "flex-direction:column;}"));
  str_list_push(scratch.arena, &css,
                str_lit("input[type=\"checkbox\"]:checked~[class*=\"toggle-content_i\"]{display:inline-block !important;}"));
  html_content_append(head, page_style_element(arena, str_list_join(arena, &css, 0)));

  HtmlNode *parts[PagePart_COUNT];
  page_find_parts(container, parts);

  //- the title heading leads the body
  HtmlNode *heading = parts[PagePart_Heading];
  if (!html_node_is_nil(heading)) {
    html_replace_attribute(arena, heading, HtmlAttrKind_Style, str_lit("margin-left:7rem;margin-bottom:2rem;"));
    html_detach(heading);
    html_insert(body, heading, HtmlInsert_FirstChild);
  }

  //- the table of contents into the header strip
  HtmlNode *toc = parts[PagePart_Toc];
  if (!html_node_is_nil(toc)) {
    html_detach(toc);
    html_content_append(top, toc);
  }

  //- the footnotes at the end of the body
  HtmlNode *notes = parts[PagePart_Notes];
  if (!html_node_is_nil(notes)) {
    html_replace_attribute(arena, notes, HtmlAttrKind_Style,
                       str_lit("background-color:#f7f7f7;margin-top:5rem;padding:1rem 0.6rem;font-size:0.8em;"
                               "color:#484745;"));
    html_detach(notes);
    html_content_append(container, notes);
  }

  //- the first top-level block (the metadata) and its switch, centred in the header strip
  HtmlNode *centre = page_element(arena, HtmlTagKind_Div, HtmlAttrKind_Style,
                                  str_lit("display:flex;flex-direction:column;align-items:center;width:100%;"));
  html_content_append(top, centre);
  HtmlNode *toggle = parts[PagePart_Toggle];
  HtmlNode *block = parts[PagePart_Block];
  if (!html_node_is_nil(toggle)) {
    html_detach(toggle);
    html_content_append(centre, toggle);
  }
  if (!html_node_is_nil(block)) {
    html_detach(block);
    html_content_append(centre, block);
  }

  html_content_append(container, html_element_create(arena, HtmlTagKind_Footer, {}));
  page.document = document;
  scratch_end(scratch);
  return page;
}
