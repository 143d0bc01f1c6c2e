// The HTTP client's parsing and the link checker's workers and cache, against a small
// loopback server run by the test itself.
#include "test_support.h"


#include <thread>

#include "net/counting_server.h"
#include "net/net_http.h"
#include "net/net_linkcheck.h"
#include "os/os_core.h"

//~ Status lines and messages

TEST(HttpStatus, LinesClassesAndMessages) {
  HttpStatusLine l = http_parse_status_line(str_lit("  HTTP/1.1 404 Not Found\r\nServer: x\r\n\r\n"));
  EXPECT_EQ(l.status, 404u);
  EXPECT_EQ(ss(l.version), "1.1");
  EXPECT_EQ(ss(l.rest), "Server: x\r\n\r\n");
  EXPECT_EQ(http_parse_status_line(str_lit("HTTP/2 200\r\n")).status, 200u) << "no reason phrase";
  EXPECT_EQ(http_parse_status_line(str_lit("SSH-2.0-OpenSSH\r\n")).status, 0u) << "not an HTTP status line";
  EXPECT_EQ(http_parse_status_line(str_lit("HTTP/1.1 2x0 OK\r\n")).status, 0u);
  EXPECT_EQ(http_parse_status_line(str_lit("HTTP/1.1 99999999999999 OK\r\n")).status, 0u) << "no overflow into a status";
  EXPECT_EQ(http_parse_status_line(StrView{}).status, 0u);

  EXPECT_EQ(http_status_class(99), 0u);
  EXPECT_EQ(http_status_class(100), 1u);
  EXPECT_EQ(http_status_class(299), 2u);
  EXPECT_EQ(http_status_class(404), 4u);
  EXPECT_EQ(http_status_class(599), 5u);
  EXPECT_EQ(http_status_class(600), 0u);

  EXPECT_EQ(ss(http_error_message(HttpError_SecureChannel)), "couldn't connect (HTTPS protocol)");
  EXPECT_EQ(ss(http_error_message(HttpError_Connection)), "wrong protocol used");
  EXPECT_EQ(ss(http_error_message(HttpError_Timeout)), "timed out");
  EXPECT_EQ(http_error_message(HttpError_None).length, 0u);
  EXPECT_EQ(http_error_message(HttpError_NameNotResolved).length, 0u);
  //- certificate results in words (OpenSSL's verification codes; 0 is curl's own name check)
  EXPECT_EQ(ss(http_certificate_words(10)), "certificate expired");
  EXPECT_EQ(ss(http_certificate_words(0)), "certificate does not match the host name");
  EXPECT_EQ(ss(http_certificate_words(62)), "certificate does not match the host name");
  EXPECT_EQ(ss(http_certificate_words(18)), "certificate not trusted");
  EXPECT_EQ(ss(http_certificate_words(20)), "certificate not trusted");
}

