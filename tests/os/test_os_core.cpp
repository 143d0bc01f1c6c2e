#include "test_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

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

TEST(OsFiles, ExistenceFollowsTheSystemAnswer) {
  TempDir dir;
  // An empty file stamped at the epoch has nothing but its existence to show.
  std::string epoch = dir.path + "/epoch.html";
  ASSERT_EQ(run_command("touch -d @0 '" + epoch + "'").status, 0);
  ASSERT_EQ(os_path_properties(sv(epoch)).modified, 0u) << "the test needs time 0";
  EXPECT_TRUE(os_path_exists(sv(epoch))) << "empty file at time 0";
  EXPECT_TRUE(os_path_exists(sv(dir.path))) << "folder";
  EXPECT_FALSE(os_path_exists(sv(dir.path + "/missing.html"))) << "missing";
  EXPECT_TRUE(os_error_is_missing(os_last_error_code()));
  std::string dangling = dir.path + "/dangling.html";
  ASSERT_EQ(symlink("nowhere.html", dangling.c_str()), 0);
  EXPECT_FALSE(os_path_exists(sv(dangling))) << "a link to nothing names nothing";
}

TEST(OsFiles, FailedReadsAreToldApartFromEmptyFiles) {
  TempDir dir;
  Arena *a = test_arena();
  std::string empty = dir.file("empty.txt", "");
  std::string full = dir.file("full.txt", "some bytes");

  os_test_fail_nth(OsFail_Read, 1);
  StrView failed = os_read_file(a, sv(full));
  u32 failed_code = os_last_error_code();
  EXPECT_EQ(failed.length, 0u) << "nothing of a failed read is handed out";
  EXPECT_NE(failed_code, 0u) << "but the failure is visible";
  EXPECT_STREQ(os_last_error(), "Input/output error");

  EXPECT_EQ(os_read_file(a, sv(empty)).length, 0u);
  EXPECT_EQ(os_last_error_code(), 0u) << "an empty file reads without error";
  EXPECT_EQ(ss(os_read_file(a, sv(full))), "some bytes") << "the fail point fired once";
  EXPECT_EQ(os_last_error_code(), 0u);

  EXPECT_EQ(os_read_file(a, sv(dir.path + "/missing")).length, 0u);
  EXPECT_TRUE(os_error_is_missing(os_last_error_code())) << "missing";
  EXPECT_EQ(os_open_file(OsOpen_Read, sv(dir.path)).value, 0u);
  EXPECT_NE(os_last_error_code(), 0u) << "a folder is not opened for reading";
  OsHandle h = os_open_file(OsOpen_Read, sv(empty));
  EXPECT_NE(h.value, 0u);
  EXPECT_EQ(os_last_error_code(), 0u) << "a successful open clears the last error";
  os_close_file(h);

  std::string link = dir.path + "/link.txt";
  ASSERT_EQ(symlink(full.c_str(), link.c_str()), 0);
  EXPECT_EQ(os_open_file(OsOpen_Read | OsOpen_NoFollow, sv(link)).value, 0u) << "no-follow refuses a link";
  EXPECT_NE(os_last_error_code(), 0u);

  if (geteuid() != 0) {
    std::string locked = dir.file("locked.txt", "secret");
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    EXPECT_EQ(os_read_file(a, sv(locked)).length, 0u);
    EXPECT_NE(os_last_error_code(), 0u) << "mode 000";
  }
}

