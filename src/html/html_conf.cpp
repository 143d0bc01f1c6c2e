// The searchers configuration: tokenizer, tolerant parser and the reader that turns the
// tree into source finders. Conventions of this file:
//  1. Nothing reports: a token the parser cannot use is skipped, so a damaged file
//     still gives whatever its sound parts say.
//  2. Every parser step consumes its token or pops a frame (never the bottom one), and
//     frames are pushed only when a token is consumed: a text of n tokens takes at most
//     2n steps.
//  3. A string scan stops at the next line feed, "," or "]", and what it scanned past is
//     left without the quote it looked for, so no span of the text is scanned more than
//     twice: the tokenizer stays linear.
#include "html/html_searchers.h"

//~ Tokenizer

// The key words, tried in this order wherever a token begins, with no look at what
// follows: "endpoint" is the key word "end" and the word "point".
static const char *const conf_key_words[] = {
    "urls", "prefix", "searchers", "data_markers", "end", "types", "source_finders", "start", "fuzzy",
};

static inline bool
conf_is_blank(u8 c) {
  return c == '\t' || c == 0x0b || c == '\r' || c == ' ';
}

// The HTML tokenizer's word class, with the underscore the key names use.
static inline bool
conf_is_word_continue(u8 c) {
  return char_is_letter(c) || char_is_digit(c) || c >= 0xc0 || c == '_' || c == '!' || c == '(' || c == ')' ||
         c == '-' || c == '?' || c == '[' || c == ']';
}

static inline bool
conf_is_markup_byte(u8 c) {
  return c == ':' || c == '[' || c == ']' || c == '{' || c == '}';
}

// Punctuation that has no meaning here: the rest of the text is one word, left unread.
static inline bool
conf_is_stray_punct(u8 c) {
  switch (c) {
    case '!': case '#': case '$': case '%': case '&': case '(': case ')': case '*': case '+': case '-':
    case '.': case '/': case ';': case '?': case '@': case '[': case '\\': case ']': case '^': case '_':
    case '`': case '~': case '|':
      return true;
    default: return false;
  }
}

static inline bool
conf_is_string_stop(u8 c) {
  return c == '\n' || c == ',' || c == ']';
}

// Length of the key word at i, or 0.
static u64
conf_key_word_length(const u8 *s, u64 n, u64 i) {
  for (const char *w : conf_key_words) {
    u64 len = strlen(w);
    if (len <= n - i && memcmp(s + i, w, len) == 0) return len;
  }
  return 0;
}

ConfTokenList
conf_tokenize(Arena *arena, StrView text) {
  ConfTokenList list = {};
  u64 n = text.length;
  if (n == 0) return list;
  const u8 *s = text.data;
  // No token is empty: the text length bounds the count; the tail is given back.
  ConfToken *tokens = push_array_no_zero(arena, ConfToken, n);
  u64 count = 0;
  for (u64 i = 0; i < n;) {
    u8 c = s[i];
    u8 c1 = i + 1 < n ? s[i + 1] : 0;
    u8 c2 = i + 2 < n ? s[i + 2] : 0;
    u64 len = 1;
    u32 kind = 0;
    u64 key_length = 0;
    if (conf_is_blank(c)) {
      //- [1] blanks; a line feed alone
      kind = HtmlToken_Space;
      while (i + len < n && conf_is_blank(s[i + len])) len += 1;
    } else if (c == '\n') {
      kind = HtmlToken_Newline;
    } else if (c == ',') {
      //- [2] the separator
      kind = HtmlToken_Markup;
    } else if (c == '"' && (c1 == '"' || c1 == '\'') && c2 == '"') {
      //- [3] a quote in quotes: """ and "'"
      kind = HtmlToken_String | HtmlToken_DoubleQuoted;
      len = 3;
    } else if ((key_length = conf_key_word_length(s, n, i)) != 0) {
      //- [4] key words
      kind = HtmlToken_Markup;
      len = key_length;
    } else if (conf_is_markup_byte(c)) {
      //- [5] structure
      kind = HtmlToken_Markup;
    } else if (char_is_letter(c) || c >= 0xc0) {
      //- [6] words and numbers, as in HTML
      kind = HtmlToken_Word;
      while (i + len < n && conf_is_word_continue(s[i + len])) len += 1;
    } else if (char_is_digit(c) || ((c == '.' || c == '-') && char_is_digit(c1))) {
      kind = HtmlToken_Number;
      while (i + len < n && (s[i + len] == '.' || char_is_digit(s[i + len]) || char_is_letter(s[i + len]))) len += 1;
    } else if (c == '"' || c == '\'') {
      //- [7] strings end after the last opening quote before the next stop; without
      //  one they run to the stop (or the end of the text) and are broken
      kind = HtmlToken_String | (c == '"' ? HtmlToken_DoubleQuoted : HtmlToken_SingleQuoted);
      u64 j = i + 1;
      u64 last_quote = 0;
      while (j < n && !conf_is_string_stop(s[j])) {
        if (s[j] == c) last_quote = j;
        j += 1;
      }
      if (last_quote) {
        len = last_quote + 1 - i;
      } else {
        kind |= HtmlToken_Broken;
        len = j - i;
      }
    } else if (conf_is_stray_punct(c)) {
      //- [8] stray punctuation: the rest of the text is one word
      kind = HtmlToken_Word;
      len = n - i;
    } else {
      //- [9] anything else
      kind = HtmlToken_Other;
    }
    tokens[count].start = i;
    tokens[count].end = i + len;
    tokens[count].kind = kind;
    count += 1;
    i += len;
  }
  arena_pop(arena, (n - count) * sizeof(ConfToken));
  list.tokens = tokens;
  list.count = count;
  return list;
}

