// Regressions: one case per fault fixed. Most are a small site run once at the command
// line; faults of one function are tests at the end of this file.
//
// A case is a file tests/regressions/NAME.case:
//
//   # comments: lines starting with "#" before the first file or among the "---" lines
//   --- run target_path=src root_path=.
//   === src/a.qil
//   every line up to the next "===" or "---" line is the file's, line ends included
//   --- expect exit 0
//   --- expect file website/a.html contains <p>some text</p>
//   --- expect stdout lacks Unexpected
//   --- expect stderr contains 1 page generated
//
// The files are written into a fresh temporary folder, and qilsite runs there with the
// arguments of the one "--- run" line (split at blanks; "{dir}" stands for the folder).
// An expectation is "exit N", or "stdout", "stderr" or "file PATH" followed by
// "contains TEXT" or "lacks TEXT"; TEXT is the rest of the line, with "\n" for a line
// end. A file line cannot start with "===" or "---".
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "test_support.h"

#include "driver/driver_build.h"
#include "net/counting_server.h"
#include "net/link_server.h"
#include "site/site_path.h"

namespace {

const std::string cases_dir = std::string(QILSITE_SOURCE_DIR) + "/tests/regressions/";

std::vector<std::string>
case_names() {
  std::vector<std::string> names;
  if (DIR *d = opendir(cases_dir.c_str())) {
    while (dirent *e = readdir(d)) {
      std::string n = e->d_name;
      if (n.size() > 5 && n.compare(n.size() - 5, 5, ".case") == 0) names.push_back(n.substr(0, n.size() - 5));
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string
replace_all(std::string text, const std::string &what, const std::string &with) {
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size())) {
    text.replace(at, what.size(), with);
  }
  return text;
}

bool
take(std::string *line, const std::string &word) {
  if (line->compare(0, word.size(), word) != 0) return false;
  line->erase(0, word.size());
  return true;
}

class Regressions : public ::testing::TestWithParam<std::string> {};

TEST_P(Regressions, Run) {
  std::string path = cases_dir + GetParam() + ".case";
  std::istringstream in(read_all(path));
  TempDir dir;
  std::vector<std::string> args, expects;
  std::string file, content, line;
  bool have_run = false, in_file = false;
  auto close_file = [&] {
    if (in_file) dir.file(file, content);
    in_file = false;
  };
  for (int number = 1; std::getline(in, line); number += 1) {
    std::string where = path + ":" + std::to_string(number);
    std::string rest = line;
    if (take(&rest, "=== ")) {
      close_file();
      file = rest;
      content.clear();
      in_file = true;
    } else if (take(&rest, "--- ")) {
      close_file();
      if (take(&rest, "run ")) {
        ASSERT_FALSE(have_run) << where << ": one run a case";
        std::istringstream words(replace_all(rest, "{dir}", dir.path));
        for (std::string w; words >> w;) args.push_back(w);
        have_run = true;
      } else if (take(&rest, "expect ")) {
        expects.push_back(std::to_string(number) + " " + rest);
      } else {
        FAIL() << where << ": unknown header";
      }
    } else if (in_file) {
      content += line + "\n";
    } else {
      ASSERT_TRUE(line.empty() || line[0] == '#') << where << ": a line outside any file";
    }
  }
  close_file();
  ASSERT_TRUE(have_run) << path << ": no run line";
  ASSERT_FALSE(expects.empty()) << path << ": nothing expected";

  CommandResult r = run_qilsite(args, dir.path);
  for (const std::string &e : expects) {
    std::string rest = e.substr(e.find(' ') + 1);
    std::string where = path + ":" + e.substr(0, e.find(' '));
    std::string subject, text;
    if (take(&rest, "exit ")) {
      EXPECT_EQ(std::to_string(r.status), rest) << where << "\n" << r.out << r.err;
      continue;
    }
    if (take(&rest, "stdout ")) {
      subject = "stdout", text = r.out;
    } else if (take(&rest, "stderr ")) {
      subject = "stderr", text = r.err;
    } else if (take(&rest, "file ")) {
      subject = rest.substr(0, rest.find(' '));
      rest.erase(0, std::min(rest.size(), subject.size() + 1));
      text = read_all(dir.path + "/" + subject);
    } else {
      ADD_FAILURE() << where << ": unknown expectation";
      continue;
    }
    bool want = true;
    if (take(&rest, "lacks ")) want = false;
    else if (!take(&rest, "contains ")) {
      ADD_FAILURE() << where << ": contains or lacks";
      continue;
    }
    std::string needle = replace_all(replace_all(rest, "\\n", "\n"), "{dir}", dir.path);
    EXPECT_EQ(text.find(needle) != std::string::npos, want)
        << where << ": " << subject << (want ? " lacks " : " holds ") << "'" << needle << "':\n" << text;
  }
}

std::string
test_name(const ::testing::TestParamInfo<std::string> &info) {
  std::string name = info.param;
  for (char &c : name) {
    if (!isalnum((unsigned char)c)) c = '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Cases, Regressions, ::testing::ValuesIn(case_names()), test_name);

}  // namespace

//~ Faults below the command line, one test each

// A path folding to "." wrote its terminator one byte past what it had taken.
TEST(Regressions, FoldedPathKeepsItsTerminatorInside) {
  Arena *a = test_arena();
  u64 before = arena_pos(a);
  StrView r = site_path_fold(a, str_lit("a/.."));
  EXPECT_EQ(ss(r), ".");
  EXPECT_GE(arena_pos(a) - before, r.length + 1);
}

// A relative walk took the shared start by name, so a name met again lower down cut
// the climb short.
TEST(Regressions, RelativeWalkComparesFoldersByPosition) {
  Arena *a = test_arena();
  StrList rel = site_path_steps(a, str_lit("/a/x/a/b"), str_lit("/a/y"));
  StrJoin j = {{}, str_lit("/"), {}};
  EXPECT_EQ(ss(str_list_join(a, &rel, &j)), "../../../y");
}

// A pipe named like a page blocked the run's read of it, and a dangling link named like
// a document was counted as one without an output path: each is said to be skipped.
TEST(Regressions, SpecialFilesNamedLikeSourcesAreSkippedAloud) {
  TempDir dir;
  dir.file("src/ok.html", "<title>t</title><p>x</p>\n");
  ASSERT_EQ(mkfifo((dir.path + "/src/pipe.html").c_str(), 0644), 0);
  ASSERT_EQ(symlink("nowhere", (dir.path + "/src/dangling.qil").c_str()), 0);
  CommandResult r = run_qilsite({"target_path=src", "root_path=."}, dir.path, 20);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("src/pipe.html' is not a regular file: skipped"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("src/dangling.qil' is not a regular file: skipped"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("without a usable output_path"), std::string::npos) << r.err;
}

// A folder that appeared and was gone before the scanner could watch it turned
// notifications off for the rest of a listen run: every file was then polled.
TEST(Regressions, AFolderGoneBeforeItIsWatchedKeepsNotificationsOn) {
  if (!in_fresh_process()) return;
  TempDir dir;
  ASSERT_TRUE(file_request(test_files(), sv(dir.file("a.qil", "x")), DEADLINE_NONE).ok);
  ASSERT_TRUE(fs_watching(test_files())) << "this system gives notifications";
  EXPECT_FALSE(fs_watch_folder(test_files(), sv(dir.path + "/gone/")));
  EXPECT_TRUE(fs_watching(test_files()));
}

// A source listed but gone before it was read (its folder removed meanwhile) was taken
// as an empty document "without a usable output_path", and strict passed.
TEST(Regressions, ASourceGoneBeforeItIsReadIsSaidAndCounted) {
  TempDir dir;
  Arena *a = test_arena();
  SiteSettings settings = {};
  settings.root = str_push_copy(a, sv(dir.path + "/"));
  Site *site = push_struct(a, Site);
  driver_site_init(site, a, settings);
  site->file_service = test_files();
  str_list_push(a, &site->queued, str_push_copy(a, sv(dir.path + "/gone/a.qil")));
  testing::internal::CaptureStderr();
  driver_process_files(site);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("gone/a.qil' vanished before it was read"), std::string::npos) << err;
  EXPECT_EQ(site->total.read_failures, 1u);
  EXPECT_EQ(site->total.unpublished, 0u);
  arena_release(site->pages_arena);
}

// Two runs on one site at once reported each other's files as failures ("File exists",
// pages not written, strict failing): a second run now waits for the first.
TEST(Regressions, ASecondRunOnASiteWaitsForTheFirst) {
  TempDir dir;
  dir.file("src/a.qil", "``\n  title: A\n  output_path: \"~/website/a.html\"\n``\nBody\n");
  Background listen = start_qilsite({"target_path=src", "root_path=.", "listen"}, dir.path);
  ASSERT_TRUE(wait_until([&] { return listen.err().find("1 page generated") != std::string::npos; }))
      << listen.err();
  Background second = start_qilsite({"target_path=src", "root_path=.", "strict"}, dir.path);
  ASSERT_TRUE(wait_until([&] { return second.err().find("waiting for it to end") != std::string::npos; }))
      << second.err();
  EXPECT_TRUE(second.running()) << "it builds only once the first run is over";
  listen.stop();
  ASSERT_TRUE(wait_until([&] { return !second.running(); }));
  CommandResult r = second.stop();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("1 page generated"), std::string::npos) << r.err;
}

// Documents of some length, each with its page in website/: a build long enough to be
// stopped in the middle.
static void
many_documents(const TempDir &dir, int count) {
  std::string body;
  for (int i = 0; i < 200; i += 1) body += "  line " + std::to_string(i) + " of words to make the page longer\n";
  for (int i = 0; i < count; i += 1) {
    std::string n = std::to_string(i);
    dir.file("src/d" + n + ".qil",
             "``\n  title: D" + n + "\n  output_path: \"~/website/d" + n + ".html\"\n``\nBody\n" + body);
  }
}

// Generated pages were made under their final names and filled afterwards, so a run
// killed half-way left empty or cut pages for a deploy to publish. A page now takes its
// name only once complete: whenever the run is killed, each page there is whole.
TEST(Regressions, AKilledRunLeavesNoHalfMadePage) {
  TempDir dir;
  many_documents(dir, 150);
  int cut = 0;
  for (int trial = 0; trial < 12; trial += 1) {
    Background run = start_qilsite({"target_path=src", "root_path=."}, dir.path);
    // Killed at moments spread over the build: once the trial's first page is there, the
    // writer is at work on the next ones.
    std::string first = dir.path + "/website/d" + std::to_string(trial * 12) + ".html";
    wait_until([&] { return access(first.c_str(), F_OK) == 0 || !run.running(); });
    kill(-run.pid(), SIGKILL);
    run.stop();
    DIR *d = opendir((dir.path + "/website").c_str());
    if (!d) continue;
    while (dirent *e = readdir(d)) {
      std::string name = e->d_name;
      if (name.size() < 5 || name.compare(name.size() - 5, 5, ".html") != 0 || name[0] == '.') continue;
      std::string text = read_all(dir.path + "/website/" + name);
      if (text.size() < 7 || text.compare(text.size() - 7, 7, "</html>") != 0) {
        cut += 1;
        ADD_FAILURE() << "trial " << trial << ": " << name << " holds " << text.size() << " bytes, cut";
      }
    }
    closedir(d);
    if (cut) break;
  }
}

// After SIGTERM or Ctrl-C, temporary files holding whole pages stayed in the output and
// source folders, and no later run removed them. A stop now removes the run's own and
// exits 143 or 130; a later run removes those whose process is gone.
TEST(Regressions, TemporaryFilesAreRemovedOnStopAndByTheNextRun) {
  TempDir dir;
  many_documents(dir, 600);
  auto leftovers = [&] {
    CommandResult r = run_command("find " + dir.path + " -name '.qilsite-*' | wc -l");
    return std::stoi(r.out);
  };
  Background run = start_qilsite({"target_path=src", "root_path=."}, dir.path);
  std::string first = dir.path + "/website/d0.html";
  ASSERT_TRUE(wait_until([&] { return access(first.c_str(), F_OK) == 0 || !run.running(); }));
  bool mid_run = run.running();
  kill(run.pid(), SIGTERM);
  CommandResult stopped = run.stop();
  if (mid_run) {
    EXPECT_EQ(stopped.status, 128 + SIGTERM) << stopped.err;
  }
  EXPECT_EQ(leftovers(), 0);

  //- one a killed run left, one of a process still alive (this one)
  pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, 0, 0);
  dir.file("website/.qilsite-" + std::to_string(gone) + "-abcdef", "half a page");
  std::string alive = dir.file("website/.qilsite-" + std::to_string(getpid()) + "-ghijkl", "another run's");
  dir.file("src/d0.qil", "``\n  title: Changed\n  output_path: \"~/website/d0.html\"\n``\nBody\n");
  CommandResult again = run_qilsite({"target_path=src", "root_path=."}, dir.path);
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(leftovers(), 1) << "only the live process's file stays";
  EXPECT_EQ(read_all(alive), "another run's");
}

// Under a limit on address space (`ulimit -v`) even --version crashed, every arena asking
// for gigabytes of it; a site build crashed below about 640 GiB. Arenas now ask for
// little once the system refuses, and grow by blocks.
TEST(Regressions, ALimitOnAddressSpaceIsLivedWith) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' own shadow memory does not fit such a limit";
#endif
  TempDir dir;
  many_documents(dir, 40);
  std::string bin = qilsite_bin();
  CommandResult version = run_command("ulimit -v 65536; exec " + bin + " --version");
  EXPECT_EQ(version.status, 0) << version.err;
  EXPECT_NE(version.out.find("qilsite "), std::string::npos);
  CommandResult build =
      run_command("cd " + dir.path + " && ulimit -v 1048576 && exec " + bin + " target_path=src root_path=. strict");
  EXPECT_EQ(build.status, 0) << build.err;
  EXPECT_NE(build.err.find("40 pages generated"), std::string::npos) << build.err;
}

