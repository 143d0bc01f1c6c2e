#include "test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "emit/emit.h"
#include "os/os_core.h"

TEST(GenWrite, WritesReplacesAndKeepsPermissions) {
  TempDir dir;
  Arena *a = test_arena();
  std::string path = dir.path + "/new/dir/page.html";
  HtmlNode *p = html_element_create(a, HtmlTagKind_P, str_lit("first"));
  ASSERT_TRUE(emit_html_file(a, p, sv(path)));
  EXPECT_EQ(read_all(path), "<p>first</p>") << "missing folders are made";
  chmod(path.c_str(), 0640);
  HtmlNode *q = html_element_create(a, HtmlTagKind_P, str_lit("second"));
  ASSERT_TRUE(emit_html_file(a, q, sv(path)));
  EXPECT_EQ(read_all(path), "<p>second</p>") << "only the second text remains";
  struct stat st;
  stat(path.c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  // A symbolic link stays a link; the file it names is rewritten.
  std::string link = dir.path + "/link.html";
  ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
  ASSERT_TRUE(emit_html_file(a, p, sv(link)));
  struct stat lst;
  lstat(link.c_str(), &lst);
  EXPECT_TRUE(S_ISLNK(lst.st_mode));
  EXPECT_EQ(read_all(path), "<p>first</p>");
  // Only the page itself is left in the folder: no temporary files.
  CommandResult ls = run_command("ls -A " + dir.path + "/new/dir");
  EXPECT_EQ(ls.out, "page.html\n");
}

TEST(GenWrite, AFailedWriteKeepsTheOldFileAndSaysWhy) {
  TempDir dir;
  std::string path = dir.file("page.html", "original");
  Arena *a = test_arena();
  // A file-size limit makes the write fail part-way, as a full disk would, for root too.
  signal(SIGXFSZ, SIG_IGN);
  struct rlimit old_limit, small = {16384, 16384};
  getrlimit(RLIMIT_FSIZE, &old_limit);
  small.rlim_max = old_limit.rlim_max;
  setrlimit(RLIMIT_FSIZE, &small);
  testing::internal::CaptureStderr();
  std::string big(65536, 'x');
  bool ok = emit_html_file(a, html_element_create(a, HtmlTagKind_P, sv(big)), sv(path));
  std::string err = testing::internal::GetCapturedStderr();
  setrlimit(RLIMIT_FSIZE, &old_limit);
  signal(SIGXFSZ, SIG_DFL);
  EXPECT_FALSE(ok);
  EXPECT_EQ(read_all(path), "original") << "the old page stays whole";
  EXPECT_NE(err.find(path), std::string::npos) << err;
  CommandResult ls = run_command("ls -A " + dir.path);
  EXPECT_EQ(ls.out, "page.html\n") << "the temporary file is removed";
}

TEST(GenWrite, SpecialFilesAreNeverReplaced) {
  TempDir dir;
  std::string fifo = dir.path + "/pipe.html";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  Arena *a = test_arena();
  testing::internal::CaptureStderr();
  EXPECT_FALSE(emit_write_file_safely(sv(fifo), str_lit("x")));
  EXPECT_FALSE(emit_write_file_safely(sv(dir.path), str_lit("x")));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("not a regular file"), std::string::npos);
  struct stat st;
  stat(fifo.c_str(), &st);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  (void)a;
}

//~ Replacing users' pages

