// The qil parser: one forward pass over the tokens with an explicit stack of
// contexts. This file holds the frame: the driver loop, line starts, and how lines
// are judged and placed in the outline; doc_blocks.cpp and doc_inline.cpp hold the
// other phases. Conventions of the parser:
//  1. Each state handler either consumes at least one token or changes the stack;
//     a handler that only changes the stack leaves the token to the new top.
//  2. A token that right follows a backslash token counts as escaped, whatever
//     its kind: an escaped token never starts a construct.
//  3. Unusable tokens are reported with a diagnostic and skipped.
//  4. No lookup may climb the whole tree or stack again for every line or token:
//     what it found is kept (see doc_parse_internal.h) so long inputs cost linear time.
#include "doc/doc_parse_internal.h"

//~ Diagnostics and shared lookups

// A diagnostic for token j. No node is made: a diagnostic carries its own offset, and
// a binary file has an unusable token at nearly every byte.
void
doc_emit_error(DocParser *p, u64 j) {
  DocToken *t = doc_tok(p, j);
  DiagnosticList *list = &p->result->diagnostics;
  // Past the kept diagnostics only the count grows: no message is formatted.
  StrView text = doc_tok_text(p, t);
  // A run of invalid bytes is one token; the diagnostic names its first byte.
  if (t->kind & DocTokenKind_Invalid) text = str_prefix(text, 1);
  StrView msg = diag_list_keeps(list) ? str_pushf(p->arena, "Unexpected \"%S\" token.", &text) : StrView{};
  diag_push(p->arena, list, t->start, DiagSeverity_Error, msg);
}

void
doc_emit_error_each_byte(DocParser *p, u64 j) {
  DocToken *t = doc_tok(p, j);
  DiagnosticList *list = &p->result->diagnostics;
  u64 at = t->start;
  for (; at < t->end && diag_list_keeps(list); at += 1) {
    StrView byte = str_substr(p->source, at, at + 1);
    diag_push(p->arena, list, at, DiagSeverity_Error, str_pushf(p->arena, "Unexpected \"%S\" token.", &byte));
  }
  // The rest are counted, not kept, all at once.
  diag_count(list, DiagSeverity_Error, t->end - at);
}

// A likely mistake and what to do about it. Said in the one-line form only (see
// DiagFlag_OneLine); the message is formatted only while the list keeps it.
bool
doc_advice_kept(DocParser *p) {
  return p->result->diagnostics.one_line < DIAG_KEEP_MAX;
}

void
doc_emit_advice(DocParser *p, u64 offset, u32 severity, StrView message) {
  diag_push_flags(p->arena, &p->result->diagnostics, offset, severity, message, DiagFlag_OneLine);
}

// Whether a quotation encloses the node. Each node climbed past keeps the answer,
// so a deep tree (a long chain of table columns, nested inline sections) is climbed
// once, not once per query.
bool
doc_node_in_quote(DocNode *node) {
  u8 answer = DocMemo_No;
  DocNode *n = node;
  for (; !doc_node_is_nil(n); n = n->parent) {
    if (n->kind == DocNodeKind_Quote) {
      answer = DocMemo_Yes;
      break;
    }
    if (n->quote_memo != DocMemo_Unknown) {
      answer = n->quote_memo;
      break;
    }
  }
  for (DocNode *m = node; m != n; m = m->parent) m->quote_memo = answer;
  return answer == DocMemo_Yes;
}

// The open block section: the nearest collapsible context; a quotation opened
// after it hides it.
DocParseContext *
doc_open_section(DocParser *p, bool *in_quote) {
  *in_quote = false;
  for (DocParseContext *c = p->top; c && c != &p->sentinel; c = c->parent) {
    if (c->state == DocParseState_Collapsible) {
      *in_quote = doc_node_in_quote(c->node);
      return c;
    }
  }
  return 0;
}

//~ Line starts