// Under listen every document cost the system about six mappings (an arena per record,
// a read-only content beside a writable header), so about ten thousand documents
// exhausted them and the run crashed. Records now start in blocks of one pool, and a
// content is read-only whole.
TEST(Regressions, ListenOverManyDocumentsCostsFewMappings) {
  TempDir dir;
  auto write_documents = [&](int from, int to) {
    for (int i = from; i < to; i += 1) {
      std::string n = std::to_string(i);
      dir.file("src/d" + n + ".qil",
               "``\n  title: D" + n + "\n  output_path: \"~/website/d" + n + ".html\"\n``\nBody " + n + "\n");
    }
  };
  auto mappings = [&](int pid) { return count_of(read_all("/proc/" + std::to_string(pid) + "/maps"), "\n"); };
  write_documents(0, 100);
  Background listen = start_qilsite({"target_path=src", "root_path=.", "listen"}, dir.path);
  ASSERT_TRUE(wait_until([&] { return listen.err().find("100 pages generated") != std::string::npos; }, 60))
      << listen.err();
  int before = mappings(listen.pid());
  //- 2,000 more, built as new sources while it listens
  write_documents(100, 2100);
  auto pages = [&] {
    size_t n = 0;
    if (DIR *d = opendir((dir.path + "/website").c_str())) {
      while (dirent *e = readdir(d)) n += e->d_name[0] == 'd' || e->d_name[0] == 'r';
      closedir(d);
    }
    return n;
  };
  ASSERT_TRUE(wait_until([&] { return pages() == 2 * 2100; }, 60)) << pages() << "\n" << listen.err();
  EXPECT_LT(mappings(listen.pid()) - before, 1000) << "mappings for 2,000 more documents";
  listen.stop();
}

