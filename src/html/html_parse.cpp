// The page parser: builds the node tree from the tokens as browsers build theirs where
// it matters for checking (optional end tags, "head" left open, SVG and MathML), and
// keeps every token's bytes in the tree, so a page written back is the page read.
// Conventions of this file:
//  1. The parser never stops: every problem is a diagnostic and the next token is read.
//  2. Open elements are an explicit stack; nothing recurses.
//  3. Errors raised here are counted apart from the validator's findings: the build
//     rewrites only pages that parse without error.
#include "html/html_core.h"
#include "site/site_path.h"

//~ URL values

// The value a check or a generated page may use: "~/" becomes the site root and
// separators fold. Hand-written pages never get it: their values stay as written.
StrView
html_normalize_url_value(Arena *arena, StrView site_root, StrView value) {
  StrView v = str_unquote(value);
  // A value with a scheme ("https:", "mailto:", "data:") or a network path ("//host")
  // is an address and is kept exactly as written.
  if (site_link_is_address(v)) return v;
  ArenaTemp scratch = scratch_begin(&arena, 1);
  //- "~/" stands for the site root
  if (site_root.length) {
    StrList pieces = {};
    u64 start = 0;
    for (u64 i = 0; i + 1 < v.length; i += 1) {
      if (v.data[i] == '~' && v.data[i + 1] == '/') {
        str_list_push(scratch.arena, &pieces, str_substr(v, start, i));
        start = i + 2;
        i += 1;
      }
    }
    str_list_push(scratch.arena, &pieces, str_substr(v, start, v.length));
    StrJoin join = {{}, site_root, {}};
    v = str_list_join(scratch.arena, &pieces, &join);
  }
  //- backslashes and doubled slashes become one "/": any run of them collapses, so a
  //  value normalised once stays the same when the page is read again
  u8 *out = push_array_no_zero(arena, u8, v.length + 1);
  u64 w = 0;
  for (u64 i = 0; i < v.length; i += 1) {
    u8 c = char_slash_fold(v.data[i]);
    if (c == '/' && w > 0 && out[w - 1] == '/') continue;
    out[w++] = c;
  }
  out[w] = 0;
  arena_pop(arena, v.length - w);
  StrView result = str_make(out, w);
  scratch_end(scratch);
  return result;
}

//~ Parser

struct HtmlBuilder {
  Arena *arena;
  Arena *scratch;
  StrView text;  // the page, as the document node holds it
  const HtmlTokenList *tokens;
  HtmlParseResult *result;
  u32 flags;
  HtmlNode **stack;  // open elements, the innermost last
  u64 depth;
  u64 cap;
  // How many elements of each kind are open: most lookups end here, so a page of
  // thousands of nested elements costs no walk down the stack per tag.
  u32 open_count[HtmlTagKind_COUNT];
  HtmlNode *root;
  bool seen_tag;      // a start tag, doctype or text other than blanks came before
  bool seen_doctype;
  bool seen_html;     // an "html" start tag
  bool seen_title;
  bool warned_lang;
  // Findings made at the end about earlier places; merged in by position.
  DiagnosticList *late;
};

static const char *html_lex_messages[] = {
    "",
    "a \"<\" that starts no tag: write it as &lt;",
    "the text ends inside this tag: close it with \">\"",
    "this comment is never closed: end it with \"-->\"",
    "\"</>\" is no tag: browsers drop it; remove it",
    "this is no tag and no comment (\"<!--\" starts a comment): browsers make it a comment; remove it",
    "\"<?\" starts no tag in HTML: browsers make it a comment; remove it or write <!-- -->",
    "a comment cannot be \"<!-->\" or \"<!--->\": write <!-- -->",
    "this comment ends with \"--!>\": end it with \"-->\"",
    "a quote or \"<\" in an attribute name: a \"=\" or a blank is missing before it",
    "a quote, \"<\" or \"`\" in a value without quotes: put the value between double quotes",
    "a blank is missing between these attributes",
    "\"=\" with no value before \">\": write the value, or remove the \"=\"",
    "a \"/\" inside a tag that does not end it: remove it",
    "an attribute name cannot begin with \"=\": remove it",
    "control characters in the text (is this an HTML file?): remove them",
    "the doctype is never closed: end it with \">\"",
    "\"=\" in a value without quotes: put the value between double quotes",
};

