// Document nodes: creation, linking and the searches over a tree. Conventions: every
// link is a node or the nil node, never null; walks use loops, never recursion.
#include "doc/doc_core.h"

DocNode doc_nil_node_record = {
    &doc_nil_node_record, &doc_nil_node_record, &doc_nil_node_record, &doc_nil_node_record,
    &doc_nil_node_record, 0, 0, 0, 0, {}, {}, 0, 0, 0, 0, 0,
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
  TreeAppendChild(parent, child, doc_nil_node);
}

void
doc_node_prepend(DocNode *parent, DocNode *child) {
  if (doc_node_is_nil(child) || doc_node_is_nil(parent)) return;
  TreePrependChild(parent, child, doc_nil_node);
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