// Under listen, documents in a renamed folder were refused their output paths, which the
// deleted paths still held ("is already the page of"), and later edits were never
// published until a restart. A deleted source frees its paths, and the documents refused
// them try again.
TEST(Regressions, ListenPublishesARenamedFolder) {
  TempDir dir;
  auto doc = [](const std::string &title) {
    return "``\n  title: " + title + "\n  output_path: \"~/website/a.html\"\n``\nBody\n";
  };
  dir.file("src/old/a.qil", doc("First"));
  Background listen = start_qilsite({"target_path=src", "root_path=.", "listen"}, dir.path);
  std::string page = dir.path + "/website/a.html";
  ASSERT_TRUE(wait_until([&] { return read_all(page).find("<title>First</title>") != std::string::npos; }))
      << listen.err();
  ASSERT_EQ(rename((dir.path + "/src/old").c_str(), (dir.path + "/src/new").c_str()), 0);
  // The old paths are found gone by the scanner's look at every file (each 5 s).
  ASSERT_TRUE(wait_until([&] { return listen.err().find("1 source deleted") != std::string::npos; }, 30))
      << listen.err();
  edit_file(dir.path + "/src/new/a.qil", doc("Second"));
  EXPECT_TRUE(wait_until([&] { return read_all(page).find("<title>Second</title>") != std::string::npos; }, 30))
      << listen.out() << listen.err();
  listen.stop();
}