namespace {

struct Outcome {
  WriteStatus status;
  std::string err;
};

// Runs the replacement with stderr captured.
Outcome
replace(const std::string &path, const std::string &bytes, const WriteOptions *options) {
  testing::internal::CaptureStderr();
  WriteStatus s = emit_replace_file(sv(path), sv(bytes), options);
  Outcome o = {s, testing::internal::GetCapturedStderr()};
  return o;
}

u64
modified_of(const std::string &path) {
  return os_path_properties(sv(path)).modified;
}

void
set_time(const std::string &path, time_t seconds) {
  struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

size_t
line_count(const std::string &s) {
  return (size_t)std::count(s.begin(), s.end(), '\n');
}

// A refusal or failure says so on exactly one line that names the path.
void
expect_one_line(const Outcome &o, const std::string &path, const std::string &reason, const char *label) {
  EXPECT_EQ(line_count(o.err), 1u) << label << ": " << o.err;
  EXPECT_EQ(o.err.rfind("qilsite: ", 0), 0u) << label << ": " << o.err;
  EXPECT_NE(o.err.find(path), std::string::npos) << label << ": " << o.err;
  EXPECT_NE(o.err.find(reason), std::string::npos) << label << ": " << o.err;
}

std::string
listing(const std::string &folder) {
  return run_command("ls -A '" + folder + "'").out;
}

}  // namespace

TEST(GenReplace, PagesChangedOrDeletedDuringTheBuildAreKept) {
  TempDir dir;
  std::string path = dir.file("page.html", "<p>as read</p>");
  set_time(path, 1000);
  WriteExpect expect = {str_lit("<p>as read</p>"), modified_of(path)};
  WriteOptions opts = {&expect, {}, 0};

  // Another size: changed, whatever the time says.
  dir.file("page.html", "<p>edited by the user</p>");
  set_time(path, 1000);
  Outcome o = replace(path, "<p>ours</p>", &opts);
  EXPECT_EQ(o.status, WriteStatus_Changed) << "longer edit";
  expect_one_line(o, path, "changed during the build and was not rewritten", "longer edit");
  EXPECT_EQ(read_all(path), "<p>edited by the user</p>");

  // The same size with a new time: the bytes decide.
  dir.file("page.html", "<p>as REAd</p>");
  set_time(path, 2000);
  o = replace(path, "<p>ours</p>", &opts);
  EXPECT_EQ(o.status, WriteStatus_Changed) << "same-size edit";
  EXPECT_EQ(read_all(path), "<p>as REAd</p>");

  // Touched but not edited: written.
  dir.file("page.html", "<p>as read</p>");
  set_time(path, 3000);
  o = replace(path, "<p>ours</p>", &opts);
  EXPECT_EQ(o.status, WriteStatus_Written) << "touched only: " << o.err;
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(read_all(path), "<p>ours</p>");

  // Already holding these bytes: left alone, time and all, without a word.
  set_time(path, 4000);
  u64 before = modified_of(path);
  WriteExpect now = {str_lit("<p>ours</p>"), before};
  WriteOptions now_opts = {&now, {}, 0};
  o = replace(path, "<p>ours</p>", &now_opts);
  EXPECT_EQ(o.status, WriteStatus_Unchanged);
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(modified_of(path), before);

  // Deleted: never made again.
  ASSERT_EQ(unlink(path.c_str()), 0);
  o = replace(path, "<p>ours</p>", &now_opts);
  EXPECT_EQ(o.status, WriteStatus_Missing);
  expect_one_line(o, path, "was deleted during the build and was not written again", "deleted");
  EXPECT_FALSE(os_path_exists(sv(path))) << "the page is not made again";
  std::string gone_folder = dir.path + "/gone/page.html";
  o = replace(gone_folder, "<p>ours</p>", &now_opts);
  EXPECT_EQ(o.status, WriteStatus_Missing) << "folder deleted too";
  EXPECT_FALSE(os_path_exists(sv(dir.path + "/gone"))) << "nor its folder";
  EXPECT_EQ(listing(dir.path), "") << "and no temporary files are left";
}

TEST(GenReplace, LinksAreFollowedOnlyInsideTheTarget) {
  TempDir dir;
  std::string site = dir.path + "/site";
  std::string victim = dir.file("elsewhere/victim.html", "<p>not yours</p>");
  std::string twin_victim = dir.file("site2/x.html", "<p>neighbour</p>");
  std::string real_file = dir.file("site/sub/real.html", "<p>old</p>");
  std::string out_link = site + "/v.html", prefix_link = site + "/y.html", in_link = site + "/l.html";
  ASSERT_EQ(symlink(victim.c_str(), out_link.c_str()), 0);
  ASSERT_EQ(symlink("../site2/x.html", prefix_link.c_str()), 0);
  ASSERT_EQ(symlink("sub/real.html", in_link.c_str()), 0);
  ASSERT_EQ(symlink("../elsewhere", (site + "/out").c_str()), 0);
  char *real_site = realpath(site.c_str(), 0);
  ASSERT_NE(real_site, nullptr);
  std::string inside = real_site;
  free(real_site);
  char *real_victim = realpath(victim.c_str(), 0);
  std::string victim_real = real_victim;
  free(real_victim);

  WriteExpect victim_expect = {str_lit("<p>not yours</p>"), modified_of(victim)};
  WriteOptions opts = {&victim_expect, sv(inside), 0};
  Outcome o = replace(out_link, "<p>ours</p>", &opts);
  EXPECT_EQ(o.status, WriteStatus_Outside) << "link outside";
  expect_one_line(o, out_link, "points outside the target folder (to '" + victim_real + "')", "link outside");
  EXPECT_NE(o.err.find("checked but not rewritten"), std::string::npos) << o.err;
  EXPECT_EQ(read_all(victim), "<p>not yours</p>");

  WriteExpect twin_expect = {str_lit("<p>neighbour</p>"), modified_of(twin_victim)};
  WriteOptions twin_opts = {&twin_expect, sv(inside), 0};
  o = replace(prefix_link, "<p>ours</p>", &twin_opts);
  EXPECT_EQ(o.status, WriteStatus_Outside) << "a folder that merely starts with the target's name";
  EXPECT_EQ(read_all(twin_victim), "<p>neighbour</p>");

  // A new file through a linked folder is refused before any folder is made.
  WriteOptions no_expect = {0, sv(inside), 0};
  o = replace(site + "/out/new/x.html", "<p>ours</p>", &no_expect);
  EXPECT_EQ(o.status, WriteStatus_Outside) << "new file through a link: " << o.err;
  EXPECT_FALSE(os_path_exists(sv(dir.path + "/elsewhere/new")));

  WriteExpect in_expect = {str_lit("<p>old</p>"), modified_of(real_file)};
  WriteOptions in_opts = {&in_expect, sv(inside), 0};
  o = replace(in_link, "<p>ours</p>", &in_opts);
  EXPECT_EQ(o.status, WriteStatus_Written) << "link inside: " << o.err;
  EXPECT_EQ(read_all(real_file), "<p>ours</p>");
  struct stat lst;
  ASSERT_EQ(lstat(in_link.c_str(), &lst), 0);
  EXPECT_TRUE(S_ISLNK(lst.st_mode)) << "the link stays a link";
  EXPECT_EQ(listing(site + "/sub"), "real.html\n");
}

TEST(GenReplace, ReadOnlyPagesAreLeftAlone) {
  TempDir dir;
  std::string path = dir.file("page.html", "<p>mine</p>");
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  WriteExpect expect = {str_lit("<p>mine</p>"), modified_of(path)};
  WriteOptions opts = {&expect, {}, 0};
  // Root could replace it through the rename; the mode alone decides.
  Outcome o = replace(path, "<p>ours</p>", &opts);
  EXPECT_EQ(o.status, WriteStatus_Refused);
  expect_one_line(o, path, "is read-only; checked but not rewritten", "444");
  EXPECT_EQ(read_all(path), "<p>mine</p>");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0444u);
}

