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

// check_fragments: a local link's "#name" is looked up among the ids of the page it leads
// to: a generated page's as it is made (its headings' "he_N"), a hand-written page's as
// written, its own page's for "#name" alone.
TEST(DocCli, CheckFragmentsLooksUpTheIdsOfEveryKindOfPage) {
  TempDir dir;
  std::string a = dir.file("src/a.qil", "``\n  output_path: \"~/website/a.html\"\n``\nIntro\n"
                                        "  \"~/website/b.html#he_2\"(b) \"~/website/b.html#nope\"(b) "
                                        "\"~/src/hand.html#h2\"(h) \"~/src/hand.html#zz\"(h)\n");
  dir.file("src/b.qil", "``\n  output_path: \"~/website/b.html\"\n``\nFirst\n  One.\nSecond\n  Two.\n");
  std::string hand = dir.file("src/hand.html",
                              "<!DOCTYPE html><html lang=\"en\"><head><title>h</title></head><body>\n"
                              "<h2 id=\"h2\">x</h2><a href=\"#h2\">s</a> <a href=\"#gone\">s</a> <a href=\"#\">t</a>\n"
                              "<a href=\"#Top\">t</a> <a href=\"../website/b.html#he_0\">b</a> "
                              "<a href=\"../website/b.html#bad\">b</a>\n</body></html>\n");
  std::vector<std::string> args = {"target_path=" + dir.path + "/src", "root_path=" + dir.path, "format=line", "strict"};
  CommandResult off = run_qilsite(args);
  EXPECT_EQ(off.status, 0) << off.err;
  args.push_back("check_fragments");
  CommandResult on = run_qilsite(args);
  EXPECT_EQ(on.status, 1) << "a missing fragment is a finding\n" << on.err;
  std::vector<std::string> said;
  for (size_t at = 0, nl; (nl = on.err.find('\n', at)) != std::string::npos; at = nl + 1) {
    std::string line = on.err.substr(at, nl - at);
    if (line.find(" not found") != std::string::npos) said.push_back(line);
  }
  std::vector<std::string> want = {
      a + ":5:30: warning: #nope not found in ~/website/b.html",
      a + ":5:81: warning: #zz not found in ~/src/hand.html",
      hand + ":2:48: warning: #gone not found in this page",
      hand + ":3:70: warning: #bad not found in ../website/b.html",
  };
  EXPECT_EQ(said, want) << on.err;
}
