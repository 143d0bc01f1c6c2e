#include "test_support.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <map>
#include <set>

#include "driver/driver_fs.h"
#include "os/os_core.h"
#include "os/os_thread.h"

static ContentKey
key_of(const std::string &bytes) {
  return content_key_from_bytes(sv(bytes));
}

struct RequestRun {
  std::vector<std::string> *paths;
  std::map<std::string, std::string> *expected;
  std::atomic<int> *failures;
  std::atomic<int> *finished;
  u64 stride;
};

static void
request_all(u64 param) {
  RequestRun *run = (RequestRun *)param;
  u64 n = run->paths->size();
  for (u64 i = 0; i < n; i += 1) {
    const std::string &p = (*run->paths)[(i * run->stride) % n];
    FileSnapshot snap = file_request(test_files(), sv(p), DEADLINE_NONE);
    StrView bytes = content_lookup(test_files(), snap.key);
    if (!snap.ok || ss(bytes) != (*run->expected)[p]) run->failures->fetch_add(1);
  }
  run->finished->fetch_add(1);
}

TEST(Streaming, ManyFilesRequestedByManyThreadsStoreEachContentOnce) {
  // The registry is counted: contents other tests here stored or give back meanwhile
  // would change the count.
  if (!in_fresh_process()) return;
  TempDir dir;
  std::vector<std::string> paths;
  std::map<std::string, std::string> expected;
  for (int i = 0; i < 300; i += 1) {
    // Every third file repeats one shared content.
    std::string content = i % 3 == 0 ? "shared content" : "file number " + std::to_string(i);
    std::string p = dir.file("d" + std::to_string(i % 7) + "/f" + std::to_string(i) + ".txt", content);
    paths.push_back(p);
    expected[p] = content;
  }
  u64 stored_before = content_registry_count(test_files());
  std::atomic<int> failures{0}, finished{0};
  RequestRun runs[4];
  u64 strides[4] = {1, 7, 11, 13};
  for (int t = 0; t < 4; t += 1) {
    runs[t] = {&paths, &expected, &failures, &finished, strides[t]};
    thread_start((u64)&runs[t], request_all);
  }
  while (finished < 4) os_sleep_ms(2);
  EXPECT_EQ(failures, 0);
  std::set<std::string> distinct;
  for (auto &kv : expected) distinct.insert(kv.second);
  u64 stored = content_registry_count(test_files()) - stored_before;
  EXPECT_EQ(stored, distinct.size()) << "every distinct content stored, identical ones once";
  FileSnapshot a = file_request(test_files(), sv(paths[0]), DEADLINE_NONE);
  FileSnapshot b = file_request(test_files(), sv(paths[3]), DEADLINE_NONE);
  EXPECT_TRUE(content_key_equal(a.key, b.key));
  EXPECT_EQ(content_lookup(test_files(), a.key).data, content_lookup(test_files(), b.key).data) << "one stored copy";
}

TEST(Streaming, LoadedPathQueuesNothingAndPastDeadlineGivesUp) {
  TempDir dir;
  std::string p = dir.file("page.html", "<p>x</p>");
  FileSnapshot first = file_request(test_files(), sv(p), DEADLINE_NONE);
  ASSERT_TRUE(first.ok);
  EXPECT_TRUE(content_key_equal(first.key, key_of("<p>x</p>")));
  EXPECT_EQ(first.loads, 1u);
  FileSnapshot again = file_request(test_files(), sv(p), DEADLINE_NONE);
  EXPECT_TRUE(content_key_equal(again.key, first.key));
  // The ring is first in, first out: once a path requested afterwards is loaded, a
  // second request of p would have been taken, and its load is waited for below.
  ASSERT_TRUE(file_request(test_files(), sv(dir.file("after1.html", "a")), DEADLINE_NONE).ok);
  EXPECT_EQ(file_request(test_files(), sv(p), DEADLINE_NONE).loads, 1u) << "an already loaded path is not queued again";

  std::string q = dir.file("late.html", "late");
  FileSnapshot none = file_request(test_files(), sv(q), 1);
  EXPECT_FALSE(none.ok);
  FileSnapshot later = file_request(test_files(), sv(q), DEADLINE_NONE);
  EXPECT_TRUE(content_key_equal(later.key, key_of("late")));
  ASSERT_TRUE(file_request(test_files(), sv(dir.file("after2.html", "b")), DEADLINE_NONE).ok);
  EXPECT_EQ(file_request(test_files(), sv(q), DEADLINE_NONE).loads, 1u) << "queued once although the deadline had passed";
}

