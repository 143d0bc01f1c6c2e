// A whole site at the command line: documents become pages with their raw views, the
// index page lists them, and output paths are checked before anything is written.
#include "test_support.h"

#include <sys/stat.h>

static bool
exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

static const char *index_page =
    "<!DOCTYPE html>\n<html lang=\"en\">\n<head><title>Index</title></head>\n<body>\n"
    "<ul id=\"zo-l-qil\"></ul>\n<ul id=\"zo-l-soft\"></ul>\n</body>\n</html>\n";

static std::string
document(const std::string &title, const std::string &outputs, const std::string &status = "") {
  return "``\n  title: " + title + "\n" + outputs + (status.empty() ? "" : "  status: " + status + "\n") +
         "``\nSection\n  Some text\n";
}

// A raw view publishes the whole source, comments included: no_raw_views leaves it out,
// with its "view raw" link, and a raw view an earlier run wrote goes.
TEST(DriverSiteCli, NoRawViewsLeavesThemOut) {
  TempDir dir;
  std::string root = dir.path + "/";
  dir.file("src/a.qil", document("Alpha", "  output_path: \"~/website/a.html\"\n") + "// a private note\n");
  std::vector<std::string> args = {"target_path=" + dir.path + "/src", "root_path=" + dir.path};
  ASSERT_EQ(run_qilsite(args).status, 0);
  ASSERT_NE(read_all(root + "website/raw_a.html").find("a private note"), std::string::npos);
  args.push_back("no_raw_views");
  CommandResult r = run_qilsite(args);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string a = read_all(root + "website/a.html");
  EXPECT_NE(a.find("<title>Alpha</title>"), std::string::npos);
  EXPECT_EQ(a.find("raw_a.html"), std::string::npos) << a;
  EXPECT_EQ(a.find("view raw"), std::string::npos);
  EXPECT_FALSE(exists(root + "website/raw_a.html"));
  EXPECT_NE(r.err.find("0 raw views"), std::string::npos) << r.err;
}

TEST(DriverSiteCli, DocumentsBecomePagesRawViewsAndIndex) {
  TempDir dir;
  std::string root = dir.path + "/";
  dir.file("website/index.html", index_page);
  dir.file("src/qil/a.qil", document("Alpha", "  output_path: \"~/website/qil/a.html\"\n"
                                              "  output_path: \"~/website/qil/second.html\"\n"));
  dir.file("src/softwares/t.qil", document("Tool", "  output_path: \"~/website/softwares/deep/new/t.html\"\n"));
  dir.file("src/qil/d.qil", document("Draft", "  output_path: \"~/website/qil/d.html\"\n", "Draft"));
  dir.file("src/qil/none.qil", "Just text\n  no output path\n");
  CommandResult r = run_qilsite({"target_path=" + dir.path + "/src", "root_path=" + dir.path});
  ASSERT_EQ(r.status, 0) << r.err;

  //- a page for the first output path only; its raw view beside it; folders made
  std::string a = read_all(root + "website/qil/a.html");
  EXPECT_NE(a.find("<title>Alpha</title>"), std::string::npos);
  EXPECT_FALSE(exists(root + "website/qil/second.html"));
  std::string raw = read_all(root + "website/qil/raw_a.html");
  EXPECT_NE(raw.find("title: Alpha"), std::string::npos);
  EXPECT_NE(raw.find("href=\"a.html\""), std::string::npos) << "the way back";
  EXPECT_NE(a.find("href=\"raw_a.html\""), std::string::npos) << "the view raw link";
  EXPECT_TRUE(exists(root + "website/softwares/deep/new/t.html"));
  EXPECT_TRUE(exists(root + "website/softwares/deep/new/raw_t.html"));

  //- drafts and documents without an html output path make no page
  EXPECT_FALSE(exists(root + "website/qil/d.html"));
  EXPECT_FALSE(exists(root + "website/qil/raw_d.html"));

  //- the shared sheets and the index; a page's folder is the one right above it
  EXPECT_TRUE(exists(root + "shared/css/qil/css_default.css"));
  EXPECT_TRUE(exists(root + "shared/css/qil/css_tag_default.css"));
  std::string index = read_all(root + "website/index.html");
  EXPECT_NE(index.find("<ul id=\"zo-l-qil\"><li><a href=\"qil/a.html\" >Alpha</a></li></ul>"), std::string::npos) << index;
  EXPECT_NE(index.find("<ul id=\"zo-l-soft\"></ul>"), std::string::npos) << "t.html lies in new/, not softwares/";

  //- each page reported, then every path once more after the index
  std::string pa = root + "website/qil/a.html", pt = root + "website/softwares/deep/new/t.html";
  EXPECT_EQ(r.out, pa + ": \n\tlink checked: 0: \n\t" + pt + ": \n\tlink checked: 0: \n\t" + pa + ": \n\t" + pt +
                       ": \n\t");
}

