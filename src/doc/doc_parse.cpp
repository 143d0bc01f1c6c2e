// The qil parser: one forward pass over the tokens with an explicit stack of
// contexts. Conventions of this file:
//  1. Each state handler either consumes at least one token or changes the stack;
//     a handler that only changes the stack leaves the token to the new top.
//  2. A token that right follows a backslash token counts as escaped, whatever
//     its kind: an escaped token never starts a construct.
//  3. Unusable tokens become Error nodes with a diagnostic and are skipped.
#include "doc/doc_core.h"

#include "net/net_link.h"

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

struct DocParseContext {
  DocParseContext *parent;
  u32 state;
  DocNode *node;
  u64 flags;
  void *data;  // state-specific: the column table of a table
};

struct DocTableInfo {
  DocNode **columns;
  u64 *positions;
  u64 column_count;
  b32 header_done;
  u64 next_free;  // the column after the last cell of the row being read
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
};

//~ Tokens

static DocToken doc_end_token = {0, 0, 0};

static inline DocToken *
doc_tok(DocParser *p, u64 j) {
  return j < p->count ? &p->tokens[j] : &doc_end_token;
}

static inline StrView
doc_tok_text(DocParser *p, DocToken *t) {
  return str_substr(p->source, t->start, t->end);
}

static inline bool
doc_is(DocParser *p, u64 j, u32 kind) {
  return (doc_tok(p, j)->kind & kind) != 0;
}

static inline bool
doc_is_escaped(DocParser *p, u64 j) {
  if (j >= p->count) return false;
  return (p->tokens[j].kind & DocTokenKind_Escaped) || (j > 0 && p->tokens[j - 1].kind == DocTokenKind_Backslash);
}

static inline bool
doc_is_char(DocParser *p, u64 j, u8 c) {
  DocToken *t = doc_tok(p, j);
  return t->end == t->start + 1 && p->source.data[t->start] == c;
}

// An unescaped one-byte punctuation or symbol token with this character.
static inline bool
doc_is_mark(DocParser *p, u64 j, u8 c) {
  return j < p->count && doc_is_char(p, j, c) && !doc_is_escaped(p, j) &&
         (doc_tok(p, j)->kind & (DocTokenKind_Punct | DocTokenKind_Symbol));
}

template <u64 N>
static inline bool
doc_is_text_equal(DocParser *p, u64 j, const char (&s)[N]) {
  if (j >= p->count) return false;
  DocToken *t = &p->tokens[j];
  return t->end - t->start == N - 1 && memcmp(p->source.data + t->start, s, N - 1) == 0;
}

static inline bool
doc_is_unescaped(DocParser *p, u64 j, u32 kind) {
  return doc_is(p, j, kind) && !doc_is_escaped(p, j);
}

// Width of the blank run right before token j (the indentation at a line start).
static u64
doc_blank_before(DocParser *p, u64 j) {
  if (j == 0 || j > p->count) return 0;
  DocToken *t = &p->tokens[j - 1];
  if (!(t->kind & DocTokenKind_Whitespace)) return 0;
  return t->end - t->start;
}

static inline u8
doc_clamp_u8(u64 v) {
  return (u8)Min(v, (u64)255);
}

// Start offset of the line holding token j.
static u64
doc_line_start_offset(DocParser *p, u64 j) {
  u64 off = doc_tok(p, j)->start;
  while (off > 0 && p->source.data[off - 1] != '\n' && p->source.data[off - 1] != '\r') off -= 1;
  return off;
}

static void
doc_skip_line(DocParser *p) {
  while (p->i < p->count && !(p->tokens[p->i].kind & DocTokenKind_Newline)) p->i += 1;
  if (p->i < p->count) p->i += 1;
}

//~ Contexts

static DocParseContext *
doc_push(DocParser *p, u32 state, DocNode *node, u64 flags) {
  DocParseContext *c = p->free_list;
  if (c) p->free_list = c->parent;
  else c = push_array_no_zero(p->scratch, DocParseContext, 1);
  c->parent = p->top;
  c->state = state;
  c->node = node;
  c->flags = flags;
  c->data = 0;
  p->top = c;
  p->depth += 1;
  return c;
}

static void
doc_pop(DocParser *p) {
  DocParseContext *c = p->top;
  if (c == &p->sentinel) return;
  p->top = c->parent;
  c->parent = p->free_list;
  p->free_list = c;
  p->depth -= 1;
}

// The nearest context in the given state, or null.
static DocParseContext *
doc_find_context(DocParser *p, u32 state) {
  for (DocParseContext *c = p->top; c && c != &p->sentinel; c = c->parent) {
    if (c->state == state) return c;
  }
  return 0;
}

static bool
doc_is_collapsible(DocNode *n) {
  return n->kind == DocNodeKind_Collapsible || n->kind == DocNodeKind_TopCollapsible;
}

// The open block section: the nearest collapsible context; a quotation opened
// after it hides it.
static DocParseContext *
doc_open_section(DocParser *p, bool *in_quote) {
  *in_quote = false;
  for (DocParseContext *c = p->top; c && c != &p->sentinel; c = c->parent) {
    if (c->state == DocParseState_Collapsible) {
      *in_quote = !doc_node_is_nil(doc_node_find_ancestor(c->node, DocNodeKind_Quote));
      return c;
    }
  }
  return 0;
}

//~ Nodes and diagnostics

static DocNode *
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
  n->indent = n->deepest_level = 0;
  n->child_count = 0;
  return n;
}

