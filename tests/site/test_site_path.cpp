// Paths and site addresses: which targets are addresses, what "~" means, where a local
// target points, walks between paths, and the names taken from a path.
#include "test_support.h"

#include "site/site_path.h"

TEST(SitePath, AddressesAndNeverCheckedTargets) {
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
    EXPECT_EQ(site_link_is_address(t), r.address) << r.target;
    EXPECT_EQ(site_link_is_web_address(t), r.web) << r.target;
    EXPECT_EQ(site_link_is_never_checked(t), r.never_checked) << r.target;
  }
}

TEST(SitePath, RootExpansionFoldingAndResolution) {
  Arena *a = test_arena();
  auto expand = [&](const char *t, const char *root) {
    return ss(site_link_expand_root(a, str_make((u8 *)t, strlen(t)), str_make((u8 *)root, strlen(root))));
  };
  EXPECT_EQ(expand("~/img/a.png", "/site/"), "/site/img/a.png") << "a root ending in / replaces ~/";
  EXPECT_EQ(expand("~/img/a.png", "/site"), "/site/img/a.png");
  EXPECT_EQ(expand("a~b", "R/"), "aR/b") << "every ~ stands for the root";
  EXPECT_EQ(expand("~/x", ""), "~/x") << "no root, no change";

  auto fold = [&](const char *p) { return ss(site_path_fold(a, str_make((u8 *)p, strlen(p)))); };
  EXPECT_EQ(fold("root/out/../img/./a.png"), "root/img/a.png");
  EXPECT_EQ(fold("/a/b/../../../c"), "/c") << "nothing above the file system's root";
  EXPECT_EQ(fold("../../x"), "../../x") << "a relative start keeps its ..";
  EXPECT_EQ(fold("a/../../x"), "../x");
  EXPECT_EQ(fold("a\\\\b//c/"), "a/b/c/") << "backslashes and runs of slashes fold; a folder keeps its slash";
  EXPECT_EQ(fold("a/.."), ".");

  auto resolve = [&](const char *t, const char *root, const char *folder) {
    return ss(site_link_resolve_local(a, str_make((u8 *)t, strlen(t)), str_make((u8 *)root, strlen(root)),
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

TEST(SitePath, RelativeWalk) {
  Arena *a = test_arena();
  struct Row {
    const char *from, *to, *expect;
  } rows[] = {
      {"/site/blog/post.html", "/site/img/a.png", "../img/a.png"},
      {"/site/blog/post.html", "/site/blog/b.html", "b.html"},
      {"/site/blog/", "/site/x/y/z.css", "../x/y/z.css"},
      {"/a/b", "/c/d", "../../c/d"},
      {"/site/a/b/c.qil", "/site/shared/css/d.css", "../../shared/css/d.css"},
      {"rel/one", "other/two", "../../other/two"},
  };
  for (const Row &r : rows) {
    StrList rel = site_path_steps(a, str_from_cstr(r.from), str_from_cstr(r.to));
    StrJoin j = {{}, str_lit("/"), {}};
    EXPECT_EQ(ss(str_list_join(a, &rel, &j)), r.expect) << r.from << " -> " << r.to;
  }
}

// Names taken from a path: the query and fragment of a target, the raw view beside a
// page (a backslash separates there), and file-system paths (where it does not).
TEST(SitePath, SplitsRawViewsAndFileSystemNames) {
  Arena *a = test_arena();
  struct Row {
    const char *target, *path, *suffix;
  } rows[] = {
      {"a.html?q=1#x", "a.html", "?q=1#x"},
      {"a#x?y", "a", "#x?y"},
      {"a/b", "a/b", ""},
  };
  for (const Row &r : rows) {
    SiteLinkParts p = site_link_split(str_from_cstr(r.target));
    EXPECT_EQ(ss(p.path), r.path) << r.target;
    EXPECT_EQ(ss(p.suffix), r.suffix) << r.target;
  }

  EXPECT_EQ(ss(site_path_raw_view(a, str_lit("/s/website/qil/a.html"))), "/s/website/qil/raw_a.html");
  EXPECT_EQ(ss(site_path_raw_view(a, str_lit("a.html"))), "raw_a.html");
  EXPECT_EQ(ss(site_path_raw_view(a, str_lit("q\\a.html"))), "q/raw_a.html");

  EXPECT_EQ(ss(site_fs_folder(str_lit("a\\b/c"))), "a\\b");
  EXPECT_EQ(ss(site_fs_name(str_lit("a\\b"))), "a\\b");
  EXPECT_EQ(ss(site_fs_folder(str_lit("/x"))), "/");
  EXPECT_EQ(ss(site_fs_folder(str_lit("x"))), ".");
  EXPECT_FALSE(site_fs_below(str_lit("/a/bc"), str_lit("/a/b")));
  EXPECT_TRUE(site_fs_below(str_lit("/a/b/c"), str_lit("/a/b/")));
  EXPECT_FALSE(site_fs_below(str_lit("/a/b"), str_lit("/a/b"))) << "a folder does not lie below itself";
}
