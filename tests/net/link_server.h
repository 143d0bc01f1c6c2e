// Starts tests/net/link_server.py on loopback for the link checker's tests and benchmark.
// No GoogleTest here, so the benchmark can build it too.
#pragma once

#include <sys/types.h>

#include <string>

struct LinkServerOptions {
  int delay_ms = 0;        // every answer waits this long
  int lifetime_s = 60;     // the server exits by itself after this
  int max_requests = 100000;
};

struct LinkServer {
  int https_port = 0, http_port = 0;
  int silent_port = 0;   // accepts connections, never answers
  int stalled_port = 0;  // never completes a connection (a full accept queue)
  std::string dir;      // temporary folder with the certificate; removed by the destructor
  std::string ca_file;  // the self-signed certificate qilsite is told to trust
  std::string error;    // why the server did not start; empty when it runs

  explicit LinkServer(const LinkServerOptions &options = LinkServerOptions());
  ~LinkServer();
  LinkServer(const LinkServer &) = delete;
  LinkServer &operator=(const LinkServer &) = delete;

  bool ok() const { return error.empty(); }
  std::string https(const std::string &path) const;  // "https://127.0.0.1:<https_port><path>"
  std::string http(const std::string &path) const;

  // GET of a path on the plain-HTTP port; the body, or "" when it fails.
  std::string get(const std::string &path) const;
  std::string stats() const { return get("/stats"); }
  // Requests received for this exact path+query, any method (-1 when /stats fails);
  // with scheme "http" or "https", on that port only.
  int count(const std::string &path_query, const std::string &scheme = "") const;
  int total_requests() const;
  // The last POST to /consent as received: request line, headers, blank line, body.
  std::string consent_record() const { return get("/consent-record"); }
  void stop();

 private:
  pid_t pid_ = -1;
  int stdin_fd_ = -1;  // closing it tells the server to exit
};

// A loopback port that refuses connections: bound, then closed again.
int link_refused_port();
