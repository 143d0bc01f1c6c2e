#include "test_support.h"

#include "html/html_core.h"

static std::string
tokens_of(const std::string &src) {
  Arena *a = test_arena();
  HtmlTokenList t = html_tokenize(a, sv(src));
  std::string out;
  u64 at = 0;
  for (u64 i = 0; i < t.count; i += 1) {
    EXPECT_EQ(t.tokens[i].start, at);
    at = t.tokens[i].end;
    char kind[16];
    snprintf(kind, sizeof(kind), "%x", t.tokens[i].kind);
    out += (out.empty() ? "" : " ") + std::string(kind) + ":" + src.substr(t.tokens[i].start, t.tokens[i].end - t.tokens[i].start);
  }
  EXPECT_EQ(at, src.size());
  return out;
}

TEST(HtmlTokenizer, TokenTable) {
  struct Row {
    const char *src;
    const char *expect;
  } rows[] = {
      {"<a href=\"x\">", "10:< 2:a 40:  2:href 10:= 404:\"x\" 10:>"},
      {"</p><br/>", "10:</ 2:p 10:> 10:< 2:br 10:/>"},
      {"\t \r\n\n", "40:\t \r 80:\n 80:\n"},
      {"data-x(1)?[y]", "2:data-x(1)?[y]"},
      {"12.5px -3 .5 -a", "1:12.5px 40:  1:-3 40:  1:.5 40:  8:- 2:a"},
      {"&lt &lt; &gt; &amp; &apos; &quot; &#47; &#45; &nbsp;", "4008:&lt 40:  4008:&lt 8:; 40:  4008:&gt; 40:  4008:&amp; 40:  4008:&apos; 40:  4008:&quot; 40:  4008:&#47; 40:  4008:&#45; 40:  8:& 2:nbsp 8:;"},
      {"'a\"b' \"c'd\"", "104:'a\"b' 40:  404:\"c'd\""},
      {"\"open", "1404:\"open"},
      {"\"a<b\" 'c<d'", "1404:\" 2:a 10:< 2:b 1404:\" 40:  304:' 2:c 10:< 2:d 1104:'"},
      {"!-- ${}|~ #", "8:!-- 40:  8:${}|~ 40:  8:#"},
      {"caf\xc3\xa9", "2:caf\xc3 800:\xa9"},
      {"a/>", "2:a 10:/>"},
  };
  for (const Row &r : rows) EXPECT_EQ(tokens_of(r.src), r.expect) << r.src;
}

struct Parsed {
  HtmlParseResult r;
  std::string messages;
};

static Parsed
parse(const std::string &src, u32 flags = HtmlParse_CheckAll) {
  Arena *a = test_arena();
  Parsed p = {};
  StrView s = str_push_copy(a, sv(src));
  p.r = html_parse(a, s, str_lit("p.html"), html_tokenize(a, s), flags, str_lit("/root/"));
  for (Diagnostic *d = p.r.diagnostics.first; d; d = d->next) {
    LineCol lc = str_line_col(s, d->offset);
    p.messages += std::to_string(d->severity) + " " + std::to_string(lc.line) + ":" + std::to_string(lc.column) +
                  " " + ss(d->message) + "\n";
  }
  return p;
}

static const std::string T = "<title>t</title>";

