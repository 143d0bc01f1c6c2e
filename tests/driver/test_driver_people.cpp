// The command line for people and CI: help, version, unknown options, strict, the
// summary, and a listen run that sees new files.
#include "test_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include "net/counting_server.h"

static bool
exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// The report without its fetch times, which differ from run to run.
static std::string
without_times(const std::string &out) {
  std::string kept;
  size_t at = 0;
  while (at < out.size()) {
    size_t end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    std::string line = out.substr(at, end - at);
    if (line.find("\ttimestamp: ") != 0) kept += line + "\n";
    at = end + 1;
  }
  return kept;
}

TEST(PeopleCli, HelpAndVersionBuildNothing) {
  TempDir dir;
  std::string page = dir.file("site/p.html", "<title>t</title><p>x</p>");
  for (const char *word : {"--help", "-h", "help"}) {
    CommandResult r = run_qilsite({word, "target_path=" + dir.path + "/site", "root_path=" + dir.path});
    EXPECT_EQ(r.status, 0) << word;
    EXPECT_NE(r.out.find("usage: qilsite target_path=PATH"), std::string::npos) << word;
    EXPECT_NE(r.out.find("Exit status: 0 without strict."), std::string::npos) << word;
    for (const char *key : {"target_path", "root_path", "server_root_path", "local_path", "dest_path", "listen",
                            "check_urls", "check_file_paths", "print_todos", "ca_file", "consent_url", "strict",
                            "format", "report"}) {
      EXPECT_NE(r.out.find(std::string("  ") + key), std::string::npos) << key;
    }
  }
  CommandResult v = run_qilsite({"--version", "target_path=" + dir.path + "/site"});
  EXPECT_EQ(v.status, 0);
  EXPECT_EQ(v.out.rfind("qilsite ", 0), 0u);
  EXPECT_EQ(std::count(v.out.begin(), v.out.end(), '\n'), 1);
  EXPECT_EQ(read_all(page), "<title>t</title><p>x</p>") << "nothing was built";
  EXPECT_FALSE(exists(dir.path + "/website/index.html"));
}