// Every error counts; its message is formatted only while the list keeps diagnostics,
// since a binary file raises many.
static void
html_error_at(HtmlBuilder *b, u32 severity, u64 offset, const char *fmt, ...) {
  DiagnosticList *list = b->late ? b->late : &b->result->diagnostics;
  StrView message = {};
  if (diag_list_keeps(list)) {
    va_list args;
    va_start(args, fmt);
    message = str_pushfv(b->arena, fmt, args);
    va_end(args);
  }
  diag_push(b->arena, list, offset, severity, message);
  if (severity >= DiagSeverity_Error) b->result->parse_errors += 1;
}

static bool
html_checked(HtmlBuilder *b) {
  return (b->flags & HtmlCheck_UnknownElements) != 0;
}

//~ The stack of open elements

static HtmlNode *
html_top(HtmlBuilder *b) {
  return b->depth ? b->stack[b->depth - 1] : html_nil_node;
}

static u32
html_kind_at(HtmlBuilder *b, u64 k) {
  HtmlNode *e = b->stack[k];
  return (e->flags & HtmlNodeFlag_Foreign) ? 0 : e->element->kind;
}

static HtmlNode *
html_container(HtmlBuilder *b) {
  return b->depth ? b->stack[b->depth - 1]->last_child : b->root;
}

// Walks down the stack look at most this many elements: past it, a page nested that
// deep gets an element's end reported where a browser would still find it, and no tag
// costs more than this.
#define HTML_STACK_WALK_MAX 512

static void
html_pop_to(HtmlBuilder *b, u64 depth) {
  while (b->depth > depth) {
    HtmlNode *e = b->stack[--b->depth];
    if (!(e->flags & HtmlNodeFlag_Foreign)) b->open_count[e->element->kind] -= 1;
  }
}

static void
html_pop(HtmlBuilder *b) {
  if (b->depth) html_pop_to(b, b->depth - 1);
}

static void
html_push_open(HtmlBuilder *b, HtmlNode *e) {
  if (b->depth == b->cap) {
    u64 cap = b->cap ? b->cap * 2 : 64;
    HtmlNode **grown = push_array_no_zero(b->scratch, HtmlNode *, cap);
    if (b->depth) memcpy(grown, b->stack, b->depth * sizeof(HtmlNode *));
    b->stack = grown;
    b->cap = cap;
  }
  b->stack[b->depth++] = e;
  if (!(e->flags & HtmlNodeFlag_Foreign)) b->open_count[e->element->kind] += 1;
}

static bool
html_end_optional(HtmlNode *e) {
  return !(e->flags & HtmlNodeFlag_Foreign) && (e->element->content & HtmlContent_OptionalEnd);
}

// Closes every element above index `k` (and, with `inclusive`, the one at `k`), as an
// end tag or a start tag that implies their end does; those whose end tag may not be
// left out are reported.
static void
html_close_to(HtmlBuilder *b, u64 k, bool inclusive, StrView cause) {
  for (u64 j = b->depth; j > k + 1; j -= 1) {
    HtmlNode *open = b->stack[j - 1];
    if (html_end_optional(open)) continue;
    html_error_at(b, DiagSeverity_Error, open->source_offset, "<%S> is not closed before %S: add </%S>", &open->text,
                  &cause, &open->text);
  }
  html_pop_to(b, inclusive ? k : k + 1);
}

