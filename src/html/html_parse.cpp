// The HTML tokenizer and the tolerant parser. Conventions of this file:
//  1. The parser never stops: every problem is a diagnostic and the next token is read.
//  2. Each open element holds two frames: its start tag's and its content's (or raw text's).
//  3. Errors raised here are counted apart from the validator's findings, so the build
//     can leave a page with a doubtful tree untouched.
#include "html/html_core.h"
#include "site/site_path.h"

//~ Tokenizer

static inline bool
html_is_word_continue(u8 c) {
  return char_is_letter(c) || char_is_digit(c) || c >= 0xc0 || c == '!' || c == '(' || c == ')' || c == '-' ||
         c == '?' || c == '[' || c == ']';
}

static inline bool
html_is_symbol_continue(u8 c) {
  return c == '$' || c == '%' || c == '&' || c == '*' || c == '+' || c == '-' || c == '.' || c == '/' || c == '?' ||
         c == '^' || c == '{' || c == '|' || c == '}' || c == '~';
}

// A byte no token rule takes: control bytes, DEL, a UTF-8 continuation with no lead.
static inline bool
html_is_other_byte(u8 c) {
  return (c < 0x20 && c != '\t' && c != 0x0b && c != '\r' && c != '\n') || c == 0x7f || (c >= 0x80 && c < 0xc0);
}

static inline bool
html_is_punct(u8 c) {
  return (c >= 0x21 && c <= 0x2f) || (c >= 0x3a && c <= 0x40) || (c >= 0x5b && c <= 0x60) || (c >= 0x7b && c <= 0x7e);
}

// Length of a character reference at i, or 0.
static u64
html_entity_length(StrView s, u64 i) {
  static const char *refs[] = {"&gt;", "&amp;", "&apos;", "&quot;", "&#47;", "&#45;"};
  for (const char *r : refs) {
    StrView ref = str_from_cstr(r);
    if (str_match(ref, str_skip(s, i), StrMatchFlag_Prefix)) return ref.length;
  }
  if (str_match(str_lit("&lt"), str_skip(s, i), StrMatchFlag_Prefix)) return 3;
  return 0;
}

HtmlTokenList
html_tokenize(Arena *arena, StrView source) {
  HtmlTokenList list = {};
  u64 n = source.length;
  if (n == 0) return list;
  const u8 *s = source.data;
  // No token is empty: the source length bounds the count; the tail is given back.
  HtmlToken *tokens = push_array_no_zero(arena, HtmlToken, n);
  u64 count = 0;
  for (u64 i = 0; i < n;) {
    u8 c = s[i];
    u8 c1 = i + 1 < n ? s[i + 1] : 0;
    u64 len = 1;
    u32 kind = 0;
    if (c == '\t' || c == 0x0b || c == '\r' || c == ' ') {
      //- [1] blanks; a line feed alone
      kind = HtmlToken_Space;
      while (i + len < n && (s[i + len] == '\t' || s[i + len] == 0x0b || s[i + len] == '\r' || s[i + len] == ' ')) {
        len += 1;
      }
    } else if (c == '\n') {
      kind = HtmlToken_Newline;
    } else if ((c == '<' && c1 == '/') || (c == '/' && c1 == '>')) {
      //- [2] markup
      kind = HtmlToken_Markup;
      len = 2;
    } else if (c == '<' || c == '=' || c == '>') {
      kind = HtmlToken_Markup;
    } else if (char_is_letter(c) || c >= 0xc0) {
      //- [3] words
      kind = HtmlToken_Word;
      while (i + len < n && html_is_word_continue(s[i + len])) len += 1;
    } else if (char_is_digit(c) || ((c == '.' || c == '-') && char_is_digit(c1))) {
      //- [4] numbers
      kind = HtmlToken_Number;
      while (i + len < n && (s[i + len] == '.' || char_is_digit(s[i + len]) || char_is_letter(s[i + len]))) len += 1;
    } else if (c == '&' && html_entity_length(source, i)) {
      //- [5] character references
      kind = HtmlToken_Entity | HtmlToken_Symbols;
      len = html_entity_length(source, i);
    } else if (c == '"' || c == '\'') {
      //- [6] strings; cut at a "<", broken at the end
      kind = HtmlToken_String | (c == '"' ? HtmlToken_DoubleQuoted : HtmlToken_SingleQuoted);
      u64 j = i + 1;
      while (j < n && s[j] != c && s[j] != '<') j += 1;
      if (j >= n) {
        kind |= HtmlToken_Broken;
        len = n - i;
      } else if (s[j] == '<') {
        kind |= c == '"' ? HtmlToken_Broken : HtmlToken_SingleCut;
        len = 1;
      } else {
        len = j + 1 - i;
      }
    } else if (html_is_punct(c)) {
      //- [7] symbols
      kind = HtmlToken_Symbols;
      while (i + len < n && html_is_symbol_continue(s[i + len])) {
        if (s[i + len] == '/' && i + len + 1 < n && s[i + len + 1] == '>') break;  // "/>" stays markup
        len += 1;
      }
    } else {
      //- [8] anything else; a run of such bytes is one token (a binary file would cost a
      //  token per byte), its diagnostics still one per byte (html_unexpected)
      kind = HtmlToken_Other;
      // Right after markup (blanks and a "!" between) a byte stands alone: what follows
      // "<" or "=" is read one token at a time, and its message names that one byte.
      u64 back = count;
      while (back && (tokens[back - 1].kind & (HtmlToken_Space | HtmlToken_Newline))) back -= 1;
      if (back && tokens[back - 1].end - tokens[back - 1].start == 1 && s[tokens[back - 1].start] == '!') back -= 1;
      bool after_markup = back && (tokens[back - 1].kind & HtmlToken_Markup);
      if (html_is_other_byte(c) && !after_markup) {
        while (i + len < n && html_is_other_byte(s[i + len])) len += 1;
      }
    }
    tokens[count].start = i;
    tokens[count].end = i + len;
    tokens[count].kind = kind;
    count += 1;
    i += len;
  }
  arena_pop(arena, (n - count) * sizeof(HtmlToken));
  list.tokens = tokens;
  list.count = count;
  return list;
}

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