void
doc_open_line(DocParser *p, u64 j) {
  DocNode *line = doc_emit_node(p, DocNodeKind_Line, j);
  line->text = line->raw = StrView{};
  line->indent = doc_clamp_u8(doc_blank_before(p, j));
  // Judging and placing consume no token: they run at once rather than through the loop.
  doc_push(p, DocParseState_LineStart, line, 0);
  doc_parse_judge_line(p, p->top);
  doc_parse_place_line(p, p->top);
}

// The first token of a line in the Document or Collapsible state.
void
doc_parse_line_start(DocParser *p, DocParseContext *c) {
  u64 j = p->i;
  DocToken *t = doc_tok(p, j);

  //- blanks, empty lines and comments
  if (t->kind & (DocTokenKind_Whitespace | DocTokenKind_Newline)) {
    p->i += 1;
    return;
  }
  if ((t->kind & DocTokenKind_DoubleSlash) && !doc_is_escaped(p, j)) {
    doc_skip_line(p);
    return;
  }
  bool in_section = c->state == DocParseState_Collapsible;

  //- [``] closes or opens a section
  if (doc_is_unescaped(p, j, DocTokenKind_DoubleBacktick)) {
    doc_line_backticks(p, c, j);
    return;
  }
  //- [key ":"] metadata entry, inside a section
  if (in_section && doc_try_meta_entry(p, c->node, j)) return;
  //- [marker] list
  if (doc_is_list_marker(p, j)) {
    doc_push(p, DocParseState_List, c->node, 0);
    return;
  }
  //- [---] separator; the rest of the line is ignored
  if (t->kind & DocTokenKind_TripleDash) {
    DocNode *sep = doc_emit_node(p, DocNodeKind_Separator, j);
    doc_node_append(c->node, sep);
    doc_skip_line(p);
    return;
  }
  //- [|] table
  if (doc_is_unescaped(p, j, DocTokenKind_Pipe)) {
    doc_push(p, DocParseState_Table, c->node, 0);
    return;
  }
  //- [```] code block
  if (doc_is_unescaped(p, j, DocTokenKind_TripleBacktick)) {
    doc_push(p, DocParseState_CodeBlock, c->node, 0);
    return;
  }
  //- ["[*N"] footnote
  u64 number_index = 0;
  if (doc_is_unescaped(p, j, DocTokenKind_OpenBracket) && doc_bracket_form(p, j, &number_index) == '*') {
    doc_push(p, DocParseState_Bracket, c->node, 0);
    return;
  }
  //- [> <] quotation
  if (doc_is_mark(p, j, '>') || doc_is_mark(p, j, '<')) {
    doc_open_quote(p, c, j);
    return;
  }
  //- anything else: a plain line
  if (c->node->kind == DocNodeKind_Quote) {
    doc_quote_line(p, j);
    return;
  }
  doc_open_line(p, j);
}

//~ Outline

void
doc_parse_judge_line(DocParser *p, DocParseContext *c) {
  DocNode *line = c->node;
  u64 indent = doc_blank_before(p, p->i);
  bool in_quote = false;
  DocParseContext *sec = doc_open_section(p, &in_quote);
  if (sec && !in_quote && sec->node->indent <= indent) indent -= sec->node->indent;
  u64 level = indent / 2;

  //- an outline never skips levels downwards
  DocParseContext *below = c->parent;
  DocNode *from = below ? below->node : doc_nil_node;
  DocNode *h0 = doc_nil_node;
  if (below && below->heading0_of == from) {
    h0 = below->heading0;
  } else {
    for (DocNode *n = from; !doc_node_is_nil(n); n = n->parent) {
      if (n->kind == DocNodeKind_Heading && n->number == 0) {
        h0 = n;
        break;
      }
    }
    if (below) {
      below->heading0_of = from;
      below->heading0 = h0;
    }
  }
  if (!doc_node_is_nil(h0) && level != 0) {
    u64 dl = h0->deepest_level;
    u64 cap = (dl % 2 == 0) ? dl + 2 : dl + 1;
    level = Min(level, cap);
    h0->deepest_level = doc_clamp_u8(level);
  }
  line->number = doc_clamp_u8(level);
  line->kind = (level % 2 == 0) ? DocNodeKind_Heading : DocNodeKind_Paragraph;
  if (sec) line->flags |= DocNodeFlag_InCollapsible;
  c->state = DocParseState_PlaceLine;
}

