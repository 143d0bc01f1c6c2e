// check_urls end to end: qilsite against the loopback server of tests/net/link_server.py.
// Every run names the server's /consent (or off), so nothing leaves the machine.
#include <algorithm>
#include <chrono>
#include <map>
#include <regex>

#include <jansson.h>

#include "net/counting_server.h"
#include "net/link_server.h"
#include "test_support.h"

namespace {

// A hand-written page; remembers where each link's address starts.
struct Page {
  std::string text = "<!DOCTYPE html>\n<html lang=\"en\">\n<head><title>Links</title></head>\n<body>\n";
  std::vector<std::string> at;  // "line:column" of each link's address, in page order

  Page &line(const std::vector<std::string> &urls) {
    text += "<p>";
    for (const std::string &u : urls) {
      text += "see <a href=\"";
      at.push_back(position());
      text += u + "\">this</a> ";
    }
    text += "</p>\n";
    return *this;
  }
  std::string position() const {
    size_t line = 1, last_nl = std::string::npos;
    for (size_t i = 0; i < text.size(); i += 1) {
      if (text[i] == '\n') {
        line += 1;
        last_nl = i;
      }
    }
    size_t column = last_nl == std::string::npos ? text.size() + 1 : text.size() - last_nl;
    return std::to_string(line) + ":" + std::to_string(column);
  }
  std::string done() const { return text + "</body>\n</html>\n"; }
};

struct Report {
  int checked = -1;
  std::vector<std::string> results;  // "<location> <verdict>\n\turl: ..." without the timestamp line
  std::vector<long> timestamps;      // ms per result, -1 where none was printed
};

// qilsite's standard output cut into page reports, the closing list of paths, and the rest.
struct Output {
  std::map<std::string, std::vector<Report>> pages;
  std::vector<std::string> tail;
  std::vector<std::string> junk;
};

Output
parse(std::string out) {
  Output o;
  const std::string banner = "[check urls]\n";
  if (out.compare(0, banner.size(), banner) == 0) out.erase(0, banner.size());
  std::vector<std::string> items;
  const std::string sep = ": \n\t";
  size_t from = 0;
  for (size_t at; (at = out.find(sep, from)) != std::string::npos; from = at + sep.size()) {
    items.push_back(out.substr(from, at - from));
  }
  if (from < out.size()) o.junk.push_back(out.substr(from));
  static const std::regex stamp("\n\ttimestamp: ([0-9]+)ms");
  for (size_t i = 0; i < items.size();) {
    if (i + 1 < items.size() && items[i + 1].rfind("link checked: ", 0) == 0) {
      Report r;
      r.checked = atoi(items[i + 1].c_str() + 14);
      std::string page = items[i];
      i += 2;
      for (; i < items.size() && items[i].find("\n\turl: ") != std::string::npos; i += 1) {
        std::smatch m;
        long ms = -1;
        if (std::regex_search(items[i], m, stamp)) ms = atol(m[1].str().c_str());
        r.results.push_back(std::regex_replace(items[i], stamp, ""));
        r.timestamps.push_back(ms);
      }
      o.pages[page].push_back(r);
    } else if (!items[i].empty() && items[i][0] == '/' && items[i].find('\n') == std::string::npos) {
      o.tail.push_back(items[i++]);
    } else {
      o.junk.push_back(items[i++]);
    }
  }
  return o;
}

std::string
result(const std::string &location, const std::string &verdict, const std::string &url, const std::string &status,
       const std::string &more = "") {
  return location + " " + verdict + "\n\turl: " + url + " \n\tstatus_code: " + status + more;
}

struct QilsiteRun {
  CommandResult r;
  Output o;
  double seconds;
};

QilsiteRun
run_timed(const std::vector<std::string> &args) {
  auto t0 = std::chrono::steady_clock::now();
  QilsiteRun run;
  run.r = run_qilsite(args);
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  run.o = parse(run.r.out);
  return run;
}

// The one report of a page, or an empty one (checked == -1) when it is missing or repeated.
Report
only_report(const Output &o, const std::string &page) {
  auto it = o.pages.find(page);
  if (it == o.pages.end() || it->second.size() != 1) return Report();
  return it->second[0];
}

std::vector<std::string>
args_for(const TempDir &dir, const LinkServer &server, const std::string &consent) {
  return {"target_path=" + dir.path + "/site", "root_path=" + dir.path, "check_urls", "consent_url=" + consent,
          "ca_file=" + server.ca_file};
}

}  // namespace

