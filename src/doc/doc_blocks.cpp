// qil block constructs: sections and quotations opened at a line start, lists,
// tables and code blocks. Conventions: as in doc_parse.cpp; a block handler owns its
// lines until a line does not fit, then pops and leaves that line to the context below.
#include "doc/doc_parse_internal.h"

//~ Sections and quotations

// Two backticks at a line start: close the open section or open a new one.
void
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

// The node kinds whose line context gives way to a new quotation, picked by two bits of
// the kind number rather than by name: of the nodes a line context can hold, only a
// quotation (9) has neither bit, so a quotation's own context stays. Kept as it is,
// since which lines nest in which quotation depends on it.
#define DOC_KINDS_GIVING_WAY_TO_QUOTE 0x12u

void
doc_open_quote(DocParser *p, DocParseContext *c, u64 j) {
  //- sections' contexts stay; most other line contexts give way first
  DocNode *cur = c->node;
  if (c->state != DocParseState_Collapsible && cur->kind != DocNodeKind_Document &&
      (cur->kind & DOC_KINDS_GIVING_WAY_TO_QUOTE)) {
    doc_pop(p);
  }
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
void
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

//~ Lists

static void
doc_pop_lists(DocParser *p) {
  while (p->top != &p->sentinel &&
         (p->top->state == DocParseState_List || p->top->state == DocParseState_ListItem)) {
    doc_pop(p);
  }
}

void
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

void
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

// Start offset of the line holding token j.
static u64
doc_line_start_offset(DocParser *p, u64 j) {
  u64 off = doc_tok(p, j)->start;
  while (off > 0 && p->source.data[off - 1] != '\n' && p->source.data[off - 1] != '\r') off -= 1;
  return off;
}

static void
doc_table_declare(DocParser *p, DocParseContext *c) {
  u64 j = p->i;
  if (!doc_is_unescaped(p, j + 1, DocTokenKind_TripleDash)) {
    //- a table must declare its columns with "|---"
    u64 at = j + 1 < p->count ? j + 1 : j;
    doc_emit_error(p, at);
    if (!p->table_hint_said && doc_advice_kept(p)) {
      p->table_hint_said = 1;  // once a document: each such line is an error of its own
      doc_emit_advice(p, doc_tok(p, at)->start, DiagSeverity_Note,
                      str_lit("a line that starts with | starts a table, and its first line declares the "
                              "columns: | and --- for each (|---|---|---); add that line above the header, or "
                              "write \\| for a bar that is text"));
    }
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
// The positions ascend, so the search halves: a row of many bars under many columns
// costs n log n, not n squared.
static u64
doc_table_column_for(DocTableInfo *info, u64 position, u64 next_free) {
  u64 lo = 0, hi = info->column_count;  // the columns at or before the bar are [0, lo)
  while (lo < hi) {
    u64 mid = lo + (hi - lo) / 2;
    if (info->positions[mid] <= position) lo = mid + 1;
    else hi = mid;
  }
  u64 col = lo ? lo - 1 : 0;
  col = Max(col, next_free);
  return Min(col, info->column_count ? info->column_count - 1 : 0);
}

// doc_line_start_offset for bar j of the row being read: the row's cells may hold
// line breaks (inside raw HTML or quoted text), so the bytes since the previous bar
// are searched, each byte of the row once.
static u64
doc_table_line_start(DocParser *p, DocTableInfo *info, u64 j) {
  u64 at = p->tokens[j].start;
  for (u64 k = info->line_scanned; k < at; k += 1) {
    u8 c = p->source.data[k];
    if (c == '\n' || c == '\r') info->line_start = k + 1;
  }
  info->line_scanned = Max(info->line_scanned, at);
  return info->line_start;
}

static DocNode *
doc_last_child_of_kind(DocNode *n, u32 kind) {
  for (DocNode *c = n->last_child; !doc_node_is_nil(c); c = c->prev) {
    if (c->kind == kind) return c;
  }
  return doc_nil_node;
}

void
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
  info->row_said = 0;
  info->line_start = doc_line_start_offset(p, j);
  info->line_scanned = doc_tok(p, j)->start;
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

void
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
  u64 position = p->tokens[j].start - doc_table_line_start(p, info, j) + 1;
  u64 col = doc_table_column_for(info, position, info->next_free);
  //- a bar off its column, or one too many, is said once a row each
  if (doc_advice_kept(p)) {
    if (info->next_free >= info->column_count) {
      if (!(info->row_said & 2)) {
        info->row_said |= 2;
        StrView msg = str_pushf(p->arena,
                                "this row has more cells than the %I64u columns the table's first line declares: "
                                "this cell is put in the last column; add | and --- to the first line, or remove "
                                "this bar",
                                info->column_count);
        doc_emit_advice(p, p->tokens[j].start, DiagSeverity_Error, msg);
      }
    } else if (info->positions[col] != position && !(info->row_said & 1)) {
      info->row_said |= 1;
      StrView msg = str_pushf(p->arena,
                              "this bar does not stand under a bar of the table's first line: its cell goes to the "
                              "table's column %I64u by order; move the bar to column %I64u of the line, under that "
                              "column's bar",
                              col + 1, info->positions[col]);
      doc_emit_advice(p, p->tokens[j].start, DiagSeverity_Warning, msg);
    }
  }
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

void
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
