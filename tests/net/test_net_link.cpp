// Links: which targets are addresses, what "~" means, where a local target points.
#include "test_support.h"

#include "net/net_link.h"

TEST(NetLink, AddressesAndNeverCheckedTargets) {
  struct Row {
    const char *target;
    bool address, web, never_checked;
  } rows[] = {
      {"https://example.com/a", true, true, false},
      {"http://localhost/a", true, false, false},  // no dot in the host: not fetched
      {"mailto:me@example.com", true, false, false},
      {"data:text/plain,hi", true, false, false},
      {"//cdn.example.com/x.js", true, false, true},
      {"c++:x", true, false, false},
      {"./a:b.html", false, false, false},  // the colon comes after a slash: a path
      {"1http://x", false, false, false},
      {"js/app.JS", false, false, true},
      {"favicon.ico?v=2", false, false, true},
      {"page.html", false, false, false},
      {"", false, false, false},
  };
  for (const Row &r : rows) {
    StrView t = str_make((u8 *)r.target, strlen(r.target));
    EXPECT_EQ(link_is_address(t), r.address) << r.target;
    EXPECT_EQ(link_is_web_address(t), r.web) << r.target;
    EXPECT_EQ(link_is_never_checked(t), r.never_checked) << r.target;
  }
}

TEST(NetLink, RootExpansionFoldingAndResolution) {
  Arena *a = test_arena();
  auto expand = [&](const char *t, const char *root) {
    return ss(link_expand_root(a, str_make((u8 *)t, strlen(t)), str_make((u8 *)root, strlen(root))));
  };
  EXPECT_EQ(expand("~/img/a.png", "/site/"), "/site/img/a.png") << "a root ending in / replaces ~/";
  EXPECT_EQ(expand("~/img/a.png", "/site"), "/site/img/a.png");
  EXPECT_EQ(expand("a~b", "R/"), "aR/b") << "every ~ stands for the root";
  EXPECT_EQ(expand("~/x", ""), "~/x") << "no root, no change";

  auto fold = [&](const char *p) { return ss(link_fold_path(a, str_make((u8 *)p, strlen(p)))); };
  EXPECT_EQ(fold("root/out/../img/./a.png"), "root/img/a.png");
  EXPECT_EQ(fold("/a/b/../../../c"), "/c") << "nothing above the file system's root";
  EXPECT_EQ(fold("../../x"), "../../x") << "a relative start keeps its ..";
  EXPECT_EQ(fold("a/../../x"), "../x");
  EXPECT_EQ(fold("a\\\\b//c/"), "a/b/c/") << "backslashes and runs of slashes fold; a folder keeps its slash";
  EXPECT_EQ(fold("a/.."), ".");

  auto resolve = [&](const char *t, const char *root, const char *folder) {
    return ss(link_resolve_local(a, str_make((u8 *)t, strlen(t)), str_make((u8 *)root, strlen(root)),
                                 str_make((u8 *)folder, strlen(folder))));
  };
  EXPECT_EQ(resolve("~/files/here.txt", "root/", "src/"), "root/files/here.txt")
      << "a target from ~ is not put under the page's folder again";
  EXPECT_EQ(resolve("../img/a.png", "/r/", "/r/out/"), "/r/img/a.png") << "folded before the lookup";
  EXPECT_EQ(resolve("img/a.png?x=1#top", "", "pages"), "pages/img/a.png");
  EXPECT_EQ(resolve("/abs/x.png", "/r/", "/r/out/"), "") << "a path from the server's root is not checked";
  EXPECT_EQ(resolve("https://example.com/x", "/r/", "/r/"), "");
  EXPECT_EQ(resolve("#top", "/r/", "/r/"), "");
  EXPECT_EQ(resolve("~/x", "", "/r/"), "") << "~ with no root names nothing";
}

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
