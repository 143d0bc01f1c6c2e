// Link checking at scale: one page of 10,000 web links, first all on one host, then spread
// over 200 hosts (the loopback addresses 127.0.0.1 to 127.0.0.200), answered by a C++
// keep-alive server in this process so that the server is never what is measured. Every
// 50th address answers 404, the others 200. qilsite runs with retries on and the link
// cache off, beside linkinator and hyperlink when they are installed; then with a warm
// cache, whose runs should send no request for a good link.
// Prints medians of 3 runs, each tool's time against the fastest, qilsite's peak resident
// size and the requests the server received.
//
//   bench_linkcheck_scale [path/to/qilsite]   (default: $QILSITE_BIN, or the qilsite next to this binary)
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <atomic>
#include <map>
#include <memory>

#include "proc_run.h"

namespace {

const int kLinks = 10000;
const int kHosts = 200;
const int kBrokenEvery = 50;
const int kRuns = 3;
const double kServerLifetimeS = 1200;  // the server closes by itself after this, whatever happens

//~ The server: one thread, epoll, HTTP/1.1 keep-alive, GET and HEAD

struct FarmServer {
  int port = 0;
  std::vector<int> listeners;
  int epoll_fd = -1;
  std::atomic<bool> stop{false};
  std::atomic<long> good{0}, broken{0}, pages{0};
  std::map<std::string, std::string> page_bodies;  // "/page/N" -> body; set before start()
  std::thread thread;
  std::string error;

  struct Conn {
    int fd;
    std::string in, out;
    bool close_after = false;
  };
  std::map<int, std::unique_ptr<Conn>> conns;

  // Binds 127.0.0.1 to 127.0.0.<hosts> on one port (another port when one is taken).
  bool listen_on(int hosts) {
    for (int attempt = 0; attempt < 20; attempt += 1) {
      for (int fd : listeners) close(fd);
      listeners.clear();
      port = 0;
      bool ok = true;
      for (int h = 1; h <= hosts && ok; h += 1) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(0x7F000000u | (unsigned)h);
        a.sin_port = htons((uint16_t)port);
        ok = fd >= 0 && bind(fd, (sockaddr *)&a, sizeof a) == 0 && listen(fd, 1024) == 0;
        if (ok && port == 0) {
          socklen_t len = sizeof a;
          getsockname(fd, (sockaddr *)&a, &len);
          port = ntohs(a.sin_port);
        }
        if (fd >= 0) listeners.push_back(fd);
      }
      if (ok) return true;
    }
    error = "cannot bind the loopback addresses";
    return false;
  }