// The common case, a text node for token j appended to `line`, in one step.
static DocNode *
doc_emit_text_fast(DocParser *p, DocNode *line, u64 j, u64 extra_flags) {
  DocToken *t = &p->tokens[j];
  DocNode *n = push_array_no_zero(p->arena, DocNode, 1);
  StrView text = {p->source.data + t->start, t->end - t->start};
  n->next = doc_nil_node;
  n->prev = line->last_child;
  n->parent = line;
  n->first_child = n->last_child = doc_nil_node;
  n->meta_key = 0;
  n->number = 0;
  n->kind = DocNodeKind_Text;
  n->flags = doc_flags_from_token(t->kind) | extra_flags;
  n->text = text;  // two plain stores: reading the first back would stall store forwarding
  n->raw = text;
  n->source_offset = t->start;
  n->indent = n->deepest_level = 0;
  n->child_count = 0;
  if (line->last_child == doc_nil_node) line->first_child = n;
  else line->last_child->next = n;
  line->last_child = n;
  line->child_count += 1;
  return n;
}

static DocNode *
doc_emit_empty(DocParser *p, u32 kind, u64 flags, u64 offset) {
  return doc_node_create(p->arena, kind, flags, StrView{}, StrView{}, offset);
}

static void
doc_emit_error(DocParser *p, u64 j) {
  DocNode *err = doc_emit_node(p, DocNodeKind_Error, j);
  DiagnosticList *list = &p->result->diagnostics;
  // Past the kept diagnostics only the count grows: no message is formatted.
  StrView msg = diag_list_keeps(list) ? str_pushf(p->arena, "Unexpected \"%S\" token.", &err->text) : StrView{};
  doc_diag_push(p->arena, list, err->source_offset, DiagSeverity_Error, msg);
}

// Drops the space mark of a line's last child: nothing follows it on the line.
static void
doc_clear_trailing_space(DocNode *line) {
  if (!doc_node_is_nil(line->last_child)) line->last_child->flags &= ~(u64)DocNodeFlag_SpaceAfter;
}

//~ Recognisers

// A list marker at j: "." alone, or a word or number directly followed by ".".
static bool
doc_is_list_marker(DocParser *p, u64 j) {
  if (j >= p->count || doc_is_escaped(p, j)) return false;
  if (doc_is_mark(p, j, '.')) return true;
  if (!doc_is(p, j, DocTokenKind_Word | DocTokenKind_Number)) return false;
  return doc_is_mark(p, j + 1, '.');
}

// The bracket forms: "[*N", "[#N" (blanks allowed after "["); 0 when none.
static u8
doc_bracket_form(DocParser *p, u64 j, u64 *number_index) {
  u64 k = j + 1;
  while (doc_is(p, k, DocTokenKind_Whitespace)) k += 1;
  u8 form = doc_is_mark(p, k, '*') ? '*' : doc_is_mark(p, k, '#') ? '#' : 0;
  if (!form || !doc_is(p, k + 1, DocTokenKind_Number)) return 0;
  *number_index = k + 1;
  return form;
}

static u8
doc_read_decimal(DocParser *p, u64 j) {
  StrView s = doc_tok_text(p, doc_tok(p, j));
  u64 n = 0;
  while (n < s.length && char_is_digit(s.data[n])) n += 1;
  return (u8)str_to_u64(str_prefix(s, n), 10);
}

//~ Metadata entries

// Tries a metadata entry at token j (inside a collapsible section). On success the
// entry is appended to the section and its value is read as inline content.
static bool
doc_try_meta_entry(DocParser *p, DocNode *section, u64 j) {
  DocToken *t = doc_tok(p, j);
  bool starts_key = (t->kind & (DocTokenKind_Word | DocTokenKind_Number)) ||
                    ((t->kind & DocTokenKind_Symbol) && (doc_is_text_equal(p, j, "_") || doc_is_text_equal(p, j, "__")));
  if (j >= p->count || !starts_key) return false;

  //- the key runs to a ":" before the line end and before any "``"
  u64 eol = p->source.length;
  for (u64 k = j; k < p->count; k += 1) {
    if (p->tokens[k].kind & DocTokenKind_Newline) {
      eol = p->tokens[k].start;
      break;
    }
  }
  // Both searches stop at the line end, so a long section costs linear time.
  StrView line_rest = str_substr(p->source, t->start, eol);
  u64 colon = t->start + str_find(line_rest, 0, str_lit(":"), 0);
  u64 ticks = t->start + str_find(line_rest, 0, str_lit("``"), 0);
  if (colon >= eol || colon >= ticks) return false;
  StrView key = str_trim_trailing_whitespace(str_substr(p->source, t->start, colon));
  const MetaKey *row = doc_meta_key_lookup(key);
  if (!row || row->name.length == 0) return false;

  //- the entry
  MetaKey *copy = push_struct(p->arena, MetaKey);
  *copy = *row;
  DocNode *entry = doc_node_create(p->arena, DocNodeKind_MetaEntry, doc_flags_from_token(t->kind), copy->name,
                                   copy->name, t->start);
  entry->meta_key = copy;
  doc_node_append(section, entry);

  //- move on to the ":" (or any punctuation) before the line end
  u64 k = j;
  if (!(t->kind & DocTokenKind_Punct)) {
    while (k < p->count && !(p->tokens[k].kind & (DocTokenKind_Punct | DocTokenKind_Newline))) k += 1;
  }
  if (k < p->count && (p->tokens[k].kind & DocTokenKind_Punct)) k += 1;

  if (doc_node_is_nil(p->result->title) && copy->id == 1) {
    p->result->title = entry;
  } else if (copy->id == 12) {
    u64 v = k;
    if (doc_is(p, v, DocTokenKind_Whitespace)) v += 1;
    if (v < p->count && !doc_is(p, v, DocTokenKind_Newline)) p->result->status = doc_tok_text(p, doc_tok(p, v));
  }
  p->i = k;
  doc_push(p, DocParseState_Inline, entry, 0);
  return true;
}

//~ Links

static bool
doc_status_is_draft(DocParser *p) {
  return str_match(p->result->status, str_lit("draft"), StrMatchFlag_CaseInsensitive);
}

// The folder a relative link target is resolved against: that of the page the link
// ends up in (the first output path so far), else the document's own.
static StrView
doc_link_base_folder(DocParser *p) {
  StrView base = p->path;
  if (p->result->output_paths.first) base = p->result->output_paths.first->string;
  return str_chop_last_slash_keep(base);
}