enum HtmlParseState : u32 {
  HtmlParseState_Top = 0,
  HtmlParseState_StartTag = 1,
  HtmlParseState_AttrValue = 2,
  HtmlParseState_AttrName = 3,
  HtmlParseState_RawText = 4,
  HtmlParseState_Content = 5,
};

struct HtmlFrame {
  HtmlFrame *parent;
  u32 state;
  HtmlNode *node;     // the node the state fills
  HtmlNode *element;  // the element the frame belongs to
};

struct HtmlParser {
  Arena *arena;
  StrView source;
  HtmlToken *tokens;
  u64 count;
  u64 i;
  u32 flags;
  HtmlFrame bottom;
  HtmlFrame *top;
  HtmlFrame *free_list;
  Arena *scratch;
  HtmlParseResult *result;
  HtmlNode *title;
  HtmlNode *skeleton[3];  // "!DOCTYPE", "html", "head", waiting to be placed
  u64 skeleton_waiting;
  HtmlNode *skeleton_html;
  // Element kinds already in the tree: the skeleton asks this instead of searching
  // the tree for every element.
  u8 kind_in_tree[HtmlTagKind_COUNT];
};

static const HtmlToken html_end_token = {0, 0, 0};

static inline const HtmlToken *
html_tok(HtmlParser *p, u64 j) {
  return j < p->count ? &p->tokens[j] : &html_end_token;
}

static inline StrView
html_tok_text(HtmlParser *p, u64 j) {
  const HtmlToken *t = html_tok(p, j);
  return str_substr(p->source, t->start, t->end);
}

static inline bool
html_tok_is(HtmlParser *p, u64 j, const char *text) {
  return j < p->count && str_equal(html_tok_text(p, j), str_from_cstr(text));
}

static u64
html_flags_from_token(u32 kind) {
  u64 f = 0;
  if (kind & HtmlToken_SingleQuoted) f |= HtmlNodeFlag_SingleQuoted;
  if (kind & HtmlToken_DoubleQuoted) f |= HtmlNodeFlag_DoubleQuoted;
  if (kind & HtmlToken_Number) f |= HtmlNodeFlag_Number;
  if (kind & HtmlToken_Word) f |= HtmlNodeFlag_Word;
  if (kind & HtmlToken_String) f |= HtmlNodeFlag_String;
  if (kind & HtmlToken_Symbols) f |= HtmlNodeFlag_Symbols;
  return f;
}

