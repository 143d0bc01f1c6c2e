#include "test_support.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>

#include "driver/driver_fs.h"
#include "os/os_core.h"

namespace {

ThreadContext main_ctx;
Arena *per_test_arena;
FileService *file_service;

struct MainThreadEnvironment : ::testing::Environment {
  void SetUp() override {
    main_ctx = thread_context_create();
    main_ctx.is_main_thread = 1;
    thread_context_set(&main_ctx);
    os_process_init();
    file_service = fs_start();
  }
};

struct ArenaListener : ::testing::EmptyTestEventListener {
  void OnTestEnd(const ::testing::TestInfo &) override {
    if (per_test_arena) arena_release(per_test_arena);
    per_test_arena = 0;
  }
};

struct Registrar {
  Registrar() {
    ::testing::AddGlobalTestEnvironment(new MainThreadEnvironment);
  }
} registrar;

}  // namespace

FileService *
test_files() {
  return file_service;
}

Arena *
test_arena() {
  static bool listening = false;
  if (!listening) {
    ::testing::UnitTest::GetInstance()->listeners().Append(new ArenaListener);
    listening = true;
  }
  if (!per_test_arena) per_test_arena = arena_create_sized(MB(64), KB(64));
  return per_test_arena;
}

std::string
read_all(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string>
list_strings(const StrList &list) {
  std::vector<std::string> out;
  for (StrNode *n = list.first; n; n = n->next) out.push_back(ss(n->string));
  return out;
}

TempDir::TempDir() {
  char tmpl[] = "/tmp/qilsite-test-XXXXXX";
  char *p = mkdtemp(tmpl);
  path = p ? p : "/tmp";
}

TempDir::~TempDir() {
  std::string cmd = "chmod -R u+rwx '" + path + "' 2>/dev/null; rm -rf '" + path + "'";
  if (system(cmd.c_str()) != 0) {
  }
}

std::string
TempDir::file(const std::string &rel, const std::string &content) const {
  std::string full = path + "/" + rel;
  std::filesystem::create_directories(std::filesystem::path(full).parent_path());
  std::ofstream f(full, std::ios::binary);
  f << content;
  return full;
}

//~ Processes

namespace {

std::string
temp_file(const char *kind) {
  std::string name = std::string("/tmp/qilsite-") + kind + "-XXXXXX";
  int fd = mkstemp(name.data());
  if (fd < 0) return "";
  close(fd);
  return name;
}

// Starts argv with its output going to the two files; the pid, or -1.
int
spawn(const std::vector<std::string> &argv, const std::string &cwd, const std::string &out, const std::string &err,
      const std::vector<std::string> &extra_env) {
  std::vector<char *> args;
  for (const std::string &a : argv) args.push_back((char *)a.c_str());
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_TRUNC, 0);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_TRUNC, 0);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  // A group of its own, so stopping it also stops whatever it started.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attr, 0);
  pid_t pid = -1;
  std::vector<char *> env;
  for (char **e = environ; *e; e += 1) env.push_back(*e);
  for (const std::string &e : extra_env) env.push_back((char *)e.c_str());
  env.push_back(nullptr);
  int rc = posix_spawnp(&pid, args[0], &actions, &attr, args.data(), env.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

}  // namespace

bool
wait_until(const std::function<bool()> &done, double limit_s) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(limit_s);
  // Short polls first so the fast path stays fast, then no busier than 50 times a second.
  int pause_us = 500;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return done();
    usleep(pause_us);
    pause_us = std::min(pause_us * 2, 20000);
  }
}

Background::Background(const std::vector<std::string> &argv, const std::string &cwd,
                       const std::vector<std::string> &env) {
  out_path_ = temp_file("out");
  err_path_ = temp_file("err");
  pid_ = argv.empty() ? -1 : spawn(argv, cwd, out_path_, err_path_, env);
  ended_ = pid_ < 0;
}

Background::~Background() {
  stop(2);
  unlink(out_path_.c_str());
  unlink(err_path_.c_str());
}

std::string Background::out() const { return read_all(out_path_); }
std::string Background::err() const { return read_all(err_path_); }

bool
Background::reap(bool block) {
  if (ended_) return true;
  int st = 0;
  pid_t got = waitpid(pid_, &st, block ? 0 : WNOHANG);
  if (got == pid_ || (got < 0 && errno != EINTR)) {
    wait_status_ = got == pid_ ? st : 0;
    ended_ = true;
  }
  return ended_;
}

bool
Background::running() {
  return !reap(false);
}

CommandResult
Background::stop(double grace_s) {
  if (!ended_) {
    kill(-pid_, SIGTERM);
    if (!wait_until([&] { return reap(false); }, grace_s)) {
      kill(-pid_, SIGKILL);
      reap(true);
    }
  }
  CommandResult r = {-1, out(), err(), 0};
  if (pid_ < 0) return r;
  if (WIFEXITED(wait_status_)) r.status = WEXITSTATUS(wait_status_);
  if (WIFSIGNALED(wait_status_)) r.signal = WTERMSIG(wait_status_);
  return r;
}

CommandResult
run_process(const std::vector<std::string> &argv, const std::string &cwd, double limit_s,
            const std::vector<std::string> &env) {
  Background p(argv, cwd, env);
  // Ending by itself is what is waited for; the deadline only stops a hung program.
  wait_until([&] { return !p.running(); }, limit_s);
  return p.stop(0);
}

bool
in_fresh_process() {
  if (getenv("QIL_TEST_FRESH_PROCESS")) return true;
  const ::testing::TestInfo *t = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(t->test_suite_name()) + "." + t->name();
  CommandResult r = run_process({"/proc/self/exe", "--gtest_filter=" + name}, "", 120, {"QIL_TEST_FRESH_PROCESS=1"});
  EXPECT_EQ(r.status, 0) << "the test in a fresh process:\n" << r.out << r.err;
  EXPECT_NE(r.out.find("[  PASSED  ] 1 test."), std::string::npos) << r.out;
  return false;
}

std::string
qilsite_bin() {
  const char *other = getenv("QILSITE_BIN");
  return other && *other ? other : QILSITE_BIN;
}

static std::vector<std::string>
qilsite_argv(const std::vector<std::string> &args) {
  std::vector<std::string> argv = {qilsite_bin()};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

CommandResult
run_qilsite(const std::vector<std::string> &args, const std::string &cwd, double limit_s) {
  return run_process(qilsite_argv(args), cwd, limit_s);
}

Background
start_qilsite(const std::vector<std::string> &args, const std::string &cwd) {
  return Background(qilsite_argv(args), cwd);
}

CommandResult
run_command(const std::string &cmd) {
  return run_process({"/bin/sh", "-c", cmd});
}

void
edit_file(const std::string &path, const std::string &content) {
  struct stat before;
  bool had = stat(path.c_str(), &before) == 0;
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  if (!had) return;
  struct timespec times[2] = {{0, UTIME_OMIT}, before.st_mtim};
  times[1].tv_sec += 1;
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

size_t
count_of(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n += 1;
  return n;
}
