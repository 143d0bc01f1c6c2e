// What pages share: the head every page takes, the two style sheets every page inlines,
// and the index page that lists the generated pages; made from texts, written by emit.
#include "gen/gen_page.h"

#include "base/base_format.h"
#include "site/site_path.h"

//~ Style tables

const TagStyle TagStyleTable[] = {
    {HtmlTagKind_P, str_lit("display:block;font-size:1em;line-height:1.4rem;margin-top:0.2em;")},
    {HtmlTagKind_Body, str_lit("display:inline-block;")},
    {HtmlTagKind_Pre, str_lit("display:inline-block;background-color:#f1f1f1;border-radius:2px;width:fit-content;"
                              "padding:1em 1.2em;white-space:pre;")},
    {HtmlTagKind_A, str_lit("cursor:pointer;color:#5c5b8f;line-height:1.4em;margin-top:0.5em;")},
    {HtmlTagKind_H1, str_lit("display:block;font-size:2em;font-weight:bold;margin-top:0.8em;")},
    {HtmlTagKind_H2, str_lit("display:block;font-size:1.5em;font-weight:bold;margin-top:0.8em;")},
    {HtmlTagKind_H3, str_lit("display:block;font-size:1.2rem;font-weight:bold;margin-top:0.8em;")},
    {HtmlTagKind_H4, str_lit("display:block;font-size:1.17em;font-weight:bold;margin-top:0.8em;")},
    {HtmlTagKind_H5, str_lit("display:block;font-size:1.11em;font-weight:bold;margin-top:0.8em;")},
    {HtmlTagKind_Style, str_lit("display:none;")},
    {HtmlTagKind_Div, str_lit("overflow-wrap:break-word;display:flex;flex-direction:column;")},
    {HtmlTagKind_Ul, str_lit("display:flex;flex-direction:column;")},
    {HtmlTagKind_Table, str_lit("box-shadow: 0 2px 4px rgba(0, 0, 0, 0.1);width:fit-content;border-collapse:collapse;"
                                "text-align:left;display:table;margin-top:0.5rem;margin-bottom:0.5rem;")},
    {HtmlTagKind_Thead, str_lit("display:table-header-group;background-color:#f1f1f1;")},
    {HtmlTagKind_Tr, str_lit("display:table-row;font-family:sans-serif;")},
    {HtmlTagKind_Th, str_lit("display:table-cell;padding: 0.5em 1.1em;text-align:center;")},
    {HtmlTagKind_Td, str_lit("display:table-cell;padding: 0.5em 1.1em;")},
    {HtmlTagKind_Tbody, str_lit("display:table-row-group;")},
    {HtmlTagKind_Hr, str_lit("border-bottom: #cfc4c4 1px solid;margin-top:0.8em;")},
    {HtmlTagKind_Title, str_lit("display:none;")},
    {HtmlTagKind_Blockquote, {}},
    {HtmlTagKind_Em, str_lit("font-style:italic;")},
    {HtmlTagKind_Strong, str_lit("font-weight:bold;")},
    {HtmlTagKind_Span, str_lit("margin-top:0.5em;")},
    {HtmlTagKind_Code, {}},
    {HtmlTagKind_Button, str_lit("margin: 0 0.2em;padding:0.1em 0.3em;background-color:#f1f1f1; border:1px solid grey;"
                                 "display:inline-block;cursor:pointer;text-align:center;font-family:Arial, sans-serif;"
                                 "font-size:1em;width:fit-content;")},
    {HtmlTagKind_Input, str_lit("cursor:pointer;min-width:1em;min-height:1em;")},
    {HtmlTagKind_Li, str_lit("display:list-item;text-align:-webkit-match-parent;unicode-bidi:isolate;")},
    {HtmlTagKind_Ol, str_lit("list-style-position:inside;display:block;list-style-type:decimal;"
                             "margin-block-start:0.2rem;margin-block-end:0.2rem;padding-inline-start:0.5rem;")},
};
const u64 TagStyleTableCount = ArrayCount(TagStyleTable);