// Where an element of `kind` stands open, looking down no further than the elements
// that fence it off (a table for what is outside it, a list for its items); -1 if none.
enum HtmlScope : u32 {
  HtmlScope_Default,
  HtmlScope_Button,
  HtmlScope_ListItem,
  HtmlScope_Table,
};

static bool
html_scope_fence(u32 kind, u32 scope) {
  switch (kind) {
    case HtmlTagKind_Html:
    case HtmlTagKind_Table:
    case HtmlTagKind_Template: return true;
    case HtmlTagKind_Td:
    case HtmlTagKind_Th:
    case HtmlTagKind_Caption:
    case HtmlTagKind_Applet:
    case HtmlTagKind_Marquee:
    case HtmlTagKind_Object: return scope != HtmlScope_Table;
    case HtmlTagKind_Button: return scope == HtmlScope_Button;
    case HtmlTagKind_Ol:
    case HtmlTagKind_Ul: return scope == HtmlScope_ListItem;
    default: return false;
  }
}

static s64
html_open_in_scope(HtmlBuilder *b, u32 kind, u32 scope) {
  if (!b->open_count[kind]) return -1;
  u64 floor = b->depth > HTML_STACK_WALK_MAX ? b->depth - HTML_STACK_WALK_MAX : 0;
  for (u64 j = b->depth; j > floor; j -= 1) {
    HtmlNode *e = b->stack[j - 1];
    if (e->flags & HtmlNodeFlag_Foreign) {
      // An SVG or MathML root fences off what is outside it.
      if (e->element->content & HtmlContent_Foreign) return -1;
      continue;
    }
    if (e->element->kind == kind) return (s64)(j - 1);
    if (html_scope_fence(e->element->kind, scope)) return -1;
  }
  return -1;
}

static void
html_close_kind(HtmlBuilder *b, u32 kind, u32 scope, StrView cause) {
  s64 k = html_open_in_scope(b, kind, scope);
  if (k >= 0) html_close_to(b, (u64)k, true, cause);
}

//~ Nodes from tokens

static HtmlNode *
html_make(HtmlBuilder *b, u32 type, u64 flags, StrView text, u64 offset) {
  HtmlNode *n = push_struct(b->arena, HtmlNode);
  n->next = n->prev = n->parent = n->first_child = n->last_child = html_nil_node;
  n->element = html_element_empty_row();
  n->attribute = html_attribute_empty_row();
  n->type = type;
  n->flags = flags;
  n->text = n->raw = text;
  n->source_offset = offset;
  return n;
}

static StrView
html_span(HtmlBuilder *b, u64 start, u64 end) {
  return str_substr(b->text, start, end);
}

static void
html_add_markup(HtmlBuilder *b, const HtmlToken *t, u64 flags) {
  HtmlNode *m = html_make(b, HtmlNode_Markup, flags, html_span(b, t->start, t->end), t->start);
  html_append_child(html_container(b), m);
}