  // After listen_on() and the pages: the thread reads them from then on.
  void start() {
    epoll_fd = epoll_create1(0);
    for (int fd : listeners) {
      epoll_event e = {};
      e.events = EPOLLIN;
      e.data.fd = fd;
      epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &e);
    }
    thread = std::thread([this] { serve(); });
  }

  ~FarmServer() {
    stop = true;
    if (thread.joinable()) thread.join();
    for (auto &kv : conns) close(kv.first);
    for (int fd : listeners) close(fd);
    if (epoll_fd >= 0) close(epoll_fd);
  }

  bool is_listener(int fd) const { return std::find(listeners.begin(), listeners.end(), fd) != listeners.end(); }

  void drop(int fd) {
    epoll_ctl(epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
    close(fd);
    conns.erase(fd);
  }

  void serve() {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(kServerLifetimeS);
    epoll_event events[256];
    while (!stop && std::chrono::steady_clock::now() < end) {
      int n = epoll_wait(epoll_fd, events, 256, 50);
      for (int i = 0; i < n; i += 1) {
        int fd = events[i].data.fd;
        if (is_listener(fd)) {
          for (int c; (c = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK)) >= 0;) {
            epoll_event e = {};
            e.events = EPOLLIN;
            e.data.fd = c;
            epoll_ctl(epoll_fd, EPOLL_CTL_ADD, c, &e);
            conns[c] = std::make_unique<Conn>(Conn{c, "", ""});
          }
          continue;
        }
        auto it = conns.find(fd);
        if (it == conns.end()) continue;
        if (!pump(*it->second)) drop(fd);
      }
    }
  }

  // Reads what came, answers every whole request, writes what it can; false: close it.
  bool pump(Conn &c) {
    char buf[16384];
    for (;;) {
      ssize_t r = read(c.fd, buf, sizeof buf);
      if (r > 0) {
        c.in.append(buf, (size_t)r);
        continue;
      }
      if (r == 0) return false;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      return false;
    }
    for (size_t end; (end = c.in.find("\r\n\r\n")) != std::string::npos;) {
      answer(c, c.in.substr(0, end));
      c.in.erase(0, end + 4);
    }
    while (!c.out.empty()) {
      ssize_t w = write(c.fd, c.out.data(), c.out.size());
      if (w <= 0) break;
      c.out.erase(0, (size_t)w);
    }
    epoll_event e = {};
    e.events = c.out.empty() ? (uint32_t)EPOLLIN : (uint32_t)(EPOLLIN | EPOLLOUT);
    e.data.fd = c.fd;
    epoll_ctl(epoll_fd, EPOLL_CTL_MOD, c.fd, &e);
    return !(c.out.empty() && c.close_after);
  }

  void answer(Conn &c, const std::string &head) {
    size_t sp = head.find(' ');
    std::string method = head.substr(0, sp);
    std::string path = sp == std::string::npos ? "" : head.substr(sp + 1, head.find(' ', sp + 1) - sp - 1);
    std::string lower = head;
    for (char &ch : lower) ch = (char)tolower((unsigned char)ch);
    if (lower.find("\r\nconnection: close") != std::string::npos) c.close_after = true;
    int status = 404;
    std::string body;
    auto page = page_bodies.find(path);
    if (page != page_bodies.end()) {
      pages += 1;
      status = 200;
      body = page->second;
    } else if (path.rfind("/l/", 0) == 0) {
      bool bad = atoi(path.c_str() + 3) % kBrokenEvery == 0;
      (bad ? broken : good) += 1;
      status = bad ? 404 : 200;
      body = bad ? "gone" : "ok";
    }
    c.out += std::string("HTTP/1.1 ") + (status == 200 ? "200 OK" : "404 Not Found") +
             "\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    if (method != "HEAD") c.out += body;
  }

  long link_requests() const { return good + broken; }
};

//~ The page and the tools

std::string
link_url(const FarmServer &s, int i, int hosts) {
  int host = 1 + i % hosts;
  return "http://127.0.0." + std::to_string(host) + ":" + std::to_string(s.port) + "/l/" + std::to_string(i);
}

std::string
farm_page(const FarmServer &s, int hosts) {
  std::string page = "<!DOCTYPE html>\n<html lang=\"en\">\n<head><title>Farm</title></head>\n<body>\n";
  for (int i = 0; i < kLinks; i += 1) {
    page += "<p><a href=\"" + link_url(s, i, hosts) + "\">" + std::to_string(i) + "</a></p>\n";
  }
  return page + "</body>\n</html>\n";
}

int
expected_broken() {
  int n = 0;
  for (int i = 0; i < kLinks; i += 1) n += i % kBrokenEvery == 0;
  return n;
}

// One tool's runs on one scenario.
struct Tool {
  std::string name;
  proc_run::Figures figures;
  std::vector<long> requests;
  std::string skipped;  // why it did not run
};

void
print_tools(const std::vector<Tool> &tools) {
  double fastest = 0;
  for (const Tool &t : tools) {
    if (!t.figures.empty() && (fastest == 0 || t.figures.wall_s() < fastest)) fastest = t.figures.wall_s();
  }
  printf("  %-12s %9s %9s %9s %10s %10s %9s\n", "tool", "wall s", "CPU s", "peak MiB", "links/s", "requests", "x fastest");
  for (const Tool &t : tools) {
    if (t.figures.empty()) {
      printf("  %-12s %s\n", t.name.c_str(), t.skipped.c_str());
      continue;
    }
    std::vector<double> req(t.requests.begin(), t.requests.end());
    printf("  %-12s %9.3f %9.3f %9.1f %10.0f %10.0f %9.2f\n", t.name.c_str(), t.figures.wall_s(), t.figures.cpu_s(),
           t.figures.peak_mib(), kLinks / t.figures.wall_s(), proc_run::median(req), t.figures.wall_s() / fastest);
  }
  //- qilsite against the fastest of the others that fetched the links
  const Tool *peer = nullptr;
  for (size_t i = 1; i < tools.size(); i += 1) {
    const Tool &t = tools[i];
    if (t.figures.empty() || t.requests.empty() || t.requests[0] == 0) continue;
    if (!peer || t.figures.wall_s() < peer->figures.wall_s()) peer = &t;
  }
  if (peer && !tools[0].figures.empty()) {
    printf("  qilsite / fastest peer (%s): time x%.3f, peak memory x%.3f\n", peer->name.c_str(),
           tools[0].figures.wall_s() / peer->figures.wall_s(), tools[0].figures.peak_mib() / peer->figures.peak_mib());
  } else {
    printf("  no peer ran: no ratio\n");
  }
}