TEST(GenReplace, ReplacedFilesKeepLinksOwnersAndLongNames) {
  TempDir dir;
  // Hard links stay one file with the new bytes.
  std::string path = dir.file("page.html", "<p>old, and longer than the new</p>");
  std::string twin = dir.path + "/twin.html";
  ASSERT_EQ(link(path.c_str(), twin.c_str()), 0);
  WriteExpect expect = {str_lit("<p>old, and longer than the new</p>"), modified_of(path)};
  WriteOptions opts = {&expect, {}, 0};
  Outcome o = replace(path, "<p>new</p>", &opts);
  EXPECT_EQ(o.status, WriteStatus_Written) << o.err;
  EXPECT_EQ(read_all(twin), "<p>new</p>") << "the twin holds the new bytes";
  struct stat a, b;
  ASSERT_EQ(stat(path.c_str(), &a), 0);
  ASSERT_EQ(stat(twin.c_str(), &b), 0);
  EXPECT_EQ(a.st_ino, b.st_ino) << "still one file";
  EXPECT_EQ(a.st_nlink, 2u);
  EXPECT_EQ(listing(dir.path), "page.html\ntwin.html\n") << "the copy of the old bytes is gone";

  // Owner, group and mode stay those of the old file.
  std::string owned = dir.file("owned.html", "<p>old</p>");
  ASSERT_EQ(chmod(owned.c_str(), 0640), 0);
  bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(owned.c_str(), 65534, 65534), 0);
  }
  struct stat before;
  ASSERT_EQ(stat(owned.c_str(), &before), 0);
  WriteExpect owned_expect = {str_lit("<p>old</p>"), modified_of(owned)};
  WriteOptions owned_opts = {&owned_expect, {}, 0};
  o = replace(owned, "<p>new</p>", &owned_opts);
  EXPECT_EQ(o.status, WriteStatus_Written) << o.err;
  struct stat after;
  ASSERT_EQ(stat(owned.c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino) << "a single link is replaced by rename";
  EXPECT_EQ(after.st_mode & 07777, 0640u) << "mode";
  EXPECT_EQ(after.st_uid, before.st_uid) << "owner";
  EXPECT_EQ(after.st_gid, before.st_gid) << "group";
  if (root) {
    EXPECT_EQ(after.st_uid, 65534u) << "another user's page stays theirs";
  }

  // A name of the longest length the system allows is rewritten all the same.
  std::string long_name = std::string(250, 'n') + ".html";
  std::string long_path = dir.file(long_name, "<p>old</p>");
  WriteExpect long_expect = {str_lit("<p>old</p>"), modified_of(long_path)};
  WriteOptions long_opts = {&long_expect, {}, 0};
  o = replace(long_path, "<p>new</p>", &long_opts);
  EXPECT_EQ(o.status, WriteStatus_Written) << "255-byte name: " << o.err;
  EXPECT_EQ(read_all(long_path), "<p>new</p>");
}