TEST(HtmlParser, MessagesAndPositions) {
  struct Row {
    std::string src;
    std::string messages;
  } rows[] = {
      {T + "<!DOCTYPE html>", ""},
      {T + "<!doctype html>",
       "3 1:17 Tag label expected after '<' symbol, was: !doctype. If inside a text, escape it with &lt;\n"
       "3 1:18 Unexpected \"!\" token.\n3 1:19 Unexpected \"doctype\" token.\n3 1:27 Unexpected \"html\" token.\n"
       "3 1:31 Unexpected \">\" token.\n"},
      {T + "<p>1 < 2</p>",
       "3 1:22 Tag label expected after '<' symbol, was: 2. If inside a text, escape it with &lt;\n"},
      {T + "<div>\n<p>x</div>",
       "3 2:7 The tag name \"p\" has no matching closing tag name. You may have an opening tag without matching "
       "closing one.\n"},
      {T + "<a href>x</a>", "3 1:24 href's value was a boolean flag but shouldn't \n"},
      {T + "<a href id=\"i\">x</a>", ""},
      {T + "<a href=\"x>y</a>", "3 1:25 href's Attribute value has string broken.\n3 1:27 x's value was a boolean flag but shouldn't \n"},
      {T + "<p ?>x</p>", "3 1:20 Unexpected \"?\" token.\n"},
      {"<p>no title</p>", "2 1:1 document missing title\n"},
      {T + "stray", "3 1:17 Unexpected \"stray\" token.\n"},
  };
  for (const Row &r : rows) EXPECT_EQ(parse(r.src).messages, r.messages) << r.src;
  EXPECT_EQ(parse(T + "<p>1 < 2</p>", HtmlParse_LenientLt).messages, "");
  EXPECT_EQ(parse(T + "<!doctype html>").r.parse_errors, 5u);
  // A blank after "<" makes no element, even before a word: the text stays text.
  EXPECT_EQ(parse(T + "<p>x < y</p>").messages,
            "3 1:22 Tag label expected after '<' symbol, was: y. If inside a text, escape it with &lt;\n");
  EXPECT_EQ(parse("<p>no title</p>").r.parse_errors, 0u) << "the missing title is no parse error";
}

TEST(HtmlParser, TreeShapes) {
  Arena *a = test_arena();
  auto written = [&](const std::string &src, u32 flags = HtmlParse_CheckAll) {
    Parsed p = parse(src, flags);
    StrList out = {};
    html_write(a, &out, p.r.root);
    return ss(str_list_join(a, &out, 0));
  };
  EXPECT_EQ(written("<!DOCTYPE html><html><head>" + T + "</head></html>"),
            "<!DOCTYPE html ><html lang=\"en\" ><head>" + T + "</head></html>");
  EXPECT_EQ(written(T + "<p>a = b > c</p>"), T + "<p>a = b > c</p>");
  EXPECT_EQ(written(T + "<p>1 < 2</p>", HtmlParse_LenientLt), T + "<p>1 &lt; 2</p>");
  EXPECT_EQ(written(T + "<script>if (a</b) x();</script>"), T + "<script>if (a</b) x();</script>");
  EXPECT_EQ(written(T + "<img src=a/b.png alt=x>"), T + "<img src=\"a/b.png\"  alt=\"x\" >");
  EXPECT_EQ(written(T + "<P CLASS=\"x\">y</P >"), T + "<p CLASS=\"x\" >y</p>");
  // A wrong end tag closes the element and the one around it; both keep their content.
  EXPECT_EQ(written(T + "<div><p>x</div><p>after</p>"), T + "<div><p>x</p></div><p>after</p>");
  Parsed dt = parse("<!DOCTYPE html>" + T);
  HtmlNode *doctype = dt.r.root->first_child;
  EXPECT_EQ(doctype->element->kind, (u32)HtmlTagKind_Doctype);
  EXPECT_EQ(doctype->first_child->child_count, 1u);
  EXPECT_EQ(doctype->first_child->first_child->attribute->kind, (u32)HtmlAttrKind_Html);
  HtmlParseResult empty = html_check_text(a, StrView{}, str_lit("e.html"), HtmlParse_CheckAll, {});
  EXPECT_EQ(empty.root, nullptr);
}

TEST(HtmlParser, SkeletonPlacesTheFirstElement) {
  Arena *a = test_arena();
  auto written = [&](const std::string &src) {
    Parsed p = parse(src, HtmlParse_Skeleton);
    StrList out = {};
    html_write(a, &out, p.r.root);
    return ss(str_list_join(a, &out, 0));
  };
  const std::string skeleton = "<!DOCTYPE html ><html lang=\"en\" ><head></head><body></body>";
  EXPECT_EQ(written("<meta charset=\"utf-8\">" + T), skeleton + "<meta charset=\"utf-8\" >" + T + "</html>");
  // An element whose parent is no skeleton part ("ul") once linked "head" a second
  // time, and "body" fell out of the tree.
  EXPECT_EQ(written("<li>x</li>" + T), skeleton + "<li>x</li>" + T + "</html>");
  EXPECT_EQ(written("<td>x</td>"), skeleton + "<td>x</td></html>");
  // The page's own "html" is found: the skeleton adds nothing.
  EXPECT_EQ(written("<html><head>" + T + "</head></html>"), "<html lang=\"en\" ><head>" + T + "</head></html>");
}

