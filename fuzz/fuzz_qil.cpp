// libFuzzer target: the qil lexer and parser on any bytes. Besides the sanitizers,
// it checks that the tree is well formed, that every answer the parser kept on a
// node still holds, and that every diagnostic points into the source.
#include <stdio.h>
#include <stdlib.h>

#include "doc/doc_core.h"
#include "fuzz_support.h"

static void
fuzz_check_tree(DocNode *root) {
  for (DocNode *n = root; !doc_node_is_nil(n); n = doc_node_next_preorder(n, root)) {
    u64 count = 0;
    DocNode *prev = doc_nil_node;
    for (DocNode *c = n->first_child; !doc_node_is_nil(c); c = c->next) {
      if (c->parent != n || c->prev != prev) abort();
      prev = c;
      count += 1;
    }
    if (n->kind != DocNodeKind_InlineAnchor && (count != n->child_count || prev != n->last_child)) abort();
    // A kept "inside a quotation" must match a fresh climb to the root.
    if (n->quote_memo) {
      bool quoted = !doc_node_is_nil(doc_node_find_ancestor(n, DocNodeKind_Quote));
      if ((n->quote_memo == 2) != quoted) abort();
    }
  }
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  u64 pos = arena_pos(fuzz_arena);
  StrView src = str_make((u8 *)data, size);
  DocLexResult lex = doc_tokenize(fuzz_arena, src);
  DocParseOptions options = {str_lit("/root/")};
  DocParseResult r = doc_parse(fuzz_arena, str_lit("fuzz.qil"), src, lex, &options);
  fuzz_check_tree(r.root);
  fuzz_check_tree(r.toc);
  fuzz_check_tree(r.footnotes);
  for (Diagnostic *d = r.diagnostics.first; d; d = d->next) {
    if (d->offset > size) abort();
  }
  arena_pop_to(fuzz_arena, pos);
  return 0;
}
