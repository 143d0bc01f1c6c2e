// Hand-written pages through the page report: a page is replaced only while it holds what
// was parsed, never recreated, never rewritten outside the target, and keeps its last line end.
#include "test_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "driver/driver_build.h"
#include "html/html_core.h"
#include "os/os_core.h"

static void
write_all(const std::string &path, const std::string &text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A record as the page pipeline leaves it: the parsed tree of the bytes read then.
struct ParsedPage {
  PageRecord record = {};
  std::string source;
};

static void
parse_page(Arena *a, ParsedPage *p, const std::string &path) {
  p->source = read_all(path);
  StrView src = str_push_copy(a, sv(p->source));
  HtmlParseResult *r = push_struct(a, HtmlParseResult);
  *r = html_check_text(a, src, str_push_copy(a, sv(path)), 0, StrView{});
  p->record.html = r;
  p->record.kind = PageKind_HandWritten;
  p->record.state = PageState_Waiting;
  p->record.path = str_push_copy(a, sv(path));
  p->record.source = src;
  p->record.source_modified = os_path_properties(sv(path)).modified;
}

static std::string
report(Arena *a, PageRecord *r, StrView target_real) {
  Site *site = push_struct(a, Site);
  site->arena = a;
  site->target_real = target_real;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  driver_report_page(site, r);
  testing::internal::GetCapturedStdout();
  return testing::internal::GetCapturedStderr();
}

TEST(DriverPages, ReportWritesOnlyWhatWasParsed) {
  Arena *a = test_arena();
  TempDir dir;
  StrView real = os_real_path(a, sv(dir.path));
  const std::string messy = "<title>t</title>\n<p   class=x>a</p>\n";

  //- unchanged since the parse: written back as it was, blanks and line end kept
  std::string plain = dir.file("plain.html", messy);
  ParsedPage p1;
  parse_page(a, &p1, plain);
  EXPECT_EQ(report(a, &p1.record, real), "");
  std::string once = read_all(plain);
  EXPECT_EQ(once, messy) << "the page is the author's, byte for byte";
  ParsedPage p1b;
  parse_page(a, &p1b, plain);
  report(a, &p1b.record, real);
  EXPECT_EQ(read_all(plain), once) << "a second rewrite changes nothing";

  //- CRLF endings keep their CRLF at the end
  std::string crlf = dir.file("crlf.html", "<title>t</title><p>x</p>\r\n");
  ParsedPage p2;
  parse_page(a, &p2, crlf);
  report(a, &p2.record, real);
  std::string crlf_out = read_all(crlf);
  EXPECT_EQ(crlf_out.substr(crlf_out.size() - 2), "\r\n");

  //- edited after the parse: the edit wins, one line on standard error
  std::string edited = dir.file("edited.html", messy);
  ParsedPage p3;
  parse_page(a, &p3, edited);
  write_all(edited, "<title>t</title><p>the user's newer text</p>");
  std::string err = report(a, &p3.record, real);
  EXPECT_EQ(read_all(edited), "<title>t</title><p>the user's newer text</p>");
  EXPECT_NE(err.find(edited), std::string::npos) << err;
  EXPECT_NE(err.find("changed during the build"), std::string::npos) << err;

  //- deleted after the parse: not created again
  std::string gone = dir.file("gone.html", messy);
  ParsedPage p4;
  parse_page(a, &p4, gone);
  unlink(gone.c_str());
  err = report(a, &p4.record, real);
  EXPECT_NE(access(gone.c_str(), F_OK), 0) << "the deleted page stays deleted";
  EXPECT_NE(err.find(gone), std::string::npos) << err;

  //- reached through a link to a file outside the target: checked, left alone
  TempDir elsewhere;
  std::string victim = elsewhere.file("victim.html", messy);
  std::string link = dir.path + "/link.html";
  ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
  ParsedPage p5;
  parse_page(a, &p5, link);
  err = report(a, &p5.record, real);
  EXPECT_EQ(read_all(victim), messy) << "the file outside the target is untouched";
  EXPECT_NE(err.find("outside the target"), std::string::npos) << err;

  //- a link to a page inside the target is followed
  std::string inner = dir.file("sub/inner.html", messy);
  std::string inner_link = dir.path + "/inner-link.html";
  ASSERT_EQ(symlink(inner.c_str(), inner_link.c_str()), 0);
  ParsedPage p6;
  parse_page(a, &p6, inner_link);
  EXPECT_EQ(report(a, &p6.record, real), "");
  EXPECT_EQ(read_all(inner), once);
}

TEST(DriverPagesCli, PagesWithoutMarkupAndValuesAsWritten) {
  TempDir dir;
  std::string blank = dir.file("site/blank.html", "  \n\t\n");
  std::string text = dir.file("site/text.html", "just words\n");
  const std::string values =
      "<title>t</title><a href=\"~/docs/a.html\">a</a><img src=\"img\\cat.png\">"
      "<a href=\"page.html?next=//x\">q</a>\n";
  std::string page = dir.file("site/values.html", values);
  CommandResult r = run_qilsite({"target_path=" + dir.path + "/site", "root_path=" + dir.path + "/root/"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read_all(blank), "  \n\t\n") << "a page of blanks is left untouched";
  EXPECT_EQ(read_all(text), "just words\n") << "a page with no markup is left untouched";
  std::string out = read_all(page);
  EXPECT_NE(out.find("\"~/docs/a.html\""), std::string::npos) << out;
  EXPECT_NE(out.find("img\\cat.png"), std::string::npos) << out;
  EXPECT_NE(out.find("page.html?next=//x"), std::string::npos) << out;
  EXPECT_EQ(out.back(), '\n');
}

TEST(DriverPagesCli, UnreadablePageIsReportedNotEmptied) {
  if (geteuid() == 0) {
    // Root reads a mode-000 file anyway; run the check as nobody when we can.
    if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "needs setpriv to drop root";
  }
  TempDir dir;
  std::string page = dir.file("site/locked.html", "<title>t</title><p>secret</p>");
  chmod(page.c_str(), 0);
  chmod(dir.path.c_str(), 0755);
  chmod((dir.path + "/site").c_str(), 0777);
  std::vector<std::string> argv = {qilsite_bin(), "target_path=" + dir.path + "/site", "root_path=" + dir.path};
  if (geteuid() == 0) argv.insert(argv.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  CommandResult r = run_process(argv);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("cannot read '" + page + "'"), std::string::npos) << r.err;
  chmod(page.c_str(), 0644);
  EXPECT_EQ(read_all(page), "<title>t</title><p>secret</p>");
}

// Edits under listen, seven in a burst and one after the page was rewritten: the eighth
// version wins, rewritten, and the page then settles (its time stays put while the run
// goes on rebuilding another page).
TEST(DriverPagesCli, RapidEditsUnderListenSettleOnTheLastOne) {
  TempDir dir;
  std::string page = dir.file("site/p.html", "<title>t</title><p>version 0</p>\n");
  std::string other = dir.file("site/q.html", "<title>t</title><p>q</p>\n");
  // Each version is longer than the one before, so none can pass for another by its size,
  // and its unknown element stands further right: the message's column tells the version.
  auto version = [](int i) {
    return "<title>t</title>\n<p id=v>" + std::string(i, 'x') + "<blinky></blinky></p>\n";
  };
  Background run = start_qilsite({"target_path=" + dir.path + "/site", "root_path=" + dir.path, "listen"});
  auto checked = [&](const std::string &path, int i) {
    return run.out().find(path + ":2:" + std::to_string(9 + i)) != std::string::npos;
  };
  ASSERT_TRUE(wait_until([&] { return run.err().find("qilsite: ") != std::string::npos; })) << run.err();
  for (int i = 1; i <= 7; i += 1) edit_file(page, version(i));
  EXPECT_TRUE(wait_until([&] { return checked(page, 7); })) << run.out();
  edit_file(page, version(8));
  EXPECT_TRUE(wait_until([&] { return checked(page, 8); })) << run.out();
  struct stat st1;
  stat(page.c_str(), &st1);
  // Another page edited and checked means the run went through rounds after the page
  // settled.
  edit_file(other, version(20));
  EXPECT_TRUE(wait_until([&] { return checked(other, 20); })) << run.out();
  struct stat st2;
  stat(page.c_str(), &st2);
  CommandResult done = run.stop();
  EXPECT_EQ(done.out.find(page + ":2:" + std::to_string(9 + 9)), std::string::npos);
  EXPECT_EQ(st1.st_mtim.tv_sec, st2.st_mtim.tv_sec);
  EXPECT_EQ(st1.st_mtim.tv_nsec, st2.st_mtim.tv_nsec) << "the page stays settled";
  EXPECT_EQ(read_all(page), version(8)) << "the author's last version, as written";
}