// Whether `node` lies in the subtree of `top` (itself included), climbing no higher
// than `stop`.
static bool
doc_node_within(DocNode *node, DocNode *top, DocNode *stop) {
  for (DocNode *n = node; !doc_node_is_nil(n); n = n->parent) {
    if (n == top) return true;
    if (n == stop) return false;
  }
  return false;
}

// doc_node_find_last(section, number, Heading) for the section of context `sec`:
// the first heading of that number in pre-order, then the last of its siblings with
// the number. Asked for every line of a section, the plain search walks the whole
// section each time; here the answer is kept per section and number and brought up
// to date from the headings appended since, which is all that can change it. A
// heading appended where its order against the first one is not plain from the two
// ancestries makes the search run again, from the section.
static DocNode *
doc_section_find_heading(DocParser *p, DocParseContext *sec, u8 number) {
  DocNode *s = sec->node;
  if (doc_node_is_nil(s) || s->number == number) return doc_nil_node;
  if (!p->heading_logs) p->heading_logs = push_array(p->scratch, DocHeadingLog, 256);
  DocHeadingLog *log = &p->heading_logs[number];
  DocSectionHeadingCache *cache = 0;
  for (DocSectionHeadingCache *e = (DocSectionHeadingCache *)sec->data; e; e = e->next) {
    if (e->number == number) {
      cache = e;
      break;
    }
  }
  bool search = false;
  if (!cache) {
    cache = push_array_no_zero(p->scratch, DocSectionHeadingCache, 1);
    cache->number = number;
    cache->first = cache->last = cache->scanned = doc_nil_node;
    cache->next = (DocSectionHeadingCache *)sec->data;
    sec->data = cache;
    search = true;
  } else {
    //- catch up with the headings of the number appended since the last look
    for (DocHeadingLogEntry *e = cache->seen ? cache->seen->next : log->first; e; e = e->next) {
      DocNode *h = e->heading;
      DocNode *first = cache->first;
      if (doc_node_is_nil(first)) {
        // The first one inside the section is the first in pre-order so far.
        if (doc_node_within(h, s, doc_nil_node)) cache->first = cache->last = cache->scanned = h;
        continue;
      }
      DocNode *at = h->parent;
      if (at == first->parent) {
        cache->last = h;  // a later sibling of the first
      } else if (!doc_node_within(at, first, s) && !doc_node_within(first, at, s->parent)) {
        // Neither below the first one nor closing a subtree that holds it: its place
        // against the first one is not known without a search.
        search = true;
        break;
      }
    }
  }
  cache->seen = log->last;
  if (search) {
    DocNode *first = doc_nil_node;
    for (DocNode *n = doc_node_next_preorder(s, s); !doc_node_is_nil(n); n = doc_node_next_preorder(n, s)) {
      if (n->kind == DocNodeKind_Heading && n->number == number) {
        first = n;
        break;
      }
    }
    if (first != cache->first) cache->first = cache->last = cache->scanned = first;
  }
  //- siblings appended after the last one looked at
  if (!doc_node_is_nil(cache->first)) {
    for (DocNode *x = cache->scanned->next; !doc_node_is_nil(x); x = x->next) {
      if (x->kind == DocNodeKind_Heading && x->number == number) cache->last = x;
      cache->scanned = x;
    }
  }
  return cache->last;
}

