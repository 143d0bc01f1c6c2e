// Internals of the qil parser, shared by doc_parse.cpp (frame, line starts, outline),
// doc_blocks.cpp (sections, quotations, lists, tables, code blocks) and doc_inline.cpp
// (inline content, brackets, links, metadata entries). Conventions:
//  1. The helpers every token passes through (token access, tests, context push and
//     pop, node emission) are inline here, so splitting the parser costs no calls.
//  2. A state handler is `void doc_parse_NAME(DocParser *, DocParseContext *)`; each
//     file defines the handlers of its phase and doc_parse_step dispatches to them.
//  3. Memos (on contexts and nodes) only ever cache answers that cannot change while
//     they are kept: a node's ancestors, a context's enclosing contexts.
#pragma once

#include "doc/doc_core.h"

//~ States

enum DocParseState : u32 {
  DocParseState_Inline = 2,
  DocParseState_PlaceLine = 3,
  DocParseState_List = 4,
  DocParseState_Table = 5,
  DocParseState_Link = 6,
  DocParseState_QuotePlace = 13,
  DocParseState_Bracket = 14,
  DocParseState_ListItem = 15,
  DocParseState_Document = 16,
  DocParseState_QuoteOpen = 17,
  DocParseState_LineStart = 18,
  DocParseState_Quote = 19,
  DocParseState_Collapsible = 20,
  DocParseState_InlineCollapsible = 21,
  DocParseState_CodeBlock = 22,
  DocParseState_RawHtml = 23,
  // Internal: the cells of one table row.
  DocParseState_TableRow = 24,
};

// Limits, each with the input it protects against.
// A handler that has not consumed a token for this many steps is forced past it
// (protects against any cycle between states on hostile input).
#define DOC_PARSE_STALL_LIMIT 64

// Three-valued memos: not yet known, no, yes.
enum DocMemo : u8 {
  DocMemo_Unknown = 0,
  DocMemo_No = 1,
  DocMemo_Yes = 2,
};

struct DocParseContext {
  DocParseContext *parent;
  u32 state;
  u8 in_list_item;  // DocMemo: whether a list item holds this inline context
  DocNode *node;
  u64 flags;
  void *data;  // state-specific: the column table of a table, the heading cache of a section
  // The nearest level-0 heading at or above `heading0_of` (nil: none), kept so that
  // judging each line of a deep block does not climb the tree again.
  DocNode *heading0_of;
  DocNode *heading0;
};

struct DocTableInfo {
  DocNode **columns;
  u64 *positions;  // ascending: bars stand left to right
  u64 column_count;
  b32 header_done;
  u64 next_free;  // the column after the last cell of the row being read
  u32 row_said;   // said about the row being read: 1 a bar off its column, 2 a cell too many
  // The start of the line of the last bar read and how far the source was searched
  // for line breaks: each bar of a long row only looks at the bytes since the last.
  u64 line_start;
  u64 line_scanned;
};

// Headings appended with one number, in append order: the section heading caches
// catch up from the last one they saw.
struct DocHeadingLogEntry {
  DocHeadingLogEntry *next;
  DocNode *heading;
};

struct DocHeadingLog {
  DocHeadingLogEntry *first;
  DocHeadingLogEntry *last;
};

// What doc_node_find_last(section, number, Heading) gave last time, and the first
// heading it had to find: see doc_section_find_heading.
struct DocSectionHeadingCache {
  DocSectionHeadingCache *next;
  u8 number;
  DocNode *first;          // the first heading of the number in pre-order, or nil
  DocNode *last;           // the last heading of the number among first's siblings
  DocNode *scanned;        // the last of first's siblings looked at
  DocHeadingLogEntry *seen;  // the last log entry accounted for
};

// Where the last metadata-key search ended on the current line, so the inline
// sections of one long line do not each search the rest of it again.
struct DocLineSearch {
  u64 from;  // the answer `at` holds for queries from `from` up to `at`; none if from > at
  u64 at;
};

struct DocParser {
  Arena *arena;
  Arena *scratch;
  StrView source;
  StrView path;
  DocToken *tokens;
  u64 count;
  u64 i;
  DocParseContext sentinel;
  DocParseContext *top;
  DocParseContext *free_list;
  DocParseResult *result;
  DocParseOptions options;
  u64 depth;
  DocHeadingLog *heading_logs;  // 256 of them once a section looks a heading up, else 0
  // Metadata-key searches: the line end (a token index), the first ":" and the first
  // "``" at or after a byte offset, and where the key before that ":" ends once
  // trailing blanks are dropped (searched back from the ":" no further than
  // `meta_key_from`).
  DocLineSearch meta_eol;
  DocLineSearch meta_colon;
  DocLineSearch meta_ticks;
  u64 meta_key_colon;
  u64 meta_key_from;
  u64 meta_key_end;
  u64 meta_said_at;  // the key of the metadata block last said not to be one
  b32 table_hint_said;
};