static HtmlFrame *
html_push(HtmlParser *p, u32 state, HtmlNode *node, HtmlNode *element) {
  HtmlFrame *f;
  FrameAlloc(p->free_list, p->scratch, HtmlFrame, f);
  f->parent = p->top;
  f->state = state;
  f->node = node;
  f->element = element;
  p->top = f;
  return f;
}

static void
html_pop(HtmlParser *p) {
  if (p->top == &p->bottom) return;
  FrameRelease(p->top, p->free_list);
}

// Every error counts; its message is formatted only while the list keeps diagnostics,
// since a binary file raises one per byte.
static void
html_error_at(HtmlParser *p, u32 severity, u64 offset, const char *fmt, ...) {
  StrView message = {};
  if (diag_list_keeps(&p->result->diagnostics)) {
    va_list args;
    va_start(args, fmt);
    message = str_pushfv(p->arena, fmt, args);
    va_end(args);
  }
  diag_push(p->arena, &p->result->diagnostics, offset, severity, message);
  if (severity >= DiagSeverity_Error) p->result->parse_errors += 1;
}

static void
html_unexpected(HtmlParser *p, u64 j) {
  const HtmlToken *t = html_tok(p, j);
  StrView text = html_tok_text(p, j);
  if (!(t->kind & HtmlToken_Other) || text.length < 2) {
    html_error_at(p, DiagSeverity_Error, t->start, "Unexpected \"%S\" token.", &text);
    return;
  }
  //- a run of unusable bytes: one error per byte, as if each were a token of its own,
  //  those past the kept diagnostics counted at once
  u64 at = t->start;
  for (; at < t->end && diag_list_keeps(&p->result->diagnostics); at += 1) {
    StrView byte = str_substr(p->source, at, at + 1);
    html_error_at(p, DiagSeverity_Error, at, "Unexpected \"%S\" token.", &byte);
  }
  diag_count(&p->result->diagnostics, DiagSeverity_Error, t->end - at);
  p->result->parse_errors += t->end - at;
}

// The node a new element or text goes under in the current frame.
static HtmlNode *
html_current_container(HtmlParser *p) {
  return p->top->node;
}

static void
html_mark_in_tree(HtmlParser *p, HtmlNode *root) {
  for (HtmlNode *n = root; !html_node_is_nil(n); n = html_next_preorder(n, root)) {
    if (n->type == HtmlNode_Element) p->kind_in_tree[n->element->kind] = 1;
  }
}

static void
html_place_skeleton(HtmlParser *p, HtmlNode *element) {
  if (!p->skeleton_waiting) return;
  //- the first parent name that is a row gives the parent kind
  StrView semi[1] = {str_lit(";")};
  StrList parents = str_split(p->scratch, element->element->allowed_parents, semi, 1);
  u32 parent_kind = 0;
  for (StrNode *n = parents.first; n && !parent_kind; n = n->next) {
    const HtmlElementInfo *row = html_element_info_by_name(n->string);
    if (row && str_equal(row->name, n->string)) parent_kind = row->kind;
  }
  if (!parent_kind) return;
  while (p->skeleton_waiting) {
    HtmlNode *waiting = p->skeleton[3 - p->skeleton_waiting];
    p->skeleton_waiting -= 1;
    if (p->kind_in_tree[parent_kind]) continue;
    // "head" waits inside "html": placing it again would link it twice and lose "body".
    if (!html_node_is_nil(waiting->parent)) continue;
    html_append_child(html_current_container(p), waiting);
    html_mark_in_tree(p, waiting);
    if (waiting == p->skeleton_html) {
      html_push(p, HtmlParseState_Content, waiting->last_child, waiting);
    }
  }
}