TEST(HtmlParser, EveryErrorCountsPastTheKeptMessages) {
  // One error per stray token: only the first messages are kept, all are counted.
  std::string src = T;
  for (int i = 0; i < 5000; i += 1) src += " stray";
  Parsed p = parse(src);
  EXPECT_EQ(p.r.parse_errors, 5000u);
  EXPECT_EQ(p.r.diagnostics.count, 5000u);
  u64 kept = 0;
  for (Diagnostic *d = p.r.diagnostics.first; d; d = d->next, kept += 1) {
    EXPECT_EQ(ss(d->message), "Unexpected \"stray\" token.");
  }
  EXPECT_EQ(kept, (u64)DIAG_KEEP_MAX);
  EXPECT_EQ(p.r.diagnostics.max_severity, (s32)DiagSeverity_Error);
}

// A hand-written page is written back over its only copy: link values must come out
// exactly as the author wrote them, whatever the site root.
TEST(HtmlUrl, PageValuesStayAsWritten) {
  Arena *a = test_arena();
  const char *values[] = {"~/blog/a.html", "sub\\page.html", "a\\\\b", "a?x=//y", "~/q?r=//s\\t#~/f",
                          "..//x//y", "https://example.com//x"};
  for (const char *value : values) {
    std::string src = T + "<p><a href=\"" + value + "\">x</a><img src='" + value + "'></p>";
    for (const char *root : {"/root/", ""}) {
      StrView s = str_push_copy(a, sv(src));
      HtmlParseResult r = html_parse(a, s, str_lit("p.html"), html_tokenize(a, s), HtmlParse_CheckAll,
                                     str_from_cstr(root));
      ASSERT_EQ(r.parse_errors, 0u) << src;
      HtmlNode *link = html_find_last_element_by_kind(r.root, HtmlTagKind_A);
      HtmlNode *img = html_find_last_element_by_kind(r.root, HtmlTagKind_Img);
      EXPECT_EQ(ss(html_attribute_value(link, HtmlAttrKind_Href)), value);
      EXPECT_EQ(ss(html_attribute_value(img, HtmlAttrKind_Src)), value);
      StrList out = {};
      html_write(a, &out, r.root);
      std::string once = ss(str_list_join(a, &out, 0));
      EXPECT_EQ(once, T + "<p><a href=\"" + value + "\" >x</a><img src=\"" + value + "\" ></p>") << value;
      // Written again, nothing moves.
      StrView s2 = str_push_copy(a, sv(once));
      HtmlParseResult again = html_parse(a, s2, str_lit("p.html"), html_tokenize(a, s2), HtmlParse_CheckAll,
                                         str_from_cstr(root));
      StrList out2 = {};
      html_write(a, &out2, again.root);
      EXPECT_EQ(ss(str_list_join(a, &out2, 0)), once) << value;
    }
  }
}

TEST(HtmlUrl, NormalizeValues) {
  Arena *a = test_arena();
  struct Row {
    const char *root, *value, *expect;
  } rows[] = {
      {"/site/", "~/blog/a.html", "/site/blog/a.html"},
      {"/site/", "\"~/x\"", "/site/x"},
      {"/site/", "a\\b\\\\c//d", "a/b/c/d"},
      {"", "docs/page.html", "docs/page.html"},  // no root: the value is kept whole
      {"/site/", "https://example.com//x", "https://example.com//x"},
      {"/site/", "//cdn.example.com/lib.js", "//cdn.example.com/lib.js"},
      {"/site/", "data:image/png;base64,AB//CD", "data:image/png;base64,AB//CD"},
      {"/site/", "mailto:me@example.com", "mailto:me@example.com"},
      {"/site/", "#top", "#top"},
  };
  for (const Row &r : rows) {
    StrView once = html_normalize_url_value(a, str_from_cstr(r.root), str_from_cstr(r.value));
    EXPECT_EQ(ss(once), r.expect) << r.value;
    EXPECT_EQ(ss(html_normalize_url_value(a, str_from_cstr(r.root), once)), r.expect) << "stable: " << r.value;
  }
}