TEST(PeopleCli, UnknownOptionsAreNamedAndTheRunGoesOn) {
  TempDir dir;
  dir.file("site/p.html", "<title>t</title><p>x</p>\n");
  CommandResult r = run_qilsite(
      {"target_path=" + dir.path + "/site", "root_path=" + dir.path, "chek_urls", "--Listen", "frobnicate=3"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("qilsite: unknown option 'chek_urls' (did you mean 'check_urls'?)\n"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("qilsite: unknown option 'Listen' (did you mean 'listen'?)\n"), std::string::npos);
  EXPECT_NE(r.err.find("qilsite: unknown option 'frobnicate'\n"), std::string::npos);
  EXPECT_NE(r.out.find("p.html: \n\tlink checked: 0"), std::string::npos) << "the run still builds";
}

TEST(PeopleCli, StrictFailsOnErrorsBrokenLinksAndUnwritablePages) {
  CountingServer server;
  std::string missing = "http://127.0.0.1:" + std::to_string(server.port) + "/missing";
  std::string ok = "http://127.0.0.1:" + std::to_string(server.port) + "/ok";
  struct Case {
    const char *name;
    std::string file;
    std::string text;
    bool fails;
  };
  std::vector<Case> cases = {
      {"a clean site", "p.html", "<title>t</title><p><a href=\"" + ok + "\">x</a></p>\n", false},
      {"a qil error", "d.qil", "a ]\n", true},
      {"an HTML error", "p.html", "<title>t</title><p>a < b</p>\n", true},
      {"a broken link", "p.html", "<title>t</title><p><a href=\"" + missing + "\">x</a></p>\n", true},
  };
  for (const Case &c : cases) {
    TempDir dir;
    dir.file("site/" + c.file, c.text);
    std::vector<std::string> base = {"target_path=" + dir.path + "/site", "root_path=" + dir.path, "check_urls",
                                     "consent_url=off"};
    CommandResult plain = run_qilsite(base);
    base.push_back("strict");
    CommandResult strict = run_qilsite(base);
    EXPECT_EQ(strict.status, c.fails ? 1 : 0) << c.name << "\n" << strict.out << strict.err;
    EXPECT_EQ(plain.status, 0) << c.name;
    EXPECT_EQ(without_times(strict.out), without_times(plain.out)) << "the same report with and without strict";
  }
  //- a page that cannot be written: its folder refuses new files (root could write anyway, so a
  //  file stands where the page's folder should be)
  TempDir dir;
  dir.file("site/d.qil", "``\n  output_path: \"~/w/blocked/d.html\"\n``\nT\n  x\n");
  dir.file("w/blocked", "a file, not a folder");
  CommandResult r = run_qilsite({"target_path=" + dir.path + "/site", "root_path=" + dir.path, "strict"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("pages not written"), std::string::npos) << r.err;
}

TEST(PeopleCli, SummaryCountsWhatTheRunDid) {
  TempDir dir;
  dir.file("site/a.qil", "``\n  title: A\n  output_path: \"~/w/a.html\"\n``\nA\n  x\n");
  dir.file("site/b.qil", "``\n  status: draft\n  output_path: \"~/w/b.html\"\n``\n");
  dir.file("site/c.qil", "Only text\n  no page\n");
  dir.file("site/ok.html", "<title>t</title><p>x</p>\n");
  dir.file("site/bad.html", "<title>t</title><p>a < b</p>\n");
  CommandResult r = run_qilsite({"target_path=" + dir.path + "/site", "root_path=" + dir.path});
  EXPECT_EQ(r.status, 0);
  std::string summary = "qilsite: 1 page generated (1 raw view), 0 hand-written pages rewritten, 2 left as they were "
                        "(1 already as written, 1 parse error), 1 draft, 1 document without a usable output_path, "
                        "1 error, 1 warning\n";
  EXPECT_NE(r.err.find(summary), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("/site/c.qil:1:1: warning: this document has no output_path"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(" s\n"), std::string::npos) << "the time taken";
  //- a page is written back as the author wrote it: an edit is no reason to rewrite it
  dir.file("site/ok.html", "<title>t</title>\n<P>x</P>\n");
  CommandResult again = run_qilsite({"target_path=" + dir.path + "/site", "root_path=" + dir.path});
  EXPECT_NE(again.err.find("0 hand-written pages rewritten, 2 left as they were (1 already as written, 1 parse error)"),
            std::string::npos)
      << again.err;
  EXPECT_EQ(read_all(dir.path + "/site/ok.html"), "<title>t</title>\n<P>x</P>\n");
}

// A document made while a listen run goes on gets its page, and the index lists it.
TEST(PeopleCli, ListenBuildsNewFiles) {
  TempDir dir;
  std::string index = dir.file("website/index.html",
                               "<!DOCTYPE html>\n<html lang=\"en\">\n<head><title>I</title></head>\n<body>\n"
                               "<ul id=\"zo-l-qil\"></ul>\n</body>\n</html>\n");
  dir.file("src/qil/a.qil", "``\n  title: First\n  output_path: \"~/website/qil/a.html\"\n``\n");
  Background run = start_qilsite({"target_path=" + dir.path + "/src", "root_path=" + dir.path, "listen"});
  ASSERT_TRUE(wait_until([&] { return run.err().find("qilsite: ") != std::string::npos; })) << run.err();
  dir.file("src/qil/b.qil", "``\n  title: Later\n  output_path: \"~/website/qil/b.html\"\n``\n");
  EXPECT_TRUE(wait_until([&] { return read_all(index).find(">Later</a>") != std::string::npos && exists(dir.path + "/website/qil/b.html"); })) << run.err();
  // A file made in a folder made during the run, too: the folder must be watched from
  // the moment it appears.
  ASSERT_EQ(mkdir((dir.path + "/src/fresh").c_str(), 0755), 0);
  dir.file("src/fresh/c.qil", "``\n  title: Fresh\n  output_path: \"~/website/qil/c.html\"\n``\n");
  EXPECT_TRUE(wait_until([&] { return read_all(index).find(">Fresh</a>") != std::string::npos && exists(dir.path + "/website/qil/c.html"); })) << run.err();
  std::string log = run.stop().err;
  EXPECT_TRUE(exists(dir.path + "/website/qil/b.html"));
  std::string text = read_all(index);
  EXPECT_NE(text.find(">First</a>"), std::string::npos) << text;
  EXPECT_NE(text.find(">Later</a>"), std::string::npos) << text;
  EXPECT_NE(log.find("1 new source"), std::string::npos) << log;
  EXPECT_TRUE(exists(dir.path + "/website/qil/c.html")) << log;
  EXPECT_NE(text.find(">Fresh</a>"), std::string::npos) << text;
}

// Saving by removing the file and writing a new one (as some editors do) must not
// leave the source forgotten once its removal was seen.
TEST(PeopleCli, ListenRebuildsASourceWrittenAnew) {
  TempDir dir;
  std::string index = dir.file("website/index.html",
                               "<!DOCTYPE html>\n<html lang=\"en\">\n<head><title>I</title></head>\n<body>\n"
                               "<ul id=\"zo-l-qil\"></ul>\n</body>\n</html>\n");
  std::string doc = dir.file("src/qil/a.qil", "``\n  title: First\n  output_path: \"~/website/qil/a.html\"\n``\n");
  Background run = start_qilsite({"target_path=" + dir.path + "/src", "root_path=" + dir.path, "listen"});
  ASSERT_TRUE(wait_until([&] { return run.err().find("qilsite: ") != std::string::npos; })) << run.err();
  ASSERT_EQ(unlink(doc.c_str()), 0);
  EXPECT_TRUE(wait_until([&] { return run.err().find("1 source deleted") != std::string::npos; })) << run.err();
  dir.file("src/qil/a.qil", "``\n  title: Again\n  output_path: \"~/website/qil/a.html\"\n``\n");
  EXPECT_TRUE(wait_until([&] { return read_all(index).find(">Again</a>") != std::string::npos &&
           read_all(dir.path + "/website/qil/a.html").find("Again") != std::string::npos;
  })) << run.err();
  std::string log = run.stop().err;
  EXPECT_NE(log.find("1 source deleted"), std::string::npos) << log;
  EXPECT_NE(read_all(dir.path + "/website/qil/a.html").find("Again"), std::string::npos);
  std::string text = read_all(index);
  EXPECT_NE(text.find(">Again</a>"), std::string::npos) << text;
  EXPECT_EQ(text.find(">First</a>"), std::string::npos) << text;
  EXPECT_EQ(log.find("warning:"), std::string::npos) << log;
}