std::vector<std::string>
qilsite_args(const std::string &qilsite, const std::string &dir, const std::string &cache) {
  return {qilsite, "target_path=" + dir + "/site", "root_path=" + dir, "check_urls", "consent_url=off", "retries=2",
          "cache=" + cache};
}

// qilsite's report must list every link and exactly the broken ones.
bool
qilsite_complete(const proc_run::Run &r) {
  size_t broken = 0;
  for (size_t at = r.out.find(" broken\n"); at != std::string::npos; at = r.out.find(" broken\n", at + 1)) broken += 1;
  return r.started && !r.timed_out && r.status == 0 &&
         r.out.find("link checked: " + std::to_string(kLinks) + ":") != std::string::npos &&
         broken == (size_t)expected_broken();
}

void
run_qilsite_cold(Tool &t, FarmServer &server, const std::string &qilsite, const std::string &page, bool *failed) {
  for (int i = 0; i < kRuns; i += 1) {
    std::string dir = proc_run::temp_dir("qilsite-scale");
    proc_run::make_dirs(dir + "/site");
    proc_run::write_file(dir + "/site/farm.html", page);
    long before = server.link_requests();
    proc_run::Run r = proc_run::run(qilsite_args(qilsite, dir, "off"), dir, 120);
    long requests = server.link_requests() - before;
    if (!qilsite_complete(r)) {
      printf("  qilsite run %d FAILED: exit %d%s\n%s%s\n", i + 1, r.status, r.timed_out ? " (timed out)" : "",
             proc_run::tail(r.out).c_str(), proc_run::tail(r.err).c_str());
      *failed = true;
    } else {
      t.figures.add(r);
      t.requests.push_back(requests);
    }
    proc_run::remove_tree(dir);
  }
}

// A warm cache: one run fills it, then the runs measured ask again only for broken links.
void
run_qilsite_warm(FarmServer &server, const std::string &qilsite, const std::string &page, bool *failed) {
  std::string dir = proc_run::temp_dir("qilsite-scale");
  proc_run::make_dirs(dir + "/site");
  proc_run::write_file(dir + "/site/farm.html", page);
  proc_run::Run first = proc_run::run(qilsite_args(qilsite, dir, "on"), dir, 120);
  if (!qilsite_complete(first)) {
    printf("  qilsite warm-up FAILED: exit %d\n%s\n", first.status, proc_run::tail(first.err).c_str());
    *failed = true;
    proc_run::remove_tree(dir);
    return;
  }
  proc_run::Figures warm;
  std::vector<double> good, broken;
  for (int i = 0; i < kRuns; i += 1) {
    long good_before = server.good, broken_before = server.broken;
    proc_run::Run r = proc_run::run(qilsite_args(qilsite, dir, "on"), dir, 120);
    if (!qilsite_complete(r)) {
      printf("  qilsite warm run %d FAILED: exit %d\n%s\n", i + 1, r.status, proc_run::tail(r.err).c_str());
      *failed = true;
      continue;
    }
    warm.add(r);
    good.push_back((double)(server.good - good_before));
    broken.push_back((double)(server.broken - broken_before));
  }
  if (!warm.empty()) {
    printf("  qilsite, warm cache: %.3f s (target < 0.2 s), CPU %.3f s, peak %.1f MiB; the server received %.0f "
           "requests for good links (target 0) and %.0f for the broken ones (always asked again)\n",
           warm.wall_s(), warm.cpu_s(), warm.peak_mib(), proc_run::median(good), proc_run::median(broken));
  }
  proc_run::remove_tree(dir);
}

