// libFuzzer target: HTML tokenize + parse + validate + write. Whatever the text, the
// tree written back is the text, byte for byte; and a tree edited as the build edits
// one (a class added) still writes a text that parses back to the same text.
#include <stdlib.h>

#include "html/html_core.h"
#include "fuzz_support.h"


static StrView
fuzz_write(HtmlNode *root) {
  StrList out = {};
  html_write(fuzz_arena, &out, root);
  return str_list_join(fuzz_arena, &out, 0);
}

static HtmlParseResult
fuzz_parse(StrView text) {
  HtmlParseResult r = html_parse(fuzz_arena, text, str_lit("fuzz.html"), html_tokenize(fuzz_arena, text), HtmlParse_CheckAll,
                                 str_lit("/site/"));
  html_validate(fuzz_arena, &r);
  html_collect_links(fuzz_arena, &r);
  for (HtmlLink *l = r.links.first; l; l = l->next) {
    if (l->start > l->end || l->end > l->value_end || l->value_end > text.length) abort();
  }
  return r;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  u64 pos = arena_pos(fuzz_arena);
  StrView text = str_make((u8 *)data, size);
  HtmlParseResult r = fuzz_parse(text);
  StrView once = fuzz_write(r.root);
  if (!str_equal(once, text)) abort();
  //- tokens cover the text in order
  HtmlTokenList tokens = html_tokenize(fuzz_arena, text);
  u64 at = 0;
  for (u64 i = 0; i < tokens.count; i += 1) {
    if (tokens.tokens[i].start != at || tokens.tokens[i].end <= at) abort();
    at = tokens.tokens[i].end;
  }
  if (at != text.length) abort();
  //- an edited element is written from its attributes and reads back the same
  HtmlNode *e = html_find_last_element_by_kind(r.root, HtmlTagKind_P);
  if (r.parse_errors == 0 && !html_node_is_nil(e)) {
    html_add_class(fuzz_arena, e, str_lit("edited"));
    StrView edited = fuzz_write(r.root);
    HtmlParseResult again = fuzz_parse(edited);
    if (!str_equal(fuzz_write(again.root), edited)) abort();
  }
  //- the ids are the same whether the page comes whole or cut in two anywhere
  HtmlIdSet whole = html_ids_of(fuzz_arena, text);
  HtmlIdScan *scan = push_struct(fuzz_arena, HtmlIdScan);
  html_id_scan_begin(scan);
  u64 cut = size ? data[size - 1] % (size + 1) : 0;
  html_id_scan_feed(fuzz_arena, scan, str_prefix(text, cut));
  html_id_scan_feed(fuzz_arena, scan, str_skip(text, cut));
  u64 mix[2] = {};
  for (u64 i = 0; i < whole.capacity; i += 1) mix[0] ^= whole.slots[i];
  for (u64 i = 0; i < scan->ids.capacity; i += 1) mix[1] ^= scan->ids.slots[i];
  if (whole.count != scan->ids.count || whole.overlong != scan->ids.overlong || mix[0] != mix[1]) abort();
  arena_pop_to(fuzz_arena, pos);
  return 0;
}
