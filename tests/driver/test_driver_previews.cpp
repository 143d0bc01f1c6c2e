// Link previews at the command line: a finder of the searchers configuration cuts texts
// out of fetched pages and the build writes them right after their links.
#include "test_support.h"

#include "net/counting_server.h"

static const char *searchers =
    "source_finders: {\n"
    "  urls: [\"127.0.0.1\"]\n"
    "  data_markers: {\n"
    "    types: [\"Title\"]\n"
    "    searchers: { start: [\"<title>\"] end: [\"</title>\"] }\n"
    "  }\n"
    "  data_markers: {\n"
    "    types: [\"Description\"]\n"
    "    prefix: \"about: \"\n"
    "    searchers: { start: [\"<meta name=\"description\" content=\"\"] end: [\"\"\"] }\n"
    "  }\n"
    "}\n";

TEST(PreviewsCli, PagesAndDocumentsGetPreviewsOnceAndAsText) {
  CountingServer server;
  {
    std::lock_guard<std::mutex> g(server.mutex);
    server.bodies["/remote"] =
        "<html><head><title>Remote <script>alert(1)</script> & co</title>"
        "<meta name=\"description\" content=\"A fine page\"></head></html>";
    // The value runs to the end; its 500th byte is inside a two-byte character.
    server.bodies["/endless"] = "<title>" + std::string(499, 'x') + "\xC3\xA9" + std::string(3000, 'y');
  }
  std::string base = "http://127.0.0.1:" + std::to_string(server.port);
  TempDir dir;
  dir.file("local/kn_searchs.txt", searchers);
  // A link in the head gets no preview: a span there would end the head.
  std::string head = "<head><title>t</title><link rel=\"alternate\" href=\"" + base + "/remote\"></head>\n";
  std::string page = dir.file("site/p.html", head + "<p>See <a href=\"" + base +
                                                 "/remote\">it</a> and <a href=\"" + base + "/ok\">this</a> now</p>\n");
  dir.file("site/d.qil", "``\n  output_path: \"~/w/d.html\"\n``\nT\n  see \"" + base + "/remote\" and \"" + base +
                             "/endless\" here\n");
  std::vector<std::string> args = {"target_path=" + dir.path + "/site", "root_path=" + dir.path,
                                   "local_path=" + dir.path + "/local", "check_urls", "consent_url=off"};
  CommandResult r = run_qilsite(args);
  ASSERT_EQ(r.status, 0) << r.err;

  //- beside the link, in the order of the configuration, as text
  std::string once = read_all(page);
  std::string expected = "<a href=\"" + base + "/remote\">it</a><span class=\"metadata\" >Remote &lt;script&gt;"
                         "alert(1)&lt;/script&gt; &amp; co</span><span class=\"metadata\" >about: A fine page</span>";
  EXPECT_NE(once.find(expected), std::string::npos) << once;
  EXPECT_EQ(once.substr(0, head.size()), head) << once;
  EXPECT_EQ(once.find("<script>"), std::string::npos) << "nothing of a remote page becomes markup";
  EXPECT_NE(once.find(">this</a> now"), std::string::npos) << "a page without its markers gets nothing";
  std::string doc = read_all(dir.path + "/w/d.html");
  EXPECT_NE(doc.find("</a><span class=\"metadata\" >Remote &lt;script&gt;"), std::string::npos) << doc;

  //- a page without the end marker gives at most 500 bytes, cut between characters
  size_t at = doc.find("<span class=\"metadata\" >xxx");
  ASSERT_NE(at, std::string::npos);
  size_t text = at + std::string("<span class=\"metadata\" >").size();
  size_t end = doc.find("</span>", text);
  EXPECT_EQ(end - text, 499u);

  //- the remote page is fetched once per run; a second run leaves the page as it is
  EXPECT_EQ(server.count("/remote"), 1);
  run_qilsite(args);
  EXPECT_EQ(read_all(page), once) << "previews are replaced, never added again";
  EXPECT_EQ(read_all(dir.path + "/w/d.html"), doc);

  //- a link that gets no answer this time keeps the previews it had
  {
    std::lock_guard<std::mutex> g(server.mutex);
    server.bodies.erase("/remote");
  }
  run_qilsite(args);
  EXPECT_EQ(read_all(page), once);
  EXPECT_EQ(read_all(dir.path + "/w/d.html"), doc) << "a generated page keeps them too";
}

// Remote text never changes the page around it: it becomes valid UTF-8 without controls,
// the direction controls it opens are closed inside its span, numeric references to such
// characters show as written, and a value that shows as nothing writes no span (an empty
// span failed the next strict run).
TEST(PreviewsCli, RemoteTextIsMadeSafeAndEmptyValuesWriteNoSpan) {
  CountingServer server;
  {
    std::lock_guard<std::mutex> g(server.mutex);
    server.bodies["/hostile"] = std::string("<title>A\xE2\x80\xAE" "desrever\x01 \xFF\xC0\xAF x&#x202E;y&#0;z&amp;") +
                                "\xE2\x80\xAC\xE2\x80\xAC" "</title><meta name=\"description\" content=\"d\">";
    server.bodies["/empty"] = "<title> </title><meta name=\"description\" content=\"only this\">";
  }
  std::string base = "http://127.0.0.1:" + std::to_string(server.port);
  TempDir dir;
  dir.file("local/kn_searchs.txt", searchers);
  std::string page =
      dir.file("site/p.html", "<!DOCTYPE html>\n<html lang=\"en\"><head><title>t</title></head><body>\n<p><a href=\"" +
                                  base + "/hostile\">h</a> after <a href=\"" + base + "/empty\">e</a> end</p>\n</body></html>\n");
  std::vector<std::string> args = {"target_path=" + dir.path + "/site", "root_path=" + dir.path,
                                   "local_path=" + dir.path + "/local", "check_urls", "consent_url=off", "strict"};
  CommandResult first = run_qilsite(args);
  EXPECT_EQ(first.status, 0) << first.out << first.err;
  std::string text = read_all(page);
  std::string hostile = "<span class=\"metadata\" >A\xE2\x80\xAE" "desrever \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"
                        " x&amp;#x202E;y&amp;#0;z&amp;\xE2\x80\xAC</span>";
  EXPECT_NE(text.find("\">h</a>" + hostile + "<span class=\"metadata\" >about: d</span> after"), std::string::npos)
      << text;
  EXPECT_NE(text.find("\">e</a><span class=\"metadata\" >about: only this</span> end"), std::string::npos) << text;
  CommandResult second = run_qilsite(args);
  EXPECT_EQ(second.status, 0) << "the page the first run wrote passes its own check\n" << second.out << second.err;
  EXPECT_EQ(read_all(page), text);
}