// `written` is the target as the document has it; `target` its "~"-expanded form, which
// the message shows.
static void
doc_check_file_target(DocParser *p, DocNode *node, StrView written, StrView target, u64 offset) {
  ArenaTemp scratch = scratch_begin(&p->arena, 1);
  StrView full = link_resolve_local(scratch.arena, written, p->options.root_path, doc_link_base_folder(p));
  if (full.length && !link_target_exists(full)) {
    node->flags |= DocNodeFlag_BrokenLink;
    DocNode *at = doc_node_create(p->arena, DocNodeKind_Error, 0, target, target, offset);
    StrView msg = str_pushf(p->arena, "%S not found", &target);
    doc_diag_push(p->arena, &p->result->diagnostics, at->source_offset, DiagSeverity_Warning, msg);
  }
  scratch_end(scratch);
}

// Resolves the quoted token j as the target of `node`, which stands in `line`.
// Consumes the quoted token and, for a link, an opening "(" of its description.
static void
doc_parse_link(DocParser *p, DocNode *line, DocNode *node, u64 j, bool image) {
  DocToken *t = doc_tok(p, j);
  StrView quoted = doc_tok_text(p, t);
  StrView target = str_skip(quoted, 1);
  if (!(t->kind & DocTokenKind_Unterminated) && target.length) target = str_chop(target, 1);
  StrView written = target;
  p->i = j + 1;

  //- web address, or a local path with "~" standing for the site root
  bool web = !(t->kind & DocTokenKind_HasSpace) && link_is_web_address(target);
  if (web) {
    node->flags |= DocNodeFlag_HttpLink;
  } else {
    target = link_expand_root(p->arena, target, p->options.root_path);
  }

  //- output paths of the document
  if (line->kind == DocNodeKind_MetaEntry && line->meta_key && line->meta_key->id == 4 && !doc_status_is_draft(p)) {
    str_list_push(p->arena, &p->result->output_paths, target);
  }

  //- local paths
  // The written form counts too: "~/x" is a local path whatever the root looks like.
  if (doc_path_like(target) || doc_path_like(written)) {
    node->flags |= DocNodeFlag_FileLink;
    // Only links are checked: an output path names a file this build is about to write.
    bool output = line->kind == DocNodeKind_MetaEntry && line->meta_key && line->meta_key->id == 4;
    if (p->options.check_file_paths && !web && !output) doc_check_file_target(p, node, written, target, t->start);
  }

  //- no link: plain quoted text
  if (!(node->flags & (DocNodeFlag_HttpLink | DocNodeFlag_FileLink))) {
    if (doc_is_collapsible(line->parent) || doc_is_collapsible(line)) node->flags |= DocNodeFlag_PlainQuoted;
    if (image) {
      // The "_" made no text of its own: the node shows the quoted text as written.
      node->text = quoted;
      node->raw = quoted;
    }
    return;
  }
  if (image) node->flags |= DocNodeFlag_Image;
  node->text = target;
  node->raw = quoted;

  //- description
  if (doc_is_mark(p, p->i, '(')) {
    DocNode *desc = doc_emit_node(p, DocNodeKind_LinkDescription, p->i);
    desc->text = desc->raw = StrView{};
    doc_node_append(node, desc);
    p->i += 1;
    if (!image) {
      doc_push(p, DocParseState_Inline, desc, 0);
      return;
    }
    // Image options: words separated by commas.
    while (p->i < p->count && !doc_is(p, p->i, DocTokenKind_Newline) && !doc_is_mark(p, p->i, ')')) {
      if (!doc_is(p, p->i, DocTokenKind_Whitespace) && !doc_is_mark(p, p->i, ',')) {
        doc_node_append(desc, doc_emit_node(p, DocNodeKind_Text, p->i));
      }
      p->i += 1;
    }
    if (doc_is_mark(p, p->i, ')')) p->i += 1;
  }
}

//~ Line starts

static void doc_parse_judge_line(DocParser *p, DocParseContext *c);
static void doc_parse_place_line(DocParser *p, DocParseContext *c);

static void
doc_open_line(DocParser *p, u64 j) {
  DocNode *line = doc_emit_node(p, DocNodeKind_Line, j);
  line->text = line->raw = StrView{};
  line->indent = doc_clamp_u8(doc_blank_before(p, j));
  // Judging and placing consume no token: they run at once rather than through the loop.
  doc_push(p, DocParseState_LineStart, line, 0);
  doc_parse_judge_line(p, p->top);
  doc_parse_place_line(p, p->top);
}

// Two backticks at a line start: close the open section or open a new one.
static void
doc_line_backticks(DocParser *p, DocParseContext *c, u64 j) {
  u64 indent = doc_blank_before(p, j);
  bool in_quote = false;
  DocParseContext *open = doc_open_section(p, &in_quote);
  if (open && (indent <= open->node->indent || in_quote)) {
    //- close: pop down to the section, then resume on its parent
    DocNode *parent = open->node->parent;
    while (p->top != open && p->top != &p->sentinel) doc_pop(p);
    doc_pop(p);
    doc_push(p, DocParseState_Document, parent, 0);
    p->i = j + 1;
    return;
  }
  //- open: at top level the section becomes a sibling of the line before it
  if (c->state != DocParseState_Collapsible) doc_pop(p);
  DocNode *owner = p->top->node;
  DocNode *sec = doc_emit_node(p, DocNodeKind_Collapsible, j);
  sec->text = sec->raw = StrView{};
  sec->flags |= DocNodeFlag_Collapsible;
  sec->indent = doc_clamp_u8(indent);
  if (owner->kind == DocNodeKind_Document) {
    sec->kind = DocNodeKind_TopCollapsible;
    p->result->meta_block = sec;
  }
  doc_node_append(owner, sec);
  doc_push(p, DocParseState_Collapsible, sec, 0);
  p->i = j + 1;
}

