#include "test_support.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

CommandResult
run_command(const std::string &cmd) {
  CommandResult r = {};
  char errpath[] = "/tmp/qilsite-err-XXXXXX";
  int fd = mkstemp(errpath);
  if (fd >= 0) close(fd);
  std::string full = cmd + " 2>" + errpath;
  FILE *p = popen(full.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), p)) > 0) r.out.append(buf, n);
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  std::ifstream e(errpath, std::ios::binary);
  r.err.assign(std::istreambuf_iterator<char>(e), std::istreambuf_iterator<char>());
  unlink(errpath);
  return r;
}