TEST(LinkCheckCli, StatusesRedirectsAndOneFetchPerAddress) {
  LinkServer server;
  ASSERT_TRUE(server.ok()) << server.error;
  TempDir dir;
  std::string ok = server.https("/ok"), missing = server.https("/missing"), slow = server.https("/missing?delay=60");
  Page a;
  a.line({ok, slow}).line({server.https("/busy")}).line({server.https("/redir-ok"), server.https("/redir-busy")});
  a.line({missing, server.https("/ok#top"), server.http("/ok")}).line({missing});
  Page b;
  b.line({server.http("/ok"), missing});
  std::string pa = dir.file("site/a.html", a.done());
  std::string pb = dir.file("site/sub/b.html", b.done());
  std::string qil = "``\n  output_path: \"~/website/qil/doc.html\"\n``\nLinks\n  see \"" + missing + "\" here\n";
  std::string pq = dir.file("site/src/doc.qil", qil);
  std::string doc_page = dir.path + "/website/qil/doc.html";

  QilsiteRun run = run_timed(args_for(dir, server, server.https("/consent")));
  ASSERT_EQ(run.r.status, 0) << run.r.out << run.r.err;
  EXPECT_TRUE(run.o.junk.empty()) << run.r.out;

  //- each page once, its bad links in page order at their own positions
  Report ra = only_report(run.o, pa);
  EXPECT_EQ(ra.checked, 9) << run.r.out;
  std::string too_long = "\n\tretry after 120 s asked, more than the 10 s a link waits";
  std::vector<std::string> want_a = {
      result(pa + ":" + a.at[1], "broken", slow, "404"),
      // A 5xx is broken; one that asks for a longer wait than a link gets is not retried.
      result(pa + ":" + a.at[2], "broken", server.https("/busy"), "503", too_long),
      result(pa + ":" + a.at[4], "broken", server.https("/redir-busy"), "503",
             too_long + "\n\tredirect:  " + server.https("/busy")),
      result(pa + ":" + a.at[5], "broken", missing, "404"),
      result(pa + ":" + a.at[8], "broken", missing, "404"),
  };
  EXPECT_EQ(ra.results, want_a) << run.r.out;
  ASSERT_EQ(ra.timestamps.size(), want_a.size());
  EXPECT_GE(ra.timestamps[0], 60) << "the delayed answer's time is shown";

  Report rb = only_report(run.o, pb);
  EXPECT_EQ(rb.checked, 2) << run.r.out;
  EXPECT_EQ(rb.results, std::vector<std::string>{result(pb + ":" + b.at[1], "broken", missing, "404")}) << run.r.out;

  //- a qil document's link is located in its source; its report carries the page's path
  Report rq = only_report(run.o, doc_page);
  EXPECT_EQ(rq.checked, 1) << run.r.out;
  size_t quote = qil.find("\"https") - qil.rfind('\n', qil.find("\"https"));
  // At its opening quote, where the document's other findings about a link point.
  std::vector<std::string> at_quote = {result(pq + ":5:" + std::to_string(quote), "broken", missing, "404")};
  EXPECT_EQ(rq.results, at_quote) << run.r.out;

  //- every page's path once more at the end
  std::vector<std::string> tail = run.o.tail, pages = {pa, pb, doc_page};
  std::sort(tail.begin(), tail.end());
  std::sort(pages.begin(), pages.end());
  EXPECT_EQ(tail, pages) << run.r.out;

  //- one request per distinct address, however many pages link it; "#top" is not part of it
  std::string stats = server.stats();
  EXPECT_EQ(server.count("/missing"), 1) << stats;
  EXPECT_EQ(server.count("/ok", "http"), 1) << stats;
  EXPECT_GE(server.count("/ok", "https"), 1) << stats;
  EXPECT_LE(server.count("/ok", "https"), 2) << "at most once linked and once behind /redir-ok\n" << stats;
  EXPECT_EQ(server.count("/missing?delay=60"), 1) << stats;
  EXPECT_EQ(server.count("/redir-ok"), 1) << stats;
  EXPECT_EQ(server.count("/redir-busy"), 1) << stats;
  EXPECT_GE(server.count("/busy"), 1) << stats;
  EXPECT_LE(server.count("/busy"), 2) << "at most once linked and once behind /redir-busy\n" << stats;

  //- the start-up request: one form POST with its fields in order
  EXPECT_EQ(server.count("/consent"), 1) << stats;
  std::string consent = server.consent_record();
  EXPECT_EQ(consent.rfind("POST /consent HTTP/1.1\r\n", 0), 0u) << consent;
  EXPECT_NE(consent.find("\r\nContent-Type: application/x-www-form-urlencoded\r\n"), std::string::npos) << consent;
  EXPECT_NE(consent.find("\r\nAccept-Language: en-US,en;q=0.5\r\n"), std::string::npos) << consent;
  size_t body_at = consent.find("\r\n\r\n");
  ASSERT_NE(body_at, std::string::npos) << consent;
  std::string body = consent.substr(body_at + 4);
  static const std::regex form(
      "gl=FR&m=0&app=0&pc=yt&continue=[A-Za-z0-9%._~+-]*&x=6&bl=boq_identityfrontenduiserver_20240910\\.08_p1"
      "&hl=en&src=1&cm=2&set_eom=true");
  EXPECT_TRUE(std::regex_match(body, form)) << body;
}

