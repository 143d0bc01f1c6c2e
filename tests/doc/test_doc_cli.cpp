// Diagnostics as the build prints them for the qil files of a small site.
#include "test_support.h"

static std::string
build_one(const TempDir &dir, const std::string &name, const std::string &content) {
  std::string path = dir.file("src/" + name, content);
  CommandResult r = run_qilsite({"target_path=" + path, "root_path=" + dir.path});
  EXPECT_EQ(r.status, 0);
  return r.out;
}

TEST(DocCli, DiagnosticPositions) {
  TempDir dir;
  std::string p = dir.path + "/src/";
  EXPECT_EQ(build_one(dir, "zero.qil", "]"), "error: \ntoken: Unexpected \"]\" token.\n" + p + "zero.qil:1:1\n");
  EXPECT_EQ(build_one(dir, "lf.qil", "a\n]"), "error: \ntoken: Unexpected \"]\" token.\n" + p + "lf.qil:2:1\n");
  EXPECT_EQ(build_one(dir, "col.qil", "ab]"), "error: \ntoken: Unexpected \"]\" token.\n" + p + "col.qil:1:3\n");
  // A lone CR ends a line for the parser but not for positions.
  EXPECT_EQ(build_one(dir, "cr.qil", "a\r]\rb ]"),
            "error: \ntoken: Unexpected \"]\" token.\n" + p + "cr.qil:1:3\n" +
                "error: \ntoken: Unexpected \"]\" token.\n" + p + "cr.qil:1:7\n");
  EXPECT_EQ(build_one(dir, "two.qil", "x |\ny ]\n"),
            "error: \ntoken: Unexpected \"|\" token.\n" + p + "two.qil:1:3\n" +
                "error: \ntoken: Unexpected \"]\" token.\n" + p + "two.qil:2:3\n");
  EXPECT_EQ(build_one(dir, "empty.qil", ""), "") << "an empty file prints nothing";
}

TEST(DocCli, EveryQilFileOfASiteInDiscoveryOrder) {
  TempDir dir;
  dir.file("site/b.qil", "b ]\n");
  dir.file("site/a.qil", "a ]\n");
  dir.file("site/sub/c.qil", "``\n  status: draft\n``\nc ]\n");
  dir.file("site/page.html", "<p>]</p>");
  CommandResult r = run_qilsite({"target_path=" + dir.path + "/site", "root_path=" + dir.path});
  std::string s = dir.path + "/site/";
  // Files go in discovery order; the hand-written page is reported after the parse round.
  EXPECT_EQ(r.out, "error: \ntoken: Unexpected \"]\" token.\n" + s + "a.qil:1:3\n" +
                       "error: \ntoken: Unexpected \"]\" token.\n" + s + "b.qil:1:3\n" +
                       "warning: \ntoken: document missing title\n" + s + "page.html:1:1\n" +
                       "error: \ntoken: Unexpected \"]\" token.\n" + s + "sub/c.qil:4:3\n" + s +
                       "page.html: \n\tlink checked: 0: \n\t" + s + "page.html: \n\t");
}