void
run_linkinator(Tool &t, FarmServer &server, const std::string &page_path) {
  if (!proc_run::have_tool("linkinator")) {
    t.skipped = "not installed: skipped (npm install -g linkinator@7.6.1)";
    return;
  }
  std::string url = "http://127.0.0.1:" + std::to_string(server.port) + page_path;
  for (int i = 0; i < kRuns; i += 1) {
    std::string dir = proc_run::temp_dir("qilsite-scale");
    long before = server.link_requests();
    proc_run::Run r = proc_run::run({"linkinator", url, "--format", "json", "--concurrency", "100", "--retry",
                                     "--retry-errors", "--retry-errors-count", "2"},
                                    dir, 300);
    long requests = server.link_requests() - before;
    size_t states = 0, broken = 0;
    for (size_t at = r.out.find("\"state\": "); at != std::string::npos; at = r.out.find("\"state\": ", at + 1)) states += 1;
    for (size_t at = r.out.find("\"BROKEN\""); at != std::string::npos; at = r.out.find("\"BROKEN\"", at + 1)) broken += 1;
    // It exits 1 when it finds broken links, as it must here; it reports the page too.
    if (!r.started || r.timed_out || states != (size_t)kLinks + 1 || broken != (size_t)expected_broken()) {
      printf("  linkinator run %d did not finish: exit %d, %zu links, %zu broken\n%s\n", i + 1, r.status, states,
             broken, proc_run::tail(r.err).c_str());
    } else {
      t.figures.add(r);
      t.requests.push_back(requests);
    }
    proc_run::remove_tree(dir);
  }
}

// hyperlink checks the links between the files of a built site; it fetches no web address,
// so on a page of web links it has nothing to do. It runs when installed, for its own time.
void
run_hyperlink(Tool &t, const std::string &page) {
  if (!proc_run::have_tool("hyperlink")) {
    t.skipped = "not installed: skipped (npm install -g @untitaker/hyperlink; its installer fetches a binary)";
    return;
  }
  for (int i = 0; i < kRuns; i += 1) {
    std::string dir = proc_run::temp_dir("qilsite-scale");
    proc_run::make_dirs(dir + "/site");
    proc_run::write_file(dir + "/site/farm.html", page);
    proc_run::Run r = proc_run::run({"hyperlink", dir + "/site"}, dir, 300);
    if (r.started && !r.timed_out && r.status >= 0) t.figures.add(r);
    t.requests.push_back(0);
    proc_run::remove_tree(dir);
  }
  t.name += " (*)";
  t.skipped = "(*) checks local links only: no web address is fetched";
}

}  // namespace

int
main(int argc, char **argv) {
  signal(SIGPIPE, SIG_IGN);
  std::string qilsite = proc_run::qilsite_path(argc, argv);
  if (access(qilsite.c_str(), X_OK) != 0) {
    fprintf(stderr, "bench_linkcheck_scale: no qilsite at %s (give its path as the argument)\n", qilsite.c_str());
    return 1;
  }
  FarmServer server;
  if (!server.listen_on(kHosts)) {
    fprintf(stderr, "bench_linkcheck_scale: %s\n", server.error.c_str());
    return 1;
  }
  for (int hosts : {1, kHosts}) server.page_bodies["/page/" + std::to_string(hosts)] = farm_page(server, hosts);
  server.start();
  bool failed = false;
  for (int hosts : {1, kHosts}) {
    std::string page_path = "/page/" + std::to_string(hosts);
    const std::string &page = server.page_bodies[page_path];
    printf("== %d links on %d %s, %d answer 404, retries=2, cache off; medians of %d\n", kLinks, hosts,
           hosts == 1 ? "host" : "hosts", expected_broken(), kRuns);
    std::vector<Tool> tools(3);
    tools[0].name = "qilsite";
    tools[1].name = "linkinator";
    tools[2].name = "hyperlink";
    run_qilsite_cold(tools[0], server, qilsite, page, &failed);
    run_linkinator(tools[1], server, page_path);
    run_hyperlink(tools[2], page);
    print_tools(tools);
    if (!tools[2].figures.empty()) printf("  %s\n", tools[2].skipped.c_str());
    if (!tools[0].figures.empty()) {
      printf("  qilsite peak resident size %.1f MiB (target < 64 MiB)\n", tools[0].figures.peak_mib());
    }
    run_qilsite_warm(server, qilsite, page, &failed);
  }
  return failed ? 1 : 0;
}