TEST(GenReplace, FailuresLeaveTheOldFileWholeAndNoTemporaries) {
  TempDir dir;
  std::string old = "<p>" + std::string(5000, 'o') + "</p>";
  std::string fresh = "<p>" + std::string(9000, 'n') + "</p>";
  std::string path = dir.file("page.html", old);
  WriteExpect expect = {sv(old), modified_of(path)};
  WriteOptions opts = {&expect, {}, 0};

  struct Case {
    OsFailPoint point;
    const char *reason;
    const char *label;
  };
  const Case cases[] = {
      {OsFail_Write, "No space left on device", "write"},
      {OsFail_Rename, "Input/output error", "rename"},
      {OsFail_Chmod, "Input/output error", "chmod"},
  };
  for (const Case &c : cases) {
    os_test_fail_nth(c.point, 1);
    Outcome o = replace(path, fresh, &opts);
    os_test_fail_nth(c.point, 0);
    EXPECT_EQ(o.status, WriteStatus_Failed) << c.label;
    expect_one_line(o, path, c.reason, c.label);
    EXPECT_TRUE(read_all(path) == old) << c.label << ": the old page stays whole";
    EXPECT_EQ(listing(dir.path), "page.html\n") << c.label << ": no temporary file";
  }

  // The file cannot be read again to see whether it changed: not replaced.
  set_time(path, 5000);
  os_test_fail_nth(OsFail_Read, 1);
  Outcome o = replace(path, fresh, &opts);
  os_test_fail_nth(OsFail_Read, 0);
  EXPECT_EQ(o.status, WriteStatus_Failed) << "read again";
  expect_one_line(o, path, "Input/output error", "read again");
  EXPECT_TRUE(read_all(path) == old) << "read again";
  EXPECT_EQ(listing(dir.path), "page.html\n");

  // In place (hard links): the second write is the page's own; the old bytes come back.
  std::string twin = dir.path + "/twin.html";
  ASSERT_EQ(link(path.c_str(), twin.c_str()), 0);
  expect.modified = modified_of(path);
  os_test_fail_nth(OsFail_Write, 2);
  o = replace(path, fresh, &opts);
  os_test_fail_nth(OsFail_Write, 0);
  EXPECT_EQ(o.status, WriteStatus_Failed) << "in place";
  expect_one_line(o, path, "No space left on device", "in place");
  EXPECT_TRUE(read_all(twin) == old) << "the old bytes are put back";
  EXPECT_EQ(listing(dir.path), "page.html\ntwin.html\n");

  // When putting them back fails too, the message says where the copy is.
  expect.modified = modified_of(path);
  os_test_fail_span(OsFail_Write, 2, 2);
  o = replace(path, fresh, &opts);
  os_test_fail_nth(OsFail_Write, 0);
  EXPECT_EQ(o.status, WriteStatus_Failed) << "in place, not restored";
  expect_one_line(o, path, "its old content is kept in '", "in place, not restored");
  size_t at = o.err.find("kept in '");
  ASSERT_NE(at, std::string::npos);
  std::string copy = o.err.substr(at + 9, o.err.rfind('\'') - at - 9);
  EXPECT_TRUE(read_all(copy) == old) << "the copy named holds the old bytes";
  EXPECT_EQ(copy.substr(0, dir.path.size() + 10), dir.path + "/.qilsite-");

  // Every point is disarmed again: the write goes through.
  unlink(copy.c_str());
  dir.file("page.html", old);
  expect.modified = modified_of(path);
  o = replace(path, fresh, &opts);
  EXPECT_EQ(o.status, WriteStatus_Written) << o.err;
  EXPECT_TRUE(read_all(twin) == fresh) << "disarmed";
}