// "<" in Top or Content: an element, or an error (or "&lt;" text when lenient).
static void
html_parse_open(HtmlParser *p) {
  u64 j = p->i;
  u64 label = j + 1;
  StrView text = html_tok_text(p, label);
  // The message names the next word after blanks; an element needs its name right after "<".
  u64 named = label;
  while (named < p->count && (p->tokens[named].kind & (HtmlToken_Space | HtmlToken_Newline))) named += 1;
  u64 label_end = label + 1;
  if (html_tok_is(p, label, "!") && (html_tok(p, label)->kind & HtmlToken_Symbols)) {
    text = str_substr(p->source, html_tok(p, label)->start, html_tok(p, label + 1)->end);
    label_end = label + 2;
  }
  bool doctype = str_equal(text, str_lit("!DOCTYPE"));
  if (!doctype && !(html_tok(p, label)->kind & HtmlToken_Word)) {
    if (p->flags & HtmlParse_LenientLt) {
      HtmlNode *lt = html_node_create(p->arena, HtmlNode_Content, 0, {}, str_lit("&lt;"), html_tok(p, j)->start);
      html_append_child(html_current_container(p), lt);
    } else {
      StrView shown = named == label ? text : html_tok_text(p, named);
      html_error_at(p, DiagSeverity_Error, html_tok(p, j)->start,
                    "Tag label expected after '<' symbol, was: %S. If inside a text, escape it with &lt;", &shown);
    }
    p->i = j + 1;
    return;
  }
  if (!doctype) label_end = label + 1;
  HtmlNode *e = html_node_create(p->arena, HtmlNode_Element, html_flags_from_token(html_tok(p, label)->kind), text,
                                 text, html_tok(p, label)->start);
  if (p->flags & HtmlParse_Skeleton) html_place_skeleton(p, e);
  html_append_child(html_current_container(p), e);
  p->kind_in_tree[e->element->kind] = 1;
  HtmlNode *list = html_node_create(p->arena, HtmlNode_AttributeList, 0, {}, {}, html_tok(p, label)->start);
  html_push(p, HtmlParseState_StartTag, list, e);
  p->i = label_end;
}

// ">" or "/>" ends a start tag: attribute list and content linked, required attributes added.
static void
html_end_start_tag(HtmlParser *p) {
  HtmlFrame *f = p->top;
  HtmlNode *e = f->element;
  HtmlNode *list = f->node;
  html_append_child(e, list);
  html_append_child(e, html_node_create(p->arena, HtmlNode_Content, 0, {}, {}, html_tok(p, p->i)->start));
  StrView semi[1] = {str_lit(";")};
  StrList required = str_split(p->scratch, e->element->required_attributes, semi, 1);
  for (StrNode *r = required.first; r; r = r->next) {
    if (!r->string.length) continue;
    const HtmlAttributeInfo *row = html_attribute_info_by_name(r->string);
    if (!row || !html_node_is_nil(html_find_attribute(e, row->kind))) continue;
    HtmlNode *attr = html_node_create(p->arena, HtmlNode_Attribute, 0, row->name, row->name, 0);
    html_append_child(list, attr);
    if (row->value_type != HtmlAttrValue_Flag) {
      html_append_child(attr, html_node_create(p->arena, HtmlNode_AttributeValue, 0, {}, row->default_value, 0));
    }
  }
  if (!p->title && e->element->kind == HtmlTagKind_Title) p->title = e;
  p->i += 1;
  u32 content = e->element->content;
  if (content & HtmlContent_Void) {
    html_pop(p);
  } else if (content & HtmlContent_RawText) {
    e->flags |= HtmlNodeFlag_RawText;
    html_push(p, HtmlParseState_RawText, e->last_child, e);
  } else {
    html_push(p, HtmlParseState_Content, e->last_child, e);
  }
}

// "</" in Content: closes the element, or (wrong name) it and the one around it.
static void
html_parse_close(HtmlParser *p) {
  u64 j = p->i;
  HtmlNode *e = p->top->element;
  StrView name = html_tok_text(p, j + 1);
  u64 after = j + 2;
  // Blanks before the closing ">" belong to the end tag, not to the text after it.
  while (after < p->count && (p->tokens[after].kind & (HtmlToken_Space | HtmlToken_Newline))) after += 1;
  if (html_tok_is(p, after, ">")) after += 1;
  if (e && str_equal(e->text, name)) {
    html_pop(p);
    html_pop(p);
  } else {
    StrView subject = e ? e->text : StrView{};
    html_error_at(p, DiagSeverity_Error, html_tok(p, j + 1)->start,
                  "The tag name \"%S\" has no matching closing tag name. You may have an opening tag without "
                  "matching closing one.",
                  &subject);
    for (int k = 0; k < 4; k += 1) html_pop(p);
  }
  p->i = after;
}

