// check_file_paths: missing local link targets are reported where their quoted text stands.
#include "test_support.h"

TEST(DocCli, CheckFilePathsReportsMissingTargets) {
  TempDir dir;
  dir.file("website/blog/img/cat.png", "png");
  dir.file("shared/css/site.css", "css");
  std::string doc =
      "``\n"
      "  output_path: \"~/website/blog/post.html\"\n"
      "``\n"
      "Links\n"
      "  \"./img/cat.png\" \"./img/\" \"~/shared/css/site.css\" \"./gone.png\"\n"
      "  _\"~/nope/x.png\" \"https://example.com/x\" \"../blog/img/cat.png#top\"\n";
  std::string src = dir.file("src/post.qil", doc);
  std::vector<std::string> base = {"target_path=" + src, "root_path=" + dir.path};
  std::string page = dir.path + "/website/blog/post.html";
  std::string report = page + ": \n\tlink checked: 0: \n\t" + page + ": \n\t";
  CommandResult off = run_qilsite(base);
  EXPECT_EQ(off.out, report) << "without the switch nothing is opened or reported";
  base.push_back("check_file_paths");
  CommandResult on = run_qilsite(base);
  EXPECT_EQ(on.status, 0);
  EXPECT_EQ(on.out, "warning: \ntoken: ./gone.png not found\n" + src + ":5:52\n" +
                        "warning: \ntoken: " + dir.path + "/nope/x.png not found\n" + src + ":6:4\n" + report);
}

TEST(DocCli, CheckFilePathsWithoutOutputPathUsesTheDocumentFolder) {
  TempDir dir;
  dir.file("src/pics/a.png", "png");
  std::string src = dir.file("src/doc.qil", "Pics\n  \"./pics/a.png\" \"./pics/b.png\"\n");
  CommandResult r = run_qilsite({"target_path=" + src, "root_path=" + dir.path, "check_file_paths"});
  EXPECT_EQ(r.out, "warning: \ntoken: ./pics/b.png not found\n" + src + ":2:18\n");
}
