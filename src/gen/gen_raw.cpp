// The raw view: a page that shows a document's qil source as plain text, made by
// wrapping the source in one code block and assembling it like any document.
#include "gen/gen_page.h"

static HtmlNode *
raw_first_with_class(HtmlNode *root, StrView name) {
  for (HtmlNode *n = root; !html_node_is_nil(n); n = html_next_preorder(n, root)) {
    if (n->type == HtmlNode_Element && html_has_class(n, name)) return n;
  }
  return html_nil_node;
}

static void
raw_add_style(Arena *arena, HtmlNode *e, StrView more) {
  StrView old = html_attribute_value(e, HtmlAttrKind_Style);
  html_replace_attribute(arena, e, HtmlAttrKind_Style, str_pushf(arena, "%S%S", &old, &more));
}

// Whether the text holds an end tag of a script, which would end a script element early.
static bool
raw_holds_script_end(StrView text) {
  return str_find(text, 0, str_lit("</script"), StrMatchFlag_CaseInsensitive) < text.length;
}

// "&" and "<" as entities, for text shown inside an ordinary element.
static StrView
raw_escape_text(Arena *arena, StrView text) {
  StrList parts = {};
  u64 start = 0;
  for (u64 i = 0; i < text.length; i += 1) {
    u8 c = text.data[i];
    if (c != '&' && c != '<' && !render_is_control(c)) continue;
    str_list_push(arena, &parts, str_substr(text, start, i));
    StrView entity = c == '&' ? str_lit("&amp;") : c == '<' ? str_lit("&lt;") : str_lit("\xEF\xBF\xBD");
    str_list_push(arena, &parts, entity);
    start = i + 1;
  }
  if (parts.node_count == 0) return text;
  str_list_push(arena, &parts, str_skip(text, start));
  return str_list_join(arena, &parts, 0);
}

PageResult
build_raw_page(Arena *arena, const GenShared *shared, StrView source, StrView source_path, StrView raw_path,
               StrView return_href, StrView doc_title) {
  //- the page of an empty code block: the block is filled with the source below, so the
  //  source itself is never read as qil
  StrView text = str_lit("```\n```");
  DocParseOptions options = {shared->root_path};
  DocParseResult *doc = push_struct(arena, DocParseResult);
  *doc = doc_parse(arena, source_path, text, doc_tokenize(arena, text), &options);
  PageResult page = page_assemble(arena, shared, doc, source_path, raw_path);
  HtmlNode *root = page.document;

  //- the page's own look
  HtmlNode *html = html_nil_node;
  for (HtmlNode *n = root; !html_node_is_nil(n); n = html_next_preorder(n, root)) {
    if (n->type == HtmlNode_Element && n->element->kind == HtmlTagKind_Html) {
      html = n;
      break;
    }
  }
  raw_add_style(arena, html, str_lit("background-color:#f1f1f1;"));

  //- its title names the document it shows (the wrapped block has no title of its own)
  StrView name = doc_title.length ? doc_title : str_skip_last_slash(source_path);
  page.title = str_pushf(arena, "%S (source)", &name);
  HtmlNode *title = html_nil_node;
  for (HtmlNode *n = root; !html_node_is_nil(n); n = html_next_preorder(n, root)) {
    if (n->type == HtmlNode_Element && n->element->kind == HtmlTagKind_Title) {
      title = n;
      break;
    }
  }
  html_clear_content(title);
  html_add_text(arena, title, render_escape_lt(arena, page.title));
  HtmlNode *container = html_find_element_by_attribute_value(root, HtmlAttrKind_Id, str_lit("b_w"));
  HtmlNode *top = html_find_element_by_attribute_value(root, HtmlAttrKind_Id, str_lit("top"));
  html_replace_attribute(arena, container, HtmlAttrKind_Style, str_lit("padding:2rem;"));
  html_replace_attribute(arena, top, HtmlAttrKind_Style, str_lit("padding:0;margin:0;"));

  //- the code block shows the source exactly as it is
  HtmlNode *block = raw_first_with_class(container, str_lit("bl_"));
  if (html_node_is_nil(block)) {
    block = html_element_create(arena, HtmlTagKind_Span, {});
    html_add_class(arena, block, str_lit("bl_"));
    html_content_append(container, block);
  }
  html_clear_content(block);
  // The lines stay lines: without "white-space:pre" the reset of every style would run
  // the whole source into one paragraph.
  // Long lines wrap at the window's edge (copying still gives them whole): a block as
  // wide as the window beside the container's padding made every page scroll sideways.
  StrView style = str_lit("color:black;width:auto;max-width:100%;height:fit-content;min-height:100vh;"
                          "padding:0;margin:0;font-size:0.7rem;font-family:'Fira Code';user-select:all;"
                          "cursor: pointer;white-space:pre-wrap;overflow-wrap:anywhere;");
  bool controls = false;
  for (u64 i = 0; i < source.length && !controls; i += 1) controls = render_is_control(source.data[i]);
  if (raw_holds_script_end(source) || controls) {
    // A script would end at the source's own "</script": the text stays in the block,
    // its markup characters written as entities (and control characters, which no page
    // may hold, as U+FFFD).
    html_replace_attribute(arena, block, HtmlAttrKind_Style, style);
    html_add_text(arena, block, raw_escape_text(arena, source));
  } else {
    // Inside a script nothing is read as markup or as an entity: the source shows as written.
    block->element = html_element_info_by_kind(HtmlTagKind_Script);
    block->text = block->element->name;
    html_set_attribute(arena, block, HtmlAttrKind_Type, str_lit("text/plain"));
    html_replace_attribute(arena, block, HtmlAttrKind_Style, style);
    if (source.length) html_add_text(arena, block, source);
  }

  //- the way back
  HtmlNode *back = html_element_create(arena, HtmlTagKind_A, {});
  html_add_class(arena, back, str_lit("btn"));
  html_set_attribute(arena, back, HtmlAttrKind_Href, render_escape_lt(arena, return_href));
  html_set_attribute(arena, back, HtmlAttrKind_Style, str_lit("font-size:0.9rem;position:fixed;top:0;left:0;"));
  html_add_text(arena, back, str_lit("return"));
  html_content_append(container, back);
  return page;
}