static void
html_parse_text_run(HtmlParser *p) {
  u64 first = p->i;
  u64 k = first;
  while (k < p->count) {
    if (p->tokens[k].kind & HtmlToken_Markup) {
      StrView t = html_tok_text(p, k);
      if (str_equal(t, str_lit("<")) || str_equal(t, str_lit("</"))) break;
    }
    k += 1;
  }
  if (k == first) k = first + 1;
  HtmlToken *last = &p->tokens[k - 1];
  StrView text = str_substr(p->source, p->tokens[first].start, last->end);
  // Placed where the last token starts; a run of unusable bytes counts as a token per byte.
  u64 last_start = (last->kind & HtmlToken_Other) ? last->end - 1 : last->start;
  HtmlNode *node = html_node_create(p->arena, HtmlNode_Content, html_flags_from_token(last->kind), {}, text, last_start);
  node->source_length = (k < p->count ? p->tokens[k].start : p->source.length) - p->tokens[first].start;
  html_append_child(p->top->node, node);
  p->i = k;
}

static void
html_parse_attr_value(HtmlParser *p) {
  HtmlNode *attr = p->top->node;
  u64 j = p->i;
  const HtmlToken *t = html_tok(p, j);
  html_pop(p);
  if (t->kind & HtmlToken_Broken) {
    html_error_at(p, DiagSeverity_Error, t->start, "%S's Attribute value has string broken.", &attr->text);
    p->i = j + 1;
    return;
  }
  //- markup is no value: the attribute stays without one and the tag goes on
  if (t->kind & HtmlToken_Markup) {
    html_unexpected(p, j);
    return;
  }
  //- an unquoted value runs to the next blank or markup, as in HTML
  u64 end = j + 1;
  if (!(t->kind & HtmlToken_String)) {
    while (end < p->count && !(p->tokens[end].kind & (HtmlToken_Space | HtmlToken_Newline | HtmlToken_Markup |
                                                       HtmlToken_String))) {
      end += 1;
    }
  }
  StrView value = str_unquote(str_substr(p->source, t->start, html_tok(p, end - 1)->end));
  if (t->kind & HtmlToken_String) value = str_unquote(html_tok_text(p, j));
  // The tree is written back over the page: a link value keeps the author's bytes
  // ("~/", backslashes, "//" in a query); checks read the targets from the source.
  HtmlNode *v = html_node_create(p->arena, HtmlNode_AttributeValue, html_flags_from_token(t->kind), {}, value, t->start);
  // The span of the value in the source, quotes included: links are read from it.
  v->source_length = html_tok(p, end - 1)->end - t->start;
  html_append_child(attr, v);
  p->i = end;
}