// Outputs were never removed, so a document that moved its page or became a draft left
// its old page published; and with target_path at the root, the second run read its own
// pages back as hand-written ones and failed strict. The manifest lists what the tool
// wrote: what a source makes no more is removed, nothing else ever is, and outputs are
// never read back.
TEST(Regressions, TheManifestPrunesOnlyOurOutputsAndKeepsThemFromTheSources) {
  TempDir dir;
  auto doc = [](const std::string &out, const std::string &status) {
    return "``\n  title: A\n" + status + "  output_path: \"~/website/" + out + "\"\n``\nBody\n";
  };
  dir.file("src/a.qil", doc("a.html", ""));
  std::string mine = dir.file("website/mine.html", "<p>the author's own page</p>\n");
  for (int run = 0; run < 2; run += 1) {
    CommandResult r = run_qilsite({"target_path=.", "root_path=.", "strict"}, dir.path);
    EXPECT_EQ(r.status, 0) << "run " << run << ": " << r.out << r.err;
    EXPECT_EQ(r.out.find("error:"), std::string::npos) << r.out;
  }
  EXPECT_NE(read_all(dir.path + "/website/a.html").find("<title>A</title>"), std::string::npos);
  //- the page moves: the old one and its raw view go, the author's page stays
  dir.file("src/a.qil", doc("b.html", ""));
  CommandResult moved = run_qilsite({"target_path=.", "root_path=."}, dir.path);
  EXPECT_NE(moved.err.find("website/a.html': "), std::string::npos) << moved.err;
  EXPECT_NE(access((dir.path + "/website/a.html").c_str(), F_OK), 0);
  EXPECT_NE(access((dir.path + "/website/raw_a.html").c_str(), F_OK), 0);
  EXPECT_EQ(access((dir.path + "/website/b.html").c_str(), F_OK), 0);
  //- a draft publishes nothing
  dir.file("src/a.qil", doc("b.html", "  status: draft\n"));
  run_qilsite({"target_path=.", "root_path=."}, dir.path);
  EXPECT_NE(access((dir.path + "/website/b.html").c_str(), F_OK), 0);
  EXPECT_EQ(read_all(mine), "<p>the author's own page</p>\n");
}

