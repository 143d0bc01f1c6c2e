// serve: what the local server answers, that nothing outside the root is reachable, and
// that a change reaches the pages' reload streams; then init and serve from the command
// line, as a new user runs them. Every server here listens on a free loopback port and
// is stopped by the test.
#include <curl/curl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "test_support.h"

#include "serve/serve.h"

namespace {

struct Answer {
  long status = 0;
  std::string type;
  std::string body;
  std::string location;
};

size_t
collect(char *data, size_t size, size_t n, void *out) {
  ((std::string *)out)->append(data, size * n);
  return size * n;
}

// One request, the path sent exactly as given (no folding of ".." by the client).
Answer
request(u16 port, const std::string &path, const char *method = "GET") {
  Answer a;
  CURL *c = curl_easy_init();
  std::string url = "http://127.0.0.1:" + std::to_string(port) + path;
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, method);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &a.body);
  curl_easy_setopt(c, CURLOPT_TIMEOUT, 10L);
  if (curl_easy_perform(c) == CURLE_OK) {
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &a.status);
    char *type = nullptr;
    curl_easy_getinfo(c, CURLINFO_CONTENT_TYPE, &type);
    if (type) a.type = type;
    char *location = nullptr;
    curl_easy_getinfo(c, CURLINFO_REDIRECT_URL, &location);
    if (location) a.location = location;
  }
  curl_easy_cleanup(c);
  return a;
}

// A reload stream read on a thread of its own until `stop` or its limit.
struct Stream {
  std::mutex lock;
  std::string text;
  std::atomic<bool> ended{false};
  std::thread thread;

  Stream(u16 port, const std::string &query) {
    thread = std::thread([this, port, query] {
      CURL *c = curl_easy_init();
      std::string url = "http://127.0.0.1:" + std::to_string(port) + "/.qilsite/events" + query;
      curl_easy_setopt(c, CURLOPT_URL, url.c_str());
      curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, +[](char *d, size_t s, size_t n, void *self) {
        Stream *st = (Stream *)self;
        std::lock_guard<std::mutex> g(st->lock);
        st->text.append(d, s * n);
        return s * n;
      });
      curl_easy_setopt(c, CURLOPT_WRITEDATA, this);
      curl_easy_setopt(c, CURLOPT_TIMEOUT, 20L);
      curl_easy_perform(c);
      curl_easy_cleanup(c);
      ended = true;
    });
  }
  ~Stream() { thread.join(); }
  bool has(const std::string &what) {
    std::lock_guard<std::mutex> g(lock);
    return text.find(what) != std::string::npos;
  }
};

}  // namespace

TEST(Serve, AnswersFromTheRootOnlyAndAddsTheReloadScriptOnTheWayOut) {
  TempDir dir;
  std::string page = "<!DOCTYPE html>\n<html lang=\"en\"><head><title>i</title></head><body><p>home</p></BODY></html>\n";
  dir.file("site/website/index.html", page);
  dir.file("site/style.css", "p{}");
  dir.file("site/img/a.png", std::string("\x89PNG\r\n", 6));
  dir.file("site/sub/index.html", "<p>sub</p>");
  dir.file("site/nodir/x.txt", "x");
  dir.file("site/.hidden", "secret");
  dir.file("secret.txt", "secret");
  ASSERT_EQ(symlink("../secret.txt", (dir.path + "/site/out").c_str()), 0);
  ASSERT_EQ(symlink("..", (dir.path + "/site/outdir").c_str()), 0);
  ASSERT_EQ(symlink("style.css", (dir.path + "/site/in").c_str()), 0);
  ServeServer *server = serve_start(sv(dir.path + "/site"), 0);
  ASSERT_TRUE(server);
  u16 port = serve_port(server);
  ASSERT_NE(port, 0);
  struct Row {
    const char *path;
    long status;
    const char *type;  // prefix
    const char *body;  // contained
  } rows[] = {
      {"/website/index.html", 200, "text/html", "<p>home</p><script>"},
      {"/style.css", 200, "text/css", "p{}"},
      {"/img/a.png", 200, "image/png", "PNG"},
      {"/in", 200, "text/css", "p{}"},  // a link inside the root is followed
      {"/sub/", 200, "text/html", "<p>sub</p><script>"},
      {"/sub", 301, "", ""},
      {"/nodir/", 404, "text/html", "Not found"},
      {"/missing.html", 404, "text/html", "Not found"},
      {"/../secret.txt", 404, "", ""},
      {"/%2e%2e/secret.txt", 404, "", ""},
      {"/sub/%2E%2E/%2e%2e/secret.txt", 404, "", ""},
      {"/sub/..%2f..%2fsecret.txt", 404, "", ""},
      {"/out", 404, "", ""},
      {"/outdir/secret.txt", 404, "", ""},
      {"/.hidden", 404, "", ""},
  };
  for (const Row &row : rows) {
    Answer a = request(port, row.path);
    EXPECT_EQ(a.status, row.status) << row.path;
    EXPECT_EQ(a.type.rfind(row.type, 0), 0u) << row.path << ": " << a.type;
    EXPECT_NE(a.body.find(row.body), std::string::npos) << row.path << ": " << a.body;
    EXPECT_EQ(a.body.find("secret"), std::string::npos) << row.path;
  }
  EXPECT_EQ(request(port, "/sub").location, "http://127.0.0.1:" + std::to_string(port) + "/sub/");
  EXPECT_EQ(request(port, "/style.css", "POST").status, 405);
  EXPECT_EQ(read_all(dir.path + "/site/website/index.html"), page) << "the script is never written to the file";
  serve_stop(server);
}