static HtmlNode *
html_element_from_tag(HtmlBuilder *b, const HtmlToken *t, bool foreign) {
  StrView name = html_span(b, t->name_start, t->name_end);
  u64 flags = HtmlNodeFlag_Source | (foreign ? (u64)HtmlNodeFlag_Foreign : 0);
  if (t->flags & HtmlLexFlag_SelfClosing) flags |= HtmlNodeFlag_SelfClosed;
  HtmlNode *e = html_make(b, HtmlNode_Element, flags, name, t->start);
  e->raw = html_span(b, t->start, t->end);
  const HtmlElementInfo *row = html_element_info_by_name(name);
  if (row) e->element = row;
  HtmlNode *list = html_make(b, HtmlNode_AttributeList, 0, {}, t->start);
  html_append_child(e, list);
  for (u64 k = 0; k < t->attr_count; k += 1) {
    const HtmlTokenAttr *a = &b->tokens->attrs[t->attr_first + k];
    StrView attr_name = html_span(b, a->name_start, a->name_end);
    HtmlNode *attr = html_make(b, HtmlNode_Attribute, 0, attr_name, a->name_start);
    const HtmlAttributeInfo *attr_row = html_attribute_info_by_name(attr_name);
    if (attr_row) attr->attribute = attr_row;
    html_append_child(list, attr);
    if (attr->attribute->value_type == HtmlAttrValue_Url) e->flags |= HtmlNodeFlag_HasUrl;
    if (a->value_end == a->value_start) continue;
    StrView value = html_span(b, a->value_start, a->value_end);
    u64 value_flags = 0;
    if (a->quote) {
      value = str_substr(value, 1, value.length - 1);
      value_flags = HtmlNodeFlag_String | (a->quote == '"' ? HtmlNodeFlag_DoubleQuoted : HtmlNodeFlag_SingleQuoted);
    }
    HtmlNode *v = html_make(b, HtmlNode_AttributeValue, value_flags, value, a->value_start);
    // The span of the value in the page, quotes included: links are read from it.
    v->source_length = a->value_end - a->value_start;
    html_append_child(attr, v);
  }
  HtmlNode *content = html_make(b, HtmlNode_Content, 0, {}, t->end);
  html_append_child(e, content);
  return e;
}

//~ Start tags

static bool
html_is_heading(u32 kind) {
  return kind >= HtmlTagKind_H1 && kind <= HtmlTagKind_H6;
}

// "li", "dd" and "dt" end an open item of their kind, looking down to the nearest
// element that is no paragraph or division.
static void
html_close_item(HtmlBuilder *b, u32 kind, StrView cause) {
  bool open = kind == HtmlTagKind_Li ? b->open_count[HtmlTagKind_Li] != 0
                                     : (b->open_count[HtmlTagKind_Dd] | b->open_count[HtmlTagKind_Dt]) != 0;
  if (!open) return;
  u64 floor = b->depth > HTML_STACK_WALK_MAX ? b->depth - HTML_STACK_WALK_MAX : 0;
  for (u64 j = b->depth; j > floor; j -= 1) {
    HtmlNode *e = b->stack[j - 1];
    if (e->flags & HtmlNodeFlag_Foreign) return;
    u32 k = e->element->kind;
    bool item = kind == HtmlTagKind_Li ? k == HtmlTagKind_Li : (k == HtmlTagKind_Dd || k == HtmlTagKind_Dt);
    if (item) {
      html_close_to(b, j - 1, true, cause);
      return;
    }
    bool passes = k == HtmlTagKind_Address || k == HtmlTagKind_Div || k == HtmlTagKind_P || k == 0 ||
                  !(e->element->content & (HtmlContent_ClosesP | HtmlContent_OptionalEnd));
    if (!passes || k == HtmlTagKind_Body || k == HtmlTagKind_Html) return;
  }
}