//~ Faults across a whole run

// The files of a built site that the tool writes or rewrites, by path below the site.
static std::map<std::string, std::string>
site_outputs(const std::string &root) {
  std::map<std::string, std::string> files;
  for (const char *rel : {"website/qil/a.html", "website/qil/raw_a.html", "website/qil/b.html",
                          "website/qil/raw_b.html", "website/index.html", "src/page.html",
                          "shared/css/qil/css_default.css"}) {
    files[rel] = read_all(root + "/" + rel);
  }
  return files;
}

static void
mixed_site(const TempDir &dir, const std::string &version) {
  for (const char *name : {"a", "b"}) {
    dir.file(std::string("src/") + name + ".qil", "``\n  title: " + std::string(name) + " " + version +
                                                       "\n  output_path: \"~/website/qil/" + name + ".html\"\n``\n" +
                                                       "Body\n  text of " + version + "\n");
  }
  dir.file("src/page.html", "<title>p</title>\n<p   class=x>page " + version + "</p>\n");
  if (access((dir.path + "/website/index.html").c_str(), F_OK) != 0) {
    dir.file("website/index.html", "<!DOCTYPE html>\n<html lang=\"en\"><head><title>Home</title></head>\n"
                                   "<body><ul id=\"zo-l-qil\"></ul></body></html>\n");
  }
}

