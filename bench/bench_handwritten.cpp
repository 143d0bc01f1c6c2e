// Hand-written pages checked and written back: 1,000 generated pages of about 6.5 KB
// (forms, tables, lists, nested layout, entities, scripts and styles), in two sets:
//   (a) pages written as our own serialiser once wrote them, beside `tidy -m -q`, which rewrites them;
//   (b) pages with comments and omitted end tags, beside `tidy -q -o /dev/null`.
// Both sets are valid HTML: qilsite reads, checks and compares each page with what it would
// write back, and writes none (a page changes only when previews are added to it).
// Each tool runs once over a fresh copy of the set (the copying is not timed); median of 3 runs.
// Then (c): one page of about 20 KB checked by a process of its own, as an editor checks on
// save, beside `tidy -m -q` on a copy; median of 50 runs each, taken in turn. Here what a
// process costs before it reads a byte (the loader, the libraries) is most of the time.
//
//   bench_handwritten [path/to/qilsite]   (default: $QILSITE_BIN, or the qilsite next to this binary)
#include <stdio.h>

#include <string>
#include <vector>

#include "proc_run.h"
#include "site_gen.h"

namespace {

using proc_run::Figures;
using proc_run::Run;

const int kRuns = 3;
const size_t kPages = 1000;
const size_t kPageBytes = 6656;

struct PageSet {
  const char *name;
  bool clean;              // parses without error: qilsite rewrites every page
  std::string master;      // the generated pages, never touched by a tool
  std::vector<std::string> texts;
  size_t bytes = 0;
};

bool
write_set(PageSet &s, const std::string &dir) {
  s.master = dir + "/master-" + s.name;
  if (!proc_run::make_dirs(s.master)) return false;
  for (size_t i = 0; i < kPages; i += 1) {
    std::string t = s.clean ? site_gen::html_clean_page(i, kPageBytes) : site_gen::html_loose_page(i, kPageBytes);
    s.bytes += t.size();
    if (!proc_run::write_file(s.master + "/page" + std::to_string(i) + ".html", t)) return false;
    s.texts.push_back(std::move(t));
  }
  return true;
}

// A fresh copy of the set at dir/src, with the site root's index page beside it.
bool
fresh_copy(const PageSet &s, const std::string &dir) {
  proc_run::remove_tree(dir);
  if (!proc_run::make_dirs(dir + "/website")) return false;
  std::string cmd = "cp -r '" + s.master + "' '" + dir + "/src'";
  if (system(cmd.c_str()) != 0) return false;
  return proc_run::write_file(dir + "/website/index.html",
                              "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>Bench"
                              "</title>\n</head>\n<body>\n<ul id=\"zo-l-qil\"></ul>\n</body>\n</html>\n");
}

size_t
changed_pages(const PageSet &s, const std::string &src) {
  size_t n = 0;
  for (size_t i = 0; i < kPages; i += 1) {
    n += proc_run::read_file(src + "/page" + std::to_string(i) + ".html") != s.texts[i];
  }
  return n;
}

std::string
summary_line(const std::string &err) {
  for (size_t at = err.find("qilsite: "); at != std::string::npos; at = err.find("qilsite: ", at + 1)) {
    size_t end = err.find('\n', at);
    std::string line = err.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (line.find("hand-written") != std::string::npos) return line;
  }
  return "";
}

std::vector<std::string>
page_args(const std::string &src) {
  std::vector<std::string> files;
  for (size_t i = 0; i < kPages; i += 1) files.push_back(src + "/page" + std::to_string(i) + ".html");
  return files;
}

bool
run_ours(const std::string &qilsite, const PageSet &s, const std::string &dir, Figures &f) {
  std::string want = "0 hand-written pages rewritten, " + std::to_string(kPages) + " left as they were (" +
                     std::to_string(kPages) + " already as written)";
  for (int i = 1; i <= kRuns; i += 1) {
    std::string site = dir + "/ours";
    if (!fresh_copy(s, site)) return false;
    Run r = proc_run::run({qilsite, "target_path=" + site + "/src", "root_path=" + site}, dir);
    if (!r.started || r.timed_out || r.status != 0) {
      printf("  qilsite run %d FAILED: %s, exit %d\n%s\n", i, r.timed_out ? "timed out" : "ended", r.status,
             proc_run::tail(r.err).c_str());
      return false;
    }
    std::string line = summary_line(r.err);
    size_t changed = changed_pages(s, site + "/src");
    if (i == 1) {
      printf("  qilsite said: %s\n", line.c_str());
      printf("  qilsite: %zu of %zu pages changed on disk\n", changed, kPages);
    }
    bool clean_ok = line.find(" 0 errors") != std::string::npos;
    if (line.find(want) == std::string::npos || !clean_ok || changed != 0) {
      printf("  qilsite run %d FAILED: expected \"%s\" with 0 errors and no page changed\n", i, want.c_str());
      return false;
    }
    f.add(r);
  }
  return true;
}

void
run_tidy(const PageSet &s, const std::string &dir, Figures &f) {
  for (int i = 1; i <= kRuns; i += 1) {
    std::string site = dir + "/tidy";
    if (!fresh_copy(s, site)) return;
    std::vector<std::string> args = {"tidy", "-q"};
    if (s.clean) args.push_back("-m");
    else args.insert(args.end(), {"-o", "/dev/null"});
    std::vector<std::string> files = page_args(site + "/src");
    args.insert(args.end(), files.begin(), files.end());
    Run r = proc_run::run(args, dir);
    size_t changed = changed_pages(s, site + "/src");
    // tidy exits 1 on warnings and 2 on errors: both are findings, not failures.
    if (!r.started || r.timed_out || r.status < 0 || r.status > 2) {
      printf("  tidy run %d did not finish: exit %d\n%s\n", i, r.status, proc_run::tail(r.err).c_str());
      f = Figures{};
      return;
    }
    if (i == 1) {
      size_t lines = 0;
      for (char c : r.err) lines += c == '\n';
      printf("  tidy: exit %d, %zu lines of findings, %zu of %zu pages changed on disk\n", r.status, lines, changed,
             kPages);
    }
    f.add(r);
  }
}

const int kSingleRuns = 50;
const size_t kSingleBytes = 20480;

bool
run_single(const std::string &qilsite, const std::string &dir, bool tidy) {
  std::string text = site_gen::html_clean_page(0, kSingleBytes);
  std::string site = dir + "/single", page = site + "/page.html", copy = dir + "/single-tidy.html";
  if (!proc_run::make_dirs(site) || !proc_run::write_file(page, text)) return false;
  printf("\nset (c) one page of %zu bytes, a process per check, median of %d runs in turn\n", text.size(),
         kSingleRuns);
  Figures ours, theirs;
  // The first run of each is not counted: qilsite's makes the site's shared files.
  for (int i = 0; i <= kSingleRuns; i += 1) {
    Run r = proc_run::run({qilsite, "target_path=" + page, "root_path=" + site}, dir);
    if (!r.started || r.timed_out || r.status != 0 || summary_line(r.err).find("1 left as it was") == std::string::npos) {
      printf("  qilsite run %d FAILED: exit %d, expected the page left as it was\n%s\n", i, r.status,
             proc_run::tail(r.err).c_str());
      return false;
    }
    if (i > 0) ours.add(r);
    if (!tidy || !proc_run::write_file(copy, text)) continue;
    Run t = proc_run::run({"tidy", "-m", "-q", copy}, dir);
    if (i > 0 && t.started && !t.timed_out && t.status >= 0 && t.status <= 2) theirs.add(t);
  }
  proc_run::print_header("tool");
  proc_run::print_row("qilsite", ours, 1);
  if (tidy) proc_run::print_row("tidy -m -q", theirs, 1);
  proc_run::print_ratio("qilsite", "tidy", ours, theirs);
  return true;
}

}  // namespace