// The per-tag sheet's declarations.
static const TagStyle tag_font_table[] = {
    {HtmlTagKind_Pre, str_lit("font-family:Fira Code")},
    {HtmlTagKind_H1, str_lit("font-family:Figtree")},
    {HtmlTagKind_H2, str_lit("font-family:Figtree")},
    {HtmlTagKind_H3, str_lit("font-family:Figtree")},
    {HtmlTagKind_H4, str_lit("font-family:Figtree")},
    {HtmlTagKind_H5, str_lit("font-family:Figtree")},
    {HtmlTagKind_P, str_lit("font-family:Figtree")},
    {HtmlTagKind_Ul, str_lit("list-style:none;")},
    {HtmlTagKind_Li, str_lit("font-family:Figtree")},
    {HtmlTagKind_Span, str_lit("font-size:1em;")},
    {HtmlTagKind_A, str_lit("color:#111051;text-decoration:none;font-weight:500;")},
    {HtmlTagKind_Table, str_lit("margin-right: 0.5rem;")},
    {HtmlTagKind_Tr, str_lit("font-family:'Fira Code';font-size: 0.8rem;")},
    {HtmlTagKind_Time, str_lit("font-size:1em;")},
    {HtmlTagKind_Sup, str_lit("font-family:Fira Code")},
};

// One rule per element of the element table, in its order, that the table gives a
// non-empty declaration.
static void
gen_element_rules(Arena *arena, StrList *rules, const TagStyle *table, u64 count) {
  StrView by_kind[HtmlTagKind_COUNT] = {};
  for (u64 i = 0; i < count; i += 1) by_kind[table[i].tag] = table[i].style;
  u64 elements = 0;
  const HtmlElementInfo *rows = html_element_table(&elements);
  for (u64 i = 0; i < elements; i += 1) {
    StrView style = rows[i].kind < HtmlTagKind_COUNT ? by_kind[rows[i].kind] : StrView{};
    if (style.length) str_list_pushf(arena, rules, "%S{%S}", &rows[i].name, &style);
  }
}

