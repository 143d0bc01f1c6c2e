// End-to-end site build: generated qil documents (about 4 KB, every construct, one page each)
// built by qilsite as a whole process, beside the same documents as Markdown built by Hugo.
// Each figure is the median of 3 runs on fresh output; both tools use every core their own way.
//
//   bench_site_build [path/to/qilsite]   (default: $QILSITE_BIN, or the qilsite next to this binary)
//   QIL_BENCH_FULL=1 adds 100,000 documents (qilsite alone).
#include <stdio.h>

#include <filesystem>
#include <string>
#include <vector>

#include "proc_run.h"
#include "site_gen.h"

namespace {

using proc_run::Figures;
using proc_run::Run;

const int kRuns = 3;
const size_t kDocBytes = 3600;  // a document stops growing past this: about 3.9 KB each

struct Site {
  std::string dir;      // the temporary folder holding both sites
  size_t docs = 0;
  size_t qil_bytes = 0, md_bytes = 0;
};

bool
write_qil_site(Site &s) {
  std::string src = s.dir + "/qil/src";
  if (!proc_run::make_dirs(src)) return false;
  for (size_t i = 0; i < s.docs; i += 1) {
    std::string d = site_gen::qil_document(i, kDocBytes);
    s.qil_bytes += d.size();
    if (!proc_run::write_file(src + "/doc" + std::to_string(i) + ".qil", d)) return false;
  }
  return true;
}

bool
write_hugo_site(Site &s) {
  std::string h = s.dir + "/hugo";
  if (!proc_run::make_dirs(h + "/content/posts") || !proc_run::make_dirs(h + "/layouts/_default")) return false;
  // Raw HTML is kept and every heading level is in the table of contents, as qilsite does.
  std::string config = "baseURL = \"http://example.org/\"\nlanguageCode = \"en\"\ntitle = \"Bench\"\n"
                       "disableKinds = [\"taxonomy\", \"term\", \"RSS\", \"sitemap\", \"robotsTXT\", \"404\"]\n"
                       "cacheDir = \"" +
                       h +
                       "/cache\"\n"
                       "[markup.goldmark.renderer]\n  unsafe = true\n"
                       "[markup.tableOfContents]\n  startLevel = 1\n  endLevel = 6\n";
  std::string single = "<!DOCTYPE html>\n<html lang=\"en\">\n<head><meta charset=\"utf-8\"><title>{{ .Title }}"
                       "</title></head>\n<body>\n<nav>{{ .TableOfContents }}</nav>\n<main>{{ .Content }}</main>\n"
                       "</body>\n</html>\n";
  std::string list = "<!DOCTYPE html>\n<html lang=\"en\">\n<head><meta charset=\"utf-8\"><title>{{ .Title }}"
                     "</title></head>\n<body>\n<ul>{{ range .Pages }}<li><a href=\"{{ .RelPermalink }}\">{{ .Title }}"
                     "</a></li>{{ end }}</ul>\n</body>\n</html>\n";
  if (!proc_run::write_file(h + "/config.toml", config) ||
      !proc_run::write_file(h + "/layouts/_default/single.html", single) ||
      !proc_run::write_file(h + "/layouts/_default/list.html", list)) {
    return false;
  }
  for (size_t i = 0; i < s.docs; i += 1) {
    std::string d = site_gen::markdown_document(i, kDocBytes);
    s.md_bytes += d.size();
    if (!proc_run::write_file(h + "/content/posts/doc" + std::to_string(i) + ".md", d)) return false;
  }
  return true;
}

// The summary line qilsite prints on standard error ("qilsite: N pages generated ...").
std::string
summary_line(const std::string &err) {
  size_t at = err.find("qilsite: ");
  while (at != std::string::npos) {
    size_t end = err.find('\n', at);
    std::string line = err.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (line.find("generated") != std::string::npos) return line;
    at = err.find("qilsite: ", at + 1);
  }
  return "";
}

// Fresh output: no pages, shared files or index from an earlier run.
bool
reset_qil_root(const Site &s) {
  std::string root = s.dir + "/qil";
  proc_run::remove_tree(root + "/website");
  proc_run::remove_tree(root + "/shared");
  proc_run::remove_tree(root + "/.qilsite.memo");
  if (!proc_run::make_dirs(root + "/website")) return false;
  return proc_run::write_file(root + "/website/index.html",
                              "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>Bench"
                              "</title>\n</head>\n<body>\n<ul id=\"zo-l-qil\"></ul>\n</body>\n</html>\n");
}

// qilsite's runs; false when one failed or missed pages.
bool
run_ours(const std::string &qilsite, const Site &s, Figures &f) {
  std::string root = s.dir + "/qil";
  for (int i = 1; i <= kRuns; i += 1) {
    if (!reset_qil_root(s)) return false;
    Run r = proc_run::run({qilsite, "target_path=" + root + "/src", "root_path=" + root}, s.dir);
    size_t pages = proc_run::count_files(root + "/website/qil", ".html", "doc");
    size_t raws = proc_run::count_files(root + "/website/qil", ".html", "raw_doc");
    if (!r.started || r.timed_out || r.status != 0) {
      printf("  qilsite run %d FAILED: %s, exit %d\n%s\n", i, r.timed_out ? "timed out" : "ended", r.status,
             proc_run::tail(r.err).c_str());
      return false;
    }
    if (i == 1) {
      printf("  qilsite: %zu pages and %zu raw views written for %zu documents\n", pages, raws, s.docs);
      printf("  qilsite said: %s\n", summary_line(r.err).c_str());
    }
    if (pages != s.docs || raws != s.docs) {
      printf("  qilsite run %d FAILED: %zu pages and %zu raw views, %zu expected\n%s\n", i, pages, raws, s.docs,
             proc_run::tail(r.err).c_str());
      return false;
    }
    f.add(r);
  }
  return true;
}

// The files below `dir` written after `since`.
size_t
files_written_since(const std::string &dir, std::filesystem::file_time_type since) {
  size_t n = 0;
  std::error_code ec;
  for (auto &e : std::filesystem::recursive_directory_iterator(dir, ec)) {
    if (e.is_regular_file() && e.last_write_time() > since) n += 1;
  }
  return n;
}

// Builds after the last cold one: the same sources again (`edit` false), or with one
// document edited before each run. Prints how many files each run wrote.
bool
run_again(const std::string &qilsite, const Site &s, bool edit, Figures &f) {
  std::string root = s.dir + "/qil";
  for (int i = 1; i <= kRuns; i += 1) {
    if (edit) {
      std::string doc = root + "/src/doc" + std::to_string(i * s.docs / (kRuns + 1)) + ".qil";
      if (!proc_run::write_file(doc, proc_run::read_file(doc) + "\nEdited\n  One more paragraph.\n")) return false;
    }
    auto before = std::filesystem::file_time_type::clock::now();
    Run r = proc_run::run({qilsite, "target_path=" + root + "/src", "root_path=" + root}, s.dir);
    if (!r.started || r.timed_out || r.status != 0) {
      printf("  qilsite rebuild %d FAILED: exit %d\n%s\n", i, r.status, proc_run::tail(r.err).c_str());
      return false;
    }
    size_t written = files_written_since(root, before);
    if (i == 1) printf("  %s: %zu files written; %s\n", edit ? "one edit" : "unchanged", written, summary_line(r.err).c_str());
    f.add(r);
  }
  return true;
}

// Hugo's runs; a failure here is reported and leaves the comparison out.
void
run_hugo(const Site &s, Figures &f) {
  std::string h = s.dir + "/hugo";
  for (int i = 1; i <= kRuns; i += 1) {
    proc_run::remove_tree(h + "/public");
    proc_run::remove_tree(h + "/resources");
    Run r = proc_run::run({"hugo", "--source", h, "--destination", h + "/public"}, s.dir);
    size_t pages = proc_run::count_files_deep(h + "/public/posts", "index.html");
    if (pages) pages -= 1;  // the section's own list page
    if (i == 1) printf("  hugo: %zu pages written for %zu documents\n", pages, s.docs);
    if (!r.started || r.timed_out || r.status != 0 || pages != s.docs) {
      printf("  hugo run %d did not build the site: exit %d, %zu pages\n%s%s\n", i, r.status, pages,
             proc_run::tail(r.out).c_str(), proc_run::tail(r.err).c_str());
      f = Figures{};
      return;
    }
    f.add(r);
  }
}

// The floor: writing the same finished output tree (pages, raw views, shared files) with
// `cp -r`, from the last build's output. No build can write its pages faster than that.
void
run_floor(const Site &s, Figures &f) {
  std::string root = s.dir + "/qil";
  std::string dest = s.dir + "/floor";
  for (int i = 1; i <= kRuns; i += 1) {
    proc_run::remove_tree(dest);
    if (!proc_run::make_dirs(dest)) return;
    Run r = proc_run::run({"cp", "-r", root + "/website", root + "/shared", dest}, s.dir);
    if (!r.started || r.timed_out || r.status != 0) {
      printf("  cp -r run %d failed: exit %d\n", i, r.status);
      f = Figures{};
      return;
    }
    f.add(r);
  }
  proc_run::remove_tree(dest);
}

}  // namespace