// The SQLite way: the 1st, 2nd, 3rd ... write, rename and sync of a whole rebuild fail in
// turn; after each, every output holds its old bytes or its new ones, and the next run
// leaves no temporary file and the tree a clean build makes.
TEST(Regressions, EveryFailedWriteRenameOrSyncLeavesOldOrNewBytes) {
  TempDir clean;
  mixed_site(clean, "two");
  ASSERT_EQ(run_qilsite({"target_path=src", "root_path=."}, clean.path).status, 0);
  std::map<std::string, std::string> fresh = site_outputs(clean.path);
  for (const char *point : {"write", "rename", "sync"}) {
    for (int n = 1; n <= 80; n += 1) {
      TempDir dir;
      mixed_site(dir, "one");
      ASSERT_EQ(run_qilsite({"target_path=src", "root_path=."}, dir.path).status, 0);
      std::map<std::string, std::string> old = site_outputs(dir.path);
      mixed_site(dir, "two");
      old["src/page.html"] = read_all(dir.path + "/src/page.html");  // the author's edit is its old bytes
      std::string fault = std::string(point) + ":" + std::to_string(n);
      CommandResult r = run_process({qilsite_bin(), "target_path=src", "root_path=."}, dir.path, 60,
                                    {"QILSITE_TEST_FAIL=" + fault});
      ASSERT_EQ(r.signal, 0) << fault << "\n" << r.err;
      // The index may also list fewer pages: it leaves out one whose write failed.
      for (auto &[rel, bytes] : site_outputs(dir.path)) {
        if (rel == "website/index.html") continue;
        EXPECT_TRUE(bytes == old[rel] || bytes == fresh[rel]) << fault << ": " << rel << " is neither old nor new";
      }
      CommandResult again = run_qilsite({"target_path=src", "root_path=."}, dir.path);
      EXPECT_EQ(again.status, 0) << fault << "\n" << again.err;
      for (auto &[rel, bytes] : site_outputs(dir.path)) {
        EXPECT_TRUE(bytes == fresh[rel]) << fault << ": after a clean run, " << rel << " differs from a clean build";
      }
      EXPECT_EQ(run_command("find " + dir.path + " -name '.qilsite-*-*' | wc -l").out, "0\n") << fault;
      // Past the last call at the point, nothing failed: the next point.
      if (r.err.find("cannot") == std::string::npos && r.err.find("not written") == std::string::npos) break;
      if (HasFailure()) return;
    }
  }
}

// Every file below `folder` (but the tool's own bookkeeping) and its bytes.
static std::map<std::string, std::string>
tree_of(const std::string &folder) {
  std::map<std::string, std::string> files;
  CommandResult list = run_command("cd " + folder + " && find . -type f ! -name '.qilsite*' | sort");
  std::istringstream lines(list.out);
  for (std::string rel; std::getline(lines, rel);) files[rel] = read_all(folder + "/" + rel);
  return files;
}

// Under listen, what a sequence of edits left (a folder renamed, a document deleted, one
// moving its page, one new) differed from a fresh build of the same sources: pages of
// deleted or moved documents stayed, and renamed ones were refused.
TEST(Regressions, ListenEndsWhereAFreshBuildDoes) {
  TempDir dir;
  auto doc = [](const std::string &title, const std::string &out) {
    return "``\n  title: " + title + "\n  output_path: \"~/website/qil/" + out + "\"\n``\nBody of " + title + "\n";
  };
  dir.file("website/index.html", "<!DOCTYPE html>\n<html lang=\"en\"><head><title>Home</title></head>\n"
                                 "<body><ul id=\"zo-l-qil\"></ul></body></html>\n");
  dir.file("src/old/a.qil", doc("A", "a.html"));
  dir.file("src/b.qil", doc("B", "b.html"));
  dir.file("src/c.qil", doc("C", "c.html"));
  Background listen = start_qilsite({"target_path=src", "root_path=.", "listen"}, dir.path);
  ASSERT_TRUE(wait_until([&] { return listen.err().find("3 pages generated") != std::string::npos; }, 30))
      << listen.err();
  ASSERT_EQ(rename((dir.path + "/src/old").c_str(), (dir.path + "/src/new").c_str()), 0);
  ASSERT_EQ(unlink((dir.path + "/src/c.qil").c_str()), 0);
  edit_file(dir.path + "/src/b.qil", doc("B2", "b2.html"));
  dir.file("src/d.qil", doc("D", "d.html"));
  std::string b2 = dir.path + "/website/qil/b2.html", c = dir.path + "/website/qil/c.html";
  ASSERT_TRUE(wait_until([&] { return access(b2.c_str(), F_OK) == 0 && access(c.c_str(), F_OK) != 0; }, 30))
      << listen.err();
  ASSERT_TRUE(wait_until([&] { return listen.err().find("2 sources deleted") != std::string::npos ||
                                      count_of(listen.err(), "source deleted") >= 2; }, 30))
      << listen.err();
  listen.stop();
  //- the same sources built once, from nothing
  TempDir fresh;
  fresh.file("website/index.html", "<!DOCTYPE html>\n<html lang=\"en\"><head><title>Home</title></head>\n"
                                   "<body><ul id=\"zo-l-qil\"></ul></body></html>\n");
  fresh.file("src/new/a.qil", doc("A", "a.html"));
  fresh.file("src/b.qil", doc("B2", "b2.html"));
  fresh.file("src/d.qil", doc("D", "d.html"));
  ASSERT_EQ(run_qilsite({"target_path=src", "root_path=."}, fresh.path).status, 0);
  std::map<std::string, std::string> ours = tree_of(dir.path), theirs = tree_of(fresh.path);
  for (auto &[rel, bytes] : theirs) EXPECT_TRUE(ours.count(rel) && ours[rel] == bytes) << rel << " differs";
  for (auto &[rel, bytes] : ours) EXPECT_TRUE(theirs.count(rel)) << rel << " is left over";
}