int
main(int argc, char **argv) {
  std::string qilsite = proc_run::qilsite_path(argc, argv);
  if (access(qilsite.c_str(), X_OK) != 0) {
    fprintf(stderr, "bench_handwritten: no qilsite at %s (give its path as the argument)\n", qilsite.c_str());
    return 1;
  }
  bool tidy = proc_run::have_tool("tidy");
  if (!tidy) printf("tidy not installed: qilsite alone (apt-get install tidy)\n");
  std::string dir = proc_run::temp_dir("qilsite-handwritten");
  if (dir.empty()) return 1;
  PageSet sets[2] = {{"rewritten", true, {}, {}, 0}, {"checked", false, {}, {}, 0}};
  printf("hand-written pages: %zu per set, median of %d runs, one process per tool over a fresh copy "
         "(copy not timed)\n",
         kPages, kRuns);
  bool failed = false;
  for (PageSet &s : sets) {
    if (!write_set(s, dir)) {
      printf("could not write the pages\n");
      proc_run::remove_tree(dir);
      return 1;
    }
    printf("\nset (%s) %s: %zu pages, %.2f MiB, %zu bytes each on average\n", s.clean ? "a" : "b",
           s.clean ? "written as a serialiser writes, checked and kept" : "comments and omitted end tags, checked and kept",
           kPages, s.bytes / 1048576.0, s.bytes / kPages);
    Figures ours, theirs;
    if (!run_ours(qilsite, s, dir, ours)) failed = true;
    if (tidy) run_tidy(s, dir, theirs);
    const char *peer = s.clean ? "tidy -m -q" : "tidy -q -o /dev/null";
    proc_run::print_header("tool");
    proc_run::print_row("qilsite", ours, kPages);
    if (tidy) proc_run::print_row(theirs.empty() ? std::string(peer) + " (no result)" : peer, theirs, kPages);
    proc_run::print_ratio("qilsite", "tidy", ours, theirs);
    if (!ours.empty()) {
      printf("  qilsite peak memory: %.1f x the page bytes\n", ours.peak_mib() * 1048576.0 / s.bytes);
    }
  }
  if (!run_single(qilsite, dir, tidy)) failed = true;
  proc_run::remove_tree(dir);
  return failed ? 1 : 0;
}