// Replacing in two steps (the new bytes beside the page, then one sync for many pages
// and a commit each): nothing of the page changes before the commit, and the commit
// still leaves alone a page edited or deleted in between.
TEST(GenReplace, TwoStepReplacementChecksAgainAtTheCommit) {
  TempDir dir;
  Arena *a = test_arena();
  struct Case {
    const char *label;
    int between;  // 0 nothing, 1 an edit, 2 a deletion
    bool synced;
    WriteStatus want;
  } cases[] = {
      {"synced whole", 0, true, WriteStatus_Written},
      {"synced file by file", 0, false, WriteStatus_Written},
      {"edited between", 1, true, WriteStatus_Changed},
      {"deleted between", 2, true, WriteStatus_Missing},
  };
  for (const Case &c : cases) {
    std::string folder = dir.path + "/" + std::to_string(&c - cases);
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    std::string path = folder + "/page.html";
    {
      std::ofstream(path) << "<p>as read</p>";
    }
    chmod(path.c_str(), 0640);
    WriteExpect expect = {str_lit("<p>as read</p>"), modified_of(path)};
    WritePending pending = {};
    WriteOptions opts = {&expect, {}, 0, &pending, a};
    EXPECT_EQ(emit_replace_file(sv(path), str_lit("<p>ours</p>"), &opts), WriteStatus_Pending) << c.label;
    EXPECT_EQ(read_all(path), "<p>as read</p>") << c.label << ": untouched before the commit";
    EXPECT_EQ(line_count(listing(folder)), 2u) << c.label << ": the new bytes wait beside it";
    if (c.between == 1) std::ofstream(path) << "<p>the user's edit</p>";
    if (c.between == 2) unlink(path.c_str());
    if (c.synced) {
      ASSERT_TRUE(os_sync_file_system(pending.temp)) << c.label;
    }
    testing::internal::CaptureStderr();
    WriteStatus s = emit_commit_pending(&pending, c.synced);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(s, c.want) << c.label << ": " << err;
    if (c.want == WriteStatus_Written) {
      EXPECT_EQ(read_all(path), "<p>ours</p>") << c.label;
      EXPECT_EQ(err, "") << c.label;
      struct stat st;
      stat(path.c_str(), &st);
      EXPECT_EQ(st.st_mode & 0777, 0640u) << c.label << ": permissions kept";
    } else {
      EXPECT_EQ(line_count(err), 1u) << c.label << ": " << err;
    }
    if (c.between == 1) {
      EXPECT_EQ(read_all(path), "<p>the user's edit</p>") << c.label;
    }
    EXPECT_EQ(line_count(listing(folder)), c.between == 2 ? 0u : 1u) << c.label << ": no temporary file left";
  }
}