TEST(OsFailPoints, TheNthCallFailsAndZeroDisarms) {
  TempDir dir;
  Arena *a = test_arena();
  std::string p1 = dir.path + "/1", p2 = dir.path + "/2", p3 = dir.path + "/3";
  os_test_fail_nth(OsFail_Write, 2);
  EXPECT_TRUE(os_write_file(sv(p1), str_lit("abcdef"))) << "first write";
  EXPECT_FALSE(os_write_file(sv(p2), str_lit("abcdef"))) << "second write";
  EXPECT_STREQ(os_last_error(), "No space left on device");
  EXPECT_EQ(ss(os_read_file(a, sv(p2))), "abc") << "it stopped half-way, as a full disk does";
  EXPECT_TRUE(os_write_file(sv(p3), str_lit("abcdef"))) << "third write";

  os_test_fail_nth(OsFail_Rename, 1);
  os_test_fail_nth(OsFail_Rename, 0);
  EXPECT_TRUE(os_replace_file(sv(p1), sv(p2))) << "disarmed";
  EXPECT_EQ(ss(os_read_file(a, sv(p2))), "abcdef");
  EXPECT_FALSE(os_path_exists(sv(p1)));

  os_test_fail_span(OsFail_Rename, 1, 2);
  EXPECT_FALSE(os_replace_file(sv(p2), sv(p1))) << "span, first";
  EXPECT_FALSE(os_replace_file(sv(p2), sv(p1))) << "span, second";
  EXPECT_TRUE(os_path_exists(sv(p2))) << "a failed rename moves nothing";
  EXPECT_TRUE(os_replace_file(sv(p2), sv(p1))) << "after the span";

  OsHandle h = os_open_file(OsOpen_Read | OsOpen_Write, sv(p1));
  ASSERT_NE(h.value, 0u);
  os_test_fail_nth(OsFail_Chmod, 1);
  EXPECT_FALSE(os_handle_set_permissions(h, 0600)) << "chmod";
  EXPECT_TRUE(os_handle_set_permissions(h, 0600));
  os_close_file(h);
  struct stat st;
  ASSERT_EQ(stat(p1.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(OsMemory, ArenasSurviveFailedCommitsAndImpossibleRequests) {
  os_test_fail_nth(OsFail_Commit, 1);
  // Another thread's commits do not take the failure meant for this one.
  Arena *other = nullptr;
  std::thread t([&] { other = arena_create_sized(MB(1), KB(4)); });
  t.join();
  EXPECT_NE(other, nullptr) << "another thread";
  arena_release(other);
  Arena *none = arena_create_sized(MB(1), KB(4));
  EXPECT_EQ(none, nullptr) << "the first commit failed";

  Arena *a = arena_create_sized(MB(1), KB(4));
  ASSERT_NE(a, nullptr);
  u64 pos = arena_pos(a);
  os_test_fail_nth(OsFail_Commit, 1);
  EXPECT_EQ(arena_push(a, KB(16), 8), nullptr) << "no memory behind the request";
  EXPECT_EQ(arena_pos(a), pos) << "a failed push takes nothing";
  u8 *p = (u8 *)arena_push(a, KB(16), 8);
  ASSERT_NE(p, nullptr) << "the next commit works";
  memset(p, 1, KB(16));

  // Sizes whose sums wrap round never come back as memory.
  pos = arena_pos(a);
  EXPECT_EQ(arena_push(a, ~(u64)0, 1), nullptr);
  EXPECT_EQ(arena_push(a, ~(u64)0 - 100, 8), nullptr);
  EXPECT_EQ(arena_pos(a), pos);
  arena_release(a);
}

TEST(OsMemory, ReadOnlyPagesCannotBeWritten) {
  u64 page = os_process_info()->page_size;
  void *p = os_reserve(page * 2);
  ASSERT_NE(p, nullptr);
  ASSERT_TRUE(os_commit(p, page * 2));
  u8 *bytes = (u8 *)p;
  bytes[0] = 7;
  EXPECT_TRUE(os_protect_read_only(p, page));
  EXPECT_EQ(bytes[0], 7) << "still readable";
  bytes[page] = 8;  // the next page stays writable
  EXPECT_FALSE(os_protect_read_only(bytes + 1, page)) << "an unaligned start is refused";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH({ ((volatile u8 *)bytes)[1] = 9; }, "");
  os_release(p, page * 2);
}

TEST(OsFiles, TemporaryFilesAndReplacement) {
  TempDir dir;
  Arena *a = test_arena();
  StrView t1 = {}, t2 = {};
  OsHandle h1 = os_create_temp_file(a, sv(dir.path), &t1);
  OsHandle h2 = os_create_temp_file(a, sv(dir.path + "/"), &t2);
  ASSERT_NE(h1.value, 0u);
  ASSERT_NE(h2.value, 0u);
  EXPECT_NE(ss(t1), ss(t2)) << "each call makes a new file";
  std::string ours = dir.path + "/.qilsite-" + std::to_string(getpid()) + "-";
  EXPECT_EQ(ss(t1).substr(0, ours.size()), ours) << "named for the process that made it";
  EXPECT_EQ(t1.length, ours.size() + 6) << "a short name, whatever the page's";
  FileStatus st;
  ASSERT_TRUE(os_handle_status(h1, &st));
  EXPECT_EQ(st.mode, 0600u) << "private until it is given the old file's rights";
  os_close_file(h1);
  os_close_file(h2);
  StrView none = {};
  EXPECT_EQ(os_create_temp_file(a, sv(dir.path + "/missing"), &none).value, 0u);
  EXPECT_EQ(none.length, 0u);

  // A new file is never made through a link or over a file.
  std::string target = dir.file("target.txt", "keep");
  std::string link = dir.path + "/link.txt";
  ASSERT_EQ(symlink("nowhere.txt", link.c_str()), 0);
  EXPECT_EQ(os_create_new_file(sv(link)).value, 0u) << "dangling link";
  EXPECT_FALSE(os_path_exists(sv(dir.path + "/nowhere.txt")));
  EXPECT_EQ(os_create_new_file(sv(target)).value, 0u) << "existing file";

  // Replacing a link replaces the link, not what it names.
  std::string alias = dir.path + "/alias.txt";
  ASSERT_EQ(symlink(target.c_str(), alias.c_str()), 0);
  EXPECT_EQ(ss(os_real_path(a, sv(dir.path + "/./alias.txt"))).substr(ss(os_real_path(a, sv(dir.path))).size()),
            "/target.txt");
  EXPECT_TRUE(os_replace_file(t1, sv(alias)));
  EXPECT_EQ(ss(os_read_file(a, sv(target))), "keep");
  struct stat lst;
  ASSERT_EQ(lstat(alias.c_str(), &lst), 0);
  EXPECT_TRUE(S_ISREG(lst.st_mode));
  EXPECT_EQ(os_real_path(a, sv(dir.path + "/missing/x")).length, 0u);
  EXPECT_TRUE(os_error_is_missing(os_last_error_code()));
  EXPECT_TRUE(os_delete_file(t2));
  EXPECT_FALSE(os_delete_file(t2));
}

TEST(OsLibraries, TablesFillOnceOrSayWhichLibraryAndPackageAreMissing) {
  //- open and look up, with the loader's words on failure
  OsLibrary libc = os_library_open(sv("libc.so.6"));
  ASSERT_NE(libc.handle, nullptr) << os_library_error();
  EXPECT_NE(os_library_symbol(libc, "strlen"), nullptr);
  EXPECT_EQ(os_library_symbol(libc, "qilsite_no_such_function"), nullptr);
  EXPECT_NE(std::string(os_library_error()).find("qilsite_no_such_function"), std::string::npos) << os_library_error();
  EXPECT_EQ(os_library_open(sv("libqilsite-none.so.9")).handle, nullptr);
  EXPECT_NE(std::string(os_library_error()).find("libqilsite-none.so.9"), std::string::npos) << os_library_error();
  os_test_fail_nth(OsFail_Library, 1);
  EXPECT_EQ(os_library_open(sv("libc.so.6")).handle, nullptr) << "the fail point stands for a missing library";
  EXPECT_NE(os_library_open(sv("libc.so.6")).handle, nullptr) << "only once";

  //- a table is filled by whichever thread comes first, once; the others see it whole
  static decltype(&::strlen) length_of;
  static decltype(&::atoi) number_of;
  OsLibraryFunction found[] = {{"strlen", &length_of}, {"atoi", &number_of}};
  OsLibraryTable good = {"libc.so.6", "libc6", found, 2, 0, {}};
  std::vector<std::thread> threads;
  std::atomic<int> loaded{0};
  for (int i = 0; i < 4; i += 1) {
    threads.emplace_back([&] { loaded += os_library_load(&good) && length_of && length_of("four") == 4; });
  }
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(loaded.load(), 4);
  EXPECT_EQ(number_of("42"), 42);

  //- a missing library or function: no slot is left half filled, and the line says what to install
  static decltype(&::strlen) partial;
  static decltype(&::strlen) never;
  OsLibraryFunction some[] = {{"strlen", &partial}, {"qilsite_no_such_function", &never}};
  OsLibraryTable lacking = {"libc.so.6", "libc6", some, 2, 0, {}};
  EXPECT_FALSE(os_library_load(&lacking));
  EXPECT_EQ(partial, nullptr);
  EXPECT_NE(std::string(lacking.error).find("qilsite_no_such_function"), std::string::npos) << lacking.error;
  OsLibraryTable absent = {"libqilsite-none.so.9", "qilsite-none", some, 2, 0, {}};
  for (int attempt = 0; attempt < 2; attempt += 1) {
    EXPECT_FALSE(os_library_load(&absent)) << "attempt " << attempt;
    std::string line = absent.error;
    EXPECT_NE(line.find("libqilsite-none.so.9"), std::string::npos) << line;
    EXPECT_NE(line.find("package qilsite-none"), std::string::npos) << line;
    EXPECT_EQ(line.find('\n'), std::string::npos) << line;
  }
}