TEST(LinkCheckCli, ConnectionFailuresAreBrokenAndTheRunEnds) {
  LinkServer server;
  ASSERT_TRUE(server.ok()) << server.error;
  TempDir dir;
  int refused = link_refused_port();
  ASSERT_GT(refused, 0);
  std::string tls_to_plain = "https://127.0.0.1:" + std::to_string(server.http_port) + "/ok";
  std::string silent = "http://127.0.0.1:" + std::to_string(server.silent_port) + "/never";
  std::string stalled = "http://127.0.0.1:" + std::to_string(server.stalled_port) + "/never";
  std::string refused_url = "http://127.0.0.1:" + std::to_string(refused) + "/";
  std::string loop = server.https("/loop");
  Page c;
  c.line({server.http("/ok"), tls_to_plain}).line({silent}).line({loop, "http://nothing.invalid/"});
  c.line({refused_url, stalled});
  std::string pc = dir.file("site/c.html", c.done());

  std::vector<std::string> args = args_for(dir, server, "off");
  args.push_back("retries=0");
  QilsiteRun run = run_timed(args);
  EXPECT_EQ(run.r.status, 0) << "the run ends by itself, a silent server notwithstanding\n" << run.r.out << run.r.err;
  EXPECT_LT(run.seconds, 35.0) << "each fetch is bounded in time";
  EXPECT_TRUE(run.o.junk.empty()) << run.r.out;
  Report r = only_report(run.o, pc);
  EXPECT_EQ(r.checked, 7) << run.r.out;
  ASSERT_EQ(r.results.size(), 6u) << run.r.out;

  // A failed connection has no status; its error text is the last line.
  auto expect_broken = [&](size_t i, size_t link, const std::string &url, const std::string &error) {
    std::string want = result(pc + ":" + c.at[link], "broken", url, "0", "\n\t" + error);
    if (error.empty()) {
      EXPECT_EQ(r.results[i].rfind(want, 0), 0u) << "want " << want << "<error text>\n" << run.r.out;
      EXPECT_GT(r.results[i].size(), want.size()) << "an error text is given\n" << run.r.out;
    } else {
      EXPECT_EQ(r.results[i], want) << run.r.out;
    }
  };
  expect_broken(0, 1, tls_to_plain, "TLS handshake failed");
  expect_broken(1, 2, silent, "timed out after 2 s without data");
  EXPECT_GE(r.timestamps[1], 1900) << "no progress for 2 s ends the fetch";
  expect_broken(3, 4, "http://nothing.invalid/", "host name not found");
  expect_broken(4, 5, refused_url, "connection refused");
  expect_broken(5, 6, stalled, "timed out after 5 s connecting");
  EXPECT_GE(r.timestamps[5], 4500) << "a connection gets 5 s to open";
  EXPECT_LT(r.timestamps[5], 10000) << "a connection gets 5 s to open, not the whole 30 s";
  std::string loop_head = result(pc + ":" + c.at[3], "broken", loop, "");
  EXPECT_EQ(r.results[2].rfind(loop_head, 0), 0u) << "want " << loop_head << "...\n" << run.r.out;
  EXPECT_EQ(run.o.tail, std::vector<std::string>{pc}) << run.r.out;

  std::string stats = server.stats();
  EXPECT_EQ(server.count("/ok", "http"), 1) << "the plain-HTTP fetch; the TLS attempt is no request\n" << stats;
  EXPECT_GE(server.count("/loop"), 2) << stats;
  EXPECT_LE(server.count("/loop"), 60) << "a redirect loop is cut short\n" << stats;
  EXPECT_EQ(server.count("/consent"), 0) << "consent_url=off sends no start-up request\n" << stats;
}