//~ Tokens

inline DocToken doc_end_token = {0, 0, 0};

inline DocToken *
doc_tok(DocParser *p, u64 j) {
  return j < p->count ? &p->tokens[j] : &doc_end_token;
}

inline StrView
doc_tok_text(DocParser *p, DocToken *t) {
  return str_substr(p->source, t->start, t->end);
}

inline bool
doc_is(DocParser *p, u64 j, u32 kind) {
  return (doc_tok(p, j)->kind & kind) != 0;
}

inline bool
doc_is_escaped(DocParser *p, u64 j) {
  if (j >= p->count) return false;
  return (p->tokens[j].kind & DocTokenKind_Escaped) || (j > 0 && p->tokens[j - 1].kind == DocTokenKind_Backslash);
}

inline bool
doc_is_char(DocParser *p, u64 j, u8 c) {
  DocToken *t = doc_tok(p, j);
  return t->end == t->start + 1 && p->source.data[t->start] == c;
}

// An unescaped one-byte punctuation or symbol token with this character.
inline bool
doc_is_mark(DocParser *p, u64 j, u8 c) {
  return j < p->count && doc_is_char(p, j, c) && !doc_is_escaped(p, j) &&
         (doc_tok(p, j)->kind & (DocTokenKind_Punct | DocTokenKind_Symbol));
}

template <u64 N>
inline bool
doc_is_text_equal(DocParser *p, u64 j, const char (&s)[N]) {
  if (j >= p->count) return false;
  DocToken *t = &p->tokens[j];
  return t->end - t->start == N - 1 && memcmp(p->source.data + t->start, s, N - 1) == 0;
}

inline bool
doc_is_unescaped(DocParser *p, u64 j, u32 kind) {
  return doc_is(p, j, kind) && !doc_is_escaped(p, j);
}

// Width of the blank run right before token j (the indentation at a line start).
inline u64
doc_blank_before(DocParser *p, u64 j) {
  if (j == 0 || j > p->count) return 0;
  DocToken *t = &p->tokens[j - 1];
  if (!(t->kind & DocTokenKind_Whitespace)) return 0;
  return t->end - t->start;
}

inline u8
doc_clamp_u8(u64 v) {
  return (u8)Min(v, (u64)255);
}

inline void
doc_skip_line(DocParser *p) {
  while (p->i < p->count && !(p->tokens[p->i].kind & DocTokenKind_Newline)) p->i += 1;
  if (p->i < p->count) p->i += 1;
}

//~ Contexts

inline DocParseContext *
doc_push(DocParser *p, u32 state, DocNode *node, u64 flags) {
  DocParseContext *c;
  FrameAlloc(p->free_list, p->scratch, DocParseContext, c);
  c->parent = p->top;
  c->state = state;
  c->in_list_item = DocMemo_Unknown;
  c->node = node;
  c->flags = flags;
  c->data = 0;
  c->heading0_of = 0;
  p->top = c;
  p->depth += 1;
  return c;
}

inline void
doc_pop(DocParser *p) {
  if (p->top == &p->sentinel) return;
  FrameRelease(p->top, p->free_list);
  p->depth -= 1;
}

// The nearest context in the given state, or null.
inline DocParseContext *
doc_find_context(DocParser *p, u32 state) {
  for (DocParseContext *c = p->top; c && c != &p->sentinel; c = c->parent) {
    if (c->state == state) return c;
  }
  return 0;
}

inline bool
doc_is_collapsible(DocNode *n) {
  return n->kind == DocNodeKind_Collapsible || n->kind == DocNodeKind_TopCollapsible;
}

//~ Nodes

inline DocNode *
doc_emit_node(DocParser *p, u32 kind, u64 j) {
  DocToken *t = doc_tok(p, j);
  DocNode *n = push_array_no_zero(p->arena, DocNode, 1);
  StrView text = doc_tok_text(p, t);
  n->next = n->prev = n->parent = n->first_child = n->last_child = doc_nil_node;
  n->meta_key = 0;
  n->number = 0;
  n->kind = kind;
  n->flags = doc_flags_from_token(t->kind);
  n->text = text;  // two plain stores: reading the first back would stall store forwarding
  n->raw = text;
  n->source_offset = t->start;
  n->indent = n->deepest_level = n->quote_memo = 0;
  n->child_count = 0;
  return n;
}