// What a start tag ends before it opens: a paragraph, a list item, a table cell.
static void
html_implied_ends(HtmlBuilder *b, const HtmlElementInfo *row, u64 at, StrView cause) {
  u32 kind = row->kind;
  HtmlNode *top = html_top(b);
  u32 top_kind = b->depth ? html_kind_at(b, b->depth - 1) : (u32)HtmlTagKind_None;
  //- a "head" left open ends at the first thing that cannot stand in it
  if (top_kind == HtmlTagKind_Head && !(row->content & HtmlContent_InHead)) html_pop(b);
  if (row->content & HtmlContent_ClosesP) html_close_kind(b, HtmlTagKind_P, HtmlScope_Button, cause);
  switch (kind) {
    case HtmlTagKind_Li:
    case HtmlTagKind_Dd:
    case HtmlTagKind_Dt: html_close_item(b, kind, cause); break;
    case HtmlTagKind_Option:
      if (top_kind == HtmlTagKind_Option) html_pop(b);
      break;
    case HtmlTagKind_Optgroup:
      if (b->depth && html_kind_at(b, b->depth - 1) == HtmlTagKind_Option) html_pop(b);
      if (b->depth && html_kind_at(b, b->depth - 1) == HtmlTagKind_Optgroup) html_pop(b);
      break;
    case HtmlTagKind_Td:
    case HtmlTagKind_Th:
    case HtmlTagKind_Tr:
    case HtmlTagKind_Tbody:
    case HtmlTagKind_Thead:
    case HtmlTagKind_Tfoot:
    case HtmlTagKind_Caption:
    case HtmlTagKind_Colgroup: {
      html_close_kind(b, HtmlTagKind_Td, HtmlScope_Table, cause);
      html_close_kind(b, HtmlTagKind_Th, HtmlScope_Table, cause);
      if (kind == HtmlTagKind_Td || kind == HtmlTagKind_Th) break;
      html_close_kind(b, HtmlTagKind_Tr, HtmlScope_Table, cause);
      if (kind == HtmlTagKind_Tr) break;
      html_close_kind(b, HtmlTagKind_Tbody, HtmlScope_Table, cause);
      html_close_kind(b, HtmlTagKind_Thead, HtmlScope_Table, cause);
      html_close_kind(b, HtmlTagKind_Tfoot, HtmlScope_Table, cause);
      html_close_kind(b, HtmlTagKind_Caption, HtmlScope_Table, cause);
      html_close_kind(b, HtmlTagKind_Colgroup, HtmlScope_Table, cause);
    } break;
    case HtmlTagKind_Rb:
    case HtmlTagKind_Rp:
    case HtmlTagKind_Rt:
    case HtmlTagKind_Rtc:
      while (b->depth) {
        u32 k = html_kind_at(b, b->depth - 1);
        if (k != HtmlTagKind_Rb && k != HtmlTagKind_Rp && k != HtmlTagKind_Rt && k != HtmlTagKind_Rtc) break;
        if (k == HtmlTagKind_Rtc && kind == HtmlTagKind_Rt) break;
        html_pop(b);
      }
      break;
    case HtmlTagKind_A: {
      s64 k = html_open_in_scope(b, HtmlTagKind_A, HtmlScope_Default);
      if (k >= 0) {
        html_error_at(b, DiagSeverity_Error, at, "a link inside a link: close the first with </a>");
        html_close_to(b, (u64)k, true, cause);
      }
    } break;
    case HtmlTagKind_Button: {
      s64 k = html_open_in_scope(b, HtmlTagKind_Button, HtmlScope_Default);
      if (k >= 0) {
        html_error_at(b, DiagSeverity_Error, at, "a button inside a button: close the first with </button>");
        html_close_to(b, (u64)k, true, cause);
      }
    } break;
    default:
      if (html_is_heading(kind) && html_is_heading(top_kind) && top == html_top(b)) {
        html_error_at(b, DiagSeverity_Error, at, "a heading inside a heading: close <%S> first", &top->text);
        html_pop(b);
      }
      break;
  }
}

static bool
html_is_island(HtmlNode *e) {
  return str_match(e->text, str_lit("foreignObject"), StrMatchFlag_CaseInsensitive) ||
         str_match(e->text, str_lit("desc"), StrMatchFlag_CaseInsensitive) ||
         str_match(e->text, str_lit("title"), StrMatchFlag_CaseInsensitive) ||
         str_match(e->text, str_lit("annotation-xml"), StrMatchFlag_CaseInsensitive);
}

// The elements open now are SVG or MathML, not one of their HTML islands.
static bool
html_in_foreign(HtmlBuilder *b) {
  HtmlNode *top = html_top(b);
  return (top->flags & HtmlNodeFlag_Foreign) && !html_is_island(top);
}