// A consent request that fails turns nothing off: the links are checked and strict fails
// on a broken one. A site that never links the consent's host sends none.
TEST(LinkCheckCli, ConsentRequestNeverTurnsChecksOff) {
  LinkServer server;
  ASSERT_TRUE(server.ok()) << server.error;
  TempDir dir;
  int refused = link_refused_port();
  ASSERT_GT(refused, 0);
  Page d;
  d.line({server.https("/missing"), server.http("/ok")});
  std::string pd = dir.file("site/d.html", d.done());

  std::vector<std::string> args = args_for(dir, server, "https://127.0.0.1:" + std::to_string(refused) + "/x");
  args.push_back("strict");
  QilsiteRun run = run_timed(args);
  EXPECT_EQ(run.r.status, 1) << "a 404 fails a strict run\n" << run.r.err;
  size_t lines = 0, at = 0;
  for (size_t nl; (nl = run.r.err.find('\n', at)) != std::string::npos; at = nl + 1) {
    if (run.r.err.substr(at, nl - at).find("consent request") != std::string::npos) lines += 1;
  }
  EXPECT_EQ(lines, 1u) << run.r.err;
  EXPECT_EQ(run.r.err.find("URL checks are off"), std::string::npos) << run.r.err;
  Report r = only_report(run.o, pd);
  EXPECT_EQ(r.checked, 2) << run.r.out;
  EXPECT_EQ(r.results, std::vector<std::string>{result(pd + ":" + d.at[0], "broken", server.https("/missing"), "404")})
      << run.r.out;

  //- a consent request for another host is never sent
  QilsiteRun other = run_timed(args_for(dir, server, "http://localhost:" + std::to_string(server.http_port) + "/consent"));
  EXPECT_EQ(other.r.status, 0) << other.r.err;
  EXPECT_EQ(server.count("/consent"), 0) << server.stats();
  EXPECT_EQ(only_report(other.o, pd).checked, 2) << other.r.out;
}

// Link findings one line each under format=line, and every checked address in the report
// with its verdict, status and each place that links to it.
TEST(LinkCheckCli, FindingsForEditorsAndReports) {
  LinkServer server;
  ASSERT_TRUE(server.ok()) << server.error;
  TempDir dir;
  std::string missing = server.https("/missing");
  Page a;
  a.line({server.https("/ok"), missing}).line({server.https("/busy"), missing});
  std::string pa = dir.file("site/a.html", a.done());
  std::vector<std::string> args = args_for(dir, server, server.https("/consent"));
  for (const char *word : {"format=line", "strict"}) args.push_back(word);
  args.push_back("report=" + dir.path + "/r.json");
  QilsiteRun run = run_timed(args);
  EXPECT_EQ(run.r.status, 1) << "a broken link is a finding\n" << run.r.err;
  EXPECT_NE(run.r.err.find(pa + ":" + a.at[1] + ": error: broken link " + missing + ": status 404, "),
            std::string::npos)
      << run.r.err;
  // A 503 that lasts through the retries is broken.
  EXPECT_NE(run.r.err.find(pa + ":" + a.at[2] + ": error: broken link " + server.https("/busy") + ": status 503"),
            std::string::npos)
      << run.r.err;

  json_error_t error;
  json_t *root = json_load_file((dir.path + "/r.json").c_str(), 0, &error);
  ASSERT_NE(root, nullptr) << error.text;
  json_t *links = json_object_get(root, "links");
  ASSERT_EQ(json_array_size(links), 3u) << "one entry per address";
  json_t *broken = json_array_get(links, 1);
  EXPECT_STREQ(json_string_value(json_object_get(broken, "url")), missing.c_str());
  EXPECT_STREQ(json_string_value(json_object_get(broken, "verdict")), "broken");
  EXPECT_EQ(json_integer_value(json_object_get(broken, "status")), 404);
  EXPECT_TRUE(json_is_integer(json_object_get(broken, "time_ms")));
  json_t *uses = json_object_get(broken, "occurrences");
  ASSERT_EQ(json_array_size(uses), 2u);
  json_t *second = json_array_get(uses, 1);
  EXPECT_STREQ(json_string_value(json_object_get(second, "path")), pa.c_str());
  EXPECT_EQ(std::to_string(json_integer_value(json_object_get(second, "line"))) + ":" +
                std::to_string(json_integer_value(json_object_get(second, "column"))),
            a.at[3]);
  EXPECT_STREQ(json_string_value(json_object_get(json_array_get(links, 0), "verdict")), "ok");
  EXPECT_EQ(json_integer_value(json_object_get(json_object_get(root, "counts"), "web_links_broken")), 3);
  json_decref(root);
}

