// Whole-process measurement for the site benchmarks: runs a program with fork/exec and reads
// its wall time, CPU time and peak resident size from wait4 (which covers the threads and the
// children it waited for), plus the small file and table helpers those benchmarks share.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace proc_run {

struct Run {
  bool started = false, timed_out = false;
  int status = -1;  // exit status, or -1 when killed by a signal
  double wall_s = 0, cpu_s = 0, peak_mib = 0;
  std::string out, err;
};

inline std::string
read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool
write_file(const std::string &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return (bool)out;
}

inline bool
make_dirs(const std::string &path) {
  std::string cmd = "mkdir -p '" + path + "'";
  return system(cmd.c_str()) == 0;
}

inline void
remove_tree(const std::string &path) {
  if (path.size() < 6 || path.find("/tmp") == std::string::npos) return;  // never outside a temporary folder
  std::string cmd = "rm -rf '" + path + "'";
  if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", path.c_str());
}

// A fresh folder under $TMPDIR (or /tmp).
inline std::string
temp_dir(const char *tag) {
  const char *base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/" + tag + "-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back(0);
  if (!mkdtemp(buf.data())) return "";
  return buf.data();
}

inline bool
have_tool(const char *name) {
  std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
  return system(cmd.c_str()) == 0;
}

// Regular files in dir whose names end with suffix (not recursive).
inline size_t
count_files(const std::string &dir, const std::string &suffix, const std::string &prefix = "") {
  DIR *d = opendir(dir.c_str());
  if (!d) return 0;
  size_t n = 0;
  while (struct dirent *e = readdir(d)) {
    std::string name = e->d_name;
    if (name.size() < suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) continue;
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    n += 1;
  }
  closedir(d);
  return n;
}

inline size_t
count_files_deep(const std::string &dir, const std::string &name) {
  std::string cmd = "find '" + dir + "' -type f -name '" + name + "' | wc -l";
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return 0;
  size_t n = 0;
  if (fscanf(p, "%zu", &n) != 1) n = 0;
  pclose(p);
  return n;
}

// Runs args (cwd unchanged) with its output in files under dir; times out after limit_s.
inline Run
run(const std::vector<std::string> &args, const std::string &dir, double limit_s = 600) {
  Run r;
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
    execvp(argv[0], argv.data());
    _exit(127);
  }
  r.started = true;
  int st = 0;
  struct rusage ru = {};
  auto deadline = t0 + std::chrono::duration<double>(limit_s);
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
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  r.wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  r.cpu_s = (double)ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
  r.peak_mib = (double)ru.ru_maxrss / 1024.0;
  r.out = read_file(out_path);
  r.err = read_file(err_path);
  return r;
}

inline double
median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Median figures of several runs of one tool on one input.
struct Figures {
  std::vector<double> wall, cpu, peak;
  bool empty() const { return wall.empty(); }
  void add(const Run &r) {
    wall.push_back(r.wall_s);
    cpu.push_back(r.cpu_s);
    peak.push_back(r.peak_mib);
  }
  double wall_s() const { return median(wall); }
  double cpu_s() const { return median(cpu); }
  double peak_mib() const { return median(peak); }
};

inline void
print_header(const char *what) {
  printf("  %-28s %10s %10s %8s %12s\n", what, "wall s", "CPU s", "peak MiB", "pages/s");
}

inline void
print_row(const std::string &tool, const Figures &f, size_t pages) {
  if (f.empty()) {
    printf("  %-28s %10s\n", tool.c_str(), "-");
    return;
  }
  printf("  %-28s %10.3f %10.3f %8.1f %12.0f\n", tool.c_str(), f.wall_s(), f.cpu_s(), f.peak_mib(),
         pages / f.wall_s());
}

inline void
print_ratio(const char *ours, const char *theirs, const Figures &a, const Figures &b) {
  if (a.empty() || b.empty()) return;
  printf("  ratio %s/%s: pages/s x%.2f, CPU x%.2f, peak memory x%.2f\n", ours, theirs, b.wall_s() / a.wall_s(),
         a.cpu_s() / b.cpu_s(), a.peak_mib() / b.peak_mib());
}

// The last lines of a tool's output, for a failure report.
inline std::string
tail(const std::string &s, size_t n = 1500) {
  return s.size() <= n ? s : "..." + s.substr(s.size() - n);
}

inline std::string
self_dir() {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "./";
  std::string path(self, (size_t)n);
  return path.substr(0, path.rfind('/') + 1);
}

// The qilsite binary: the argument, $QILSITE_BIN, or the one next to this benchmark.
inline std::string
qilsite_path(int argc, char **argv) {
  if (argc > 1) return argv[1];
  if (const char *env = getenv("QILSITE_BIN")) return env;
  return self_dir() + "qilsite";
}

inline bool
full_run() {
  const char *v = getenv("QIL_BENCH_FULL");
  return v && *v && strcmp(v, "0") != 0;
}

}  // namespace proc_run