static void
html_start_tag(HtmlBuilder *b, const HtmlToken *t) {
  StrView name = html_span(b, t->name_start, t->name_end);
  bool self_closing = t->flags & HtmlLexFlag_SelfClosing;
  const HtmlElementInfo *row = html_element_info_by_name(name);
  bool foreign = html_in_foreign(b);
  if (foreign && html_breaks_out_of_foreign(name)) {
    //- HTML's own elements end SVG and MathML, as browsers have it
    html_error_at(b, DiagSeverity_Error, t->start, "<%S> inside SVG or MathML: close them before it", &name);
    while (b->depth && (html_top(b)->flags & HtmlNodeFlag_Foreign)) html_pop(b);
    foreign = false;
  }
  if (foreign) {
    HtmlNode *e = html_element_from_tag(b, t, true);
    html_append_child(html_container(b), e);
    if (!self_closing) html_push_open(b, e);
    b->seen_tag = true;
    return;
  }
  StrView cause = str_pushf(b->scratch, "<%S>", &name);
  if (row) html_implied_ends(b, row, t->start, cause);
  else if (b->depth && html_kind_at(b, b->depth - 1) == HtmlTagKind_Head) html_pop(b);
  u32 kind = row ? row->kind : 0;
  //- the document's own parts: a second "html" or "body" adds to the first
  if ((kind == HtmlTagKind_Html && b->seen_html) ||
      (kind == HtmlTagKind_Body && html_open_in_scope(b, HtmlTagKind_Body, HtmlScope_Default) >= 0)) {
    html_error_at(b, DiagSeverity_Error, t->start, "a second <%S> start tag: remove it", &name);
    HtmlNode *e = html_element_from_tag(b, t, false);
    e->flags |= HtmlNodeFlag_SelfClosed;  // it holds nothing: what follows stays where it is
    html_append_child(html_container(b), e);
    return;
  }
  bool checked = html_checked(b);
  b->seen_tag = true;
  HtmlNode *e = html_element_from_tag(b, t, row && (row->content & HtmlContent_Foreign));
  html_append_child(html_container(b), e);
  if (kind == HtmlTagKind_Html) {
    b->seen_html = true;
    if (checked && html_node_is_nil(html_find_attribute(e, HtmlAttrKind_Lang)) && !b->warned_lang) {
      b->warned_lang = true;
      html_error_at(b, DiagSeverity_Warning, t->start,
                    "<html> has no lang attribute: add the page's language (lang=\"en\", lang=\"fr\") for screen "
                    "readers and translators");
    }
  }
  if (kind == HtmlTagKind_Title) b->seen_title = true;
  bool is_void = row && (row->content & HtmlContent_Void);
  if (self_closing && !is_void && !(e->flags & HtmlNodeFlag_Foreign)) {
    html_error_at(b, DiagSeverity_Error, t->start,
                  "\"/>\" does not close <%S> in HTML (only void elements such as <br/> may end so): write <%S></%S>",
                  &name, &name, &name);
    e->flags &= ~(u64)HtmlNodeFlag_SelfClosed;
  }
  if (is_void || ((e->flags & HtmlNodeFlag_Foreign) && self_closing)) return;
  html_push_open(b, e);
}

//~ End tags

static bool
html_same_name(HtmlNode *e, StrView name) {
  return str_match(e->text, name, StrMatchFlag_CaseInsensitive);
}

static void
html_close_element(HtmlBuilder *b, u64 k, const HtmlToken *t, StrView cause) {
  HtmlNode *e = b->stack[k];
  html_close_to(b, k, true, cause);
  e->last_child->raw = html_span(b, t->start, t->end);
}