// Every web address is fetched as a browser sends it, or reported unchecked with a reason.
TEST(LinkCheckCli, AddressesAreFetchedAsBrowsersSendThemOrReportedUnchecked) {
  LinkServer server;
  ASSERT_TRUE(server.ok()) << server.error;
  TempDir dir;
  int refused = link_refused_port();
  ASSERT_GT(refused, 0);
  std::string port = std::to_string(server.http_port);
  std::string with_user = "http://user:pw@127.0.0.1:" + port + "/ok?who=user";
  std::string spaced = " " + server.http("/ok page") + "\t";
  std::string ipv6 = "http://[::1]:" + std::to_string(refused) + "/x";
  std::string longest = server.http("/" + std::string(70000, 'a'));
  std::string ftp = "ftp://files.example.com/x";
  Page g;
  g.line({with_user, spaced}).line({ipv6, longest, ftp});
  std::string pg = dir.file("site/g.html", g.done());
  QilsiteRun run = run_timed(args_for(dir, server, "off"));
  EXPECT_EQ(run.r.status, 0) << run.r.err;
  Report r = only_report(run.o, pg);
  EXPECT_EQ(r.checked, 5) << run.r.out;
  ASSERT_EQ(r.results.size(), 3u) << run.r.out;
  EXPECT_EQ(r.results[0].rfind(pg + ":" + g.at[2] + " broken\n\turl: " + ipv6 + " ", 0), 0u) << run.r.out;
  EXPECT_NE(r.results[1].find(" unchecked\n\turl: " + longest.substr(0, 200) + "... \n\tnot checked: "),
            std::string::npos)
      << r.results[1].substr(0, 400);
  EXPECT_EQ(r.results[2], pg + ":" + g.at[4] + " unchecked\n\turl: " + ftp +
                              " \n\tnot checked: only http and https addresses are fetched")
      << run.r.out;
  std::string stats = server.stats();
  EXPECT_EQ(server.count("/ok?who=user"), 1) << stats;
  EXPECT_EQ(server.count("/ok%20page"), 1) << stats;
  EXPECT_EQ(server.total_requests(), 2) << stats;
}

// A page is ok once its status line and headers say so, however its body comes; failures
// are said in the words of what the connection did.
TEST(LinkCheckCli, VerdictsFollowTheHeadersAndSayWhyInPlainWords) {
  LinkServer server;
  ASSERT_TRUE(server.ok()) << server.error;
  TempDir dir;
  Page h;
  h.line({server.http("/slow-body"), server.http("/reset-after-headers")});
  h.line({server.http("/reset"), server.http("/header-flood"), server.http("/long-header")});
  std::string ph = dir.file("site/h.html", h.done());
  std::vector<std::string> args = args_for(dir, server, "off");
  args.push_back("retries=0");
  QilsiteRun run = run_timed(args);
  EXPECT_EQ(run.r.status, 0) << run.r.err;
  EXPECT_LT(run.seconds, 3.5) << "a slow body is not waited for";
  Report r = only_report(run.o, ph);
  EXPECT_EQ(r.checked, 5) << run.r.out;
  std::vector<std::string> want = {
      result(ph + ":" + h.at[2], "broken", server.http("/reset"), "0", "\n\tconnection reset"),
      result(ph + ":" + h.at[3], "broken", server.http("/header-flood"), "0", "\n\theader too large"),
      result(ph + ":" + h.at[4], "broken", server.http("/long-header"), "0", "\n\theader too large"),
  };
  EXPECT_EQ(r.results, want) << run.r.out;
}