static StrView
gen_default_css_rules(Arena *arena) {
  StrList r = {};
  gen_element_rules(arena, &r, TagStyleTable, TagStyleTableCount);
  const char *fixed[] = {
      "tbody tr:nth-child(even){background-color:#f5f5f594;}",
      "td:not(:first-child),th:not(:first-child){border-left:#c3bfbf 1px solid;}",
      "tr:not(:last-child){border-bottom:#c3bfbf 1px solid;}",
      "thead{border:#6d6d6d 1px solid;}",
      "tbody{border-left:#6d6d6d 1px solid;border-right:#6d6d6d 1px solid;border-bottom:#6d6d6d 1px solid;}",
      "::selection {background-color:#c3baa4;color:black;}",
  };
  for (const char *f : fixed) str_list_push(arena, &r, str_from_cstr(f));
  icon_style_rules(arena, &r);
  StrView square = icon_info(IconKind_Square)->glyph;
  str_list_push(arena, &r, str_lit("html{font-family:\"Figtree\"}"));
  str_list_push(arena, &r, str_lit(".btn{padding:0.1em 0.6em;background-color:#e5ddcd;margin:0;border-radius:0.2rem}"));
  str_list_push(arena, &r, str_lit("ul li{margin-left:1.5em;}"));
  str_list_pushf(arena, &r, "li.it_un::marker{font-family:'IconFont';content:'%S   ';font-size:0.4rem;}", &square);
  str_list_push(arena, &r, str_lit("#top{flex-direction:row;justify-content:space-between;padding:1rem 15rem;}"));
  str_list_push(arena, &r, str_lit("#toc{padding:1rem 1rem;border:1px solid #e1e1e1;border-radius:2px;}"));
  str_list_push(arena, &r,
                str_lit("#cod_{display:flex;flex-direction:column;width:30vw;max-width:30vw;padding:1em 1em;"
                        "border:1px solid #e1e1e1;border-radius:2px;}"));
  const char *code_rule = "{;font-size: 0.8rem;font-family:'Fira Code';color:#5e5858;border-radius:3px;"
                          "border:#d7cfcf 1px solid;display:flex;flex-direction:column;width:fit-content;padding:1em;}";
  str_list_pushf(arena, &r, ".co_%s", code_rule);
  str_list_pushf(arena, &r, ".coi_%s", code_rule);
  const char *tail[] = {
      "#b_w{padding:1rem 15rem;}",
      "[class*=\"co_he_\"]{font-weight:600;}",
      "[class*=\"it_inl_\"]{color:red;}",
      ".icon{margin-top:0;}",
      (".cat-it{border:#d7cfcf 1px solid;background-color:#fbf8f4;border-radius:2px;padding:0 0.2em;"
       "margin-right:0.2em;font-family:'Fira Code';font-size:0.8em;}"),
      ".ta_c{display:flex;flex-direction:row;}",
      "#fn_l li{margin-left:0;}",
      "#fn_l{font-family:\"Fira Code\";}",
  };
  for (const char *t : tail) str_list_push(arena, &r, str_from_cstr(t));

  //- after the rules above, what keeps a page inside a narrow window: wide blocks scroll
  //  on their own instead of the page, and on a phone the wide side paddings give way
  const char *fit[] = {
      "body{max-width:100%;}",
      "img{max-width:100%;height:auto;}",
      // Code blocks keep their columns: they are set in the code font like inline code.
      ".bl_{font-family:'Fira Code',monospace;}",
      ".bl_,pre{max-width:100%;box-sizing:border-box;overflow-x:auto;}",
      ".co_,.coi_{max-width:100%;box-sizing:border-box;}",
      ("@media (max-width:60em){"
       "body{display:block;}"
       "#top{flex-direction:column;padding:0.5rem 0.8rem;gap:0.8rem;}"
       "#b_w{padding-left:0.8rem !important;padding-right:0.8rem !important;overflow-wrap:anywhere;}"
       "body>h1{margin-left:0.8rem !important;margin-right:0.8rem;overflow-wrap:anywhere;}"
       "#cod_{width:auto;max-width:100%;box-sizing:border-box;overflow-wrap:anywhere;}"
       "#toc{overflow-wrap:anywhere;}"
       ".ta_c{flex-wrap:wrap;}"
       "table{display:block;max-width:100%;overflow-x:auto;}"
       "}"),
  };
  for (const char *t : fit) str_list_push(arena, &r, str_from_cstr(t));
  return str_list_join(arena, &r, 0);
}

// The fonts the sheets name. 'Figtree' is not shipped: a copy the reader has is taken,
// else the open sans shipped in its place, so text never falls to a serif.
static const char *gen_font_face_rules[] = {
    "@font-face{font-family:'IconFont';src:url(\"%SIconFont.woff2\") format('woff2');font-display:block;}",
    "@font-face{font-family:'Fira Code';src:url(\"%SFiraCode-Regular.woff2\") format('woff2');font-display:swap;}",
    ("@font-face{font-family:'Figtree';src:local('Figtree'),local('Figtree Regular'),local('Figtree-Regular'),"
     "url(\"%SSans-Regular.woff2\") format('woff2');font-weight:400;font-display:swap;}"),
    ("@font-face{font-family:'Figtree';src:local('Figtree Bold'),local('Figtree-Bold'),"
     "url(\"%SSans-Bold.woff2\") format('woff2');font-weight:700;font-display:swap;}"),
};

// Text for inside a double-quoted CSS string in a "style" element: quotes, backslashes and
// line ends escaped, and "<" too, which could end the element.
static StrView
gen_css_string(Arena *arena, StrView text) {
  StrList parts = {};
  u64 start = 0;
  for (u64 i = 0; i < text.length; i += 1) {
    u8 c = text.data[i];
    if (c != '"' && c != '\\' && c != '<' && c != '\n' && c != '\r') continue;
    str_list_push(arena, &parts, str_substr(text, start, i));
    str_list_pushf(arena, &parts, "\\%x ", (unsigned)c);
    start = i + 1;
  }
  if (parts.node_count == 0) return text;
  str_list_push(arena, &parts, str_skip(text, start));
  return str_list_join(arena, &parts, 0);
}

