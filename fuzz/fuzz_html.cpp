// libFuzzer target: HTML tokenize + parse + validate + write. A text that parses
// without error must rewrite to a fixed point: parse the written text, write it
// again, and the bytes are the same.
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
    if (l->start > l->end || l->end > text.length) abort();
  }
  return r;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  u64 pos = arena_pos(fuzz_arena);
  StrView text = str_make((u8 *)data, size);
  HtmlParseResult r = fuzz_parse(text);
  StrView once = fuzz_write(r.root);
  if (r.parse_errors == 0) {
    HtmlParseResult again = fuzz_parse(once);
    if (again.parse_errors != 0) abort();
    StrView twice = fuzz_write(again.root);
    if (!str_equal(once, twice)) abort();
  }
  // The skeleton and lenient modes used for generated pages must hold up too.
  html_parse(fuzz_arena, text, str_lit("fuzz.html"), html_tokenize(fuzz_arena, text),
             HtmlParse_Skeleton | HtmlParse_LenientLt, {});
  arena_pop_to(fuzz_arena, pos);
  return 0;
}