// Time-outs, resets, 429 and 5xx are tried again after a growing wait (a Retry-After
// honoured); a link still failing after its retries is broken and fails a strict run.
TEST(LinkCheckCli, TransientFailuresAreRetriedThenBroken) {
  LinkServer server;
  ASSERT_TRUE(server.ok()) << server.error;
  TempDir dir;
  std::string later = server.http("/flaky?id=a&fail=2"), never = server.http("/flaky?id=b&fail=9");
  std::string limited = server.http("/flaky?id=c&fail=1&status=429&after=1");
  Page k;
  k.line({later, never}).line({limited, server.http("/reset")});
  std::string pk = dir.file("site/k.html", k.done());
  std::vector<std::string> args = args_for(dir, server, "off");
  args.push_back("strict");
  QilsiteRun run = run_timed(args);
  EXPECT_EQ(run.r.status, 1) << run.r.err;
  EXPECT_GE(run.seconds, 1.0) << "the Retry-After was waited for";
  Report r = only_report(run.o, pk);
  std::vector<std::string> want = {
      result(pk + ":" + k.at[1], "broken", never, "503", "\n\tattempts: 3"),
      result(pk + ":" + k.at[3], "broken", server.http("/reset"), "0", "\n\tconnection reset\n\tattempts: 3"),
  };
  EXPECT_EQ(r.results, want) << run.r.out;
  std::string stats = server.stats();
  EXPECT_EQ(server.count("/flaky?id=a&fail=2"), 3) << stats;
  EXPECT_EQ(server.count("/flaky?id=b&fail=9"), 3) << stats;
  EXPECT_EQ(server.count("/flaky?id=c&fail=1&status=429&after=1"), 2) << stats;
  // libcurl itself sends a request again when a reused connection was reset, and the
  // resend may meet another reused connection: bounded, but not to one per attempt.
  EXPECT_GE(server.count("/reset"), 3) << stats;
  EXPECT_LE(server.count("/reset"), 12) << stats;

  //- host_rate= spreads one host's requests out: six at five a second take a second
  Page q;
  q.line({server.http("/ok?r=1"), server.http("/ok?r=2"), server.http("/ok?r=3")});
  q.line({server.http("/ok?r=4"), server.http("/ok?r=5"), server.http("/ok?r=6")});
  TempDir rate_dir;
  rate_dir.file("site/q.html", q.done());
  std::vector<std::string> rate_args = args_for(rate_dir, server, "off");
  rate_args.push_back("host_rate=5");
  QilsiteRun rated = run_timed(rate_args);
  EXPECT_GE(rated.seconds, 0.95) << rated.r.err;
  EXPECT_EQ(only_report(rated.o, rate_dir.path + "/site/q.html").checked, 6) << rated.r.out;
  EXPECT_EQ(server.count("/ok?r=6"), 1) << server.stats();

  //- retries=0: one request, and its answer stands; timeout= bounds the whole request
  Page z;
  std::string silent = "http://127.0.0.1:" + std::to_string(server.silent_port) + "/never";
  z.line({server.http("/flaky?id=d&fail=1"), silent});
  std::string pz = dir.file("site/k.html", z.done());
  args.insert(args.end(), {"retries=0", "timeout=1"});
  QilsiteRun once = run_timed(args);
  Report rz = only_report(once.o, pz);
  ASSERT_EQ(rz.results.size(), 2u) << once.r.out;
  EXPECT_EQ(rz.results[1], result(pz + ":" + z.at[1], "broken", silent, "0", "\n\ttimed out after 1 s")) << once.r.out;
  EXPECT_EQ(server.count("/flaky?id=d&fail=1"), 1) << server.stats();
}

// exclude= patterns (and the exclude file) keep addresses from being fetched, accept=
// widens what is good, redirects= reports permanent redirects that end well.
TEST(LinkCheckCli, ExcludeAcceptAndRedirectSettings) {
  LinkServer server;
  ASSERT_TRUE(server.ok()) << server.error;
  TempDir dir;
  dir.file("local/qilsite_exclude.txt", "# one pattern a line\nhttp://127\\.0\\.0\\.1:[0-9]+/busy\n");
  Page m;
  m.line({server.http("/missing"), server.http("/busy"), server.http("/missing?x=1")});
  m.line({server.http("/moved"), server.http("/redir-ok")});
  std::string pm = dir.file("site/m.html", m.done());
  std::vector<std::string> args = args_for(dir, server, "off");
  args.insert(args.end(), {"local_path=" + dir.path + "/local", "exclude=.*/missing", "exclude=(", "accept=200-299,404",
                           "redirects=error", "strict"});
  QilsiteRun run = run_timed(args);
  EXPECT_EQ(run.r.status, 1) << run.r.err;
  EXPECT_NE(run.r.err.find("exclude=( left out"), std::string::npos) << run.r.err;
  EXPECT_NE(run.r.err.find("2 excluded"), std::string::npos) << run.r.err;
  Report r = only_report(run.o, pm);
  EXPECT_EQ(r.checked, 5) << run.r.out;
  std::vector<std::string> want = {result(pm + ":" + m.at[3], "broken", server.http("/moved"), "200",
                                          "\n\tmoved permanently: update the link\n\tredirect:  " + server.http("/ok"))};
  EXPECT_EQ(r.results, want) << run.r.out;
  std::string stats = server.stats();
  EXPECT_EQ(server.count("/missing"), 0) << stats;
  EXPECT_EQ(server.count("/busy"), 0) << stats;
  EXPECT_EQ(server.count("/missing?x=1"), 1) << stats;

  //- redirects=warn reports it and passes; a bad status list is said and the default used
  args.erase(args.end() - 3, args.end());
  args.insert(args.end(), {"accept=2xx", "redirects=warn", "strict"});
  QilsiteRun warn = run_timed(args);
  EXPECT_EQ(warn.r.status, 1) << "the 404 is broken again\n" << warn.r.err;
  EXPECT_NE(warn.r.err.find("accept=2xx is not a list"), std::string::npos) << warn.r.err;
  Report w = only_report(warn.o, pm);
  ASSERT_EQ(w.results.size(), 2u) << warn.r.out;
  EXPECT_EQ(w.results[1].rfind(pm + ":" + m.at[3] + " redirected\n", 0), 0u) << warn.r.out;
}