static void
html_end_tag(HtmlBuilder *b, const HtmlToken *t) {
  StrView name = html_span(b, t->name_start, t->name_end);
  if (t->attr_count) {
    html_error_at(b, DiagSeverity_Error, t->start, "an end tag has no attributes: remove them from </%S>", &name);
  }
  StrView cause = str_pushf(b->scratch, "</%S>", &name);
  //- SVG and MathML: the nearest open element of that name, up to the HTML around them
  u64 floor = b->depth > HTML_STACK_WALK_MAX ? b->depth - HTML_STACK_WALK_MAX : 0;
  for (u64 j = b->depth; j > floor && (b->stack[j - 1]->flags & HtmlNodeFlag_Foreign); j -= 1) {
    if (html_same_name(b->stack[j - 1], name)) {
      html_close_element(b, j - 1, t, cause);
      return;
    }
  }
  const HtmlElementInfo *row = html_element_info_by_name(name);
  u32 kind = row ? row->kind : 0;
  u32 scope = HtmlScope_Default;
  if (kind == HtmlTagKind_Li) scope = HtmlScope_ListItem;
  else if (kind == HtmlTagKind_P) scope = HtmlScope_Button;
  else if (kind == HtmlTagKind_Tr || kind == HtmlTagKind_Td || kind == HtmlTagKind_Th || kind == HtmlTagKind_Tbody ||
           kind == HtmlTagKind_Thead || kind == HtmlTagKind_Tfoot || kind == HtmlTagKind_Table)
    scope = HtmlScope_Table;
  s64 k = -1;
  if (kind) {
    k = html_open_in_scope(b, kind, scope);
    // "</body>" and "</html>" end the document wherever they stand.
    if (k < 0 && (kind == HtmlTagKind_Body || kind == HtmlTagKind_Html)) {
      for (u64 j = b->depth; j > 0 && k < 0 && b->open_count[kind]; j -= 1) {
        if (html_kind_at(b, j - 1) == kind) k = (s64)(j - 1);
      }
    }
  } else {
    for (u64 j = b->depth; j > floor; j -= 1) {
      HtmlNode *e = b->stack[j - 1];
      if (html_same_name(e, name)) {
        k = (s64)(j - 1);
        break;
      }
      if (!(e->flags & HtmlNodeFlag_Foreign) && html_scope_fence(e->element->kind, HtmlScope_Default)) break;
    }
  }
  if (k >= 0) {
    html_close_element(b, (u64)k, t, cause);
    return;
  }
  //- an end tag that closes nothing stays as written
  bool head_after = kind == HtmlTagKind_Head && b->seen_tag;
  if (!head_after && !(kind == HtmlTagKind_Body || kind == HtmlTagKind_Html)) {
    if (row && (row->content & HtmlContent_Void)) {
      html_error_at(b, DiagSeverity_Error, t->start, "<%S> has no end tag: remove </%S>", &name, &name);
    } else if (kind == HtmlTagKind_P) {
      html_error_at(b, DiagSeverity_Error, t->start,
                    "</p> with no paragraph open: browsers add an empty paragraph here; remove it");
    } else {
      html_error_at(b, DiagSeverity_Error, t->start, "</%S> closes nothing: no <%S> is open here; remove it", &name,
                    &name);
    }
  }
  html_add_markup(b, t, 0);
}

//~ The page