TEST(DriverSiteCli, OutputPathsOutsideTheRootOrTakenAreRefused) {
  TempDir dir;
  std::string root = dir.path + "/site/";
  std::string outside = dir.file("src/out.qil", "``\n  title: Out\n  output_path: \"~/../escaped.html\"\n``\n");
  std::string first = dir.file("src/b1.qil", document("First", "  output_path: \"~/w/same.html\"\n"));
  std::string second = dir.file("src/b2.qil", document("Second", "  output_path: \"~/w/./same.html\"\n"));
  CommandResult r = run_qilsite({"target_path=" + dir.path + "/src", "root_path=" + dir.path + "/site"});
  ASSERT_EQ(r.status, 0);
  EXPECT_FALSE(exists(dir.path + "/escaped.html"));
  EXPECT_FALSE(exists(dir.path + "/raw_escaped.html"));
  EXPECT_NE(r.out.find("warning: \ntoken: " + root + "../escaped.html lies outside the site root " + root +
                       ": the page is not written\n" + outside + ":3:16\n"),
            std::string::npos)
      << r.out;
  //- the first document keeps the page; the second is told whose it is
  EXPECT_NE(read_all(root + "w/same.html").find("<title>First</title>"), std::string::npos);
  EXPECT_NE(r.out.find("warning: \ntoken: " + root + "w/./same.html is already the page of " + first +
                       ": this document's page is not written\n" + second + ":3:16\n"),
            std::string::npos)
      << r.out;
}

TEST(DriverSiteCli, IndexWithParseErrorIsNotRewritten) {
  TempDir dir;
  std::string broken = "<html><body><ul id=\"zo-l-qil\"><li>mine</li></ul><p class=\"x></body></html>";
  std::string index = dir.file("website/index.html", broken);
  dir.file("src/qil/a.qil", document("A", "  output_path: \"~/website/qil/a.html\"\n"));
  CommandResult r = run_qilsite({"target_path=" + dir.path + "/src", "root_path=" + dir.path});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read_all(index), broken);
  EXPECT_NE(r.err.find("its lists were not refilled"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find(index + ":1:"), std::string::npos) << "its diagnostics are shown";
  EXPECT_TRUE(exists(dir.path + "/website/qil/a.html"));
}

// Under listen an edited document replaces its page, in the index too.
TEST(DriverSiteCli, EditedDocumentReplacesItsIndexEntry) {
  TempDir dir;
  std::string index = dir.file("website/index.html", index_page);
  std::string doc = dir.file("src/qil/a.qil", document("Before", "  output_path: \"~/website/qil/a.html\"\n"));
  Background run = start_qilsite({"target_path=" + dir.path + "/src", "root_path=" + dir.path, "listen"});
  ASSERT_TRUE(wait_until([&] { return run.err().find("qilsite: ") != std::string::npos; })) << run.err();
  edit_file(doc, "``\n  title: After\n  output_path: \"~/website/qil/a.html\"\n``\n");
  EXPECT_TRUE(wait_until([&] {
    return read_all(index).find(">After</a>") != std::string::npos &&
           read_all(dir.path + "/website/qil/a.html").find("<title>After</title>") != std::string::npos;
  })) << run.err();
  run.stop();
  std::string text = read_all(index);
  EXPECT_EQ(count_of(text, "a.html"), 1u) << text;
  EXPECT_NE(text.find(">After</a>"), std::string::npos) << text;
  EXPECT_NE(read_all(dir.path + "/website/qil/a.html").find("<title>After</title>"), std::string::npos);
}

// Pages are written in the background in batches: every page of a site larger than a
// batch is there with its own text, and each one that cannot be written is said once,
// in document order, and counted.
TEST(DriverSiteCli, ManyPagesWrittenAndEachFailureSaidInOrder) {
  TempDir dir;
  dir.file("website/index.html", index_page);
  dir.file("website/blocked", "a file where a folder would be\n");
  const int n = 150;
  for (int i = 0; i < n; i += 1) {
    std::string name = "d" + std::string(i < 10 ? "00" : i < 100 ? "0" : "") + std::to_string(i);
    std::string folder = (i == 20 || i == 80 || i == 140) ? "blocked" : "qil";
    dir.file("src/qil/" + name + ".qil",
             document("Title " + std::to_string(i), "  output_path: \"~/website/" + folder + "/" + name + ".html\"\n"));
  }
  CommandResult r = run_qilsite({"target_path=" + dir.path + "/src", "root_path=" + dir.path, "strict"});
  EXPECT_EQ(r.status, 1) << "unwritten pages fail a strict run";
  int written = 0;
  for (int i = 0; i < n; i += 1) {
    std::string name = "d" + std::string(i < 10 ? "00" : i < 100 ? "0" : "") + std::to_string(i);
    std::string page = read_all(dir.path + "/website/qil/" + name + ".html");
    if (page.empty()) continue;
    written += 1;
    EXPECT_NE(page.find("<title>Title " + std::to_string(i) + "</title>"), std::string::npos) << name;
    EXPECT_NE(read_all(dir.path + "/website/qil/raw_" + name + ".html").find("title: Title " + std::to_string(i)),
              std::string::npos)
        << name;
  }
  EXPECT_EQ(written, n - 3);
  size_t a = r.err.find("website/blocked/d020.html");
  size_t b = r.err.find("website/blocked/d080.html");
  size_t c = r.err.find("website/blocked/d140.html");
  ASSERT_NE(a, std::string::npos) << r.err;
  ASSERT_NE(b, std::string::npos) << r.err;
  ASSERT_NE(c, std::string::npos) << r.err;
  EXPECT_LT(a, b);
  EXPECT_LT(b, c);
  EXPECT_EQ(count_of(r.err, "cannot write"), 6u) << "each page and its raw view, once: " << r.err;
  EXPECT_NE(r.err.find("147 pages generated (147 raw views)"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("6 pages not written"), std::string::npos) << r.err;
  EXPECT_NE(read_all(dir.path + "/website/index.html").find(">Title 149</a>"), std::string::npos);
}