TEST(LinkCheckCli, CertificatesAreVerified) {
  LinkServer server;
  ASSERT_TRUE(server.ok()) << server.error;
  TempDir dir;
  Page e;
  e.line({server.https("/ok"), server.http("/ok")});
  std::string pe = dir.file("site/e.html", e.done());
  // No ca_file: the self-signed certificate is trusted by nothing.
  QilsiteRun run = run_timed({"target_path=" + dir.path + "/site", "root_path=" + dir.path, "check_urls",
                              "consent_url=off"});
  EXPECT_EQ(run.r.status, 0) << run.r.err;
  Report r = only_report(run.o, pe);
  EXPECT_EQ(r.checked, 2) << run.r.out;
  EXPECT_EQ(r.results, std::vector<std::string>{result(pe + ":" + e.at[0], "broken", server.https("/ok"), "0",
                                                       "\n\tcertificate not trusted")})
      << run.r.out;
  EXPECT_EQ(server.count("/ok", "https"), 0) << server.stats();
  EXPECT_EQ(server.count("/ok", "http"), 1) << server.stats();
}

// An attribute's character references stand for characters: a browser follows the decoded address.
TEST(LinkCheckCli, CharacterReferencesInAddressesAreDecoded) {
  LinkServer server;
  ASSERT_TRUE(server.ok()) << server.error;
  TempDir dir;
  Page f;
  f.line({server.http("/ok?a=1&amp;b=2"), server.http("/ok?c=&#51;")});
  dir.file("site/f.html", f.done());
  QilsiteRun run = run_timed(args_for(dir, server, "off"));
  EXPECT_EQ(run.r.status, 0) << run.r.err;
  std::string stats = server.stats();
  EXPECT_EQ(server.count("/ok?a=1&b=2"), 1) << stats;
  EXPECT_EQ(server.count("/ok?c=3"), 1) << stats;
  EXPECT_EQ(server.count("/ok?a=1&amp;b=2"), 0) << stats;
}

// check_fragments: the ids of a fetched page are read as it arrives, once for every
// fragment of its address, from hand-written pages and documents alike.
TEST(LinkCheckCli, FragmentsOfFetchedPagesAreLookedUpInOneFetch) {
  LinkServer server;
  ASSERT_TRUE(server.ok()) << server.error;
  TempDir dir;
  std::string ids = server.https("/ids");
  Page a;
  // Found: an id, an "a" name, a reference decoded then percent-decoded, one far into the page.
  a.line({ids + "#intro", ids + "#legacy", ids + "#caf%C3%A9", ids + "#end", ids + "#top"});
  // Not found: in a comment, in a script, nowhere. Not judged: a plain-text answer, a broken
  // one, and a page whose body stopped coming.
  a.line({ids + "#hidden", ids + "#inscript", ids + "#nope", server.https("/ids.txt#x"), server.https("/missing#x"),
          server.https("/slow-body#x")});
  std::string pa = dir.file("site/a.html", a.done());
  std::string pq = dir.file("site/doc.qil", "``\n  output_path: \"~/website/doc.html\"\n``\nLinks\n  \"" + ids +
                                                "#intro\"(in) and \"" + ids + "#gone\"(out)\n");
  std::vector<std::string> args = args_for(dir, server, "off");
  for (const char *word : {"check_fragments", "format=line", "strict"}) args.push_back(word);
  args.push_back("report=" + dir.path + "/r.json");
  QilsiteRun run = run_timed(args);
  EXPECT_EQ(run.r.status, 1) << run.r.err;
  std::vector<std::string> said;
  for (size_t at = 0, nl; (nl = run.r.err.find('\n', at)) != std::string::npos; at = nl + 1) {
    std::string line = run.r.err.substr(at, nl - at);
    if (line.find(" not found in ") != std::string::npos) said.push_back(line);
  }
  std::sort(said.begin(), said.end());
  std::vector<std::string> want = {
      pa + ":" + a.at[5] + ": warning: #hidden not found in " + ids,
      pa + ":" + a.at[6] + ": warning: #inscript not found in " + ids,
      pa + ":" + a.at[7] + ": warning: #nope not found in " + ids,
      pq + ":5:" + std::to_string(ids.size() + 20) + ": warning: #gone not found in " + ids,
  };
  std::sort(want.begin(), want.end());
  EXPECT_EQ(said, want) << run.r.err;
  EXPECT_EQ(server.count("/ids"), 1) << server.stats();
  json_error_t error;
  json_t *root = json_load_file((dir.path + "/r.json").c_str(), 0, &error);
  ASSERT_NE(root, nullptr) << error.text;
  EXPECT_EQ(json_integer_value(json_object_get(json_object_get(root, "counts"), "fragments_missing")), 4);
  json_decref(root);
}

