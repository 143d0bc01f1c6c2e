// libFuzzer target: the searchers configuration on any bytes, then every finder it
// gives run over the same bytes as a page. Besides the sanitizers, it checks that the
// tokens cover the text, that the tree's links agree, and that the extraction gives
// one item per data marker with the byte total and the NUL bytes it promises.
#include <stdlib.h>

#include "html/html_searchers.h"
#include "fuzz_support.h"

static void
fuzz_check_tokens(StrView text, ConfTokenList tokens) {
  u64 at = 0;
  for (u64 i = 0; i < tokens.count; i += 1) {
    if (tokens.tokens[i].start != at || tokens.tokens[i].end <= at) abort();
    at = tokens.tokens[i].end;
  }
  if (at != text.length) abort();
}

static void
fuzz_check_tree(ConfNode *root) {
  for (ConfNode *n = root; !conf_node_is_nil(n); n = conf_next_preorder(n, root)) {
    u64 count = 0;
    ConfNode *prev = conf_nil_node;
    for (ConfNode *c = n->first_child; !conf_node_is_nil(c); c = c->next) {
      if (c->parent != n || c->prev != prev) abort();
      // Strings and objects belong to keys; keys to the root or an object.
      if ((c->type == ConfNode_String || c->type == ConfNode_Object) && n->type != ConfNode_Key) abort();
      if (c->type == ConfNode_Key && n->type != ConfNode_Root && n->type != ConfNode_Object) abort();
      prev = c;
      count += 1;
    }
    if (count != n->child_count || prev != n->last_child) abort();
  }
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  u64 pos = arena_pos(fuzz_arena);
  StrView text = str_make((u8 *)data, size);
  ConfTokenList tokens = conf_tokenize(fuzz_arena, text);
  fuzz_check_tokens(text, tokens);
  ConfNode *root = conf_parse(fuzz_arena, text, tokens);
  fuzz_check_tree(root);
  SourceFinderList finders = conf_read_source_finders(fuzz_arena, root);
  u64 finder_count = 0;
  for (SourceFinder *f = finders.first; f; f = f->next) {
    finder_count += 1;
    LinkMetadataItemList items = {};
    metadata_extract(fuzz_arena, f, text, &items);
    if (items.count != f->data_markers.count) abort();
    u64 count = 0;
    u64 bytes = 0;
    DataMarker *m = f->data_markers.first;
    for (LinkMetadataItem *item = items.first; item; item = item->next, m = m->next) {
      if (!m || (item->flags & ~(u32)LinkMetadataFlag_Missing) != m->types) abort();
      if (item->text.data[item->text.length] != 0) abort();
      if (!str_match(m->prefix, item->text, StrMatchFlag_Prefix)) abort();
      count += 1;
      bytes += item->text.length;
    }
    if (count != items.count || bytes != items.total_bytes || (items.last && items.last->next)) abort();
  }
  if (finder_count != finders.count) abort();
  // Nothing from no finder.
  LinkMetadataItemList none = {};
  metadata_extract(fuzz_arena, 0, text, &none);
  if (none.count || none.first) abort();
  arena_pop_to(fuzz_arena, pos);
  return 0;
}
