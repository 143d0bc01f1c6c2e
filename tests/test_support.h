// Shared helpers for the tests: a main-thread context and small conversions.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "base/base_strings.h"

inline StrView sv(const std::string &s) { return str_make((u8 *)s.data(), s.size()); }
inline std::string ss(StrView s) { return std::string((const char *)s.data, s.length); }

std::vector<std::string> list_strings(const StrList &list);
Arena *test_arena();  // a fresh arena per test, released by the fixture environment
struct FileService;
FileService *test_files();  // the process's one file service, started before the tests

// A temporary folder removed at the end of the test.
struct TempDir {
  std::string path;  // without a trailing slash
  TempDir();
  ~TempDir();
  std::string file(const std::string &rel, const std::string &content) const;
};

// The whole file, or "" when it cannot be read.
std::string read_all(const std::string &path);

//~ Processes
// Everything here runs programs without a shell (argv[0] is looked up in PATH), with
// standard input from /dev/null and standard output and error captured in files.

// How a process ended and what it wrote. `status` is the exit status, or -1 when a
// signal ended it (`signal` says which) or it could not be started.
struct CommandResult {
  int status;
  std::string out;
  std::string err;
  int signal;
};

// Runs argv in `cwd` (when given) to its end; one still running after `limit_s` is
// killed, so a hung program fails its test instead of hanging the suite.
// `env` adds NAME=VALUE entries to the environment.
CommandResult run_process(const std::vector<std::string> &argv, const std::string &cwd = "", double limit_s = 60,
                          const std::vector<std::string> &env = {});
// The qilsite binary (the QILSITE_BIN environment variable overrides the built one,
// to check that a test fails against an older build).
std::string qilsite_bin();
CommandResult run_qilsite(const std::vector<std::string> &args, const std::string &cwd = "", double limit_s = 60);
// A shell command line, for tools such as ls or touch; qilsite goes through run_qilsite.
CommandResult run_command(const std::string &cmd);

// A process running in the background (in a process group of its own) while the test
// works; stopped and waited for by stop() or at the latest by the destructor.
class Background {
 public:
  explicit Background(const std::vector<std::string> &argv, const std::string &cwd = "",
                      const std::vector<std::string> &env = {});
  ~Background();
  Background(const Background &) = delete;
  Background &operator=(const Background &) = delete;
  std::string out() const;  // what it has written so far
  std::string err() const;
  bool running();           // false once it has ended (or never started)
  int pid() const { return pid_; }  // also its process group
  // SIGTERM to its group, SIGKILL when it has not ended after `grace_s`; then its end
  // and everything it wrote.
  CommandResult stop(double grace_s = 10);

 private:
  bool reap(bool block);
  int pid_ = -1;
  int wait_status_ = 0;
  bool ended_ = false;
  std::string out_path_, err_path_;
};
Background start_qilsite(const std::vector<std::string> &args, const std::string &cwd = "");

// For a test that needs state of its own in this process (the registry's count, the
// scanner's notifications): false in the test program as run, where it runs the test in
// a fresh copy of the program and reports that copy's failures as its own; true in that
// copy, which goes on with the test.
bool in_fresh_process();

//~ Waiting
// Generous by default: the machines that run the suite may be slow, loaded or running
// a sanitizer; the wait ends as soon as the condition holds.
constexpr double WAIT_LIMIT_S = 10;
// Polls `done` until it holds (true) or `limit_s` has passed (false).
bool wait_until(const std::function<bool()> &done, double limit_s = WAIT_LIMIT_S);

// Writes the file anew and sets its time one second past the one it had, so a program
// watching it sees the edit even when the size and the clock's tick stay the same.
void edit_file(const std::string &path, const std::string &content);
// How many times `what` occurs in `text`, overlaps included.
size_t count_of(const std::string &text, const std::string &what);