TEST(Streaming, MissingEmptyUnreadableAndSpecialFilesLoadAsEmpty) {
  TempDir dir;
  ContentKey empty = key_of("");
  std::string e = dir.file("empty.qil", "");
  std::string fifo = dir.path + "/pipe.html";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  std::string locked = dir.file("locked.html", "secret");
  chmod(locked.c_str(), 0);
  std::vector<std::string> paths = {e, dir.path + "/missing.qil", fifo, dir.path};
  if (geteuid() != 0) paths.push_back(locked);  // root reads it anyway
  for (const std::string &p : paths) {
    FileSnapshot s = file_request(test_files(), sv(p), os_now_micros() + 5000000);
    ASSERT_TRUE(s.ok) << p;
    EXPECT_TRUE(content_key_equal(s.key, empty)) << p;
    EXPECT_EQ(content_lookup(test_files(), s.key).length, 0u) << p;
    // Only a file that is there but cannot be read carries a reason.
    EXPECT_EQ(s.error != nullptr, p == locked) << p;
  }
  std::string long_path(70000, 'x');
  EXPECT_FALSE(file_request(test_files(), sv(long_path), DEADLINE_NONE).ok) << "a path that cannot be queued is refused";
}

// Waits until the path's entry shows what the test expects (or five seconds pass);
// other files' reloads make load counters useless here.
template <typename Pred>
static FileSnapshot
wait_for(const std::string &p, Pred pred) {
  u64 deadline = os_now_micros() + 5000000;
  FileSnapshot s = file_request(test_files(), sv(p), DEADLINE_NONE);
  while (!pred(s) && os_now_micros() < deadline) {
    os_sleep_ms(5);
    s = file_request(test_files(), sv(p), DEADLINE_NONE);
  }
  return s;
}

TEST(Scanner, TouchedChangedAndAppearingFilesAreReloaded) {
  TempDir dir;
  std::string p = dir.file("doc.qil", "version one");
  FileSnapshot s1 = file_request(test_files(), sv(p), DEADLINE_NONE);
  struct timespec times[2] = {{0, UTIME_OMIT}, {12345, 678}};
  ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), times, 0), 0);
  FileSnapshot s2 = wait_for(p, [&](FileSnapshot s) { return s.modified != s1.modified; });
  EXPECT_NE(s2.modified, s1.modified) << "the scanner saw the new time";
  EXPECT_TRUE(content_key_equal(s2.key, s1.key)) << "same bytes, same key";

  dir.file("doc.qil", "version two");
  ContentKey two = key_of("version two");
  FileSnapshot s3 = wait_for(p, [&](FileSnapshot s) { return content_key_equal(s.key, two); });
  EXPECT_TRUE(content_key_equal(s3.key, two));

  std::string later = dir.path + "/later.html";
  FileSnapshot m = file_request(test_files(), sv(later), DEADLINE_NONE);
  EXPECT_TRUE(content_key_equal(m.key, key_of("")));
  dir.file("later.html", "now here");
  ContentKey here = key_of("now here");
  EXPECT_TRUE(content_key_equal(wait_for(later, [&](FileSnapshot s) { return content_key_equal(s.key, here); }).key,
                                here));
}

