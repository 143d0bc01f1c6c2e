#include "test_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "os/os_core.h"

TEST(OsFiles, ReadWholeFilesEmptyAndMissing) {
  TempDir dir;
  Arena *a = test_arena();
  std::string full = dir.file("x.txt", std::string("hello\0world", 11));
  std::string empty = dir.file("empty.txt", "");
  EXPECT_EQ(ss(os_read_file(a, sv(full))), std::string("hello\0world", 11));
  EXPECT_EQ(os_read_file(a, sv(empty)).length, 0u);
  EXPECT_EQ(os_read_file(a, sv(dir.path + "/missing")).length, 0u);
  EXPECT_EQ(os_read_file(a, sv(dir.path)).length, 0u) << "a folder reads as empty";
  std::string fifo = dir.path + "/pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  EXPECT_EQ(os_read_file(a, sv(fifo)).length, 0u) << "a FIFO is never read (and never blocks)";
}

TEST(OsFiles, PropertiesOfFilesFoldersAndSpecialFiles) {
  TempDir dir;
  std::string f = dir.file("a.txt", "12345");
  FileProperties p = os_path_properties(sv(f));
  EXPECT_EQ(p.flags, 0u);
  EXPECT_EQ(p.size, 5u);
  EXPECT_NE(p.modified, 0u);
  EXPECT_EQ(os_path_properties(sv(dir.path)).flags & FilePropertyFlag_Folder, (u32)FilePropertyFlag_Folder);
  FileProperties missing = os_path_properties(sv(dir.path + "/nope"));
  EXPECT_EQ(missing.flags | missing.size | missing.modified, 0u);
  // Nanoseconds count: two writes within one second still differ.
  struct timespec times[2] = {{0, UTIME_OMIT}, {1000, 500}};
  utimensat(AT_FDCWD, f.c_str(), times, 0);
  u64 t1 = os_path_properties(sv(f)).modified;
  times[1].tv_nsec = 600;
  utimensat(AT_FDCWD, f.c_str(), times, 0);
  EXPECT_NE(os_path_properties(sv(f)).modified, t1);
}

TEST(OsFiles, WriteRangesAndWholeFiles) {
  TempDir dir;
  Arena *a = test_arena();
  std::string path = dir.path + "/a/b/c.html";
  ASSERT_TRUE(os_write_file(sv(path), str_lit("first version, long")));
  ASSERT_TRUE(os_write_file(sv(path), str_lit("second")));
  EXPECT_EQ(ss(os_read_file(a, sv(path))), "second") << "a rewrite truncates";
  OsHandle h = os_open_file(OsOpen_Read | OsOpen_Write, sv(path));
  ASSERT_NE(h.value, 0u);
  FileRange r = {2, 5};
  EXPECT_EQ(os_write_range(h, r, str_lit("XYZW")), 3u);
  FileRange all = {0, 6};
  EXPECT_EQ(ss(os_read_range(a, h, all)), "seXYZd");
  FileRange none = {3, 3};
  EXPECT_EQ(os_write_range(h, none, str_lit("abc")), 0u);
  os_close_file(h);
  OsHandle nothing = {};
  EXPECT_EQ(os_write_range(nothing, all, str_lit("abc")), 0u);
  EXPECT_EQ(os_read_range(a, nothing, all).length, 0u);
}

TEST(OsFolders, MakeDirsAndListings) {
  TempDir dir;
  Arena *a = test_arena();
  std::string target = dir.path + "/a/b/c.html";
  ASSERT_TRUE(os_make_dirs_for_file(sv(target)));
  EXPECT_TRUE(os_path_properties(sv(dir.path + "/a/b")).flags & FilePropertyFlag_Folder);
  EXPECT_EQ(os_path_properties(sv(target)).modified, 0u) << "the file itself is not made";
  EXPECT_TRUE(os_make_dirs_for_file(sv(target))) << "existing folders are fine";
  std::string relative_target = "qilsite-rel-" + std::to_string(getpid()) + "/x/y.txt";
  EXPECT_TRUE(os_make_dirs_for_file(sv(relative_target)));
  std::string rel_root = relative_target.substr(0, relative_target.find('/'));
  EXPECT_EQ(system(("rm -rf " + rel_root).c_str()), 0);

  DirIterator empty = os_dir_begin(a, sv(dir.path + "/a/b/"));
  DirEntry e;
  EXPECT_FALSE(os_dir_next(a, &empty, &e)) << "an empty folder lists nothing";
  os_dir_end(&empty);

  dir.file("list/one.txt", "1");
  dir.file("list/.hidden", "h");
  dir.file("list/..draft", "d");
  dir.file("list/sub/x", "");
  DirIterator it = os_dir_begin(a, sv(dir.path + "/list/"));
  std::vector<std::string> names;
  while (os_dir_next(a, &it, &e)) {
    names.push_back(ss(e.name) + ((e.props.flags & FilePropertyFlag_Folder) ? "/" : ""));
  }
  os_dir_end(&it);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".hidden", "one.txt", "sub/"}));
  DirIterator missing = os_dir_begin(a, sv(dir.path + "/nope/"));
  EXPECT_FALSE(os_dir_next(a, &missing, &e));
}

TEST(OsTime, ClockNeverDecreasesAndProcessFactsAreSet) {
  u64 prev = os_now_micros();
  for (int i = 0; i < 1000; i += 1) {
    u64 now = os_now_micros();
    EXPECT_GE(now, prev);
    prev = now;
  }
  const OsProcessInfo *info = os_process_info();
  EXPECT_GE(info->processor_count, 1u);
  EXPECT_EQ(info->page_size, (u64)sysconf(_SC_PAGESIZE));
  EXPECT_EQ(info->large_page_minimum, 0u);
  EXPECT_NE(ss(os_current_dir(test_arena())), "");
}