TEST(Serve, AChangedPageReachesTheStreamsOfThatPageAndAStopEndsThem) {
  TempDir dir;
  std::string a = dir.file("site/website/a.html", "<p>a</p>");
  std::string outside = dir.file("other.html", "<p>o</p>");
  ServeServer *server = serve_start(sv(dir.path + "/site"), 0);
  ASSERT_TRUE(server);
  //- a change made before the stream opened reaches it when it asks from before
  serve_file_changed(server, sv(a));
  serve_file_changed(server, sv(outside));  // not the server's: nobody hears of it
  {
    Stream stream(serve_port(server), "?since=0");
    EXPECT_TRUE(wait_until([&] { return stream.has("data: /website/a.html\n\n"); })) << stream.text;
    std::string b = dir.file("site/b c.html", "<p>b</p>");
    serve_file_changed(server, sv(b));
    EXPECT_TRUE(wait_until([&] { return stream.has("data: /b c.html\n\n"); })) << stream.text;
    EXPECT_FALSE(stream.has("other.html"));
    serve_stop(server);
    EXPECT_TRUE(wait_until([&] { return stream.ended.load(); })) << "a stop ends the streams";
  }
}

// The two commands a new user runs: init writes a site that builds without a word of
// warning, serve builds it and serves it, and an edit of its document reaches the
// stream of the page it makes.
TEST(ServeCli, InitThenServeReloadsTheEditedPage) {
  TempDir dir;
  std::string site = dir.path + "/mysite";
  CommandResult init = run_qilsite({"init", site});
  ASSERT_EQ(init.status, 0) << init.err;
  EXPECT_NE(init.out.find("qilsite serve " + site), std::string::npos) << init.out;
  //- a folder that holds anything is refused, and nothing of it changes
  std::string before = read_all(site + "/src/posts/first-post.qil");
  CommandResult again = run_qilsite({"init", site});
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("not empty"), std::string::npos) << again.err;
  EXPECT_EQ(read_all(site + "/src/posts/first-post.qil"), before);
  //- built with every check: no diagnostic at all
  CommandResult build = run_qilsite({"target_path=" + site + "/src", "root_path=" + site, "local_path=" + site,
                                     "check_file_paths", "strict"});
  EXPECT_EQ(build.status, 0);
  EXPECT_EQ(build.out.find("warning: "), std::string::npos) << build.out;
  EXPECT_EQ(build.out.find("error: "), std::string::npos) << build.out;
  std::string index = read_all(site + "/website/index.html");
  EXPECT_NE(index.find("<ul id=\"zo-l-posts\"><li><a href=\"posts/first-post.html\" >My first post</a></li></ul>"),
            std::string::npos)
      << index;
  EXPECT_EQ(index.find("draft"), std::string::npos);

  Background serve = start_qilsite({"serve", site, "port=0"});
  ASSERT_TRUE(wait_until([&] { return serve.out().find("http://127.0.0.1:") != std::string::npos; }))
      << serve.out() << serve.err();
  std::string out = serve.out();
  u16 port = (u16)std::stoi(out.substr(out.find("http://127.0.0.1:") + 17));
  Answer page = request(port, "/website/posts/first-post.html");
  ASSERT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("My first post"), std::string::npos);
  {
    Stream stream(port, "?since=0");
    ASSERT_TRUE(wait_until([&] { return stream.has(": ready"); }));
    edit_file(site + "/src/posts/first-post.qil",
              std::string(before).replace(before.find("My first post"), 13, "My edited post"));
    EXPECT_TRUE(wait_until([&] { return stream.has("data: /website/posts/first-post.html\n\n"); })) << stream.text;
    EXPECT_NE(request(port, "/website/posts/first-post.html").body.find("My edited post"), std::string::npos);
    serve.stop();
  }
}
