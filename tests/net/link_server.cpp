#include "link_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {

std::string
script_path() {
  // Next to this file; CMake compiles sources by absolute path.
  std::string self = __FILE__;
  size_t slash = self.rfind('/');
  return (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/link_server.py";
}

int
json_int(const std::string &json, const std::string &key) {
  std::string needle = "\"" + key + "\": ";
  size_t at = json.find(needle);
  if (at == std::string::npos) return -1;
  return atoi(json.c_str() + at + needle.size());
}

}  // namespace

LinkServer::LinkServer(const LinkServerOptions &options) {
  char tmpl[] = "/tmp/qilsite-links-XXXXXX";
  if (!mkdtemp(tmpl)) {
    error = "mkdtemp failed";
    return;
  }
  dir = tmpl;
  ca_file = dir + "/cert.pem";
  std::string key = dir + "/key.pem";
  std::string gen = "openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 "
                    "-addext subjectAltName=IP:127.0.0.1,DNS:localhost -days 1 -keyout '" +
                    key + "' -out '" + ca_file + "' >/dev/null 2>&1";
  if (system(gen.c_str()) != 0) {
    error = "openssl could not make the certificate";
    return;
  }

  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) {
    error = "pipe failed";
    return;
  }
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    error = "pipe failed";
    return;
  }
  std::string script = script_path(), lifetime = std::to_string(options.lifetime_s),
              delay = std::to_string(options.delay_ms), max = std::to_string(options.max_requests);
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    // The server dies with the test even when the destructor never runs.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    dup2(in[0], 0);
    dup2(out[1], 1);
    const char *argv[] = {"/usr/bin/python3", script.c_str(), "--cert", ca_file.c_str(), "--key", key.c_str(),
                          "--lifetime", lifetime.c_str(), "--delay", delay.c_str(), "--max-requests",
                          max.c_str(), nullptr};
    execv(argv[0], (char *const *)argv);
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  if (pid < 0) {
    close(in[1]);
    close(out[0]);
    error = "fork failed";
    return;
  }
  pid_ = pid;
  stdin_fd_ = in[1];

  // The ports line, within 10 s.
  std::string line;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (line.find('\n') == std::string::npos) {
    int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                   .count();
    if (left <= 0) break;
    struct pollfd p = {out[0], POLLIN, 0};
    if (poll(&p, 1, left) <= 0) break;
    char buf[256];
    ssize_t n = read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    line.append(buf, (size_t)n);
  }
  close(out[0]);
  https_port = json_int(line, "https");
  http_port = json_int(line, "http");
  silent_port = json_int(line, "silent");
  stalled_port = json_int(line, "stalled");
  if (https_port <= 0 || http_port <= 0 || silent_port <= 0 || stalled_port <= 0) {
    error = "link_server.py did not report its ports: '" + line + "'";
    stop();
  }
}

LinkServer::~LinkServer() {
  stop();
  if (!dir.empty()) {
    std::string rm = "rm -rf '" + dir + "'";
    if (system(rm.c_str()) != 0) {
    }
  }
}

void
LinkServer::stop() {
  if (stdin_fd_ >= 0) close(stdin_fd_);
  stdin_fd_ = -1;
  if (pid_ <= 0) return;
  // EOF on stdin ends it; a kill makes sure within a second.
  for (int i = 0; i < 100; i += 1) {
    int st;
    if (waitpid(pid_, &st, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid_, SIGKILL);
  int st;
  waitpid(pid_, &st, 0);
  pid_ = -1;
}

std::string
LinkServer::https(const std::string &path) const {
  return "https://127.0.0.1:" + std::to_string(https_port) + path;
}

std::string
LinkServer::http(const std::string &path) const {
  return "http://127.0.0.1:" + std::to_string(http_port) + path;
}

std::string
LinkServer::get(const std::string &path) const {
  if (http_port <= 0) return "";
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return "";
  struct timeval tv = {5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons((uint16_t)http_port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string reply;
  if (connect(fd, (struct sockaddr *)&a, sizeof a) == 0) {
    std::string req = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (write(fd, req.data(), req.size()) == (ssize_t)req.size()) {
      char buf[8192];
      ssize_t n;
      while ((n = read(fd, buf, sizeof buf)) > 0) reply.append(buf, (size_t)n);
    }
  }
  close(fd);
  size_t body = reply.find("\r\n\r\n");
  if (reply.compare(0, 12, "HTTP/1.0 200") != 0 && reply.compare(0, 12, "HTTP/1.1 200") != 0) return "";
  return body == std::string::npos ? "" : reply.substr(body + 4);
}

int
LinkServer::count(const std::string &path_query, const std::string &scheme) const {
  std::string s = stats();
  if (s.empty()) return -1;
  std::string object = scheme.empty() ? "\"counts\": {" : "\"schemes\": {";
  size_t begin = s.find(object);
  if (begin == std::string::npos) return -1;
  size_t end = s.find('}', begin);
  std::string key = "\"" + (scheme.empty() ? path_query : scheme + " " + path_query) + "\": ";
  size_t at = s.find(key, begin);
  if (at == std::string::npos || at > end) return 0;
  return atoi(s.c_str() + at + key.size());
}

int
LinkServer::total_requests() const {
  return json_int(stats(), "total");
}

int
link_refused_port() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (bind(fd, (struct sockaddr *)&a, sizeof a) == 0 && getsockname(fd, (struct sockaddr *)&a, &len) == 0) {
    port = ntohs(a.sin_port);
  }
  close(fd);  // never listened on: connections to it are refused
  return port;
}
