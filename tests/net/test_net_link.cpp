// Links: local targets are looked up where they point, with no false warnings.
#include "test_support.h"

// The local-target check gives no false warnings: a relative root, "~" in a page,
// ".." from an output folder that does not exist yet; a real missing target still warns.
TEST(NetLinkCli, CheckFilePathsFindsWhatExists) {
  TempDir dir;
  dir.file("root/files/here.txt", "x");
  dir.file("root/img/a.png", "png");
  std::string doc = dir.file("src/t.qil",
                             "``\n"
                             "  output_path: \"~/out/t.html\"\n"
                             "``\n"
                             "Links\n"
                             "  \"~/files/here.txt\" \"../img/a.png\" \"../img/missing.png\"\n");
  std::string page = dir.file("src/p.html",
                              "<title>t</title><a href=\"~/img/a.png\">a</a><a href=\"~/img/gone.png\">b</a>");
  CommandResult r = run_qilsite({"target_path=src", "root_path=root/", "check_file_paths"}, dir.path);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.find("here.txt not found"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("../img/a.png not found"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("~/img/a.png not found"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("../img/missing.png not found\nsrc/t.qil:5:37\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("~/img/gone.png not found\nsrc/p.html:1:"), std::string::npos) << r.out;
}