inline DocNode *
doc_emit_empty(DocParser *p, u32 kind, u64 flags, u64 offset) {
  return doc_node_create(p->arena, kind, flags, StrView{}, StrView{}, offset);
}

// Drops the space mark of a line's last child: nothing follows it on the line.
inline void
doc_clear_trailing_space(DocNode *line) {
  if (!doc_node_is_nil(line->last_child)) line->last_child->flags &= ~(u64)DocNodeFlag_SpaceAfter;
}

//~ Recognisers

// A list marker at j: "." alone, or a word or number directly followed by ".".
inline bool
doc_is_list_marker(DocParser *p, u64 j) {
  if (j >= p->count || doc_is_escaped(p, j)) return false;
  if (doc_is_mark(p, j, '.')) return true;
  if (!doc_is(p, j, DocTokenKind_Word | DocTokenKind_Number)) return false;
  return doc_is_mark(p, j + 1, '.');
}

// A list that starts inside a line: a number or a single letter standing on its own
// (after a blank or "("), then "." and a blank ("Steps 1. mix it"). A sentence's last word ("its content. Then"),
// a file name ("name.txt") or an abbreviation ("e.g. this") keeps its words.
inline bool
doc_inline_list_marker(DocParser *p, u64 j) {
  if (j >= p->count || !doc_is_mark(p, j + 1, '.')) return false;
  DocToken *t = doc_tok(p, j);
  bool number = t->kind & DocTokenKind_Number;
  bool letter = (t->kind & DocTokenKind_Word) && t->end == t->start + 1;
  if (!number && !letter) return false;
  bool after_blank = j == 0 || (doc_tok(p, j - 1)->kind & (DocTokenKind_Whitespace | DocTokenKind_Newline)) ||
                     doc_is_char(p, j - 1, '(');
  bool blank_after = j + 2 < p->count && (doc_tok(p, j + 2)->kind & DocTokenKind_Whitespace);
  return after_blank && blank_after;
}

// The bracket forms: "[*N", "[#N" (blanks allowed after "["); 0 when none.
inline u8
doc_bracket_form(DocParser *p, u64 j, u64 *number_index) {
  u64 k = j + 1;
  while (doc_is(p, k, DocTokenKind_Whitespace)) k += 1;
  u8 form = doc_is_mark(p, k, '*') ? '*' : doc_is_mark(p, k, '#') ? '#' : 0;
  if (!form || !doc_is(p, k + 1, DocTokenKind_Number)) return 0;
  *number_index = k + 1;
  return form;
}

inline u8
doc_read_decimal(DocParser *p, u64 j) {
  StrView s = doc_tok_text(p, doc_tok(p, j));
  u64 n = 0;
  while (n < s.length && char_is_digit(s.data[n])) n += 1;
  return (u8)str_to_u64(str_prefix(s, n), 10);
}

//~ Shared by the phases

// doc_parse.cpp
void doc_emit_error(DocParser *p, u64 j);
// Likely mistakes, with what to do; doc_advice_kept says whether a message is worth formatting.
bool doc_advice_kept(DocParser *p);
void doc_emit_advice(DocParser *p, u64 offset, u32 severity, StrView message);
// The same for each byte of a run of invalid bytes, as if each were a token of its own.
void doc_emit_error_each_byte(DocParser *p, u64 j);
bool doc_node_in_quote(DocNode *node);
DocParseContext *doc_open_section(DocParser *p, bool *in_quote);
void doc_open_line(DocParser *p, u64 j);
void doc_parse_line_start(DocParser *p, DocParseContext *c);
void doc_parse_judge_line(DocParser *p, DocParseContext *c);
void doc_parse_place_line(DocParser *p, DocParseContext *c);

// doc_blocks.cpp
void doc_line_backticks(DocParser *p, DocParseContext *c, u64 j);
void doc_open_quote(DocParser *p, DocParseContext *c, u64 j);
void doc_quote_line(DocParser *p, u64 j);
void doc_parse_list(DocParser *p, DocParseContext *c);
void doc_parse_list_item(DocParser *p, DocParseContext *c);
void doc_parse_table(DocParser *p, DocParseContext *c);
void doc_parse_table_row(DocParser *p, DocParseContext *c);
void doc_parse_code_block(DocParser *p, DocParseContext *c);

// doc_inline.cpp
bool doc_try_meta_entry(DocParser *p, DocNode *section, u64 j);
void doc_parse_link(DocParser *p, DocNode *line, DocNode *node, u64 j, bool image);
void doc_parse_inline(DocParser *p, DocParseContext *c);
void doc_parse_inline_collapsible(DocParser *p, DocParseContext *c);
void doc_parse_bracket(DocParser *p, DocParseContext *c);
