// The background writer: pages handed over in batches, written on its thread, what
// writing said printed in hand-over order and every outcome counted once.
#include "test_support.h"

#include <sys/stat.h>

#include "driver/driver_build.h"
#include "emit/emit.h"
#include "os/os_core.h"

static Site *
writer_site(Arena *a, const TempDir &dir) {
  SiteSettings settings = {};
  settings.root = str_push_copy(a, sv(dir.path + "/"));
  Site *site = push_struct(a, Site);
  driver_site_init(site, a, settings);
  site->target_real = os_real_path(a, sv(dir.path));
  return site;
}

static PageRecord *
generated_record(Arena *a, const std::string &path) {
  PageRecord *r = push_struct(a, PageRecord);
  r->kind = PageKind_Generated;
  r->state = PageState_Handed;
  r->path = str_push_copy(a, sv(path));
  return r;
}

TEST(EmitWriter, BatchesWriteEveryPageAndSayFailuresInOrder) {
  TempDir dir;
  Arena *a = test_arena();
  Site *site = writer_site(a, dir);
  // A file where a folder should be: the pages below it cannot be made.
  dir.file("blocked", "a file");
  const int pages = 130;  // several batches
  std::vector<std::string> paths;
  testing::internal::CaptureStderr();
  for (int i = 0; i < pages; i += 1) {
    bool blocked = i == 50 || i == 99;
    std::string path = dir.path + (blocked ? "/blocked/p" : "/out/p") + std::to_string(i) + ".html";
    paths.push_back(path);
    Arena *batch = emit_batch_arena(site);
    ASSERT_NE(batch, nullptr) << "the writer runs";
    HtmlNode *p = html_element_create(batch, HtmlTagKind_P, str_pushf(batch, "page %d", i));
    emit_hand_over(site, generated_record(a, path), p);
  }
  emit_finish(site);
  std::string err = testing::internal::GetCapturedStderr();

  EXPECT_EQ(site->total.pages_generated, (u64)pages - 2);
  EXPECT_EQ(site->total.write_failures, 2u) << "each outcome counted once";
  EXPECT_EQ(read_all(paths[0]), "<p>page 0</p>");
  EXPECT_EQ(read_all(paths[129]), "<p>page 129</p>");
  size_t first = err.find("blocked/p50.html"), second = err.find("blocked/p99.html");
  ASSERT_NE(first, std::string::npos) << err;
  ASSERT_NE(second, std::string::npos) << err;
  EXPECT_LT(first, second) << "said in the order the pages were handed over";

  //- a second round after the first is taken back counts only its own pages
  Arena *batch = emit_batch_arena(site);
  emit_hand_over(site, generated_record(a, dir.path + "/out/again.html"),
                 html_element_create(batch, HtmlTagKind_P, str_lit("again")));
  emit_finish(site);
  EXPECT_EQ(site->total.pages_generated, (u64)pages - 1);
  EXPECT_EQ(read_all(dir.path + "/out/again.html"), "<p>again</p>");
  emit_close(site);
  EXPECT_EQ(site->writer, nullptr);
}

TEST(EmitWriter, HandWrittenPagesAreCommittedOnlyWhileUnchanged) {
  TempDir dir;
  Arena *a = test_arena();
  Site *site = writer_site(a, dir);
  std::string kept = dir.file("kept.html", "<p   id=a>old</p>\n");
  std::string edited = dir.file("edited.html", "<p   id=b>old</p>\n");
  std::string files[2] = {kept, edited};
  for (int i = 0; i < 2; i += 1) {
    PageRecord *r = push_struct(a, PageRecord);
    r->kind = PageKind_HandWritten;
    r->state = PageState_Handed;
    r->path = str_push_copy(a, sv(files[i]));
    r->source = str_push_copy(a, sv(read_all(files[i])));
    r->source_modified = os_path_properties(r->path).modified;
    Arena *batch = emit_batch_arena(site);
    HtmlParseResult parsed = html_check_text(batch, r->source, r->path, 0, StrView{});
    // What a build adds to a page (a preview) makes it differ from what is on disk.
    html_add_class(batch, html_find_last_element_by_kind(parsed.root, HtmlTagKind_P), str_lit("c"));
    emit_hand_over(site, r, parsed.root);
  }
  // Edited after it was parsed and before the writer took it: the author's bytes stay.
  std::string mine = "<p>the author's edit</p>\n";
  dir.file("edited.html", mine);
  testing::internal::CaptureStderr();
  emit_finish(site);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(read_all(kept), "<p id=\"a\"  class=\"c\" >old</p>\n");
  EXPECT_EQ(read_all(edited), mine);
  EXPECT_NE(err.find("changed during the build"), std::string::npos) << err;
  EXPECT_EQ(site->total.pages_rewritten, 1u);
  EXPECT_EQ(site->total.kept_changed, 1u);
  emit_close(site);
}
