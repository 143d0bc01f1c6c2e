// The page tokenizer: the HTML standard's tokenizer, reduced to spans. It decides what
// a browser decides (where a tag, a comment or raw text begins and ends) and records
// where the text breaks a rule; it decodes nothing, so every token is a slice of the
// page and the tokens cover it exactly.
#include "html/html_core.h"

//~ Growing arrays on the arena

// Most pages hold a token per few dozen bytes: arrays start small and double, the old
// copy left behind (at most as much again).
#define HtmlGrow(arena, T, data, count, cap)                        \
  do {                                                              \
    if ((count) == (cap)) {                                         \
      u64 new_cap_ = (cap) ? (cap) * 2 : 64;                        \
      T *grown_ = push_array_no_zero((arena), T, new_cap_);         \
      if (count) memcpy(grown_, (data), (count) * sizeof(T));       \
      (data) = grown_;                                              \
      (cap) = new_cap_;                                             \
    }                                                               \
  } while (0)

struct HtmlLexer {
  Arena *arena;
  const u8 *s;
  u64 n;
  HtmlTokenList *out;
  u64 token_cap;
  u64 attr_cap;
  u64 finding_cap;
  // SVG and MathML read "<style>" and "<title>" as elements and allow CDATA; inside
  // their HTML islands ("foreignObject") HTML's rules hold again.
  u32 foreign_depth;
  u32 island_depth;
};

