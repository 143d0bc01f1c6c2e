#include "test_support.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "gen/gen_write.h"

static std::string
read_all(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(GenWrite, WritesReplacesAndKeepsPermissions) {
  TempDir dir;
  Arena *a = test_arena();
  std::string path = dir.path + "/new/dir/page.html";
  HtmlNode *p = html_element_create(a, HtmlTagKind_P, str_lit("first"));
  ASSERT_TRUE(write_html_file(a, p, sv(path)));
  EXPECT_EQ(read_all(path), "<p>first</p>") << "missing folders are made";
  chmod(path.c_str(), 0640);
  HtmlNode *q = html_element_create(a, HtmlTagKind_P, str_lit("second"));
  ASSERT_TRUE(write_html_file(a, q, sv(path)));
  EXPECT_EQ(read_all(path), "<p>second</p>") << "only the second text remains";
  struct stat st;
  stat(path.c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  // A symbolic link stays a link; the file it names is rewritten.
  std::string link = dir.path + "/link.html";
  ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
  ASSERT_TRUE(write_html_file(a, p, sv(link)));
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
  bool ok = write_html_file(a, html_element_create(a, HtmlTagKind_P, sv(big)), sv(path));
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
  EXPECT_FALSE(gen_write_file_safely(sv(fifo), str_lit("x")));
  EXPECT_FALSE(gen_write_file_safely(sv(dir.path), str_lit("x")));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("not a regular file"), std::string::npos);
  struct stat st;
  stat(fifo.c_str(), &st);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  (void)a;
}