// The largest resident size the binary reached on a run with these arguments, in bytes.
static long
peak_of_run(const std::vector<std::string> &args, const std::string &cwd) {
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(127);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    std::vector<std::string> all = {qilsite_bin()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage = {};
  wait4(pid, &status, 0, &usage);
  return usage.ru_maxrss * 1024L;
}

// A binary file given as a source cost a 24-byte token per byte (a NUL-filled 64 MiB
// file took 1.7 GB; 1 GiB was killed by the kernel). A run of unusable bytes is one
// token now, its diagnostics still one per byte.
TEST(Regressions, ABinarySourceCostsAboutItsSize) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' own memory hides what the run costs";
#endif
  TempDir dir;
  const long size = 32L << 20;
  for (const char *name : {"zeros.qil", "zeros.html"}) {
    dir.file(name, std::string(size, '\0'));
    long peak = peak_of_run({std::string("target_path=") + name, "root_path=."}, dir.path);
    EXPECT_LT(peak, 2 * size + (32L << 20)) << name << ": " << (peak >> 20) << " MiB for 32 MiB";
  }
}

// A link written relative to its page ("./qil/b.html") was taken for a path from the
// current folder when the root was "." or "./" and written "../qil/b.html", a dead link;
// with the root "fx" it came out right. Every spelling of the root now writes it as the
// author did, and "~" links relative to the page.
TEST(Regressions, LinksAreTheSameWhateverTheRootsSpelling) {
  TempDir base;
  std::string abs_root = base.path + "/abs/";
  struct Row {
    const char *root;    // as given on the command line
    const char *folder;  // where the site lies, below the run's folder
  } rows[] = {{".", "dot"}, {"./", "dotslash"}, {"fx", "fx"}, {"", "abs"}};
  for (const Row &row : rows) {
    std::string cwd = base.path + "/" + row.folder;
    std::string root = row.root[0] ? row.root : abs_root;
    std::string site_rel = row.root[0] ? std::string(row.folder) + "/" + row.root : "abs";
    std::string site = base.path + "/" + site_rel;
    base.file(std::string(row.folder) + "/.keep", "");
    base.file(site_rel + "/src/a.qil",
                     "``\n  title: A\n  output_path: \"~/website/a.html\"\n``\n"
                     "Body\n  \"./qil/b.html\"(rel) \"~/website/qil/b.html\"(home) _\"./img/x.png\"(\"x\", 4x4)\n");
    CommandResult r = run_qilsite({"target_path=" + site + "/src", "root_path=" + root}, cwd);
    ASSERT_EQ(r.status, 0) << row.root << r.err;
    std::string page = read_all(site + "/website/a.html");
    EXPECT_NE(page.find("href=\"./qil/b.html\""), std::string::npos) << "root " << root << "\n" << page;
    EXPECT_NE(page.find("href=\"qil/b.html\""), std::string::npos) << "root " << root;
    EXPECT_NE(page.find("src=\"./img/x.png\""), std::string::npos) << "root " << root;
  }
}

// A control byte in a code block (a NUL, say) went into the page as it was, and an HTML
// page may hold none: the page was invalid, and the checker said so when it read it.
// It is written as U+FFFD, in the page and in its raw view.
TEST(Regressions, ControlBytesOfADocumentBecomeReplacementCharacters) {
  TempDir dir;
  dir.file("src/a.qil", std::string("``\n  title: A\n  output_path: \"~/website/a.html\"\n``\nCode\n  ```\n  a") +
                            std::string("\0\x01", 2) + "b\n  ```\n");
  ASSERT_EQ(run_qilsite({"target_path=src", "root_path=."}, dir.path).status, 0);
  for (const char *page : {"website/a.html", "website/raw_a.html"}) {
    std::string text = read_all(dir.path + "/" + page);
    EXPECT_NE(text.find("a\xEF\xBF\xBD\xEF\xBF\xBD" "b"), std::string::npos) << page;
    EXPECT_EQ(text.find(std::string("\0", 1)), std::string::npos) << page;
    EXPECT_EQ(text.find('\x01'), std::string::npos) << page;
  }
}

