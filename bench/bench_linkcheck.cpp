// Link farm: qilsite's check_urls on one page of 500 distinct addresses served on loopback
// by tests/net/link_server.py, every answer delayed 50 ms; linkinator beside it when installed.
// Prints links/s, the requests the server received and the checker's peak resident size.
//
//   bench_linkcheck [path/to/qilsite]   (default: the qilsite next to this binary, or $QILSITE_BIN)
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

// The bench target builds only bench/*.cpp, so the loopback harness comes in whole.
#include "../tests/net/link_server.cpp"

namespace {

const int kLinks = 500;
const int kDelayMs = 50;
const int kRuns = 3;
const int kChildSeconds = 40;

// The farm's rule, as link_server.py answers /farm/N.
int expected_broken() {
  int n = 0;
  for (int i = 0; i < kLinks; i += 1) n += i % 20 == 0;
  return n;
}
int expected_redirects() {
  int n = 0;
  for (int i = 0; i < kLinks; i += 1) n += i % 20 != 0 && i % 10 == 1;
  return n;
}

struct ChildRun {
  bool started = false, timed_out = false;
  int status = -1;  // exit status, or -1
  double seconds = 0;
  double peak_mib = 0;
  std::string out, err;
};

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs argv with its output in files; wait4 gives this child's own peak resident size.
ChildRun run_child(const std::vector<std::string> &args, const std::string &dir, const std::vector<std::string> &env) {
  ChildRun r;
  std::string out_path = dir + "/child.out", err_path = dir + "/child.err";
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back((char *)a.c_str());
  argv.push_back(nullptr);
  auto t0 = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid < 0) return r;
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    int in = open("/dev/null", O_RDONLY);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    for (const std::string &e : env) putenv((char *)e.c_str());
    execvp(argv[0], argv.data());
    _exit(127);
  }
  r.started = true;
  auto deadline = t0 + std::chrono::seconds(kChildSeconds);
  int st = 0;
  struct rusage ru = {};
  for (;;) {
    pid_t w = wait4(pid, &st, WNOHANG, &ru);
    if (w == pid) break;
    if (w < 0) return r;
    if (std::chrono::steady_clock::now() > deadline) {
      r.timed_out = true;
      kill(pid, SIGKILL);
      wait4(pid, &st, 0, &ru);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  r.peak_mib = (double)ru.ru_maxrss / 1024.0;
  r.out = read_file(out_path);
  r.err = read_file(err_path);
  return r;
}

size_t occurrences(const std::string &s, const std::string &what) {
  size_t n = 0;
  for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) n += 1;
  return n;
}

int stat_int(const std::string &stats, const std::string &key) {
  std::string needle = "\"" + key + "\": ";
  size_t at = stats.find(needle);
  return at == std::string::npos ? -1 : atoi(stats.c_str() + at + needle.size());
}

std::string default_qilsite() {
  if (const char *env = getenv("QILSITE_BIN")) return env;
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "qilsite";
  std::string path(self, (size_t)n);
  return path.substr(0, path.rfind('/') + 1) + "qilsite";
}

struct Figures {
  std::vector<double> rates;
};

