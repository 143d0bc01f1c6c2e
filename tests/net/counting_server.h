// A small loopback HTTP server for tests: paths given a body and "/ok..." answer 200,
// anything else 404, each after a short delay; requests are counted per path. It stops
// with the test.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct CountingServer {
  int listener = -1;
  int port = 0;
  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::map<std::string, int> counts;
  std::map<std::string, std::string> bodies;  // paths answered 200 with these bodies (set under `mutex`)
  std::vector<std::thread> threads;
  std::thread acceptor;

  CountingServer() {
    listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, (sockaddr *)&addr, sizeof addr);
    listen(listener, 128);
    socklen_t len = sizeof addr;
    getsockname(listener, (sockaddr *)&addr, &len);
    port = ntohs(addr.sin_port);
    acceptor = std::thread([this] { serve(); });
  }
  ~CountingServer() {
    stop = true;
    acceptor.join();
    for (std::thread &t : threads) t.join();
    close(listener);
  }
  void serve() {
    while (!stop) {
      pollfd p = {listener, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      int c = accept(listener, 0, 0);
      if (c < 0) continue;
      threads.emplace_back([this, c] { answer(c); });
    }
  }
  void answer(int c) {
    std::string request;
    char buf[4096];
    for (int rounds = 0; request.find("\r\n\r\n") == std::string::npos && rounds < 100; rounds += 1) {
      pollfd p = {c, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      ssize_t n = read(c, buf, sizeof buf);
      if (n <= 0) break;
      request.append(buf, n);
    }
    size_t sp = request.find(' ');
    std::string path = sp == std::string::npos ? "" : request.substr(sp + 1, request.find(' ', sp + 1) - sp - 1);
    {
      std::lock_guard<std::mutex> g(mutex);
      counts[path] += 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::string body;
    bool given = false;
    {
      std::lock_guard<std::mutex> g(mutex);
      auto it = bodies.find(path);
      if (it != bodies.end()) {
        given = true;
        body = it->second;
      }
    }
    bool ok = given || path.rfind("/ok", 0) == 0;
    if (!given) body = ok ? "ok" : "";
    std::string response = (ok ? std::string("HTTP/1.1 200 OK\r\n") : std::string("HTTP/1.1 404 Not Found\r\n")) +
                           "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    for (size_t sent = 0; sent < response.size();) {
      ssize_t w = write(c, response.data() + sent, response.size() - sent);
      if (w <= 0) break;
      sent += (size_t)w;
    }
    close(c);
  }
  int count(const std::string &path) {
    std::lock_guard<std::mutex> g(mutex);
    return counts.count(path) ? counts[path] : 0;
  }
  int total() {
    std::lock_guard<std::mutex> g(mutex);
    int n = 0;
    for (auto &kv : counts) n += kv.second;
    return n;
  }
};