static void
doc_open_quote(DocParser *p, DocParseContext *c, u64 j) {
  //- sections' contexts stay; most other line contexts give way first
  DocNode *cur = c->node;
  if (c->state != DocParseState_Collapsible && cur->kind != DocNodeKind_Document && (cur->kind & 0x12)) doc_pop(p);
  DocNode *q = doc_emit_node(p, DocNodeKind_Quote, j);
  q->text = q->raw = StrView{};
  u64 indent = doc_blank_before(p, j);
  q->indent = doc_clamp_u8(indent);

  //- depth
  DocParseContext *open = doc_find_context(p, DocParseState_Quote);
  bool in_quote = false;
  DocParseContext *sec = doc_open_section(p, &in_quote);
  u64 depth = indent / 2;
  if (!open && !sec) {
    DocNode *enc = p->top->node;
    if (enc->indent < indent) depth = (u64)enc->number + 1;
    else if (enc->indent == indent) depth = enc->number;
  }
  if (open) {
    depth = Max(depth, (u64)open->node->deepest_level);
    open->node->deepest_level = doc_clamp_u8(depth);
  }
  q->number = doc_clamp_u8(depth);

  //- place
  if (!open) {
    for (;;) {
      DocNode *n = p->top->node;
      if (p->top == &p->sentinel || n->kind == DocNodeKind_Document || doc_is_collapsible(n)) break;
      bool deeper = n->kind == DocNodeKind_Paragraph || (n->kind == DocNodeKind_Heading && n->number >= q->number);
      if (!deeper) break;
      doc_pop(p);
    }
  } else {
    while (p->top != &p->sentinel && p->top->node->kind == DocNodeKind_Quote && q->number <= p->top->node->number) {
      doc_pop(p);
    }
  }
  doc_node_append(p->top->node, q);
  doc_push(p, DocParseState_Quote, q, 0);
  doc_push(p, DocParseState_Document, q, 0);
  p->i = j + 1;
  if (doc_is(p, p->i, DocTokenKind_Whitespace)) p->i += 1;

  //- the rest of the marker's line is the quotation's first paragraph
  if (p->i < p->count && !doc_is(p, p->i, DocTokenKind_Newline)) {
    DocNode *para = doc_emit_node(p, DocNodeKind_Paragraph, p->i);
    para->text = para->raw = StrView{};
    para->number = q->number;
    doc_node_append(q, para);
    doc_push(p, DocParseState_Inline, para, 0);
  }
}

// A plain line while a quotation is the current node.
static void
doc_quote_line(DocParser *p, u64 j) {
  DocParseContext *open = doc_find_context(p, DocParseState_Quote);
  if (!open) {
    doc_open_line(p, j);
    return;
  }
  u64 indent = doc_blank_before(p, j);
  if (indent <= open->node->indent) {
    //- a line no deeper than the quotation closes it; the line is read again below
    while (p->top != open && p->top != &p->sentinel) doc_pop(p);
    doc_pop(p);
    return;
  }
  DocNode *para = doc_emit_node(p, DocNodeKind_Paragraph, j);
  para->text = para->raw = StrView{};
  para->number = open->node->number;
  doc_node_append(open->node, para);
  doc_push(p, DocParseState_Inline, para, 0);
}

// The first token of a line in the Document or Collapsible state.
static void
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

static void
doc_parse_judge_line(DocParser *p, DocParseContext *c) {
  DocNode *line = c->node;
  u64 indent = doc_blank_before(p, p->i);
  bool in_quote = false;
  DocParseContext *sec = doc_open_section(p, &in_quote);
  if (sec && !in_quote && sec->node->indent <= indent) indent -= sec->node->indent;
  u64 level = indent / 2;

  //- an outline never skips levels downwards
  DocNode *h0 = doc_nil_node;
  for (DocNode *n = c->parent ? c->parent->node : doc_nil_node; !doc_node_is_nil(n); n = n->parent) {
    if (n->kind == DocNodeKind_Heading && n->number == 0) {
      h0 = n;
      break;
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

static void
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
      DocNode *h = doc_node_find_last(s, (u8)target, DocNodeKind_Heading);
      if (!doc_node_is_nil(h)) parent = h;
    }
    while (p->top != sec && p->top != &p->sentinel) doc_pop(p);
  }
  doc_node_append(parent, line);
  doc_push(p, DocParseState_Inline, line, 0);
}

//~ Inline content

static DocNode *
doc_inline_append_text(DocParser *p, DocNode *line, u64 j) {
  DocNode *text = doc_emit_node(p, DocNodeKind_Text, j);
  if (doc_is_collapsible(line)) text->flags |= DocNodeFlag_InCollapsible;
  doc_node_append(line, text);
  return text;
}

// The line end of an Inline context: pops it and decides what continues.
static void
doc_inline_line_end(DocParser *p, DocParseContext *c) {
  DocNode *line = c->node;
  doc_clear_trailing_space(line);
  doc_pop(p);
  DocParseContext *below = p->top;
  switch (below->state) {
    //- nested line content ends with its line: the outer content sees the line end
    case DocParseState_Inline: return;
    case DocParseState_InlineCollapsible: doc_pop(p); return;
    case DocParseState_ListItem:
      doc_pop(p);
      if (p->top->flags & DocNodeFlag_ListInline) {
        doc_pop(p);  // the inline list ends with the line
        return;
      }
      p->i += 1;
      return;
    case DocParseState_Bracket:  // a footnote's text
      doc_pop(p);
      p->i += 1;
      return;
    case DocParseState_TableRow: return;  // the row ends with its line
    case DocParseState_Collapsible:
      p->i += 1;
      return;
    default: break;
  }
  if (below->state == DocParseState_Document && below->node->kind == DocNodeKind_Quote) {
    p->i += 1;
    return;
  }
  //- an outline line: the next line starts from it
  if (line->kind == DocNodeKind_Heading) doc_node_append(p->result->toc, doc_toc_entry(p->arena, line));
  doc_push(p, DocParseState_Document, line, 0);
  p->i += 1;
}

