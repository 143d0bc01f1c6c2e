// A build that skips what did not change must leave the site as a full build would: each
// input of a page is changed in turn, and the site and what the run said are compared
// with a build of the same tree that has no memo.
#include "test_support.h"

#include <sys/stat.h>

#include <filesystem>
#include <map>

namespace fs = std::filesystem;

namespace {

std::string jpeg(u16 width, u16 height) {
  std::string b = "\xFF\xD8";
  b += std::string("\xFF\xE0\x00\x10JFIF\x00\x01\x01\x01\x00\x01\x00\x01\x00\x00", 18);
  b += std::string("\xFF\xC0\x00\x11\x08", 5);
  b += (char)(height >> 8), b += (char)height, b += (char)(width >> 8), b += (char)width;
  b += std::string("\x03\x01\x22\x00\xFF\xD9", 6);
  return b;
}

// Every file below `dir` with its bytes; the manifest names the folder, which is taken out.
std::map<std::string, std::string> tree(const std::string &dir) {
  std::map<std::string, std::string> files;
  for (auto &e : fs::recursive_directory_iterator(dir)) {
    std::string rel = fs::relative(e.path(), dir).string();
    if (!e.is_regular_file() || rel == ".qilsite.memo") continue;
    std::string text = read_all(e.path().string());
    for (size_t at; (at = text.find(dir + "/")) != std::string::npos;) text.erase(at, dir.size());
    files[rel] = text;
  }
  return files;
}

// The files that differ, by name.
std::vector<std::string> differing(const std::map<std::string, std::string> &a,
                                   const std::map<std::string, std::string> &b) {
  std::vector<std::string> names;
  for (auto &[k, v] : a) {
    if (!b.count(k) || b.at(k) != v) names.push_back(k);
  }
  for (auto &[k, v] : b) {
    if (!a.count(k)) names.push_back(k);
  }
  return names;
}

std::map<std::string, fs::file_time_type> times(const std::string &dir) {
  std::map<std::string, fs::file_time_type> t;
  for (auto &e : fs::recursive_directory_iterator(dir)) {
    if (e.is_regular_file()) t[fs::relative(e.path(), dir).string()] = e.last_write_time();
  }
  return t;
}

struct Step {
  const char *what;
  std::function<void(const std::string &)> change;
  std::vector<std::string> options;
};

}  // namespace

