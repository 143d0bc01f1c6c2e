// libFuzzer target: any bytes parsed as a qil document, rendered as page assembly
// renders it, and written; then assembled into a whole page, and shown in a raw view.
// Besides the sanitizers it checks that the rendered body parses again without an
// error (unless the document holds raw HTML of its own), and that rendering the same
// tree again gives the same bytes.
#include <stdlib.h>

#include "doc/doc_core.h"
#include "fuzz_support.h"
#include "gen/gen_page.h"

static StrView
fuzz_render(DocParseResult *doc, RenderPageInfo *page) {
  page->counter = 0;
  HtmlNode *body = html_element_create(fuzz_arena, HtmlTagKind_Div, {});
  html_set_attribute(fuzz_arena, body, HtmlAttrKind_Id, str_lit("b_w"));
  StrList css = {};
  render_document(fuzz_arena, doc->root, body, page, &doc->anchors, &css);
  StrList out = {};
  html_write(fuzz_arena, &out, body);
  return str_list_join(fuzz_arena, &out, 0);
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  u64 pos = arena_pos(fuzz_arena);
  StrView src = str_make((u8 *)data, size);
  // A root that names no folder: images are looked up, and never found.
  DocParseOptions options = {str_lit("/qil-fuzz-root/")};
  DocParseResult doc = doc_parse(fuzz_arena, str_lit("/qil-fuzz-root/doc.qil"), src, doc_tokenize(fuzz_arena, src),
                                 &options);
  if (doc_node_is_nil(doc.root)) {
    arena_pop_to(fuzz_arena, pos);
    return 0;
  }
  //- as page assembly places them: the table of contents first, the footnotes last
  if (!doc_node_is_nil(doc.toc->first_child)) doc_node_prepend(doc.root, doc.toc);
  if (!doc_node_is_nil(doc.footnotes->first_child)) doc_node_append(doc.root, doc.footnotes);
  RenderPageInfo page = {str_lit("/qil-fuzz-root/blog/page.html"), options.root_path, 0};
  StrView once = fuzz_render(&doc, &page);

  bool raw_html = false;
  for (DocNode *n = doc.root; !doc_node_is_nil(n) && !raw_html; n = doc_node_next_preorder(n, doc.root)) {
    raw_html = n->kind == DocNodeKind_RawHtml;
  }
  if (!raw_html) {
    HtmlParseResult again =
        html_parse(fuzz_arena, once, str_lit("body.html"), html_tokenize(fuzz_arena, once), 0, options.root_path);
    if (again.parse_errors != 0) abort();
  }
  if (!str_equal(once, fuzz_render(&doc, &page))) abort();

  //- the complete page and the raw view, sharing nothing of a site
  HtmlParseResult no_head = {};
  GenShared shared = gen_shared_make(fuzz_arena, {}, {}, {}, {}, &no_head);
  PageResult full = page_assemble(fuzz_arena, &shared, &doc, str_lit("/qil-fuzz-root/doc.qil"), page.output_path);
  StrList out = {};
  html_write(fuzz_arena, &out, full.document);
  PageResult raw = build_raw_page(fuzz_arena, &shared, src, str_lit("/qil-fuzz-root/doc.qil"),
                                  str_lit("/qil-fuzz-root/blog/raw_page.html"), str_lit("page.html"));
  html_write(fuzz_arena, &out, raw.document);
  arena_pop_to(fuzz_arena, pos);
  return 0;
}