StrView
gen_font_faces(Arena *arena, StrView folder) {
  StrList r = {};
  StrView quoted = gen_css_string(arena, folder);
  for (const char *rule : gen_font_face_rules) str_list_pushf(arena, &r, rule, &quoted);
  return str_list_join(arena, &r, 0);
}

StrView
gen_default_css(Arena *arena) {
  StrView rules = gen_default_css_rules(arena);
  StrView faces = gen_font_faces(arena, str_lit("fonts/"));
  return str_pushf(arena, "%S%S", &rules, &faces);
}

StrView
gen_page_default_css(Arena *arena, const GenShared *shared, StrView page_path) {
  ArenaTemp scratch = scratch_begin(&arena, 1);
  // The folder as the page reaches it: a file in it, made relative, less its name.
  StrView probe = str_pushf(scratch.arena, "%S" GEN_FONT_FOLDER "f", &shared->root_path);
  RenderPageInfo page = {page_path, shared->root_path, 0};
  StrView link = render_page_link(scratch.arena, &page, probe);
  StrView folder = str_chop_last_slash_keep(link);
  if (folder.length == link.length) folder = StrView{};  // no folder: beside the page
  StrView faces = gen_font_faces(scratch.arena, folder);
  StrView css = str_pushf(arena, "%S%S", &shared->css_rules, &faces);
  scratch_end(scratch);
  return css;
}

StrView
gen_tag_css(Arena *arena) {
  StrList r = {};
  gen_element_rules(arena, &r, tag_font_table, ArrayCount(tag_font_table));
  return str_list_join(arena, &r, 0);
}

//~ The shared head

static HtmlNode *
gen_first_element(HtmlNode *root, u32 kind) {
  for (HtmlNode *n = root; !html_node_is_nil(n); n = html_next_preorder(n, root)) {
    if (n->type == HtmlNode_Element && n->element && n->element->kind == kind) return n;
  }
  return html_nil_node;
}

// A head link as the page must write it: "~" and paths without a scheme are taken
// from the site root, then written relative to the page.
static StrView
gen_head_link(Arena *arena, const GenShared *shared, StrView value, StrView page_path) {
  StrView root = shared->root_path;
  if (value.length == 0 || value.data[0] == '#' || value.data[0] == '/' || site_link_is_address(value)) return value;
  StrView full = value.data[0] == '~' ? site_link_expand_root(arena, value, root) : str_pushf(arena, "%S%S", &root, &value);
  RenderPageInfo page = {page_path, root, 0};
  return render_page_link(arena, &page, full);
}

GenShared
gen_shared_make(Arena *arena, StrView root_path, StrView head_text, StrView head_path, StrView tag_css_text,
                HtmlParseResult *head_parse) {
  GenShared shared = {};
  shared.root_path = str_push_copy(arena, root_path);
  shared.css_rules = gen_default_css_rules(arena);
  StrView faces = gen_font_faces(arena, str_lit("fonts/"));
  shared.default_css = str_pushf(arena, "%S%S", &shared.css_rules, &faces);
  shared.tag_css = tag_css_text.length ? tag_css_text : gen_tag_css(arena);
  shared.head = html_nil_node;
  *head_parse = HtmlParseResult{};
  if (head_text.length) {
    ArenaTemp scratch = scratch_begin(&arena, 1);
    *head_parse = html_parse(arena, head_text, head_path, html_tokenize(scratch.arena, head_text), 0, {});
    scratch_end(scratch);
    shared.head = gen_first_element(head_parse->root, HtmlTagKind_Head);
    html_detach(shared.head);
  }
  return shared;
}

