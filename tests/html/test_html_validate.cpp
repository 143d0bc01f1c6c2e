#include "test_support.h"


#include "driver/driver_build.h"
#include "html/html_core.h"
#include "net/net_linkcheck.h"

static const std::string T = "<title>t</title>";

static std::string
validate(const std::string &src, u32 flags = HtmlParse_CheckAll) {
  Arena *a = test_arena();
  StrView s = str_push_copy(a, sv(src));
  HtmlParseResult r = html_parse(a, s, str_lit("v.html"), html_tokenize(a, s), flags, {});
  r.diagnostics = {};  // the validator's findings only
  html_validate(a, &r);
  std::string out;
  for (Diagnostic *d = r.diagnostics.first; d; d = d->next) {
    LineCol lc = str_line_col(s, d->offset);
    out += std::to_string(lc.line) + ":" + std::to_string(lc.column) + " " + ss(d->message) + "\n";
  }
  return out;
}

TEST(HtmlValidate, ManyAttributesOnOneElement) {
  // 40,000 distinct names with one duplicate pair at both ends (the time it takes is
  // measured by the pathological benchmark).
  std::string src = T + "<p id=\"first\"";
  for (int i = 0; i < 40000; i += 1) src += " a" + std::to_string(i) + "=\"" + std::to_string(i) + "\"";
  u64 last = src.size() + 1;  // the column of the blank before "ID"
  src += " ID=\"last\">x</p>";
  std::string found = validate(src, 0);
  EXPECT_EQ(found,
            "1:20 id is a duplicated attribute\n1:" + std::to_string(last + 1) + " ID is a duplicated attribute\n");
}

TEST(HtmlValidate, Findings) {
  struct Row {
    std::string src;
    u32 flags;
    std::string expect;
  } rows[] = {
      {T + "<p class=\"a\" class=\"b\">x</p>", 15,
       "1:20 class is a duplicated attribute\n1:30 class is a duplicated attribute\n"},
      // Two different unknown names are no duplicates of each other.
      {T + "<p foo=\"1\" bar=\"2\">x</p>", 15, "1:20 foo unknown attribute\n1:28 bar unknown attribute\n"},
      // Names match without regard to case, known or not; each occurrence is reported.
      {T + "<p ID=\"a\" title=t id=\"b\" Id=c>x</p>", 0,
       "1:20 ID is a duplicated attribute\n1:35 id is a duplicated attribute\n1:42 Id is a duplicated attribute\n"},
      {T + "<p foo Foo bar FOO>x</p>", 0,
       "1:20 foo is a duplicated attribute\n1:24 Foo is a duplicated attribute\n"
       "1:32 FOO is a duplicated attribute\n"},
      // Each element counts its own attributes.
      {T + "<div class=a><p class=b>x</p></div>", 0, ""},
      {T + "<a href=\"\">x</a>", 15, ""},  // a link to the page itself
      {T + "<img src=\"\" alt=x><link href>", 15, "1:22 attribute's key src must not be empty\n1:41 attribute's key href must not be empty\n"},
      {T + "<a href=\"/\">x</a>", 15, ""},
      {T + "<div></div><p></p><table><tr><td></td></tr></table><br>", 15, ""},
      {T + "<blinky>x</blinky>", 15, "1:17 blinky unknown tag element\n"},
      {T + "<blinky>x</blinky><my-el>y</my-el><svg><feBlend in=a /></svg>", 0, ""},
      {T + "<my-el>y</my-el><svg><feBlend in=a /></svg>", 15, ""},
      {"<html><body><li>x</li></body></html>" + T, 0x10,
       "1:13 Structure: li does not have an allowed parent, it should be one of theses: ul;ol;\n"
       "1:37 Structure: title does not have an allowed parent, it should be one of theses: head;\n"},
      {"<!DOCTYPE html><html><head>" + T + "</head></html>", 0x10, ""},
  };
  for (const Row &r : rows) EXPECT_EQ(validate(r.src, r.flags), r.expect) << r.src;
}