static bool
doc_in_list_item(DocParser *p) {
  for (DocParseContext *c = p->top; c && c != &p->sentinel; c = c->parent) {
    if (c->state == DocParseState_ListItem) return true;
    if (c->state != DocParseState_Inline && c->state != DocParseState_InlineCollapsible) return false;
  }
  return false;
}

static void
doc_parse_inline(DocParser *p, DocParseContext *c) {
  u64 j = p->i;
  DocToken *t = doc_tok(p, j);
  DocNode *line = c->node;
  bool esc = doc_is_escaped(p, j);
  u32 below = c->parent ? c->parent->state : 0;

  //- plain words, numbers, punctuation and blanks, the bulk of every document, in one tight loop
  if (t->kind == DocTokenKind_Word || t->kind == DocTokenKind_Whitespace || t->kind == DocTokenKind_Number ||
      t->kind == DocTokenKind_Punct) {
    u64 in_section = doc_is_collapsible(line) ? (u64)DocNodeFlag_InCollapsible : 0;
    u64 k = j;
    for (; k < p->count; k += 1) {
      u32 kind = p->tokens[k].kind;
      if (kind == DocTokenKind_Whitespace) {
        if (line->last_child != doc_nil_node) line->last_child->flags |= DocNodeFlag_SpaceAfter;
        continue;
      }
      if (kind == DocTokenKind_Word || kind == DocTokenKind_Number) {
        // A word or number before "." is a list marker.
        if (k + 1 < p->count && doc_is_mark(p, k + 1, '.')) break;
      } else if (kind == DocTokenKind_Punct) {
        // ")" may close a link description.
        if (p->source.data[p->tokens[k].start] == ')') break;
      } else {
        break;
      }
      doc_emit_text_fast(p, line, k, in_section);
    }
    if (k > j) {
      p->i = k;
      return;
    }
  }
  //- line end
  if (t->kind & DocTokenKind_Newline) {
    doc_inline_line_end(p, c);
    return;
  }
  //- blanks: the text before keeps its space
  if (t->kind & DocTokenKind_Whitespace) {
    if (!doc_node_is_nil(line->last_child)) line->last_child->flags |= DocNodeFlag_SpaceAfter;
    p->i += 1;
    return;
  }
  //- a backslash is dropped; it escapes the next token
  if (t->kind & DocTokenKind_Backslash) {
    p->i += 1;
    return;
  }
  if (!esc) {
    //- "~{" raw HTML "}~"
    if (t->kind & DocTokenKind_TildeBrace) {
      u64 k = j + 1;
      while (k < p->count && !((p->tokens[k].kind & DocTokenKind_BraceTilde) && !doc_is_escaped(p, k))) k += 1;
      u64 end = k < p->count ? p->tokens[k].start : p->source.length;
      StrView html = str_substr(p->source, t->end, end);
      DocNode *raw = doc_node_create(p->arena, DocNodeKind_RawHtml, doc_flags_from_token(t->kind), html, html, t->start);
      doc_node_append(line, raw);
      p->i = k < p->count ? k + 1 : p->count;
      return;
    }
    //- "`" inline code "`"
    if (t->kind & DocTokenKind_Backtick) {
      DocNode *code = doc_emit_node(p, DocNodeKind_InlineCode, j);
      code->text = code->raw = StrView{};
      doc_node_append(line, code);
      u64 k = j + 1;
      while (k < p->count && !(p->tokens[k].kind & DocTokenKind_Backtick)) {
        doc_node_append(code, doc_emit_node(p, DocNodeKind_Text, k));
        k += 1;
      }
      p->i = k < p->count ? k + 1 : p->count;
      return;
    }
    //- "[" checkbox or bracket
    if (t->kind & DocTokenKind_OpenBracket) {
      u64 k = j + 1;
      while (doc_is(p, k, DocTokenKind_Whitespace)) k += 1;
      bool checked = false;
      if (k < p->count && (doc_is_text_equal(p, k, "x") || doc_is_text_equal(p, k, "X"))) {
        u64 m = k + 1;
        while (doc_is(p, m, DocTokenKind_Whitespace)) m += 1;
        if (doc_is_unescaped(p, m, DocTokenKind_CloseBracket)) {
          checked = true;
          k = m;
        }
      }
      if (doc_is_unescaped(p, k, DocTokenKind_CloseBracket)) {
        DocNode *box = doc_emit_node(p, DocNodeKind_Checkbox, j);
        box->text = box->raw = StrView{};
        if (checked) box->flags |= DocNodeFlag_Checked;
        doc_node_append(line, box);
        p->i = k + 1;
        return;
      }
      DocNode *attach = doc_node_is_nil(line->last_child) ? line : line->last_child;
      doc_push(p, DocParseState_Bracket, attach, 0);
      return;
    }
    //- "``" opens a section inside the line, or closes the one this content is in
    if (t->kind & DocTokenKind_DoubleBacktick) {
      if (below == DocParseState_InlineCollapsible) {
        doc_clear_trailing_space(line);
        doc_pop(p);
        doc_pop(p);
        p->i += 1;
        return;
      }
      DocNode *sec = doc_emit_node(p, DocNodeKind_Collapsible, j);
      sec->text = sec->raw = StrView{};
      sec->flags |= DocNodeFlag_Collapsible | DocNodeFlag_InlineCollapsible;
      doc_node_append(line, sec);
      doc_push(p, DocParseState_InlineCollapsible, sec, 0);
      p->i += 1;
      return;
    }
    //- ")" ends a link description
    if (doc_is_mark(p, j, ')') && line->kind == DocNodeKind_LinkDescription) {
      doc_clear_trailing_space(line);
      doc_pop(p);
      p->i += 1;
      return;
    }
    //- "|" ends a table cell; passed over in quotations and inline sections
    if (t->kind & DocTokenKind_Pipe) {
      if (below == DocParseState_TableRow) {
        doc_clear_trailing_space(line);
        doc_pop(p);
        return;
      }
      if (below == DocParseState_InlineCollapsible || !doc_node_is_nil(doc_node_find_ancestor(line, DocNodeKind_Quote))) {
        p->i += 1;
        return;
      }
    }
    //- marker: a list inside the line
    if ((t->kind & (DocTokenKind_Word | DocTokenKind_Number)) && doc_is_mark(p, j + 1, '.') && !doc_in_list_item(p)) {
      doc_push(p, DocParseState_List, line, DocNodeFlag_ListInline);
      return;
    }
    //- "_" "__" emphasis, or "_" before a quoted text: an image
    if ((t->kind & DocTokenKind_Symbol) && (doc_is_text_equal(p, j, "_") || doc_is_text_equal(p, j, "__"))) {
      bool single = doc_is_text_equal(p, j, "_");
      if (single && doc_is_unescaped(p, j + 1, DocTokenKind_Quoted)) {
        DocNode *img = doc_node_create(p->arena, DocNodeKind_Text, DocNodeFlag_String, StrView{}, StrView{},
                                       doc_tok(p, j + 1)->start);
        if (doc_is_collapsible(line)) img->flags |= DocNodeFlag_InCollapsible;
        doc_node_append(line, img);
        doc_parse_link(p, line, img, j + 1, true);
        return;
      }
      bool before_word = j > 0 && (p->tokens[j - 1].kind & DocTokenKind_Word);
      bool after_word = doc_is(p, j + 1, DocTokenKind_Word);
      DocNode *mark = doc_inline_append_text(p, line, j);
      if (!before_word && after_word) mark->flags |= single ? DocNodeFlag_StrongOpen : DocNodeFlag_EmOpen;
      if (before_word && !after_word) {
        mark->flags |= single ? DocNodeFlag_StrongClose : DocNodeFlag_EmClose;
        if (doc_is(p, j + 1, DocTokenKind_Whitespace) && !doc_node_is_nil(mark->prev)) {
          mark->prev->flags |= DocNodeFlag_SpaceAfter;
        }
      }
      p->i += 1;
      return;
    }
  }

  //- tokens that cannot stand in a line
  u32 unusable = DocTokenKind_CloseBracket | DocTokenKind_Pipe | DocTokenKind_TripleBacktick | DocTokenKind_TripleDash |
                 DocTokenKind_BraceTilde | DocTokenKind_Invalid;
  if ((t->kind & unusable) && !(esc && !(t->kind & DocTokenKind_Invalid))) {
    doc_emit_error(p, j);
    p->i += 1;
    return;
  }

  //- text, and quoted texts as link targets
  DocNode *text = doc_inline_append_text(p, line, j);
  if (!esc && (t->kind & DocTokenKind_Symbol) && doc_is_char(p, j, '-') && line->kind == DocNodeKind_TableHeader) {
    text->flags |= DocNodeFlag_TableDash;
  }
  if (!esc && (t->kind & DocTokenKind_Quoted)) {
    doc_parse_link(p, line, text, j, false);
    return;
  }
  p->i += 1;
}

