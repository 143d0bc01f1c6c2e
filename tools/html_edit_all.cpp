// Writes each page again with every tag it read written from its attributes, as the build
// writes a tag it edited (a class added, a link made relative): the browser test compares
// what a browser builds from both, so the way edited tags are written is checked on every
// page of the corpus, not only on the few the build edits.
//
//   html_edit_all IN_ROOT OUT_ROOT NAME...
//
// A page whose parse raised an error is skipped: the build never writes such a page.
#include <stdio.h>
#include <sys/stat.h>

#include <string>

#include "base/base_arena.h"
#include "html/html_core.h"
#include "os/os_core.h"

static bool
read_file(const std::string &path, std::string *out) {
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return false;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
  fclose(f);
  return true;
}

static bool
write_file(const std::string &path, StrView text) {
  for (size_t i = 1; i < path.size(); i += 1) {
    if (path[i] == '/') {
      std::string dir = path.substr(0, i);
      (void)mkdir(dir.c_str(), 0755);
    }
  }
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = fwrite(text.data, 1, text.length, f) == text.length;
  return fclose(f) == 0 && ok;
}

int
main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: html_edit_all IN_ROOT OUT_ROOT NAME...\n");
    return 2;
  }
  ThreadContext ctx = thread_context_create();
  ctx.is_main_thread = 1;
  thread_context_set(&ctx);
  os_process_init();
  Arena *arena = arena_create_sized(GB(4), MB(1));
  int written = 0, skipped = 0;
  for (int i = 3; i < argc; i += 1) {
    std::string text;
    if (!read_file(std::string(argv[1]) + "/" + argv[i], &text)) {
      fprintf(stderr, "html_edit_all: cannot read %s\n", argv[i]);
      return 1;
    }
    u64 pos = arena_pos(arena);
    StrView s = str_make((u8 *)text.data(), text.size());
    HtmlParseResult r = html_parse(arena, s, str_lit("page.html"), html_tokenize(arena, s), HtmlParse_CheckAll, {});
    if (r.parse_errors || html_node_is_nil(r.root)) {
      skipped += 1;
    } else {
      for (HtmlNode *n = r.root; !html_node_is_nil(n); n = html_next_preorder(n, r.root)) {
        if (n->type == HtmlNode_Element && n->element->kind != HtmlTagKind_Doctype) n->flags |= HtmlNodeFlag_Edited;
      }
      StrList out = {};
      html_write(arena, &out, r.root);
      if (!write_file(std::string(argv[2]) + "/" + argv[i], str_list_join(arena, &out, 0))) {
        fprintf(stderr, "html_edit_all: cannot write %s\n", argv[i]);
        return 1;
      }
      written += 1;
    }
    arena_pop_to(arena, pos);
  }
  printf("%d written, %d skipped (parse errors)\n", written, skipped);
  return 0;
}