// Without the kernel's notifications (none left for a new folder) every file's time is
// read again, so changes are still seen; the driver then lists the target each round.
TEST(Scanner, ChangesAreSeenWithoutNotificationsToo) {
  // Notifications once off stay off for the whole process, and other tests here may have
  // turned them off already (a folder gone before it could be watched does).
  if (!in_fresh_process()) return;
  TempDir dir;
  std::string watched = dir.file("watched.qil", "before");
  ASSERT_TRUE(file_request(test_files(), sv(watched), DEADLINE_NONE).ok);
  EXPECT_TRUE(fs_watching(test_files())) << "this system gives notifications";
  fs_test_stop_watching(test_files());
  EXPECT_FALSE(fs_watching(test_files()));
  // A folder first seen now is never watched, so no notification can tell this edit,
  // even while the scanner still waits for notifications from before.
  std::string p = dir.file("unwatched/doc.qil", "before");
  FileSnapshot s1 = file_request(test_files(), sv(p), DEADLINE_NONE);
  ASSERT_TRUE(s1.ok);
  dir.file("unwatched/doc.qil", "after, longer");
  ContentKey after = key_of("after, longer");
  FileSnapshot s2 = wait_for(p, [&](FileSnapshot s) { return content_key_equal(s.key, after); });
  EXPECT_TRUE(content_key_equal(s2.key, after));
}

TEST(Registry, DuplicatesAreDroppedAndUnknownKeysAreEmpty) {
  Arena *one = arena_create_sized(MB(1), KB(4));
  Arena *two = arena_create_sized(MB(1), KB(4));
  // Bytes of their own each time, as stored contents stay for the whole process.
  static int runs = 0;
  std::string bytes = "registry duplicate test bytes " + std::to_string(runs++);
  StrView a = str_push_copy(one, sv(bytes));
  StrView b = str_push_copy(two, sv(bytes));
  // The registry's count is not compared: the streamers of earlier tests may still be
  // releasing what they loaded. The copy the key leads to says which one was kept.
  ContentKey ka = content_store(test_files(), one, a);
  ContentKey kb = content_store(test_files(), two, b);
  EXPECT_TRUE(content_key_equal(ka, kb));
  EXPECT_EQ(content_lookup(test_files(), kb).data, a.data) << "the first stored copy is the one kept";
  ContentKey unknown = {1, 2};
  EXPECT_EQ(content_lookup(test_files(), unknown).length, 0u);
}

TEST(RegistryDeathTest, StoredBytesAreReadOnly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TempDir dir;
  std::string p = dir.file("ro.txt", "do not touch");
  EXPECT_DEATH(
      {
        FileSnapshot s = file_request(test_files(), sv(p), DEADLINE_NONE);
        StrView bytes = content_lookup(test_files(), s.key);
        bytes.data[0] = 'X';
      },
      "");
}

static size_t
mapping_count() {
  std::string maps = read_all("/proc/self/maps");
  return (size_t)std::count(maps.begin(), maps.end(), '\n');
}

// A run that does not look for edits reads each file once: small files share arenas,
// so a big site cannot run out of the system's mappings (about 65,000) before its end.
TEST(Streaming, FilesReadOnceCostFewMappings) {
  TempDir dir;
  std::vector<std::string> paths;
  for (int i = 0; i < 3000; i += 1) paths.push_back(dir.file("f" + std::to_string(i) + ".qil", "text " + std::to_string(i)));
  fs_set_scanning(test_files(), false);
  // Stripes make their arenas at their first use: a first thousand files reaches them all,
  // so what follows counts what files themselves cost.
  for (int i = 0; i < 1000; i += 1) {
    std::string warm = dir.file("w" + std::to_string(i) + ".qil", "warm " + std::to_string(i));
    file_request(test_files(), sv(warm), DEADLINE_NONE);
  }
  size_t before = mapping_count();
  for (const std::string &p : paths) file_request(test_files(), sv(p), 0);
  for (const std::string &p : paths) {
    FileSnapshot snap = file_request(test_files(), sv(p), DEADLINE_NONE);
    StrView bytes = {};
    ASSERT_TRUE(snap.ok && content_acquire(test_files(), snap.key, &bytes));
    EXPECT_EQ(ss(bytes), "text " + p.substr(p.rfind('f') + 1, p.size() - p.rfind('f') - 5));
    content_release(test_files(), snap.key);
  }
  size_t after = mapping_count();
  fs_set_scanning(test_files(), true);
  EXPECT_LT(after - before, 300u) << "mappings grew from " << before << " to " << after;
}