// First token of a section opened inside a line: a metadata entry, or content.
static void
doc_parse_inline_collapsible(DocParser *p, DocParseContext *c) {
  if (doc_is(p, p->i, DocTokenKind_Whitespace)) {
    p->i += 1;
    return;
  }
  if (doc_try_meta_entry(p, c->node, p->i)) return;
  doc_push(p, DocParseState_Inline, c->node, 0);
}

//~ Brackets

static void
doc_parse_bracket(DocParser *p, DocParseContext *c) {
  u64 j = p->i;
  u64 number_index = 0;
  u8 form = doc_bracket_form(p, j, &number_index);
  DocNode *attach = c->node;
  u64 offset = doc_tok(p, j)->start;
  if (!form) {
    //- none of the forms: the "[" stays as text
    doc_pop(p);
    DocNode *line = p->top->node;
    if (p->top->state == DocParseState_Inline) {
      doc_node_append(line, doc_emit_node(p, DocNodeKind_Text, j));
    }
    p->i = j + 1;
    return;
  }
  u8 n = doc_read_decimal(p, number_index);
  u64 k = number_index + 1;
  while (k < p->count && !(p->tokens[k].kind & (DocTokenKind_CloseBracket | DocTokenKind_Word | DocTokenKind_Newline))) {
    k += 1;
  }
  if (doc_is(p, k, DocTokenKind_CloseBracket)) k += 1;
  p->i = k;

  if (form == '*') {
    if (attach->kind == DocNodeKind_Text) {
      DocNode *ref = doc_emit_empty(p, DocNodeKind_FootnoteRef, 0, offset);
      ref->number = n;
      doc_node_append(attach, ref);
      doc_pop(p);
      return;
    }
    //- a footnote: the rest of the line is its text
    DocNode *note = doc_emit_empty(p, DocNodeKind_Footnote, 0, offset);
    note->number = n;
    doc_node_append(p->result->footnotes, note);
    doc_push(p, DocParseState_Inline, note, 0);
    return;
  }
  doc_pop(p);
  if (doc_is_mark(p, p->i, '_')) {
    DocNode *anchor = doc_emit_empty(p, DocNodeKind_InlineAnchor, 0, offset);
    anchor->number = n;
    anchor->first_child = attach;
    attach->flags |= DocNodeFlag_HasAnchor;
    DocAnchorNode *an = push_struct(p->arena, DocAnchorNode);
    an->node = anchor;
    DocAnchorList *list = &p->result->anchors;
    if (list->last) list->last->next = an;
    else list->first = an;
    list->last = an;
    list->count += 1;
    p->i += 1;
    return;
  }
  DocNode *ref = doc_emit_empty(p, DocNodeKind_InlineRef, 0, offset);
  ref->number = n;
  doc_node_append(attach, ref);
  if (doc_is_mark(p, p->i, '(')) {
    DocNode *desc = doc_emit_node(p, DocNodeKind_LinkDescription, p->i);
    desc->text = desc->raw = StrView{};
    doc_node_append(ref, desc);
    p->i += 1;
    doc_push(p, DocParseState_Inline, desc, 0);
  }
}