// The head's first "meta" element whose attribute `attr` is there (and, with a value,
// holds it), or nil.
static HtmlNode *
gen_head_meta(HtmlNode *head, u32 attr, StrView value) {
  for (HtmlNode *n = head; !html_node_is_nil(n); n = html_next_preorder(n, head)) {
    if (n->type != HtmlNode_Element || n->element->kind != HtmlTagKind_Meta) continue;
    if (html_node_is_nil(html_find_attribute(n, attr))) continue;
    if (!value.length || str_match(html_attribute_value(n, attr), value, StrMatchFlag_CaseInsensitive)) return n;
  }
  return html_nil_node;
}

// The pages are UTF-8 and laid out for any width: a head that does not say so gets the
// two "meta" elements that do, the encoding first as it must come early.
static void
gen_head_complete(Arena *arena, HtmlNode *head) {
  HtmlNode *charset = gen_head_meta(head, HtmlAttrKind_Charset, {});
  if (html_node_is_nil(charset)) charset = gen_head_meta(head, HtmlAttrKind_HttpEquiv, str_lit("content-type"));
  if (html_node_is_nil(gen_head_meta(head, HtmlAttrKind_Name, str_lit("viewport")))) {
    HtmlNode *meta = html_element_create(arena, HtmlTagKind_Meta, {});
    html_set_attribute(arena, meta, HtmlAttrKind_Name, str_lit("viewport"));
    html_set_attribute(arena, meta, HtmlAttrKind_Content, str_lit("width=device-width, initial-scale=1"));
    if (html_node_is_nil(charset)) html_insert(head, meta, HtmlInsert_FirstChild);
    else html_insert(charset, meta, HtmlInsert_After);
  }
  if (html_node_is_nil(charset)) {
    HtmlNode *meta = html_element_create(arena, HtmlTagKind_Meta, {});
    html_set_attribute(arena, meta, HtmlAttrKind_Charset, str_lit("utf-8"));
    html_insert(head, meta, HtmlInsert_FirstChild);
  }
}

HtmlNode *
default_head_element(Arena *arena, const GenShared *shared, StrView page_path) {
  if (html_node_is_nil(shared->head)) {
    HtmlNode *head = html_element_create(arena, HtmlTagKind_Head, {});
    gen_head_complete(arena, head);
    return head;
  }
  HtmlNode *head = html_tree_copy(arena, shared->head);
  gen_head_complete(arena, head);
  for (HtmlNode *n = head; !html_node_is_nil(n); n = html_next_preorder(n, head)) {
    if (n->type != HtmlNode_Element) continue;
    HtmlNode *attr = html_find_attribute(n, HtmlAttrKind_Href);
    if (html_node_is_nil(attr)) continue;
    StrView value = html_attribute_value(n, HtmlAttrKind_Href);
    StrView link = gen_head_link(arena, shared, value, page_path);
    if (!str_identical(link, value)) html_replace_attribute(arena, n, HtmlAttrKind_Href, link);
  }
  return head;
}

//~ The index page

static StrView
gen_page_folder_name(Arena *arena, StrView page_path) {
  StrView folded = site_path_fold(arena, page_path);
  return str_skip_last_slash(str_chop_last_slash(folded));
}

// The lists the index refills: every element whose id is "zo-l-NAME". NAME is the name
// of the folders whose pages it lists; "soft" stands for "softwares", as it always has.
struct GenIndexList {
  GenIndexList *next;
  HtmlNode *node;
  StrView folder;
};

static GenIndexList *
gen_index_lists(Arena *arena, HtmlNode *root) {
  GenIndexList *first = 0, *last = 0;
  StrView prefix = str_lit("zo-l-");
  for (HtmlNode *n = root; !html_node_is_nil(n); n = html_next_preorder(n, root)) {
    if (n->type != HtmlNode_Element) continue;
    StrView id = html_attribute_value(n, HtmlAttrKind_Id);
    if (id.length <= prefix.length || !str_match(prefix, id, StrMatchFlag_Prefix)) continue;
    GenIndexList *l = push_struct(arena, GenIndexList);
    l->node = n;
    l->folder = str_skip(id, prefix.length);
    if (str_equal(l->folder, str_lit("soft"))) l->folder = str_lit("softwares");
    SLLQueuePush(first, last, l);
  }
  return first;
}