void
doc_parse_place_line(DocParser *p, DocParseContext *c) {
  DocNode *line = c->node;
  doc_pop(p);
  bool in_quote = false;
  DocParseContext *sec = doc_open_section(p, &in_quote);
  DocNode *parent = doc_nil_node;
  if (!sec || in_quote) {
    //- outside sections: up the outline to a lower heading
    for (;;) {
      DocNode *n = p->top->node;
      if (p->top == &p->sentinel || n->kind == DocNodeKind_Document || doc_is_collapsible(n)) break;
      if (n->kind == DocNodeKind_Heading && n->number < line->number) break;
      doc_pop(p);
    }
    parent = p->top->node;
  } else {
    //- inside a section: under the heading of the level above
    u64 level = line->number;
    u64 target = line->kind == DocNodeKind_Paragraph ? (level ? level - 1 : 0) : (level >= 2 ? level - 2 : 0);
    DocNode *s = sec->node;
    parent = s;
    if (s->number != target) {
      DocNode *h = doc_section_find_heading(p, sec, (u8)target);
      if (!doc_node_is_nil(h)) parent = h;
    }
    while (p->top != sec && p->top != &p->sentinel) doc_pop(p);
  }
  doc_node_append(parent, line);
  if (p->heading_logs && line->kind == DocNodeKind_Heading) {
    DocHeadingLogEntry *e = push_array_no_zero(p->scratch, DocHeadingLogEntry, 1);
    e->heading = line;
    DocHeadingLog *log = &p->heading_logs[line->number];
    SLLQueuePush(log->first, log->last, e);
  }
  doc_push(p, DocParseState_Inline, line, 0);
}

//~ Constructs left open at the end

static bool
doc_section_holds_metadata(DocNode *section) {
  for (DocNode *c = section->first_child; !doc_node_is_nil(c); c = c->next) {
    if (c->kind == DocNodeKind_MetaEntry) return true;
  }
  return false;
}

// The parser takes whatever is open at the end as ending there (nothing is lost from the
// tree), but what follows an unclosed fence, section or quote is not what the author
// meant: each is said where it opens.
static void
doc_check_left_open(DocParser *p) {
  for (DocParseContext *c = p->top; c && c != &p->sentinel; c = c->parent) {
    if (!doc_advice_kept(p)) return;
    if (c->state == DocParseState_CodeBlock && c->flags) {
      doc_emit_advice(p, c->node->source_offset, DiagSeverity_Error,
                      str_lit("this code block is never closed: everything after it shows as code; "
                              "add ``` on its own line where the code ends"));
    } else if (c->state == DocParseState_Collapsible) {
      DocNode *sec = c->node;
      if (sec->kind == DocNodeKind_TopCollapsible && doc_section_holds_metadata(sec)) {
        doc_emit_advice(p, sec->source_offset, DiagSeverity_Error,
                        str_lit("this metadata block is never closed: the whole body is hidden in it; "
                                "add `` on its own line after the last key"));
      } else {
        doc_emit_advice(p, sec->source_offset, DiagSeverity_Warning,
                        str_lit("this section is never closed: it runs to the end of the document; add `` on "
                                "its own line where it ends, indented as the `` that opens it"));
      }
    }
  }
  // An unterminated quoted text runs to the end of the source: it is the last token.
  if (p->count && (p->tokens[p->count - 1].kind & DocTokenKind_Unterminated) && doc_advice_kept(p)) {
    doc_emit_advice(p, p->tokens[p->count - 1].start, DiagSeverity_Error,
                    str_lit("this quoted text is never closed: the rest of the document became part of it; "
                            "add \" where it ends"));
  }
}

//~ Driver

static void
doc_parse_step(DocParser *p) {
  DocParseContext *c = p->top;
  switch (c->state) {
    case DocParseState_Document:
    case DocParseState_Collapsible:
    case DocParseState_Quote: doc_parse_line_start(p, c); break;
    case DocParseState_LineStart: doc_parse_judge_line(p, c); break;
    case DocParseState_PlaceLine: doc_parse_place_line(p, c); break;
    case DocParseState_Inline: doc_parse_inline(p, c); break;
    case DocParseState_InlineCollapsible: doc_parse_inline_collapsible(p, c); break;
    case DocParseState_Bracket: doc_parse_bracket(p, c); break;
    case DocParseState_List: doc_parse_list(p, c); break;
    case DocParseState_ListItem: doc_parse_list_item(p, c); break;
    case DocParseState_Table: doc_parse_table(p, c); break;
    case DocParseState_TableRow: doc_parse_table_row(p, c); break;
    case DocParseState_CodeBlock: doc_parse_code_block(p, c); break;
    default:
      // No other state is ever pushed; recover by treating the token as unexpected.
      doc_emit_error(p, p->i);
      p->i += 1;
      break;
  }
}

