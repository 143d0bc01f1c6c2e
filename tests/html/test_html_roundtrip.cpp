// The hand-written page corpus: every page either rewrites to a fixed point or,
// when its parse raised an error, is left byte for byte as it was.
#include "test_support.h"

#include <dirent.h>

#include <algorithm>
#include <fstream>

#include "html/html_core.h"

static std::vector<std::string>
corpus_files() {
  std::vector<std::string> files;
  std::string dir = std::string(QILSITE_SOURCE_DIR) + "/tests/html/pages";
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d)) {
      std::string n = e->d_name;
      if (n.size() > 5 && n.substr(n.size() - 5) == ".html") files.push_back(dir + "/" + n);
    }
    closedir(d);
  }
  std::sort(files.begin(), files.end());
  return files;
}


static std::string
rewrite(Arena *a, const std::string &text, u64 *parse_errors) {
  StrView s = str_push_copy(a, sv(text));
  HtmlParseResult r =
      html_parse(a, s, str_lit("page.html"), html_tokenize(a, s), HtmlParse_CheckAll, str_lit("/site/"));
  html_validate(a, &r);
  *parse_errors = r.parse_errors;
  StrList out = {};
  html_write(a, &out, r.root);
  return ss(str_list_join(a, &out, 0));
}

TEST(HtmlRoundTrip, CorpusPagesReachAFixedPoint) {
  std::vector<std::string> files = corpus_files();
  ASSERT_GE(files.size(), 20u);
  u64 rewritten = 0;
  for (const std::string &f : files) {
    Arena *a = test_arena();
    u64 errors = 0;
    std::string once = rewrite(a, read_all(f), &errors);
    if (errors) continue;
    rewritten += 1;
    u64 again_errors = 0;
    std::string twice = rewrite(a, once, &again_errors);
    EXPECT_EQ(again_errors, 0u) << f << " written:\n" << once;
    EXPECT_EQ(twice, once) << f;
  }
  EXPECT_GE(rewritten, 15u);
}

TEST(HtmlRoundTrip, BuildRewritesCleanPagesAndLeavesBrokenOnes) {
  TempDir dir;
  std::vector<std::string> files = corpus_files();
  for (const std::string &f : files) dir.file("site/" + f.substr(f.rfind('/') + 1), read_all(f));
  std::vector<std::string> args = {"target_path=" + dir.path + "/site", "root_path=/site/"};
  CommandResult first = run_qilsite(args);
  ASSERT_EQ(first.status, 0);
  std::vector<std::string> after_first;
  for (const std::string &f : files) {
    std::string name = f.substr(f.rfind('/') + 1);
    std::string now = read_all(dir.path + "/site/" + name);
    after_first.push_back(now);
    Arena *a = test_arena();
    u64 errors = 0;
    std::string source = read_all(f);
    std::string expected = rewrite(a, source, &errors);
    if (errors) EXPECT_EQ(now, source) << name << " has parse errors and must stay untouched";
    else EXPECT_EQ(now, expected) << name;
  }
  run_qilsite(args);
  for (size_t i = 0; i < files.size(); i += 1) {
    std::string name = files[i].substr(files[i].rfind('/') + 1);
    EXPECT_EQ(read_all(dir.path + "/site/" + name), after_first[i]) << "a second build changes nothing: " << name;
  }
}

// Link values are the author's: "~/", backslashes and doubled slashes (in a path or a
// query) survive the build byte for byte, in the tree and in the page written back.
TEST(HtmlRoundTrip, LinkValuesKeepTheirWrittenBytes) {
  const char *pages[] = {"14_addresses.html", "27_written_links.html"};
  const char *values[] = {"\"~/blog/index.html\"", "\"sub\\\\page.html\"", "\"~/css//site.css\"",
                          "\"search.html?q=//x&amp;next=~/y\"", "\"~\\docs\\index.html\"", "\"~/img//a.png\"",
                          "\"../up\\\\two//three.html\""};
  std::string dir_pages = std::string(QILSITE_SOURCE_DIR) + "/tests/html/pages/";
  TempDir dir;
  std::string sources;
  for (const char *p : pages) {
    std::string text = read_all(dir_pages + p);
    sources += text;
    dir.file(std::string("site/") + p, text);
    // Every value in the tree is the text between its quotes in the page.
    Arena *a = test_arena();
    StrView s = str_push_copy(a, sv(text));
    HtmlParseResult r =
        html_parse(a, s, str_lit("page.html"), html_tokenize(a, s), HtmlParse_CheckAll, str_lit("/site/"));
    ASSERT_EQ(r.parse_errors, 0u) << p;
    u64 values_seen = 0;
    for (HtmlNode *n = r.root; !html_node_is_nil(n); n = html_next_preorder(n, r.root)) {
      if (n->type != HtmlNode_AttributeValue || n->source_length == 0) continue;
      values_seen += 1;
      EXPECT_EQ(ss(n->text), ss(str_unquote(str_substr(s, n->source_offset, n->source_offset + n->source_length))))
          << p;
    }
    EXPECT_GE(values_seen, 5u) << p;
  }
  std::vector<std::string> args = {"target_path=" + dir.path + "/site", "root_path=/site/"};
  ASSERT_EQ(run_qilsite(args).status, 0);
  std::string written;
  for (const char *p : pages) written += read_all(dir.path + "/site/" + p);
  for (const char *v : values) {
    std::string value = v;
    ASSERT_NE(sources.find(value.substr(1, value.size() - 2)), std::string::npos) << "the page holds " << value;
  }
  EXPECT_EQ(written, sources) << "the pages are written back as they were";
}

TEST(HtmlCli, PageDiagnosticsArePrintedOnceWithPositions) {
  TempDir dir;
  std::string page = dir.file("site/p.html", "<title>t</title>\n<p>a < b</p>\n<blinky>x</blinky>");
  CommandResult r = run_qilsite({"target_path=" + page, "root_path=" + dir.path});
  EXPECT_EQ(r.out, "error: \ntoken: a \"<\" that starts no tag: write it as &lt;\n" + page + ":2:6\n"
                   "error: \ntoken: blinky unknown tag element\n" + page + ":3:1\n" +
                   page + ": \n\tlink checked: 0: \n\t" +
                   // after the last report, with the index rebuilt, every record's path again
                   page + ": \n\t");
}