HtmlNode *
gen_index_page(Arena *arena, const GenShared *shared, HtmlNode *root, StrView path, IndexPageList *pages) {
  Arena *a = arena;
  if (html_node_is_nil(root)) root = html_node_create(a, HtmlNode_Document, 0, {}, {}, 0);

  //- the lists, emptied
  GenIndexList *lists = gen_index_lists(a, root);
  for (GenIndexList *l = lists; l; l = l->next) html_clear_content(l->node);

  //- the shared head and style sheets
  HtmlNode *html = gen_first_element(root, HtmlTagKind_Html);
  HtmlNode *head = default_head_element(a, shared, path);
  HtmlNode *own_title = html_nil_node;
  if (html_node_is_nil(html) && html_node_is_nil(root->first_child)) {
    //- an empty page becomes a whole document
    HtmlNode *doctype = html_element_create(a, HtmlTagKind_Doctype, {});
    html_set_attribute(a, doctype, HtmlAttrKind_Html, {});
    html_append_child(root, doctype);
    html = html_element_create(a, HtmlTagKind_Html, {});
    html_set_attribute(a, html, HtmlAttrKind_Lang, str_lit("en"));
    html_append_child(root, html);
  }
  if (!html_node_is_nil(html)) {
    HtmlNode *old_head = gen_first_element(html, HtmlTagKind_Head);
    own_title = gen_first_element(old_head, HtmlTagKind_Title);
    html_detach(old_head);
    html_insert(html, head, HtmlInsert_FirstChild);
  } else {
    //- a page that leaves out its html tag (HTML allows it) keeps its content where it
    //  is: the head goes first, after the doctype, and takes the page's own title
    HtmlNode *old_head = gen_first_element(root, HtmlTagKind_Head);
    own_title = gen_first_element(html_node_is_nil(old_head) ? root : old_head, HtmlTagKind_Title);
    html_detach(old_head);
    HtmlNode *first = root->first_child;
    if (!html_node_is_nil(first) && first->type == HtmlNode_Element && first->element->kind == HtmlTagKind_Doctype) {
      html_insert(first, head, HtmlInsert_After);
    } else {
      html_prepend_child(root, head);
    }
  }
  // The page's own title is the author's: it stays, in the new head.
  if (!html_node_is_nil(own_title) && html_node_is_nil(gen_first_element(head, HtmlTagKind_Title))) {
    html_detach(own_title);
    html_content_append(head, own_title);
  }
  HtmlNode *style = html_element_create(a, HtmlTagKind_Style, {});
  html_add_text(a, style, gen_page_default_css(a, shared, path));
  html_content_append(head, style);
  style = html_element_create(a, HtmlTagKind_Style, {});
  html_add_text(a, style, shared->tag_css);
  html_content_append(head, style);

  //- a link per page, in each list named after the folder that holds it
  RenderPageInfo index = {path, shared->root_path, 0};
  for (IndexPage *p = pages ? pages->first : 0; lists && p; p = p->next) {
    StrView folder = gen_page_folder_name(a, p->path);
    for (GenIndexList *l = lists; l; l = l->next) {
      if (!str_match(folder, l->folder, StrMatchFlag_CaseInsensitive)) continue;
      HtmlNode *link = html_element_create(a, HtmlTagKind_A, {});
      html_set_attribute(a, link, HtmlAttrKind_Href, render_escape_lt(a, render_page_link(a, &index, p->path)));
      html_add_text(a, link, render_escape_lt(a, p->title));
      // A list holds items, not links: each link gets its "li".
      u32 kind = l->node->element ? l->node->element->kind : 0;
      if (kind == HtmlTagKind_Ul || kind == HtmlTagKind_Ol) {
        HtmlNode *item = html_element_create(a, HtmlTagKind_Li, {});
        html_content_append(item, link);
        link = item;
      }
      html_content_append(l->node, link);
    }
  }

  return root;
}