HtmlParseResult
html_parse(Arena *arena, StrView source, StrView path, HtmlTokenList tokens, u32 flags, StrView site_root) {
  (void)path;
  (void)site_root;  // values are kept as written; the root serves html_normalize_url_value
  HtmlParseResult result = {};
  ArenaTemp scratch = scratch_begin(&arena, 1);
  HtmlBuilder builder = {};
  HtmlBuilder *b = &builder;
  b->arena = arena;
  b->scratch = scratch.arena;
  b->tokens = &tokens;
  b->result = &result;
  b->flags = flags;
  result.check_flags = flags;
  result.root = html_node_create(arena, HtmlNode_Document, 0, {}, source, 0);
  b->root = result.root;
  b->text = result.root->text;

  //- the tokenizer's findings, in page order with the tree's
  u64 next_finding = 0;
  for (u64 i = 0; i < tokens.count; i += 1) {
    const HtmlToken *t = &tokens.tokens[i];
    while (next_finding < tokens.finding_count && tokens.findings[next_finding].offset < t->end) {
      const HtmlLexFinding *f = &tokens.findings[next_finding++];
      u32 severity = f->error == HtmlLexError_EqualsInUnquotedValue ? (u32)DiagSeverity_Warning : (u32)DiagSeverity_Error;
      html_error_at(b, severity, f->offset, "%s", html_lex_messages[f->error]);
    }
    switch (t->kind) {
      case HtmlLex_Text: {
        StrView text = html_span(b, t->start, t->end);
        bool blank = true;
        for (u64 k = 0; k < text.length && blank; k += 1) {
          u8 c = text.data[k];
          // A byte-order mark stands before everything and is no text to a browser.
          if (k == 0 && t->start == 0 && text.length >= 3 && memcmp(text.data, "\xEF\xBB\xBF", 3) == 0) {
            k = 2;
            continue;
          }
          blank = c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
        }
        if (!blank && !(t->flags & HtmlLexFlag_RawText)) {
          if (b->depth && html_kind_at(b, b->depth - 1) == HtmlTagKind_Head) html_pop(b);
          b->seen_tag = true;
        }
        HtmlNode *n = html_make(b, HtmlNode_Content, 0, text, t->start);
        n->source_length = t->end - t->start;
        html_append_child(html_container(b), n);
      } break;
      case HtmlLex_StartTag: html_start_tag(b, t); break;
      case HtmlLex_EndTag: html_end_tag(b, t); break;
      case HtmlLex_Doctype: {
        if (b->seen_tag || b->seen_doctype) {
          html_error_at(b, DiagSeverity_Error, t->start,
                        "the doctype must come first, before any tag or text: move it to the top");
        }
        b->seen_doctype = true;
        HtmlNode *e = html_make(b, HtmlNode_Element, HtmlNodeFlag_Source, html_span(b, t->name_start, t->name_end),
                                t->start);
        e->element = html_element_info_by_kind(HtmlTagKind_Doctype);
        e->raw = html_span(b, t->start, t->end);
        html_append_child(e, html_make(b, HtmlNode_AttributeList, 0, {}, t->start));
        html_append_child(e, html_make(b, HtmlNode_Content, 0, {}, t->end));
        html_append_child(html_container(b), e);
      } break;
      case HtmlLex_Comment: html_add_markup(b, t, HtmlNodeFlag_Comment); break;
      default: html_add_markup(b, t, 0); break;
    }
  }
  while (next_finding < tokens.finding_count) {
    const HtmlLexFinding *f = &tokens.findings[next_finding++];
    u32 severity = f->error == HtmlLexError_EqualsInUnquotedValue ? (u32)DiagSeverity_Warning : (u32)DiagSeverity_Error;
    html_error_at(b, severity, f->offset, "%s", html_lex_messages[f->error]);
  }

  //- what the whole page tells, at the places it concerns
  DiagnosticList late = {};
  b->late = &late;
  if (!b->seen_title) html_error_at(b, DiagSeverity_Warning, 0, "document missing title");
  //- elements still open whose end tag may not be left out
  for (u64 j = 0; j < b->depth; j += 1) {
    HtmlNode *e = b->stack[j];
    if (html_end_optional(e)) continue;
    html_error_at(b, DiagSeverity_Error, e->source_offset, "<%S> is never closed: add </%S>", &e->text, &e->text);
  }
  diag_merge(&result.diagnostics, &late);
  scratch_end(scratch);
  return result;
}

HtmlParseResult
html_check_text(Arena *arena, StrView text, StrView path, u32 flags, StrView site_root) {
  HtmlParseResult r = {};
  if (text.length == 0) return r;
  r = html_parse(arena, text, path, html_tokenize(arena, text), flags, site_root);
  html_validate(arena, &r);
  if (flags & HtmlParse_AttributeChecks) html_collect_links(arena, &r);
  return r;
}