//~ Lists

static void
doc_pop_lists(DocParser *p) {
  while (p->top != &p->sentinel &&
         (p->top->state == DocParseState_List || p->top->state == DocParseState_ListItem)) {
    doc_pop(p);
  }
}

static void
doc_parse_list(DocParser *p, DocParseContext *c) {
  u64 j = p->i;
  bool inline_list = (c->flags & DocNodeFlag_ListInline) != 0;
  if (!inline_list && (doc_is(p, j, DocTokenKind_Whitespace) || doc_is(p, j, DocTokenKind_Newline))) {
    p->i += 1;
    return;
  }
  DocNode *list = c->node->kind == DocNodeKind_List ? c->node : doc_nil_node;
  if (!doc_is_list_marker(p, j)) {
    //- anything but a marker ends every open list
    doc_pop_lists(p);
    return;
  }
  u64 indent = inline_list ? 0 : doc_blank_before(p, j);
  bool word = doc_is(p, j, DocTokenKind_Word);
  bool number = doc_is(p, j, DocTokenKind_Number);
  bool longer_word = word && doc_tok(p, j)->end - doc_tok(p, j)->start > 1;

  if (!doc_node_is_nil(list) && indent < list->indent) {
    //- shallower: back to the enclosing list
    doc_pop(p);
    if (p->top->state != DocParseState_List) doc_pop_lists(p);
    return;
  }
  if (doc_node_is_nil(list) || indent > list->indent) {
    if (!doc_node_is_nil(list) && (list->flags & DocNodeFlag_ListAlpha) && (number || longer_word)) {
      doc_pop_lists(p);
      return;
    }
    //- a new list, nested in the open list's last item or under the current node
    u64 flags = c->flags;
    if (doc_is_mark(p, j, '.')) flags |= DocNodeFlag_ListBullet;
    else if (word) flags |= DocNodeFlag_ListAlpha;
    else flags |= DocNodeFlag_ListNumbered;
    DocNode *nl = doc_emit_empty(p, DocNodeKind_List, flags, doc_tok(p, j)->start);
    nl->indent = doc_clamp_u8(indent);
    nl->number = 0;
    if (!doc_node_is_nil(list)) nl->number = doc_clamp_u8((u64)list->number + (list->indent != indent ? 1 : 0));
    DocNode *parent = c->node;
    if (!doc_node_is_nil(list)) parent = doc_node_is_nil(list->last_child) ? list : list->last_child;
    doc_node_append(parent, nl);
    if (doc_node_is_nil(list)) c->node = nl;
    else c = doc_push(p, DocParseState_List, nl, c->flags & DocNodeFlag_ListInline);
    list = nl;
  }
  //- a new item
  DocNode *item = doc_emit_node(p, DocNodeKind_ListItem, j);
  item->text = item->raw = StrView{};
  item->flags &= ~(u64)DocNodeFlag_SpaceAfter;
  doc_node_append(list, item);
  doc_push(p, DocParseState_ListItem, item, 0);
}

static void
doc_parse_list_item(DocParser *p, DocParseContext *c) {
  DocNode *item = c->node;
  DocNode *list = item->parent;
  u64 j = p->i;
  DocToken *t = doc_tok(p, j);
  StrView marker = doc_tok_text(p, t);
  if ((list->flags & DocNodeFlag_ListAlpha) && marker.length == 1 && char_to_lower(marker.data[0]) >= 'a' &&
      char_to_lower(marker.data[0]) <= 'h' && doc_is_mark(p, j + 1, '.')) {
    item->number = (u8)(char_to_lower(marker.data[0]) - 'a');
    p->i = j + 2;
  } else if ((list->flags & DocNodeFlag_ListNumbered) && (t->kind & DocTokenKind_Number) && doc_is_mark(p, j + 1, '.')) {
    u64 v = doc_read_decimal(p, j);
    item->number = (u8)(v ? v - 1 : 0);
    p->i = j + 2;
  } else {
    DocNode *prev = item->prev;
    item->number = doc_node_is_nil(prev) ? 0 : (u8)(prev->number + 1);
    p->i = j + 1;
  }
  doc_push(p, DocParseState_Inline, item, 0);
}

//~ Tables

static void
doc_table_declare(DocParser *p, DocParseContext *c) {
  u64 j = p->i;
  if (!doc_is_unescaped(p, j + 1, DocTokenKind_TripleDash)) {
    //- a table must declare its columns with "|---"
    doc_emit_error(p, j + 1 < p->count ? j + 1 : j);
    doc_pop(p);
    doc_skip_line(p);
    return;
  }
  DocTableInfo *info = push_struct(p->scratch, DocTableInfo);
  u64 cap = 0;
  for (u64 k = j; k < p->count && !(p->tokens[k].kind & DocTokenKind_Newline); k += 1) {
    if (doc_is_unescaped(p, k, DocTokenKind_Pipe)) cap += 1;
  }
  info->columns = push_array(p->scratch, DocNode *, cap);
  info->positions = push_array(p->scratch, u64, cap);
  u64 line_start = doc_line_start_offset(p, j);
  DocNode *outer = c->node;
  for (u64 k = j; k < p->count && !(p->tokens[k].kind & DocTokenKind_Newline); k += 1) {
    if (!doc_is_unescaped(p, k, DocTokenKind_Pipe)) continue;
    DocNode *col = doc_emit_empty(p, DocNodeKind_Table, 0, p->tokens[k].start);
    col->number = doc_clamp_u8(info->column_count);
    if (outer->kind == DocNodeKind_Table) {
      col->flags |= DocNodeFlag_TableNested;
      outer->flags |= DocNodeFlag_TableNested;
    }
    doc_node_append(outer, col);
    outer = col;
    info->positions[info->column_count] = p->tokens[k].start - line_start + 1;
    info->columns[info->column_count++] = col;
  }
  if (info->column_count > 1) {
    for (u64 k = 0; k < info->column_count; k += 1) info->columns[k]->flags |= DocNodeFlag_TableColumns;
  }
  c->data = info;
  doc_skip_line(p);
}