// Good answers are kept in the root's link cache between runs and stand for a request;
// failures, answers too old and answers that the settings now judge otherwise are asked again.
TEST(LinkCheckCli, GoodAnswersAreKeptBetweenRuns) {
  CountingServer server;
  TempDir dir;
  std::string base = "http://127.0.0.1:" + std::to_string(server.port);
  Page p;
  p.line({base + "/ok1", base + "/ok2", base + "/ok3#part", base + "/gone"});
  dir.file("site/a.html", p.done());
  std::vector<std::string> args = {"target_path=" + dir.path + "/site", "root_path=" + dir.path, "check_urls",
                                   "consent_url=off"};
  auto run = [&](const std::string &extra) {
    std::vector<std::string> a = args;
    if (!extra.empty()) a.push_back(extra);
    CommandResult r = run_qilsite(a);
    EXPECT_EQ(r.status, 0) << extra << "\n" << r.out << r.err;
    return r;
  };
  auto counts = [&] {
    return std::vector<int>{server.count("/ok1"), server.count("/ok2"), server.count("/ok3"), server.count("/gone")};
  };
  using Counts = std::vector<int>;

  //- cache=off reads and writes no file
  run("cache=off");
  EXPECT_EQ(counts(), (Counts{1, 1, 1, 1}));
  EXPECT_EQ(run_command("test -e '" + dir.path + "/.qilsite.links'").status, 1);

  //- the first run with the cache asks for all; the next only for the broken one, and counts all
  run("");
  EXPECT_EQ(counts(), (Counts{2, 2, 2, 2}));
  CommandResult warm = run("");
  EXPECT_EQ(counts(), (Counts{2, 2, 2, 3}));
  EXPECT_NE(warm.err.find("4 web links checked: 1 broken"), std::string::npos) << warm.err;
  EXPECT_NE(warm.out.find(" broken\n\turl: " + base + "/gone"), std::string::npos) << warm.out;

  //- an answer older than cache_age is asked again
  run("cache_age=0");
  EXPECT_EQ(counts(), (Counts{3, 3, 3, 4}));
  run("cache_age=1h");
  EXPECT_EQ(counts(), (Counts{3, 3, 3, 5}));

  //- so is one checked with other certificates
  run("ca_file=" + dir.file("ca.pem", "trust nothing"));
  EXPECT_EQ(counts(), (Counts{4, 4, 4, 6}));

  //- a 404 kept as good under accept= is broken, and asked again, without it
  run("accept=200-299,404");
  EXPECT_EQ(server.count("/gone"), 7);
  CommandResult strict = run("");
  EXPECT_EQ(server.count("/gone"), 8);
  EXPECT_NE(strict.err.find("4 web links checked: 1 broken"), std::string::npos) << strict.err;

  //- a file that is no database is said once and left as it is; every link is checked
  TempDir other;
  other.file("site/a.html", p.done());
  std::string junk(4096, 'x');
  std::string cache = other.file(".qilsite.links", junk);
  CommandResult r = run_qilsite({"target_path=" + other.path + "/site", "root_path=" + other.path, "check_urls",
                                 "consent_url=off"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(count_of(r.err, ".qilsite.links"), 1u) << r.err;
  EXPECT_EQ(counts(), (Counts{6, 6, 6, 9}));
  EXPECT_EQ(read_all(cache), junk);
}
