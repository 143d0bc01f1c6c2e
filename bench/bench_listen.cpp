// qilsite under `listen` on a site of generated qil documents: the CPU it uses while nothing
// changes, and the time from an edit of one document (its title) to its page changing on disk.
//
//   bench_listen [path/to/qilsite]   (default: $QILSITE_BIN, or the qilsite next to this binary)
//   2,000 documents by default; QIL_BENCH_FULL=1 uses 10,000.
#include <stdio.h>

#include <string>
#include <vector>

#include "proc_run.h"
#include "site_gen.h"

namespace {

using Clock = std::chrono::steady_clock;

const size_t kDocBytes = 3600;  // about 3.9 KB each, as in bench_site_build
const int kEdits = 5;
const double kIdleSeconds = 10;
const double kBuildLimitS = 300;   // the first build must be out by then
const double kSettleLimitS = 60;   // and its CPU quiet by then
const double kEditLimitS = 30;     // an edit must show in its page by then

double
seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// utime + stime of a process, in seconds, from /proc/<pid>/stat; -1 when it is gone.
double
cpu_seconds(pid_t pid) {
  std::string stat = proc_run::read_file("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  // After the name: state (field 3) ... utime (14), stime (15).
  std::vector<std::string> fields;
  size_t at = close + 2;
  while (at < stat.size() && fields.size() < 13) {
    size_t end = stat.find(' ', at);
    if (end == std::string::npos) end = stat.size();
    fields.push_back(stat.substr(at, end - at));
    at = end + 1;
  }
  if (fields.size() < 13) return -1;
  double ticks = (double)sysconf(_SC_CLK_TCK);
  return (atof(fields[11].c_str()) + atof(fields[12].c_str())) / ticks;
}

// A line of /proc/<pid>/status such as VmRSS, in MiB.
double
status_mib(pid_t pid, const char *key) {
  std::string status = proc_run::read_file("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find(std::string(key) + ":");
  if (at == std::string::npos) return 0;
  return atof(status.c_str() + at + strlen(key) + 1) / 1024.0;
}

bool
alive(pid_t pid) {
  int st = 0;
  return waitpid(pid, &st, WNOHANG) == 0;
}

pid_t
start(const std::vector<std::string> &args, const std::string &dir) {
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back((char *)a.c_str());
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  int in = open("/dev/null", O_RDONLY);
  int out = open((dir + "/listen.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int err = open((dir + "/listen.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0 || err < 0) _exit(126);
  dup2(in, 0);
  dup2(out, 1);
  dup2(err, 2);
  execvp(argv[0], argv.data());
  _exit(127);
}

// SIGTERM, then SIGKILL after 3 s; the child's peak resident size from wait4.
double
stop(pid_t pid, bool *needed_kill) {
  struct rusage ru = {};
  int st = 0;
  kill(pid, SIGTERM);
  auto t0 = Clock::now();
  *needed_kill = false;
  for (;;) {
    pid_t w = wait4(pid, &st, WNOHANG, &ru);
    if (w == pid || w < 0) break;
    if (seconds_since(t0) > 3) {
      *needed_kill = true;
      kill(pid, SIGKILL);
      wait4(pid, &st, 0, &ru);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return (double)ru.ru_maxrss / 1024.0;
}

std::string
doc_path(const std::string &site, size_t i) {
  return site + "/src/doc" + std::to_string(i) + ".qil";
}

std::string
page_path(const std::string &site, size_t i) {
  return site + "/website/qil/doc" + std::to_string(i) + ".html";
}

}  // namespace

int
main(int argc, char **argv) {
  std::string qilsite = proc_run::qilsite_path(argc, argv);
  if (access(qilsite.c_str(), X_OK) != 0) {
    fprintf(stderr, "bench_listen: no qilsite at %s (give its path as the argument)\n", qilsite.c_str());
    return 1;
  }
  size_t docs = proc_run::full_run() ? 10000 : 2000;
  if (!proc_run::full_run()) printf("10,000 documents skipped: 2,000 instead (QIL_BENCH_FULL=1 runs 10,000)\n");
  std::string dir = proc_run::temp_dir("qilsite-listen");
  if (dir.empty()) return 1;
  std::string site = dir + "/site";
  size_t bytes = 0;
  bool ok = proc_run::make_dirs(site + "/src") && proc_run::make_dirs(site + "/website") &&
            proc_run::write_file(site + "/website/index.html",
                                 "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>Bench"
                                 "</title>\n</head>\n<body>\n<ul id=\"zo-l-qil\"></ul>\n</body>\n</html>\n");
  for (size_t i = 0; ok && i < docs; i += 1) {
    std::string d = site_gen::qil_document(i, kDocBytes);
    bytes += d.size();
    ok = proc_run::write_file(doc_path(site, i), d);
  }
  if (!ok) {
    printf("could not write the site\n");
    proc_run::remove_tree(dir);
    return 1;
  }
  printf("listen: %zu qil documents, %.1f MiB\n", docs, bytes / 1048576.0);

  auto t0 = Clock::now();
  pid_t pid = start({qilsite, "target_path=" + site + "/src", "root_path=" + site, "listen"}, dir);
  if (pid < 0) return 1;
  bool failed = false;
  std::string why;

  //- the first build: every page and raw view there, then the CPU time stops growing
  std::string out_dir = site + "/website/qil";
  double built_s = -1;
  while (alive(pid) && seconds_since(t0) < kBuildLimitS) {
    if (proc_run::count_files(out_dir, ".html", "doc") == docs &&
        proc_run::count_files(out_dir, ".html", "raw_doc") == docs) {
      built_s = seconds_since(t0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (built_s < 0) {
    failed = true;
    why = alive(pid) ? "the first build did not write every page in time" : "qilsite ended during the first build";
  }
  double settled_s = -1;
  if (!failed) {
    // Quiet: under 10% of a core over a 1 s window (the edit scanner keeps some use going).
    double last = cpu_seconds(pid);
    auto settle0 = Clock::now();
    while (alive(pid) && seconds_since(settle0) < kSettleLimitS) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
      double now = cpu_seconds(pid);
      if (now >= 0 && now - last < 0.10) {
        settled_s = seconds_since(t0);
        break;
      }
      last = now;
    }
    if (!alive(pid)) failed = true, why = "qilsite ended after the first build";
  }
  double build_cpu = failed ? 0 : cpu_seconds(pid);  // up to the quiet point
  double rss_after_build = failed ? 0 : status_mib(pid, "VmRSS");

  //- idle: nothing changes for kIdleSeconds
  double idle_pct = -1;
  if (!failed) {
    double c0 = cpu_seconds(pid);
    auto i0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(kIdleSeconds));
    double c1 = cpu_seconds(pid);
    double span = seconds_since(i0);
    if (c0 < 0 || c1 < 0) failed = true, why = "qilsite ended while idle";
    else idle_pct = (c1 - c0) / span * 100.0;
  }
  double rss_after_idle = failed ? 0 : status_mib(pid, "VmRSS");

  //- edits: one document's title each time, to its page changing
  std::vector<double> latencies;
  for (int k = 1; !failed && k <= kEdits; k += 1) {
    size_t i = (size_t)k * docs / (kEdits + 1);
    std::string src = proc_run::read_file(doc_path(site, i));
    std::string before = proc_run::read_file(page_path(site, i));
    std::string title = "title: " + site_gen::doc_title(i) + " ";
    std::string edited_title = "title: " + site_gen::doc_title(i) + " edit " + std::to_string(k) + " ";
    size_t at = src.find(title);
    if (at == std::string::npos || before.empty()) {
      failed = true, why = "document " + std::to_string(i) + " or its page is not as generated";
      break;
    }
    src.replace(at, title.size(), edited_title);
    auto e0 = Clock::now();
    if (!proc_run::write_file(doc_path(site, i), src)) {
      failed = true, why = "could not edit a document";
      break;
    }
    std::string after = before;
    while (seconds_since(e0) < kEditLimitS && alive(pid)) {
      after = proc_run::read_file(page_path(site, i));
      if (!after.empty() && after != before) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    double latency = seconds_since(e0);
    if (after.empty() || after == before) {
      failed = true;
      why = "edit " + std::to_string(k) + " of doc" + std::to_string(i) + ".qil did not change its page within " +
            std::to_string((int)kEditLimitS) + " s";
      break;
    }
    bool shows = after.find(site_gen::doc_title(i) + " edit " + std::to_string(k)) != std::string::npos;
    printf("  edit %d (doc%zu.qil): page changed after %.0f ms%s\n", k, i, latency * 1000,
           shows ? "" : " (but the new title is not in it)");
    if (!shows) failed = true, why = "an edited page lacks its new title";
    latencies.push_back(latency);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the round ends before the next edit
  }

  bool needed_kill = false;
  bool was_alive = alive(pid);
  double peak = stop(pid, &needed_kill);
  std::string err = proc_run::read_file(dir + "/listen.err");
  size_t rounds = 0, errors = 0;
  for (size_t at = 0; at < err.size();) {
    size_t end = err.find('\n', at);
    if (end == std::string::npos) end = err.size();
    std::string line = err.substr(at, end - at);
    if (line.rfind("qilsite: ", 0) == 0 && line.find(" generated") != std::string::npos) rounds += 1;
    if (line.rfind("error:", 0) == 0) errors += 1;
    at = end + 1;
  }

  printf("\n  %-44s %s\n", "figure", "qilsite");
  if (built_s >= 0) printf("  %-44s %.2f s (%.0f pages/s)\n", "first build, all pages on disk", built_s, docs / built_s);
  if (settled_s >= 0) printf("  %-44s %.2f s\n", "CPU quiet after", settled_s);
  else if (built_s >= 0 && !failed) printf("  %-44s never within %.0f s\n", "CPU quiet after", kSettleLimitS);
  if (build_cpu > 0) {
    printf("  %-44s %.2f s\n", settled_s >= 0 ? "CPU time up to the quiet point" : "CPU time up to the idle window",
           build_cpu);
  }
  if (rss_after_build > 0) {
    printf("  %-44s %.1f MiB after the build, %.1f MiB after idling\n", "resident memory", rss_after_build,
           rss_after_idle);
  }
  if (idle_pct >= 0) printf("  %-44s %.2f %% of one core\n", "idle CPU over 10 s", idle_pct);
  if (!latencies.empty()) {
    printf("  %-44s %.0f ms (min %.0f, max %.0f, %zu edits)\n", "edit to page changed, median",
           proc_run::median(latencies) * 1000, *std::min_element(latencies.begin(), latencies.end()) * 1000,
           *std::max_element(latencies.begin(), latencies.end()) * 1000, latencies.size());
  }
  printf("  %-44s %.1f MiB\n", "peak resident memory", peak);
  printf("  %-44s %zu summary lines, %zu errors on standard error\n", "qilsite printed", rounds, errors);
  if (!was_alive) printf("  qilsite had ended before it was stopped\n");
  else if (needed_kill) printf("  qilsite ignored SIGTERM for 3 s and was killed\n");
  if (failed) printf("FAILED: %s\n%s\n", why.c_str(), proc_run::tail(err).c_str());
  proc_run::remove_tree(dir);
  return failed ? 1 : 0;
}