DocParseResult
doc_parse(Arena *arena, StrView path, StrView source, DocLexResult tokens, const DocParseOptions *options) {
  DocParseResult result = {};
  ArenaTemp scratch = scratch_begin(&arena, 1);
  DocParser p = {};
  p.arena = arena;
  p.scratch = scratch.arena;
  p.source = source;
  p.path = path;
  p.tokens = tokens.tokens.tokens;
  p.count = tokens.tokens.count;
  p.result = &result;
  if (options) p.options = *options;
  p.meta_eol = p.meta_colon = p.meta_ticks = DocLineSearch{1, 0};
  p.meta_said_at = ~(u64)0;

  result.root = doc_node_create(arena, DocNodeKind_Document, 0, source, source, 0);
  result.toc = doc_emit_empty(&p, DocNodeKind_Toc, 0, 0);
  result.footnotes = doc_emit_empty(&p, DocNodeKind_FootnoteList, 0, 0);
  result.title = doc_nil_node;
  result.meta_block = 0;

  p.sentinel.state = DocParseState_Document;
  p.sentinel.node = result.root;
  p.sentinel.parent = 0;
  p.top = &p.sentinel;
  doc_push(&p, DocParseState_Document, result.root, 0);

  // Progress is a consumed token or a stack shallower than ever since the last one;
  // both are bounded, so the loop ends whatever the states do.
  u64 last_i = 0;
  u64 min_depth = p.depth;
  u64 stalled = 0;
  while (p.i < p.count) {
    doc_parse_step(&p);
    if (p.i != last_i) {
      last_i = p.i;
      min_depth = p.depth;
      stalled = 0;
    } else if (p.depth < min_depth) {
      min_depth = p.depth;
      stalled = 0;
    } else if (++stalled > DOC_PARSE_STALL_LIMIT) {
      doc_emit_error(&p, p.i);
      p.i += 1;
      stalled = 0;
    }
  }

  doc_check_left_open(&p);
  result.ok = result.diagnostics.max_severity <= (s32)DiagSeverity_Error ? 1 : 0;
  scratch_end(scratch);
  return result;
}

//~ Entry point

DocParseResult
doc_parse_file(Arena *arena, StrView source, StrView path, const DocParseOptions *options) {
  DocParseResult result = {};
  result.title = doc_nil_node;
  if (source.length == 0) return result;
  // The tokens are needed only while parsing: they live on scratch memory, so a long
  // run keeps each document's tree but none of its tokens.
  ArenaTemp scratch = scratch_begin(&arena, 1);
  DocLexResult lex = doc_tokenize(scratch.arena ? scratch.arena : arena, source);
  DocParseResult parsed = doc_parse(arena, path, source, lex, options);
  result = parsed;
  //- the lexer's findings (on scratch memory) come first, copied to the result's arena
  DiagnosticList merged = {};
  for (Diagnostic *d = lex.diagnostics.first; d; d = d->next) {
    diag_push_flags(arena, &merged, d->offset, d->severity, str_push_copy(arena, d->message), d->flags);
  }
  merged.count = lex.diagnostics.count;
  merged.max_severity = lex.diagnostics.max_severity;
  for (Diagnostic *d = parsed.diagnostics.first; d; d = d->next) {
    diag_push_flags(arena, &merged, d->offset, d->severity, d->message, d->flags);
  }
  merged.count = lex.diagnostics.count + parsed.diagnostics.count;
  merged.errors = lex.diagnostics.errors + parsed.diagnostics.errors;
  merged.warnings = lex.diagnostics.warnings + parsed.diagnostics.warnings;
  merged.max_severity = Max(merged.max_severity, parsed.diagnostics.max_severity);
  result.diagnostics = merged;
  result.ok = merged.max_severity <= (s32)DiagSeverity_Error ? 1 : 0;
  scratch_end(scratch);
  return result;
}