//~ Tree

// Constant-initialised and read-only: a write through the nil node is a fault.
const ConfNode conf_nil_node_record = {
    (ConfNode *)&conf_nil_node_record, (ConfNode *)&conf_nil_node_record, (ConfNode *)&conf_nil_node_record,
    (ConfNode *)&conf_nil_node_record, (ConfNode *)&conf_nil_node_record, ConfNode_Nil, {}, {}, 0, 0,
};

static ConfNode *
conf_node_create(Arena *arena, u64 type, StrView text, StrView raw, u64 source_offset) {
  ConfNode *n = push_struct(arena, ConfNode);
  n->next = n->prev = n->parent = n->first_child = n->last_child = conf_nil_node;
  n->type = type;
  n->text = text;
  n->raw = raw;
  n->source_offset = source_offset;
  return n;
}

// The macro names its first argument `parent`, as the link it sets is named.
static void
conf_append_child(ConfNode *parent, ConfNode *child) {
  TreeAppendChild(parent, child, conf_nil_node);
}

ConfNode *
conf_next_preorder(ConfNode *node, ConfNode *root) {
  if (!conf_node_is_nil(node->first_child)) return node->first_child;
  for (ConfNode *n = node; !conf_node_is_nil(n) && n != root; n = n->parent) {
    if (!conf_node_is_nil(n->next)) return n->next;
  }
  return conf_nil_node;
}

//~ Parser

enum ConfParseState : u32 {
  ConfParseState_Keys = 0,    // the keys of an object (or of the file)
  ConfParseState_Key = 1,     // after a key, before its ":"
  ConfParseState_Values = 2,  // the values of a key
};

struct ConfFrame {
  ConfFrame *parent;
  u32 state;
  ConfNode *node;
};

struct ConfParser {
  Arena *arena;
  Arena *scratch;
  StrView text;
  ConfFrame bottom;
  ConfFrame *top;
  ConfFrame *free_list;
};

// The names that open a key; the tokenizer makes them markup only in lower case, the
// comparison stays case-insensitive for trees built by other means.
static const char *const conf_keys[] = {
    "searchers", "data_markers", "prefix", "urls", "types", "start", "end", "source_finders",
};

static bool
conf_is_key(StrView word) {
  for (const char *k : conf_keys) {
    if (str_match(word, str_from_cstr(k), StrMatchFlag_CaseInsensitive)) return true;
  }
  return false;
}

static void
conf_push(ConfParser *p, u32 state, ConfNode *node) {
  ConfFrame *f;
  FrameAlloc(p->free_list, p->scratch, ConfFrame, f);
  f->parent = p->top;
  f->state = state;
  f->node = node;
  p->top = f;
}