// The column of a cell: the last declared column at or before its bar, but never
// left of the column after the previous cell, so unaligned rows still fill in order.
static u64
doc_table_column_for(DocTableInfo *info, u64 position, u64 next_free) {
  u64 col = 0;
  for (u64 k = 0; k < info->column_count; k += 1) {
    if (info->positions[k] <= position) col = k;
  }
  col = Max(col, next_free);
  return Min(col, info->column_count ? info->column_count - 1 : 0);
}

static DocNode *
doc_last_child_of_kind(DocNode *n, u32 kind) {
  for (DocNode *c = n->last_child; !doc_node_is_nil(c); c = c->prev) {
    if (c->kind == kind) return c;
  }
  return doc_nil_node;
}

static void
doc_parse_table(DocParser *p, DocParseContext *c) {
  if (!c->data) {
    doc_table_declare(p, c);
    return;
  }
  u64 j = p->i;
  if (doc_is(p, j, DocTokenKind_Whitespace)) {
    p->i += 1;
    return;
  }
  if (!doc_is_unescaped(p, j, DocTokenKind_Pipe)) {
    //- the table ends at the first line that is no row
    doc_pop(p);
    return;
  }
  if (doc_is_unescaped(p, j + 1, DocTokenKind_TripleDash)) {
    doc_skip_line(p);
    return;
  }
  DocTableInfo *info = (DocTableInfo *)c->data;
  DocParseContext *row = doc_push(p, DocParseState_TableRow, c->node, info->header_done ? 1 : 0);
  row->data = info;
  info->next_free = 0;
  if (info->header_done) {
    //- a body row: one new cell under every header cell of every column
    for (u64 k = 0; k < info->column_count; k += 1) {
      for (DocNode *h = info->columns[k]->first_child; !doc_node_is_nil(h); h = h->next) {
        if (h->kind != DocNodeKind_TableHeader) continue;
        DocNode *cell = doc_emit_empty(p, DocNodeKind_TableCell, 0, doc_tok(p, j)->start);
        DocNode *last = doc_last_child_of_kind(h, DocNodeKind_TableCell);
        cell->number = doc_node_is_nil(last) ? 0 : (u8)(last->number + 1);
        doc_node_append(h, cell);
      }
    }
  }
  info->header_done = 1;
}

static void
doc_parse_table_row(DocParser *p, DocParseContext *c) {
  u64 j = p->i;
  DocTableInfo *info = (DocTableInfo *)c->data;
  if (j >= p->count || doc_is(p, j, DocTokenKind_Newline)) {
    doc_pop(p);
    if (j < p->count) p->i += 1;
    return;
  }
  if (!doc_is_unescaped(p, j, DocTokenKind_Pipe)) {
    p->i += 1;  // blanks between cells
    return;
  }
  //- a bar opens the cell of the column it stands under
  u64 k = j + 1;
  while (doc_is(p, k, DocTokenKind_Whitespace)) k += 1;
  if (k >= p->count || doc_is(p, k, DocTokenKind_Newline)) {
    p->i = k;  // a closing bar
    return;
  }
  u64 position = p->tokens[j].start - doc_line_start_offset(p, j) + 1;
  u64 col = doc_table_column_for(info, position, info->next_free);
  info->next_free = col + 1;
  DocNode *column = info->columns[col];
  DocNode *header = doc_last_child_of_kind(column, DocNodeKind_TableHeader);
  DocNode *cell = doc_nil_node;
  if (!info->header_done || c->flags == 0) {
    cell = doc_emit_empty(p, DocNodeKind_TableHeader, 0, p->tokens[j].start);
    doc_node_append(column, cell);
  } else if (doc_node_is_nil(header)) {
    // A body cell under a column without a header gets an empty header of its own.
    header = doc_emit_empty(p, DocNodeKind_TableHeader, 0, p->tokens[j].start);
    doc_node_append(column, header);
    cell = doc_emit_empty(p, DocNodeKind_TableCell, 0, p->tokens[j].start);
    doc_node_append(header, cell);
  } else {
    cell = doc_last_child_of_kind(header, DocNodeKind_TableCell);
    if (doc_node_is_nil(cell)) {
      cell = doc_emit_empty(p, DocNodeKind_TableCell, 0, p->tokens[j].start);
      doc_node_append(header, cell);
    }
  }
  p->i = j + 1;
  doc_push(p, DocParseState_Inline, cell, 0);
}

//~ Code blocks

static void
doc_parse_code_block(DocParser *p, DocParseContext *c) {
  u64 j = p->i;
  if (c->flags == 0) {
    //- the opening fence; the rest of its line may name a language
    DocNode *block = doc_emit_node(p, DocNodeKind_CodeBlock, j);
    block->text = block->raw = StrView{};
    block->indent = doc_clamp_u8(doc_blank_before(p, j));
    doc_node_append(c->node, block);
    c->node = block;
    c->flags = 1;
    doc_skip_line(p);
    return;
  }
  DocNode *block = c->node;
  DocToken *t = doc_tok(p, j);
  if ((t->kind & DocTokenKind_TripleBacktick) && !doc_is_escaped(p, j)) {
    //- the closing fence, and the rest of its line
    doc_pop(p);
    doc_skip_line(p);
    return;
  }
  if (t->kind & DocTokenKind_Backslash) {
    p->i += 1;
    return;
  }
  DocNode *text = doc_emit_node(p, DocNodeKind_Text, j);
  if ((t->kind & DocTokenKind_Whitespace) && j > 0 && (p->tokens[j - 1].kind & DocTokenKind_Newline)) {
    text->text = text->raw = str_skip(text->text, block->indent);
  }
  if (text->text.length) doc_node_append(block, text);
  p->i += 1;
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

  result.ok = result.diagnostics.max_severity >= (s32)DiagSeverity_Error ? 0 : 1;
  scratch_end(scratch);
  return result;
}