static void
html_parse_step(HtmlParser *p) {
  u64 j = p->i;
  const HtmlToken *t = html_tok(p, j);
  HtmlFrame *f = p->top;
  bool blank = (t->kind & (HtmlToken_Space | HtmlToken_Newline)) != 0;
  bool is_lt = html_tok_is(p, j, "<");
  bool is_end = html_tok_is(p, j, "</");
  bool is_gt = html_tok_is(p, j, ">") || html_tok_is(p, j, "/>");
  switch (f->state) {
    case HtmlParseState_Top:
      if (blank) p->i += 1;
      else if (is_lt) html_parse_open(p);
      else html_unexpected(p, j), p->i += 1;
      break;
    case HtmlParseState_StartTag:
      if (blank) p->i += 1;
      else if (t->kind & HtmlToken_Word) {
        HtmlNode *attr = html_node_create(p->arena, HtmlNode_Attribute, html_flags_from_token(t->kind),
                                          html_tok_text(p, j), html_tok_text(p, j), t->start);
        html_append_child(f->node, attr);
        if (attr->attribute->value_type == HtmlAttrValue_Url) f->element->flags |= HtmlNodeFlag_HasUrl;
        html_push(p, HtmlParseState_AttrName, attr, f->element);
        p->i += 1;
      } else if (is_gt) {
        html_end_start_tag(p);
      } else {
        html_unexpected(p, j);
        p->i += 1;
      }
      break;
    case HtmlParseState_AttrName:
      if (blank) p->i += 1;
      else if (html_tok_is(p, j, "=")) f->state = HtmlParseState_AttrValue, p->i += 1;
      else if (is_gt) {
        if (f->node->attribute->value_type != HtmlAttrValue_Flag) {
          html_error_at(p, DiagSeverity_Error, t->start, "%S's value was a boolean flag but shouldn't ",
                        &f->node->text);
        }
        html_pop(p);
      } else {
        html_pop(p);  // a valueless attribute; the token is read again by the start tag
      }
      break;
    case HtmlParseState_AttrValue:
      if (blank) p->i += 1;
      else html_parse_attr_value(p);
      break;
    case HtmlParseState_Content:
      if (is_end) html_parse_close(p);
      else if (is_lt) html_parse_open(p);
      else html_parse_text_run(p);
      break;
    case HtmlParseState_RawText:
      if (is_end && str_equal(html_tok_text(p, j + 1), f->element->text)) {
        f->state = HtmlParseState_Content;
        html_parse_close(p);
      } else {
        HtmlNode *text = html_node_create(p->arena, HtmlNode_Content, html_flags_from_token(t->kind), {},
                                          html_tok_text(p, j), t->start);
        html_append_child(f->node, text);
        p->i += 1;
      }
      break;
    default: p->i += 1; break;
  }
}

HtmlParseResult
html_parse(Arena *arena, StrView source, StrView path, HtmlTokenList tokens, u32 flags, StrView site_root) {
  (void)path;
  (void)site_root;  // values are kept as written; the root serves html_normalize_url_value
  HtmlParseResult result = {};
  ArenaTemp scratch = scratch_begin(&arena, 1);
  HtmlParser p = {};
  p.arena = arena;
  p.source = source;
  p.tokens = tokens.tokens;
  p.count = tokens.count;
  p.flags = flags;
  p.scratch = scratch.arena;
  p.result = &result;
  result.check_flags = flags;
  result.root = html_node_create(arena, HtmlNode_Document, 0, {}, source, 0);
  p.bottom.state = HtmlParseState_Top;
  p.bottom.node = result.root;
  p.bottom.element = 0;
  p.top = &p.bottom;

  //- the document skeleton waits to be placed
  if (flags & HtmlParse_Skeleton) {
    HtmlNode *doctype = html_element_create(arena, HtmlTagKind_Doctype, {});
    html_set_attribute(arena, doctype, HtmlAttrKind_Html, {});
    HtmlNode *html = html_element_create(arena, HtmlTagKind_Html, {});
    html_set_attribute(arena, html, HtmlAttrKind_Lang, str_lit("en"));
    HtmlNode *head = html_element_create(arena, HtmlTagKind_Head, {});
    HtmlNode *body = html_element_create(arena, HtmlTagKind_Body, {});
    html_content_append(html, head);
    html_content_append(html, body);
    p.skeleton[0] = doctype;
    p.skeleton[1] = html;
    p.skeleton[2] = head;
    p.skeleton_waiting = 3;
    p.skeleton_html = html;
  }

  while (p.i < p.count) html_parse_step(&p);

  // A text that ends inside a start tag leaves an element without its attributes and
  // content: the tree cannot stand for the page, so it counts as a parse error.
  for (HtmlFrame *f = p.top; f && f != &p.bottom; f = f->parent) {
    if (f->state == HtmlParseState_StartTag || f->state == HtmlParseState_AttrName ||
        f->state == HtmlParseState_AttrValue) {
      HtmlNode *e = f->element;
      html_error_at(&p, DiagSeverity_Error, e->source_offset, "Unexpected end of text inside the \"%S\" tag.",
                    &e->text);
      break;
    }
  }

  if (!p.title) {
    html_error_at(&p, DiagSeverity_Warning, 0, "document missing title");
  }
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