static void
conf_pop(ConfParser *p) {
  if (p->top == &p->bottom) return;
  FrameRelease(p->top, p->free_list);
}

// A string's text: without its opening quote, and without its closing one unless broken.
static StrView
conf_string_text(StrView raw, u32 kind) {
  StrView t = str_skip(raw, 1);
  if (!(kind & HtmlToken_Broken)) t = str_chop(t, 1);
  return t;
}

ConfNode *
conf_parse(Arena *arena, StrView text, ConfTokenList tokens) {
  ArenaTemp scratch = scratch_begin(&arena, 1);
  ConfParser p = {};
  p.arena = arena;
  p.scratch = scratch.arena;
  p.text = text;
  ConfNode *root = conf_node_create(arena, ConfNode_Root, text, text, 0);
  p.bottom.state = ConfParseState_Keys;
  p.bottom.node = root;
  p.top = &p.bottom;

  for (u64 i = 0; i < tokens.count;) {
    ConfToken *t = &tokens.tokens[i];
    if (t->kind & (HtmlToken_Space | HtmlToken_Newline)) {
      i += 1;
      continue;
    }
    StrView raw = str_substr(text, t->start, t->end);
    bool markup = (t->kind & HtmlToken_Markup) != 0;
    u8 c = raw.length == 1 ? raw.data[0] : 0;
    ConfFrame *f = p.top;
    switch (f->state) {
      case ConfParseState_Keys:
        if (markup && conf_is_key(raw)) {
          //- [Keys] key word -> a key, then its ":"
          ConfNode *key = conf_node_create(arena, ConfNode_Key, raw, raw, t->start);
          conf_append_child(f->node, key);
          conf_push(&p, ConfParseState_Key, key);
        } else if (markup && c == '}') {
          //- [Keys] "}" -> the object is done (a stray one at the top is skipped)
          conf_pop(&p);
        }
        //- [Keys] anything else is skipped
        i += 1;
        break;
      case ConfParseState_Key:
        if (markup && (c == ':' || c == ',')) {
          //- [Key] ":" or "," -> its values
          conf_push(&p, ConfParseState_Values, f->node);
          i += 1;
        } else if (markup) {
          //- [Key] other markup -> the key has no (more) values; reconsume below
          conf_pop(&p);
        } else {
          i += 1;
        }
        break;
      case ConfParseState_Values:
        if (t->kind & HtmlToken_String) {
          //- [Values] a string -> one more value of the key
          ConfNode *v = conf_node_create(arena, ConfNode_String, conf_string_text(raw, t->kind), raw, t->start);
          conf_append_child(f->node, v);
          i += 1;
        } else if (markup && (c == '[' || c == ',')) {
          i += 1;
        } else if (markup && c == '{') {
          //- [Values] "{" -> an object value with keys of its own
          ConfNode *o = conf_node_create(arena, ConfNode_Object, raw, raw, t->start);
          conf_append_child(f->node, o);
          conf_push(&p, ConfParseState_Keys, o);
          i += 1;
        } else if (markup && c == ']') {
          //- [Values] "]" -> the list is done; the key may take a "," and more
          conf_pop(&p);
          i += 1;
        } else if (markup) {
          //- [Values] other markup ends the key: reconsume in the object's keys
          conf_pop(&p);
          conf_pop(&p);
        } else {
          i += 1;
        }
        break;
      default: i += 1; break;
    }
  }
  scratch_end(scratch);
  return root;
}

//~ Reader

struct MetadataTypeName {
  const char *name;
  u32 bit;
};

static const MetadataTypeName metadata_type_names[] = {
    {"date", MetadataType_Date},
    {"author", MetadataType_Author},
    {"Number", MetadataType_Number},
    {"Bitmap", MetadataType_Bitmap},
    {"Title", MetadataType_Title},
    {"Description", MetadataType_Description},
    {"shortDescription", MetadataType_ShortDescription},
    {"textual", MetadataType_Textual},
};

u32
metadata_type_from_name(StrView name) {
  for (const MetadataTypeName &row : metadata_type_names) {
    if (str_match(name, str_from_cstr(row.name), StrMatchFlag_CaseInsensitive)) return row.bit;
  }
  return 0;
}