// A live page whose status came at once but whose body came slowly was "broken, status_code:
// 0, timed out": the body was waited for. The status line and headers are the verdict now.
TEST(Regressions, ALiveLinkWithASlowBodyIsOk) {
  LinkServer server;
  ASSERT_TRUE(server.ok()) << server.error;
  TempDir dir;
  dir.file("site/a.html", "<!DOCTYPE html><html lang=\"en\"><head><title>A</title></head><body><a href=\"" +
                              server.http("/slow-body") + "\">slow</a></body></html>\n");
  CommandResult r = run_qilsite({"target_path=" + dir.path + "/site", "root_path=" + dir.path, "check_urls",
                                 "consent_url=off", "strict"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out.find("broken"), std::string::npos) << r.out;
}

// An empty remote title wrote an empty preview span, which the next run's own check
// rejected: strict failed from the second run on.
TEST(Regressions, AnEmptyRemoteValueWritesNoSpan) {
  CountingServer server;
  {
    std::lock_guard<std::mutex> g(server.mutex);
    server.bodies["/p"] = "<title></title>";
  }
  TempDir dir;
  dir.file("local/kn_searchs.txt", "source_finders: {\n  urls: [\"127.0.0.1\"]\n  data_markers: {\n    types: [\"Title\"]\n"
                                   "    searchers: { start: [\"<title>\"] end: [\"</title>\"] }\n  }\n}\n");
  std::string page = dir.file("site/a.html", "<!DOCTYPE html><html lang=\"en\"><head><title>A</title></head><body><a href=\"http://127.0.0.1:" +
                                                 std::to_string(server.port) + "/p\">p</a></body></html>\n");
  std::vector<std::string> args = {"target_path=" + dir.path + "/site", "root_path=" + dir.path,
                                   "local_path=" + dir.path + "/local", "check_urls", "consent_url=off", "strict"};
  EXPECT_EQ(run_qilsite(args).status, 0);
  CommandResult second = run_qilsite(args);
  EXPECT_EQ(second.status, 0) << second.out << second.err;
  EXPECT_EQ(read_all(page).find("<span"), std::string::npos) << read_all(page);
}

// A 503 was "noted" and never failed a strict run: a link whose server keeps failing is broken.
TEST(Regressions, ALinkAnswering503FailsAStrictRun) {
  LinkServer server;
  ASSERT_TRUE(server.ok()) << server.error;
  TempDir dir;
  dir.file("site/a.html", "<!DOCTYPE html><html lang=\"en\"><head><title>A</title></head><body><a href=\"" +
                              server.http("/busy") + "\">busy</a></body></html>\n");
  CommandResult r = run_qilsite({"target_path=" + dir.path + "/site", "root_path=" + dir.path, "check_urls",
                                 "consent_url=off", "strict"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
}

// A preview span written after a <link> in the head ended the head in the browser, and
// what followed it moved into the body. Links in the head (and in SVG) get no preview.
TEST(Regressions, NoPreviewInTheHead) {
  CountingServer server;
  {
    std::lock_guard<std::mutex> g(server.mutex);
    server.bodies["/p"] = "<title>Remote</title>";
  }
  TempDir dir;
  dir.file("local/kn_searchs.txt", "source_finders: {\n  urls: [\"127.0.0.1\"]\n  data_markers: {\n    types: [\"Title\"]\n"
                                   "    searchers: { start: [\"<title>\"] end: [\"</title>\"] }\n  }\n}\n");
  std::string url = "http://127.0.0.1:" + std::to_string(server.port) + "/p";
  std::string text = "<!DOCTYPE html><html lang=\"en\"><head><link rel=\"alternate\" href=\"" + url +
                     "\"><title>A</title></head><body><p>x</p></body></html>\n";
  std::string page = dir.file("site/a.html", text);
  CommandResult r = run_qilsite({"target_path=" + dir.path + "/site", "root_path=" + dir.path,
                                 "local_path=" + dir.path + "/local", "check_urls", "consent_url=off"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_all(page), text);
}