static inline bool
html_lex_space(u8 c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

static inline bool
html_lex_control(u8 c) {
  return (c < 0x20 && !html_lex_space(c)) || c == 0x7f;
}

static void
html_lex_finding(HtmlLexer *l, u64 offset, u32 error) {
  HtmlGrow(l->arena, HtmlLexFinding, l->out->findings, l->out->finding_count, l->finding_cap);
  l->out->findings[l->out->finding_count++] = {offset, error};
}

static HtmlToken *
html_lex_token(HtmlLexer *l, u32 kind, u64 start, u64 end) {
  HtmlGrow(l->arena, HtmlToken, l->out->tokens, l->out->count, l->token_cap);
  HtmlToken *t = &l->out->tokens[l->out->count++];
  *t = {};
  t->kind = kind;
  t->start = start;
  t->end = end;
  return t;
}

static void
html_lex_text(HtmlLexer *l, u64 start, u64 end, u32 flags) {
  if (end <= start) return;
  html_lex_token(l, HtmlLex_Text, start, end)->flags = flags;
  //- control bytes: one finding per run, so a binary file costs a finding per run
  for (u64 i = start; i < end; i += 1) {
    if (!html_lex_control(l->s[i])) continue;
    html_lex_finding(l, i, HtmlLexError_ControlCharacter);
    while (i + 1 < end && html_lex_control(l->s[i + 1])) i += 1;
  }
}

// The bytes at `at` spell `word` in any letter case.
static bool
html_lex_word_at(HtmlLexer *l, u64 at, const char *word) {
  for (u64 k = 0; word[k]; k += 1) {
    if (at + k >= l->n || char_to_lower(l->s[at + k]) != (u8)word[k]) return false;
  }
  return true;
}

static bool
html_lex_name_is(HtmlLexer *l, u64 start, u64 end, const char *name) {
  u64 len = strlen(name);
  return end - start == len && html_lex_word_at(l, start, name);
}

static u64
html_lex_find(HtmlLexer *l, u64 from, u8 c) {
  if (from >= l->n) return l->n;
  const void *hit = memchr(l->s + from, c, l->n - from);
  return hit ? (u64)((const u8 *)hit - l->s) : l->n;
}

//~ Comments and other markup

// "<!--" at `at`: ends after "-->" or "--!>", or with the text.
static u64
html_lex_comment(HtmlLexer *l, u64 at) {
  u64 j = at + 4;
  if (j < l->n && l->s[j] == '>') {
    html_lex_finding(l, at, HtmlLexError_AbruptComment);
    return j + 1;
  }
  if (j + 1 < l->n && l->s[j] == '-' && l->s[j + 1] == '>') {
    html_lex_finding(l, at, HtmlLexError_AbruptComment);
    return j + 2;
  }
  for (;;) {
    j = html_lex_find(l, j, '-');
    if (j >= l->n) break;
    if (j + 2 < l->n && l->s[j + 1] == '-' && l->s[j + 2] == '>') return j + 3;
    if (j + 3 < l->n && l->s[j + 1] == '-' && l->s[j + 2] == '!' && l->s[j + 3] == '>') {
      html_lex_finding(l, j, HtmlLexError_CommentClosedWithBang);
      return j + 4;
    }
    j += 1;
  }
  html_lex_finding(l, at, HtmlLexError_EndOfTextInComment);
  return l->n;
}

// Markup browsers turn into a comment: it runs to the next ">".
static u64
html_lex_bogus(HtmlLexer *l, u64 from) {
  u64 gt = html_lex_find(l, from, '>');
  return gt < l->n ? gt + 1 : l->n;
}

//~ Tags

// The attributes of a tag from `j`; returns where the tag ends (after ">"), or 0 when
// the text ends first.
static u64
html_lex_attributes(HtmlLexer *l, HtmlToken *t, u64 j) {
  const u8 *s = l->s;
  u64 n = l->n;
  t->attr_first = l->out->attr_count;
  for (;;) {
    while (j < n && html_lex_space(s[j])) j += 1;
    if (j >= n) return 0;
    if (s[j] == '>') return j + 1;
    if (s[j] == '/') {
      if (j + 1 < n && s[j + 1] == '>') {
        t->flags |= HtmlLexFlag_SelfClosing;
        return j + 2;
      }
      html_lex_finding(l, j, HtmlLexError_SolidusInTag);
      j += 1;
      continue;
    }
    //- the name: a leading "=" belongs to it
    HtmlTokenAttr a = {};
    a.name_start = j;
    if (s[j] == '=') {
      html_lex_finding(l, j, HtmlLexError_EqualsBeforeName);
      j += 1;
    }
    while (j < n && !html_lex_space(s[j]) && s[j] != '/' && s[j] != '>' && s[j] != '=') {
      if (s[j] == '"' || s[j] == '\'' || s[j] == '<') html_lex_finding(l, j, HtmlLexError_CharacterInAttributeName);
      j += 1;
    }
    a.name_end = j;
    a.value_start = a.value_end = j;
    u64 after_name = j;
    while (j < n && html_lex_space(s[j])) j += 1;
    if (j < n && s[j] == '=') {
      j += 1;
      while (j < n && html_lex_space(s[j])) j += 1;
      if (j >= n) return 0;
      if (s[j] == '"' || s[j] == '\'') {
        u64 close = html_lex_find(l, j + 1, s[j]);
        if (close >= n) return 0;
        a.quote = s[j];
        a.value_start = j;
        a.value_end = close + 1;
        j = close + 1;
        if (j < n && !html_lex_space(s[j]) && s[j] != '/' && s[j] != '>') {
          html_lex_finding(l, j, HtmlLexError_MissingSpaceBetweenAttributes);
        }
      } else if (s[j] == '>') {
        html_lex_finding(l, j, HtmlLexError_MissingAttributeValue);
      } else {
        a.value_start = j;
        while (j < n && !html_lex_space(s[j]) && s[j] != '>') {
          u8 c = s[j];
          if (c == '"' || c == '\'' || c == '<' || c == '`') {
            html_lex_finding(l, j, HtmlLexError_CharacterInUnquotedValue);
          } else if (c == '=') {
            html_lex_finding(l, j, HtmlLexError_EqualsInUnquotedValue);
          }
          j += 1;
        }
        a.value_end = j;
      }
    } else {
      j = after_name;
    }
    HtmlGrow(l->arena, HtmlTokenAttr, l->out->attrs, l->out->attr_count, l->attr_cap);
    l->out->attrs[l->out->attr_count++] = a;
    t->attr_count += 1;
  }
}

// Where raw text that started at `from` ends: at "</name" followed by a blank, "/" or
// ">", in any letter case.
static u64
html_lex_raw_end(HtmlLexer *l, u64 from, const char *name) {
  u64 len = strlen(name);
  for (u64 j = from;; j += 1) {
    j = html_lex_find(l, j, '<');
    if (j >= l->n) return l->n;
    u64 after = j + 2 + len;
    if (j + 1 < l->n && l->s[j + 1] == '/' && html_lex_word_at(l, j + 2, name) &&
        (after >= l->n || html_lex_space(l->s[after]) || l->s[after] == '/' || l->s[after] == '>')) {
      return j;
    }
  }
}

static bool
html_lex_script_delimiter(HtmlLexer *l, u64 at) {
  return at >= l->n || html_lex_space(l->s[at]) || l->s[at] == '/' || l->s[at] == '>';
}

// A script's text: "<!--" escapes it, and "<script" inside the escape hides the next
// "</script>", as the standard's script states have it.
static u64
html_lex_script_end(HtmlLexer *l, u64 from) {
  const u8 *s = l->s;
  u32 mode = 0;  // 0 plain, 1 escaped, 2 double escaped
  for (u64 j = from; j < l->n;) {
    u8 c = s[j];
    if (c == '<') {
      if (j + 1 < l->n && s[j + 1] == '/' && html_lex_word_at(l, j + 2, "script") &&
          html_lex_script_delimiter(l, j + 8)) {
        if (mode != 2) return j;
        mode = 1;
        j += 8;
        continue;
      }
      if (mode == 0 && j + 3 < l->n && s[j + 1] == '!' && s[j + 2] == '-' && s[j + 3] == '-') {
        mode = 1;
        j += 4;
        continue;
      }
      if (mode == 1 && html_lex_word_at(l, j + 1, "script") && html_lex_script_delimiter(l, j + 7)) {
        mode = 2;
        j += 7;
        continue;
      }
    } else if (c == '-' && mode != 0 && j + 2 < l->n && s[j + 1] == '-' && s[j + 2] == '>') {
      mode = 0;
      j += 3;
      continue;
    }
    j += 1;
  }
  return l->n;
}

bool
html_breaks_out_of_foreign(StrView name) {
  static const char *names[] = {"b",  "big",  "blockquote", "body", "br",      "center", "code",   "dd",
                                "div", "dl",  "dt",         "em",   "embed",   "h1",     "h2",     "h3",
                                "h4", "h5",   "h6",         "head", "hr",      "i",      "img",    "li",
                                "listing", "menu", "meta",  "nobr", "ol",      "p",      "pre",    "ruby",
                                "s",  "small", "span",      "strong", "strike", "sub",   "sup",    "table",
                                "tt", "u",    "ul",         "var"};
  for (const char *n : names) {
    if (str_match(name, str_from_cstr(n), StrMatchFlag_CaseInsensitive)) return true;
  }
  return false;
}

static bool
html_lex_island(HtmlLexer *l, u64 start, u64 end) {
  return html_lex_name_is(l, start, end, "foreignobject") || html_lex_name_is(l, start, end, "desc") ||
         html_lex_name_is(l, start, end, "title") || html_lex_name_is(l, start, end, "annotation-xml");
}

// "<" and a letter at `at`, or "</" and a letter: a tag.
static u64
html_lex_tag(HtmlLexer *l, u64 at, bool end_tag) {
  const u8 *s = l->s;
  u64 n = l->n;
  u64 j = at + (end_tag ? 2 : 1);
  u64 name_start = j;
  while (j < n && !html_lex_space(s[j]) && s[j] != '/' && s[j] != '>') j += 1;
  HtmlToken *t = html_lex_token(l, end_tag ? HtmlLex_EndTag : HtmlLex_StartTag, at, at);
  t->name_start = name_start;
  t->name_end = j;
  u64 tag_end = html_lex_attributes(l, t, j);
  if (!tag_end) {
    //- cut by the end of the text: browsers drop it; it is kept as written
    html_lex_finding(l, at, HtmlLexError_EndOfTextInTag);
    l->out->attr_count = t->attr_first;
    t->attr_count = 0;
    t->kind = HtmlLex_Markup;
    t->end = n;
    return n;
  }
  t->end = tag_end;
  bool foreign = l->foreign_depth > 0 && l->island_depth == 0;
  u64 ns = t->name_start, ne = t->name_end;
  bool self_closing = t->flags & HtmlLexFlag_SelfClosing;
  if (end_tag) {
    if (l->foreign_depth && l->island_depth && html_lex_island(l, ns, ne)) l->island_depth -= 1;
    else if (l->foreign_depth && (html_lex_name_is(l, ns, ne, "svg") || html_lex_name_is(l, ns, ne, "math")))
      l->foreign_depth -= 1;
    return tag_end;
  }
  //- where SVG and MathML begin and end
  if (foreign) {
    if (html_breaks_out_of_foreign(str_make((u8 *)(l->s + ns), ne - ns))) {
      l->foreign_depth = 0;
      l->island_depth = 0;
      foreign = false;
    } else {
      if (!self_closing && html_lex_island(l, ns, ne)) l->island_depth += 1;
      if (!self_closing && (html_lex_name_is(l, ns, ne, "svg") || html_lex_name_is(l, ns, ne, "math")))
        l->foreign_depth += 1;
      return tag_end;
    }
  }
  if (html_lex_name_is(l, ns, ne, "svg") || html_lex_name_is(l, ns, ne, "math")) {
    if (!self_closing) {
      l->foreign_depth += 1;
      l->island_depth = 0;
    }
    return tag_end;
  }
  //- the elements whose content is text up to their end tag
  static const char *raw[] = {"style", "xmp", "iframe", "noembed", "noframes", "title", "textarea"};
  u64 content_end = 0;
  if (html_lex_name_is(l, ns, ne, "script")) {
    content_end = html_lex_script_end(l, tag_end);
  } else if (html_lex_name_is(l, ns, ne, "plaintext")) {
    content_end = n;
  } else {
    for (const char *name : raw) {
      if (html_lex_name_is(l, ns, ne, name)) {
        content_end = html_lex_raw_end(l, tag_end, name);
        break;
      }
    }
  }
  if (content_end) html_lex_text(l, tag_end, content_end, HtmlLexFlag_RawText);
  return content_end ? content_end : tag_end;
}

//~ The text

HtmlTokenList
html_tokenize(Arena *arena, StrView source) {
  HtmlTokenList list = {};
  HtmlLexer lexer = {};
  HtmlLexer *l = &lexer;
  l->arena = arena;
  l->s = source.data;
  l->n = source.length;
  l->out = &list;
  const u8 *s = l->s;
  u64 n = l->n;
  u64 text_start = 0;
  u64 i = 0;
  while (i < n) {
    u64 lt = html_lex_find(l, i, '<');
    if (lt >= n) break;
    u8 c1 = lt + 1 < n ? s[lt + 1] : 0;
    u64 end = 0;
    bool letter1 = char_is_letter(c1);
    bool end_tag = c1 == '/' && lt + 2 < n && char_is_letter(s[lt + 2]);
    if (letter1 || end_tag || c1 == '!' || c1 == '?' || (c1 == '/' && lt + 2 < n)) {
      html_lex_text(l, text_start, lt, 0);
      if (letter1 || end_tag) {
        end = html_lex_tag(l, lt, end_tag);
      } else if (c1 == '!' && lt + 3 < n && s[lt + 2] == '-' && s[lt + 3] == '-') {
        end = html_lex_comment(l, lt);
        html_lex_token(l, HtmlLex_Comment, lt, end);
      } else if (c1 == '!' && html_lex_word_at(l, lt + 2, "doctype")) {
        u64 gt = html_lex_find(l, lt + 9, '>');
        end = gt < n ? gt + 1 : n;
        if (gt >= n) html_lex_finding(l, lt, HtmlLexError_EndOfTextInDoctype);
        HtmlToken *t = html_lex_token(l, HtmlLex_Doctype, lt, end);
        u64 j = lt + 9;
        while (j < end && html_lex_space(s[j])) j += 1;
        t->name_start = j;
        while (j < end && !html_lex_space(s[j]) && s[j] != '>') j += 1;
        t->name_end = j;
      } else if (c1 == '!' && l->foreign_depth && !l->island_depth && lt + 8 < n &&
                 memcmp(s + lt + 2, "[CDATA[", 7) == 0) {
        const u8 *close = 0;
        for (u64 j = lt + 9; j + 2 < n && !close; j += 1) {
          if (s[j] == ']' && s[j + 1] == ']' && s[j + 2] == '>') close = s + j;
        }
        end = close ? (u64)(close - s) + 3 : n;
        html_lex_token(l, HtmlLex_Markup, lt, end);
      } else if (c1 == '/' && s[lt + 2] == '>') {
        html_lex_finding(l, lt, HtmlLexError_EmptyEndTag);
        end = lt + 3;
        html_lex_token(l, HtmlLex_Markup, lt, end);
      } else {
        //- "<!x>", "<?x>", "</1>": a comment to browsers
        // An XML prolog first in the page (a byte-order mark before it) is what XHTML
        // pages begin with; browsers skip it.
        bool after_bom = lt == 3 && memcmp(s, "\xEF\xBB\xBF", 3) == 0;
        bool prolog = c1 == '?' && (lt == 0 || after_bom) && html_lex_word_at(l, lt + 2, "xml");
        if (!prolog) {
          html_lex_finding(l, lt, c1 == '?' ? HtmlLexError_ProcessingInstruction : HtmlLexError_BogusComment);
        }
        end = html_lex_bogus(l, lt + 2);
        html_lex_token(l, HtmlLex_Comment, lt, end)->flags = HtmlLexFlag_Bogus;
      }
      text_start = end;
      i = end;
    } else {
      //- "<" and a blank, a digit or the end: text, which the standard flags
      html_lex_finding(l, lt, HtmlLexError_LessThanInText);
      i = lt + 1;
    }
  }
  html_lex_text(l, text_start, n, 0);
  return list;
}