int
main(int argc, char **argv) {
  std::string qilsite = proc_run::qilsite_path(argc, argv);
  if (access(qilsite.c_str(), X_OK) != 0) {
    fprintf(stderr, "bench_site_build: no qilsite at %s (give its path as the argument)\n", qilsite.c_str());
    return 1;
  }
  bool hugo = proc_run::have_tool("hugo");
  if (!hugo) printf("hugo not installed: qilsite alone (apt-get install hugo)\n");
  std::vector<size_t> sizes = {1000, 10000};
  if (proc_run::full_run()) sizes.push_back(100000);
  else printf("100,000 documents skipped (QIL_BENCH_FULL=1 runs them, qilsite alone)\n");
  printf("site build: generated documents (every construct), median of %d runs, fresh output each run, %u cores\n",
         kRuns, std::thread::hardware_concurrency());

  bool failed = false;
  for (size_t n : sizes) {
    Site s;
    s.dir = proc_run::temp_dir("qilsite-site-build");
    s.docs = n;
    bool with_hugo = hugo && n <= 10000;
    if (s.dir.empty() || !write_qil_site(s) || (with_hugo && !write_hugo_site(s))) {
      printf("could not write the sites for %zu documents\n", n);
      proc_run::remove_tree(s.dir);
      return 1;
    }
    printf("\n%zu documents: qil %.1f MiB (%zu bytes each on average)", n, s.qil_bytes / 1048576.0, s.qil_bytes / n);
    if (with_hugo) printf(", Markdown %.1f MiB (%zu bytes each)", s.md_bytes / 1048576.0, s.md_bytes / n);
    printf("\n");
    Figures ours, theirs, floor, again, edited;
    if (!run_ours(qilsite, s, ours)) failed = true;
    else run_floor(s, floor);
    // One build to leave the memo of a finished site, then the rebuilds.
    if (!ours.empty()) {
      Run settle = proc_run::run({qilsite, "target_path=" + s.dir + "/qil/src", "root_path=" + s.dir + "/qil"}, s.dir);
      if (settle.status != 0 || !run_again(qilsite, s, false, again) || !run_again(qilsite, s, true, edited)) failed = true;
    }
    if (with_hugo) run_hugo(s, theirs);
    else if (hugo) printf("  hugo skipped at this size\n");
    proc_run::print_header("tool");
    proc_run::print_row("qilsite", ours, n);
    if (with_hugo) proc_run::print_row(theirs.empty() ? "hugo (no result)" : "hugo", theirs, n);
    if (!floor.empty()) proc_run::print_row("cp -r of the output", floor, n);
    if (!again.empty()) proc_run::print_row("qilsite, unchanged", again, n);
    if (!edited.empty()) proc_run::print_row("qilsite, one edit", edited, n);
    proc_run::print_ratio("qilsite", "hugo", ours, theirs);
    if (!ours.empty() && !floor.empty()) {
      printf("  cold build / cp -r floor: wall x%.2f\n", ours.wall_s() / floor.wall_s());
    }
    if (!ours.empty() && !again.empty() && !edited.empty()) {
      printf("  unchanged rebuild / cold build: %.1f%%; one edit / cold build: %.1f%%\n",
             100.0 * again.wall_s() / ours.wall_s(), 100.0 * edited.wall_s() / ours.wall_s());
    }
    if (!ours.empty()) {
      printf("  qilsite peak memory: %.2f x the source bytes\n", ours.peak_mib() * 1048576.0 / s.qil_bytes);
    }
    proc_run::remove_tree(s.dir);
  }
  return failed ? 1 : 0;
}