static std::string
links(const std::string &src, std::vector<u32> *kinds = nullptr) {
  Arena *a = test_arena();
  StrView s = str_push_copy(a, sv(src));
  HtmlParseResult r =
      html_parse(a, s, str_lit("site/sub/l.html"), html_tokenize(a, s), HtmlParse_CheckAll, str_lit("/root/"));
  html_collect_links(a, &r);
  std::string out;
  for (HtmlLink *l = r.links.first; l; l = l->next) {
    out += "[" + src.substr(l->start, l->end - l->start) + "]";
    if (kinds) kinds->push_back(l->kind);
  }
  return out;
}

TEST(HtmlLinks, CollectedSpansAndKinds) {
  std::vector<u32> kinds;
  EXPECT_EQ(links(T + "<a href=\"https://example.com/x#frag\">a</a><img src=img.png><a href='#top'>t</a>", &kinds),
            "[https://example.com/x][img.png][]");
  EXPECT_EQ(kinds, (std::vector<u32>{1, 2, 2}));
  EXPECT_EQ(links(T + "<a dontFetch href=\"https://a.com\">x</a>"), "") << "dontFetch before the link";
  EXPECT_EQ(links(T + "<a href=\"https://a.com\" dontFetch>x</a>"), "[https://a.com]");
  EXPECT_EQ(links(T + "<a href=\"https://a.com\" link=\"https://b.com\">x</a>"), "[https://a.com]")
      << "one link per element";
}

TEST(HtmlLinks, LocalChecksAndMetadataSpans) {
  TempDir dir;
  dir.file("site/sub/here.html", "x");
  dir.file("site/sub/img/a.png", "x");
  Arena *a = test_arena();
  std::string src = T + "<p><a href=\"here.html#s\">1</a><a href=\"gone.html\">2</a><a href=\"img/\">3</a>"
                        "<a href=\"/abs.html\">4</a><a href=\"#top\">5</a><a href=\"https://x.org/p\">6</a></p>";
  StrView s = str_push_copy(a, sv(src));
  std::string page = dir.path + "/site/sub/page.html";
  StrView path = sv(page);
  HtmlParseResult r = html_parse(a, s, path, html_tokenize(a, s), HtmlParse_CheckAll, {});
  r.diagnostics = {};  // the page's own findings are not what this is about
  html_collect_links(a, &r);
  // Looked up after parsing, as the build does; no web link is queued without a checker.
  driver_check_page_targets(a, &r, s, path, StrView{});
  Site *site = push_struct(a, Site);
  PageRecord rec = {};
  rec.source = s;
  rec.path = path;
  driver_queue_page_links(site, a, &rec, &r);
  EXPECT_EQ(rec.web_links_queued, 0u) << "no link checker is running";
  DiagnosticList &diags = r.diagnostics;
  ASSERT_EQ(diags.count, 1u);
  EXPECT_EQ(ss(diags.first->message), "gone.html not found");
  EXPECT_EQ(diags.first->severity, (u32)DiagSeverity_Warning);

  // The entry is found behind others, and the first of equal hashes wins.
  LinkMetadataItem second = {nullptr, LinkMetadataFlag_Missing, str_lit("missing date")};
  LinkMetadataItem first = {&second, 1, str_lit("A title")};
  LinkMetadataItem shadowed_item = {nullptr, 0, str_lit("shadowed")};
  LinkMetadataItem other_item = {nullptr, 0, str_lit("other")};
  LinkMetadata shadowed = {nullptr, &shadowed_item, str_hash_djb2(str_lit("https://x.org/p"))};
  LinkMetadata meta = {&shadowed, &first, str_hash_djb2(str_lit("https://x.org/p"))};
  LinkMetadata others[64];
  for (int i = 0; i < 64; i += 1) {
    std::string url = "https://x.org/" + std::to_string(i);
    others[i] = {i + 1 < 64 ? &others[i + 1] : &meta, &other_item, str_hash_djb2(sv(url))};
  }
  html_attach_link_metadata(a, &r.links, s, &others[0]);
  StrList out = {};
  html_write(a, &out, r.root);
  std::string written = ss(str_list_join(a, &out, 0));
  EXPECT_NE(written.find("<a href=\"https://x.org/p\">6</a><span class=\"metadata\" >A title</span>"
                         "<span class=\"metadata missing-metadata\" >missing date</span></p>"),
            std::string::npos)
      << written;
  EXPECT_EQ(written.find("shadowed"), std::string::npos) << written;
  EXPECT_EQ(written.find("other"), std::string::npos) << written;
}