static void
wait_until_checked(LinkChecker *checker, const std::vector<std::string> &urls) {
  for (int i = 0; i < 1000; i += 1) {
    bool all = linkcheck_in_progress(checker) == 0;
    for (const std::string &u : urls) all = all && linkcheck_fetch_ended(checker, sv(u));
    if (all) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

//~ Workers and cache

static LinkCheckSettings
linkcheck_settings_off() {
  LinkCheckSettings settings = {};
  settings.consent_url = str_lit("off");
  return settings;
}

// Four threads queue every address four times: each is fetched exactly once, and
// every answer is there when the in-progress count falls to zero.
TEST(LinkCheck, EveryAddressFetchedOnceFromManyProducers) {
  CountingServer server;
  LinkChecker *checker = linkcheck_start(linkcheck_settings_off());
  ASSERT_TRUE(checker);
  std::vector<std::string> urls;
  for (int i = 0; i < 60; i += 1) {
    std::string path = (i % 5 == 0 ? "/missing/" : "/ok/") + std::to_string(i);
    urls.push_back("http://127.0.0.1:" + std::to_string(server.port) + path);
  }
  std::vector<std::thread> producers;
  for (int t = 0; t < 4; t += 1) {
    producers.emplace_back([&urls, t, checker] {
      ThreadContext ctx = thread_context_create();
      thread_context_set(&ctx);
      for (size_t i = 0; i < urls.size(); i += 1) {
        const std::string &u = urls[(i + t * 7) % urls.size()];
        std::string where = "p" + std::to_string(t) + ".html:1:" + std::to_string(i + 1);
        EXPECT_TRUE(linkcheck_enqueue(checker, sv(u), sv(where)));
      }
      thread_context_set(0);
      thread_context_release(&ctx);
    });
  }
  for (std::thread &p : producers) p.join();
  wait_until_checked(checker, urls);
  EXPECT_EQ(server.total(), 60) << "one request per distinct address";
  for (int i = 0; i < 60; i += 1) {
    StrView message = {};
    u32 verdict = linkcheck_verdict(checker, sv(urls[i]), &message, 0);
    if (i % 5 == 0) {
      EXPECT_EQ(verdict, (u32)LinkVerdict_Broken) << urls[i];
      EXPECT_EQ(ss(message).rfind("url: " + urls[i] + " \n\tstatus_code: 404", 0), 0u) << ss(message);
    } else {
      EXPECT_EQ(verdict, (u32)LinkVerdict_None) << urls[i];
      EXPECT_EQ(message.length, 0u);
    }
  }
  //- an address queued again after its answer is not fetched again
  EXPECT_TRUE(linkcheck_enqueue(checker, sv(urls[1]), str_lit("again.html:1:1")));
  // The queue is first in, first out: once an address queued afterwards is fetched and
  // nothing is in progress, the one queued again has been dealt with.
  std::string after = "http://127.0.0.1:" + std::to_string(server.port) + "/ok/after";
  EXPECT_TRUE(linkcheck_enqueue(checker, sv(after), str_lit("again.html:1:2")));
  urls.push_back(after);
  wait_until_checked(checker, urls);
  EXPECT_EQ(server.total(), 61);
  EXPECT_EQ(server.count(urls[1].substr(urls[1].find("/ok/"))), 1);
  //- each checker keeps its own cache; no checker has nothing
  LinkChecker *other = linkcheck_start(linkcheck_settings_off());
  ASSERT_TRUE(other && other != checker);
  EXPECT_FALSE(linkcheck_fetch_ended(other, sv(urls[1])));
  EXPECT_FALSE(linkcheck_enqueue(nullptr, sv(urls[1]), str_lit("x.html:1:1")));
  EXPECT_FALSE(linkcheck_fetch_ended(nullptr, sv(urls[1])));
  EXPECT_EQ(linkcheck_in_progress(nullptr), 0u);
}

// The ring keeps records whole across its end, and a record too big for it is refused.
TEST(LinkCheck, RingRecordsWrapAndOversizedRecordsAreRefused) {
  CountingServer server;
  LinkChecker *checker = linkcheck_start(linkcheck_settings_off());
  ASSERT_TRUE(checker);
  std::string huge(LINK_CHECK_RING_SIZE, 'x');
  LinkCheckRecord big = {sv(huge), str_lit("a:1:1"), 0, 0};
  EXPECT_FALSE(linkcheck_enqueue_record(checker, &big, DEADLINE_NONE));
  // Long addresses (about 1 KiB a record) go round the ring several times.
  std::vector<std::string> urls;
  std::string padding(1000, 'p');
  for (int i = 0; i < 1200; i += 1) {
    urls.push_back("http://127.0.0.1:" + std::to_string(server.port) + "/ok/" + std::to_string(i) + "/" + padding);
  }
  for (const std::string &u : urls) ASSERT_TRUE(linkcheck_enqueue(checker, sv(u), str_lit("w.html:2:3")));
  wait_until_checked(checker, urls);
  EXPECT_EQ(server.total(), 1200);
  for (const std::string &u : urls) ASSERT_TRUE(linkcheck_fetch_ended(checker, sv(u))) << u.substr(0, 40);
}