void print_run(const char *tool, int i, const ChildRun &r, int requests, int connections, const std::string &checks) {
  printf("%-10s run %d: %6.2f s  %7.1f links/s  requests %d  connections %d  peak RSS %.1f MiB  %s\n", tool, i,
         r.seconds, kLinks / r.seconds, requests, connections, r.peak_mib, checks.c_str());
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
  std::string qilsite = argc > 1 ? argv[1] : default_qilsite();
  if (access(qilsite.c_str(), X_OK) != 0) {
    fprintf(stderr, "bench_linkcheck: no qilsite at %s (give its path as the argument)\n", qilsite.c_str());
    return 1;
  }
  LinkServerOptions options;
  options.delay_ms = kDelayMs;
  options.lifetime_s = 110;  // the whole benchmark stays under two minutes
  options.max_requests = 20000;
  LinkServer server(options);
  if (!server.ok()) {
    fprintf(stderr, "bench_linkcheck: %s\n", server.error.c_str());
    return 1;
  }
  int want_requests = kLinks + expected_redirects();
  printf("link farm: %d distinct https links on one page, %d ms per answer, %d answer 404, %d redirect once;\n"
         "expected %d requests per run (one per address plus one per redirect target)\n",
         kLinks, kDelayMs, expected_broken(), expected_redirects(), want_requests);

  std::string page = "<!DOCTYPE html>\n<html>\n<head><title>Farm</title></head>\n<body>\n";
  for (int i = 0; i < kLinks; i += 1) {
    page += "<p><a href=\"" + server.https("/farm/" + std::to_string(i)) + "\">" + std::to_string(i) + "</a></p>\n";
  }
  page += "</body>\n</html>\n";

  bool failed = false;
  Figures ours, theirs;
  for (int i = 1; i <= kRuns; i += 1) {
    char tmpl[] = "/tmp/qilsite-farm-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    std::string dir = tmpl, page_path = dir + "/page.html";
    std::ofstream(page_path, std::ios::binary) << page;  // fresh each run: qilsite rewrites the page
    std::string before = server.stats();
    ChildRun r = run_child({qilsite, "target_path=" + page_path, "root_path=" + dir, "check_urls", "consent_url=off",
                            "ca_file=" + server.ca_file},
                           dir, {});
    std::string after = server.stats();
    int requests = stat_int(after, "total") - stat_int(before, "total");
    int connections = stat_int(after, "https") - stat_int(before, "https");
    size_t broken = occurrences(r.out, " broken\n"), redirected = occurrences(r.out, " redirected\n");
    bool all = r.out.find("link checked: " + std::to_string(kLinks) + ": ") != std::string::npos;
    std::string checks = "broken " + std::to_string(broken) + ", redirected " + std::to_string(redirected);
    if (!r.started || r.timed_out || r.status != 0 || !all) {
      printf("qilsite    run %d FAILED: %s, exit %d, %s\n%s%s\n", i, r.timed_out ? "timed out" : "ended", r.status,
             all ? "all links queued" : "not all links queued", r.out.substr(0, 2000).c_str(),
             r.err.substr(0, 2000).c_str());
      failed = true;
    } else {
      print_run("qilsite", i, r, requests, connections, checks);
      ours.rates.push_back(kLinks / r.seconds);
      if (requests != want_requests) printf("  note: %d requests, %d expected\n", requests, want_requests);
      if ((int)broken != expected_broken() || redirected != 0) {
        printf("  note: %d broken and no redirected result expected\n", expected_broken());
      }
    }
    std::string rm = "rm -rf '" + dir + "'";
    if (system(rm.c_str()) != 0) {
    }
  }

  if (system("command -v linkinator >/dev/null 2>&1") == 0) {
    for (int i = 1; i <= kRuns; i += 1) {
      char tmpl[] = "/tmp/qilsite-farm-XXXXXX";
      if (!mkdtemp(tmpl)) return 1;
      std::string dir = tmpl;
      std::string before = server.stats();
      // The page comes from the plain-HTTP port; its links are the same HTTPS farm.
      ChildRun r = run_child({"linkinator", server.http("/farm-page?n=" + std::to_string(kLinks)), "--format", "json"},
                             dir, {"NODE_EXTRA_CA_CERTS=" + server.ca_file});
      std::string after = server.stats();
      int requests = stat_int(after, "total") - stat_int(before, "total") - 1;  // less the page itself
      int connections = stat_int(after, "https") - stat_int(before, "https");
      size_t links = occurrences(r.out, "\"state\": ");
      size_t broken = occurrences(r.out, "\"state\": \"BROKEN\"");
      // linkinator exits 1 when it finds broken links, as it must here.
      if (!r.started || r.timed_out || links != (size_t)kLinks + 1) {
        printf("linkinator run %d did not finish: exit %d, %zu links reported\n%s\n", i, r.status, links,
               r.err.substr(0, 2000).c_str());
      } else {
        print_run("linkinator", i, r, requests, connections, "broken " + std::to_string(broken));
        theirs.rates.push_back(kLinks / r.seconds);
      }
      std::string rm = "rm -rf '" + dir + "'";
      if (system(rm.c_str()) != 0) {
      }
    }
  } else {
    printf("linkinator not installed: no comparison (npm install -g linkinator@7.6.1)\n");
  }

  printf("median links/s: qilsite %.1f", median(ours.rates));
  if (!theirs.rates.empty()) printf(", linkinator %.1f", median(theirs.rates));
  printf("\n");
  return failed ? 1 : 0;
}
