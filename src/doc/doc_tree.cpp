// Document nodes, metadata keys and the parse entry point.
#include "base/base_format.h"
#include "doc/doc_core.h"

DocNode doc_nil_node_record = {
    &doc_nil_node_record, &doc_nil_node_record, &doc_nil_node_record, &doc_nil_node_record,
    &doc_nil_node_record, 0, 0, 0, 0, {}, {}, 0, 0, 0, 0,
};

//~ Nodes

DocNode *
doc_node_create(Arena *arena, u32 kind, u64 flags, StrView text, StrView raw, u64 source_offset) {
  DocNode *n = push_struct(arena, DocNode);
  n->next = n->prev = n->parent = n->first_child = n->last_child = doc_nil_node;
  n->kind = kind;
  n->flags = flags;
  n->text = text;
  n->raw = raw;
  n->source_offset = source_offset;
  return n;
}

void
doc_node_append(DocNode *parent, DocNode *child) {
  if (doc_node_is_nil(child) || doc_node_is_nil(parent)) return;
  child->parent = parent;
  child->next = doc_nil_node;
  child->prev = parent->last_child;
  if (doc_node_is_nil(parent->last_child)) parent->first_child = child;
  else parent->last_child->next = child;
  parent->last_child = child;
  parent->child_count += 1;
}

void
doc_node_prepend(DocNode *parent, DocNode *child) {
  if (doc_node_is_nil(child) || doc_node_is_nil(parent)) return;
  child->parent = parent;
  child->prev = doc_nil_node;
  child->next = parent->first_child;
  if (doc_node_is_nil(parent->first_child)) parent->last_child = child;
  else parent->first_child->prev = child;
  parent->first_child = child;
  parent->child_count += 1;
}

DocNode *
doc_node_find_ancestor(DocNode *node, u32 kind) {
  for (DocNode *n = node; !doc_node_is_nil(n); n = n->parent) {
    if (n->kind == kind) return n;
  }
  return doc_nil_node;
}

DocNode *
doc_node_next_preorder(DocNode *node, DocNode *root) {
  if (!doc_node_is_nil(node->first_child) && node->kind != DocNodeKind_InlineAnchor) return node->first_child;
  for (DocNode *n = node; !doc_node_is_nil(n) && n != root; n = n->parent) {
    if (!doc_node_is_nil(n->next)) return n->next;
  }
  return doc_nil_node;
}

DocNode *
doc_node_find_last(DocNode *root, u8 number, u32 kind) {
  if (doc_node_is_nil(root) || root->number == number) return doc_nil_node;
  for (DocNode *n = doc_node_next_preorder(root, root); !doc_node_is_nil(n); n = doc_node_next_preorder(n, root)) {
    if (n->kind == kind && n->number == number) {
      DocNode *last = n;
      for (DocNode *s = n->next; !doc_node_is_nil(s); s = s->next) {
        if (s->kind == kind && s->number == number) last = s;
      }
      return last;
    }
  }
  return doc_nil_node;
}

DocNode *
doc_toc_entry(Arena *arena, DocNode *heading) {
  StrView text = str_push_copy(arena, heading->text);
  StrView raw = str_identical(heading->raw, heading->text) ? text : str_push_copy(arena, heading->raw);
  DocNode *copy = doc_node_create(arena, heading->kind, 0, text, raw, heading->source_offset);
  for (DocNode *c = heading->first_child; !doc_node_is_nil(c); c = c->next) {
    if (c->kind != DocNodeKind_Text) continue;
    StrView ct = str_push_copy(arena, c->text);
    StrView cr = str_identical(c->raw, c->text) ? ct : str_push_copy(arena, c->raw);
    doc_node_append(copy, doc_node_create(arena, c->kind, c->flags, ct, cr, c->source_offset));
  }
  return copy;
}

//~ Metadata keys

static const MetaKey doc_meta_keys[12] = {
    {str_lit("author"), 2, 0x8000, 0, 0, 29},
    {str_lit("author_link"), 3, 0x80, 0, 0, 8},
    {str_lit("output_path"), 4, 0x400000, 1, 0, 0},
    {str_lit("creation_date"), 5, 0x1000, 0, 0x100000, 27},
    {str_lit("last_modification_date"), 7, 0x1000, 0, 0x100000, 27},
    {str_lit("remark"), 8, 0x10000, 0, 0, 32},
    {str_lit("includes"), 6, 0x100000, 1, 0, 0},
    {str_lit("title"), 1, 0x2, 0, 0x80000, 0},
    {str_lit("status"), 12, 0x200000, 1, 0, 0},
    {str_lit("excerpt"), 9, 0x20000, 0, 0, 0},
    {str_lit("summary"), 10, 0x40000, 0, 0x100000, 30},
    {str_lit("category"), 11, 0x80000, 0, 0x100000, 31},
};

const MetaKey *
doc_meta_key_lookup(StrView key) {
  for (const MetaKey &row : doc_meta_keys) {
    if (row.name.length && str_match(key, row.name, StrMatchFlag_CaseInsensitive)) return &row;
  }
  return 0;
}

//~ Entry point

bool
doc_path_like(StrView target) {
  if (str_find(target, 0, str_lit("/"), 0) == target.length) return false;
  if (target.length && (target.data[0] == '~' || target.data[0] == '.')) return true;
  return str_find(target, 0, str_lit(":"), 0) < target.length;
}

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
    doc_diag_push(arena, &merged, d->offset, d->severity, str_push_copy(arena, d->message));
  }
  merged.count = lex.diagnostics.count;
  merged.max_severity = lex.diagnostics.max_severity;
  for (Diagnostic *d = parsed.diagnostics.first; d; d = d->next) {
    doc_diag_push(arena, &merged, d->offset, d->severity, d->message);
  }
  merged.count = lex.diagnostics.count + parsed.diagnostics.count;
  merged.max_severity = Max(merged.max_severity, parsed.diagnostics.max_severity);
  result.diagnostics = merged;
  result.ok = merged.max_severity <= (s32)DiagSeverity_Error ? 1 : 0;
  scratch_end(scratch);
  return result;
}