TEST(Memo, EachInputChangedInTurnGivesWhatAFullBuildGives) {
  TempDir d;
  std::string w = d.path + "/work";
  std::string meta = "``\n  title: T\n  output_path: \"~/website/";
  d.file("work/src/a.qil", meta + "a.html\"\n``\n\nPart\n  See \"~/t.txt\" and \"~/website/b.html\".\n"
                           "  _\"~/img/i.jpg\"(\"an image\")\n");
  d.file("work/src/b.qil", meta + "b.html\"\n``\n\nPart\n  A missing \"~/gone.txt\".\n");
  d.file("work/src/c.qil", "``\n  title: C\n  status: draft\n``\n");
  d.file("work/src/p.html", "<!DOCTYPE html>\n<html lang=en><title>p</title><p>x<a href=\"t.txt\">t</a></p>\n");
  d.file("work/src/bad.html", "<!DOCTYPE html>\n<html lang=en><title>b</title><p>a</b>\n");
  d.file("work/shared/html/default_head.html", "<meta charset=\"utf-8\">\n");
  d.file("work/website/index.html", "<!DOCTYPE html>\n<html lang=en><title>i</title><ul id=\"zo-l-website\"></ul>\n");
  d.file("work/img/i.jpg", jpeg(64, 32));
  d.file("work/t.txt", "t");
  d.file("work/src/t.txt", "t");

  std::vector<std::string> base = {"target_path=src", "root_path=.", "check_file_paths"};
  auto build = [&](const std::string &dir, const std::vector<std::string> &options) {
    std::vector<std::string> args = base;
    args.insert(args.end(), options.begin(), options.end());
    return run_qilsite(args, dir);
  };
  ASSERT_EQ(build(w, {}).status, 0);

  std::vector<Step> steps = {
      {"nothing", [](const std::string &) {}, {}},
      {"a document", [](const std::string &s) { edit_file(s + "/src/a.qil", read_all(s + "/src/a.qil") + "  More.\n"); }, {}},
      {"the shared head", [](const std::string &s) { edit_file(s + "/shared/html/default_head.html", "<meta name=x content=y>\n"); }, {}},
      {"the tag sheet", [](const std::string &s) { edit_file(s + "/shared/css/qil/css_tag_default.css", "p { color: red; }\n"); }, {}},
      {"an image", [](const std::string &s) { edit_file(s + "/img/i.jpg", jpeg(640, 320)); }, {}},
      {"a link target removed", [](const std::string &s) { fs::remove(s + "/t.txt"); fs::remove(s + "/src/t.txt"); }, {}},
      {"a link target made", [](const std::string &s) { edit_file(s + "/gone.txt", "back"); }, {}},
      {"a page removed by hand", [](const std::string &s) { fs::remove(s + "/website/b.html"); }, {}},
      {"a raw view edited by hand", [](const std::string &s) { edit_file(s + "/website/raw_a.html", "mine"); }, {}},
      {"a hand-written page", [](const std::string &s) { edit_file(s + "/src/p.html", "<!DOCTYPE html>\n<title>q</title><p>y\n"); }, {}},
      {"an option", [](const std::string &) {}, {"no_raw_views"}},
      {"a damaged memo", [](const std::string &s) { edit_file(s + "/.qilsite.memo", read_all(s + "/.qilsite.memo").substr(0, 200)); }, {}},
  };
  for (const Step &step : steps) {
    SCOPED_TRACE(step.what);
    step.change(w);
    auto before = times(w);
    CommandResult inc = build(w, step.options);
    ASSERT_EQ(inc.status, 0) << inc.err;
    std::string cold = d.path + "/cold";
    fs::remove_all(cold);
    fs::copy(w, cold, fs::copy_options::recursive);
    fs::remove(cold + "/.qilsite.memo");
    CommandResult full = build(cold, step.options);
    EXPECT_EQ(differing(tree(w), tree(cold)), std::vector<std::string>{});
    EXPECT_EQ(inc.out, full.out) << "what the build said is said again";
    EXPECT_EQ(count_of(full.err, "unchanged since the last build"), 0u);
    if (std::string(step.what) == "nothing") {
      EXPECT_NE(inc.err.find("5 sources unchanged since the last build"), std::string::npos) << inc.err;
      EXPECT_EQ(times(w), before) << "no file is written";
    }
    if (std::string(step.what) == "a damaged memo") {
      EXPECT_EQ(count_of(inc.err, "unchanged since the last build"), 0u) << inc.err;
    }
  }
}

TEST(Memo, LinksOfUnchangedSourcesAreStillChecked) {
  TempDir d;
  d.file("s/src/a.qil", "``\n  title: A\n  output_path: \"~/website/a.html\"\n``\n\nPart\n  \"http://127.0.0.1:1/x\"\n");
  d.file("s/src/p.html", "<!DOCTYPE html>\n<html lang=en><title>p</title><a href=\"http://127.0.0.1:1/y\">y</a>\n");
  std::vector<std::string> args = {"target_path=src", "root_path=.", "check_urls", "consent_url=off", "retries=0", "strict"};
  CommandResult first = run_qilsite(args, d.path + "/s");
  CommandResult second = run_qilsite(args, d.path + "/s");
  EXPECT_NE(second.err.find("2 sources unchanged since the last build"), std::string::npos) << second.err;
  EXPECT_EQ(second.status, 1);
  EXPECT_EQ(count_of(second.out, "connection refused"), 2u) << second.out;
  EXPECT_EQ(count_of(first.out, "connection refused"), 2u) << first.out;
}
