// Shared helpers for the tests: a main-thread context and small conversions.
#pragma once

#include <gtest/gtest.h>

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

// Runs a command and captures its standard output (and exit status).
struct CommandResult {
  int status;
  std::string out;
  std::string err;
};
CommandResult run_command(const std::string &cmd);