struct ConfReader {
  Arena *arena;
  SourceFinderList result;
  SourceFinder *finder;
  DataMarker *marker;
  Searcher *searcher;
};

static inline bool
conf_key_is(ConfNode *key, const char *name) {
  return str_match(key->text, str_from_cstr(name), StrMatchFlag_CaseInsensitive);
}

//- a String node: its value goes where its key says
static void
conf_read_string(ConfReader *r, ConfNode *s) {
  ConfNode *key = s->parent;
  if (key->type != ConfNode_Key) return;
  if (conf_key_is(key, "urls")) {
    str_list_push(r->arena, &r->finder->urls, str_push_copy(r->arena, s->text));
  } else if (conf_key_is(key, "start")) {
    str_list_push(r->arena, &r->searcher->start, str_push_copy(r->arena, s->text));
  } else if (conf_key_is(key, "end")) {
    str_list_push(r->arena, &r->searcher->end, str_push_copy(r->arena, s->text));
  } else if (conf_key_is(key, "prefix")) {
    r->marker->prefix = str_push_copy(r->arena, s->text);
  } else if (conf_key_is(key, "types")) {
    r->marker->types |= metadata_type_from_name(s->text);
  }
}

//- the item a "searchers", "data_markers" or "source_finders" key stands for is done
static void
conf_close_item(ConfReader *r, ConfNode *key) {
  if (conf_key_is(key, "searchers")) {
    SLLQueuePush(r->marker->searchers.first, r->marker->searchers.last, r->searcher);
    r->marker->searchers.count += 1;
    r->searcher = push_struct(r->arena, Searcher);
  } else if (conf_key_is(key, "data_markers")) {
    SLLQueuePush(r->finder->data_markers.first, r->finder->data_markers.last, r->marker);
    r->finder->data_markers.count += 1;
    r->marker = push_struct(r->arena, DataMarker);
  } else if (conf_key_is(key, "source_finders")) {
    SLLQueuePush(r->result.first, r->result.last, r->finder);
    r->result.count += 1;
    r->finder = push_struct(r->arena, SourceFinder);
  }
}

static bool
conf_has_object_child(ConfNode *key) {
  for (ConfNode *c = key->first_child; !conf_node_is_nil(c); c = c->next) {
    if (c->type == ConfNode_Object) return true;
  }
  return false;
}

// A subtree is done. Each object under a key is one item, so "data_markers: [{..}, {..}]"
// gives two markers instead of one holding both; a key without an object (values
// written before it, or none) closes the item the values so far make up.
static void
conf_leave(ConfReader *r, ConfNode *n) {
  if (n->type == ConfNode_Object && n->parent->type == ConfNode_Key) {
    conf_close_item(r, n->parent);
  } else if (n->type == ConfNode_Key && !conf_has_object_child(n)) {
    conf_close_item(r, n);
  }
}

SourceFinderList
conf_read_source_finders(Arena *arena, ConfNode *root) {
  ConfReader r = {};
  r.arena = arena;
  r.finder = push_struct(arena, SourceFinder);
  r.marker = push_struct(arena, DataMarker);
  r.searcher = push_struct(arena, Searcher);
  //- pre-order with an exit step: a node is left once its last descendant is done
  for (ConfNode *n = root; !conf_node_is_nil(n);) {
    if (n->type == ConfNode_String) conf_read_string(&r, n);
    if (!conf_node_is_nil(n->first_child)) {
      n = n->first_child;
      continue;
    }
    for (;;) {
      conf_leave(&r, n);
      if (n == root) {
        n = conf_nil_node;
        break;
      }
      if (!conf_node_is_nil(n->next)) {
        n = n->next;
        break;
      }
      n = n->parent;
    }
  }
  return r.result;
}

SourceFinderList
conf_read_text(Arena *arena, StrView text) {
  ArenaTemp scratch = scratch_begin(&arena, 1);
  ConfTokenList tokens = conf_tokenize(scratch.arena, text);
  ConfNode *root = conf_parse(scratch.arena, text, tokens);
  SourceFinderList finders = conf_read_source_finders(arena, root);
  scratch_end(scratch);
  return finders;
}
