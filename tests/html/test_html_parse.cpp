#include "test_support.h"

#include "html/html_core.h"

static std::string
tokens_of(const std::string &src) {
  Arena *a = test_arena();
  HtmlTokenList t = html_tokenize(a, sv(src));
  std::string out;
  u64 at = 0;
  for (u64 i = 0; i < t.count; i += 1) {
    const HtmlToken &k = t.tokens[i];
    EXPECT_EQ(k.start, at) << "tokens cover the text in order: " << src;
    at = k.end;
    static const char *kinds[] = {"?", "text", "start", "end", "comment", "doctype", "markup"};
    out += (out.empty() ? "" : " ") + std::string(kinds[k.kind]) + ":" + src.substr(k.start, k.end - k.start);
    if (k.kind == HtmlLex_StartTag || k.kind == HtmlLex_EndTag) out += "[" + src.substr(k.name_start, k.name_end - k.name_start) + "]";
    for (u64 j = 0; j < k.attr_count; j += 1) {
      const HtmlTokenAttr &attr = t.attrs[k.attr_first + j];
      out += "{" + src.substr(attr.name_start, attr.name_end - attr.name_start) + "=" +
             src.substr(attr.value_start, attr.value_end - attr.value_start) + "}";
    }
  }
  EXPECT_EQ(at, src.size()) << src;
  return out;
}

TEST(HtmlTokenizer, SpansAsBrowsersReadThem) {
  struct Row {
    const char *src;
    const char *expect;
  } rows[] = {
      {"<a href=\"x>y\" id=b checked>t</a>", "start:<a href=\"x>y\" id=b checked>[a]{href=\"x>y\"}{id=b}{checked=} text:t end:</a>[a]"},
      {"<P CLASS='x'/>", "start:<P CLASS='x'/>[P]{CLASS='x'}"},
      {"<br/><col span=2>", "start:<br/>[br] start:<col span=2>[col]{span=2}"},
      {"<!doctype HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\">", "doctype:<!doctype HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\">"},
      {"<!-- a <b> -- c -->x", "comment:<!-- a <b> -- c --> text:x"},
      {"<!--[if IE]><p>x</p><![endif]-->", "comment:<!--[if IE]><p>x</p><![endif]-->"},
      {"<!---->|<!-->|<!--->|", "comment:<!----> text:| comment:<!--> text:| comment:<!---> text:|"},
      {"\xEF\xBB\xBF<?xml version=\"1.0\"?><x>", "text:\xEF\xBB\xBF comment:<?xml version=\"1.0\"?> start:<x>[x]"},
      {"1 < 2 <3 a<", "text:1 < 2 <3 a<"},
      {"<script>if (a</b) x('</scrip');</SCRIPT >", "start:<script>[script] text:if (a</b) x('</scrip'); end:</SCRIPT >[SCRIPT]"},
      {"<script><!--<script></script>--></script>", "start:<script>[script] text:<!--<script></script>--> end:</script>[script]"},
      {"<textarea><b>&amp;</textarea>", "start:<textarea>[textarea] text:<b>&amp; end:</textarea>[textarea]"},
      {"<title>a<b</title><style>p>a{}</style>", "start:<title>[title] text:a<b end:</title>[title] start:<style>[style] text:p>a{} end:</style>[style]"},
      {"<svg><style>x</style><![CDATA[<y>]]><circle/></svg>", "start:<svg>[svg] start:<style>[style] text:x end:</style>[style] markup:<![CDATA[<y>]]> start:<circle/>[circle] end:</svg>[svg]"},
      {"<a href=x/>", "start:<a href=x/>[a]{href=x/}"},
      {"<img alt=dir/ >", "start:<img alt=dir/ >[img]{alt=dir/}"},
      {"<a b=c=d>", "start:<a b=c=d>[a]{b=c=d}"},
      {"<p xml:lang=fr data-url_root=\"./\">", "start:<p xml:lang=fr data-url_root=\"./\">[p]{xml:lang=fr}{data-url_root=\"./\"}"},
      {"</>x</ y>", "markup:</> text:x comment:</ y>"},
      {"<a href=\"x", "markup:<a href=\"x"},
      {"<!-- open", "comment:<!-- open"},
  };
  for (const Row &r : rows) EXPECT_EQ(tokens_of(r.src), r.expect) << r.src;
}

struct Parsed {
  HtmlParseResult r;
  std::string messages;
  std::string written;
};

static Parsed
parse(const std::string &src, u32 flags = HtmlParse_CheckAll) {
  Arena *a = test_arena();
  Parsed p = {};
  StrView s = str_push_copy(a, sv(src));
  p.r = html_parse(a, s, str_lit("p.html"), html_tokenize(a, s), flags, str_lit("/root/"));
  html_validate(a, &p.r);
  for (Diagnostic *d = p.r.diagnostics.first; d; d = d->next) {
    LineCol lc = str_line_col(s, d->offset);
    p.messages += std::to_string(d->severity) + " " + std::to_string(lc.line) + ":" + std::to_string(lc.column) +
                  " " + ss(d->message) + "\n";
  }
  StrList out = {};
  html_write(a, &out, p.r.root);
  p.written = ss(str_list_join(a, &out, 0));
  return p;
}

static const std::string T = "<title>t</title>";
static const std::string D = "<!DOCTYPE html><html lang=\"en\"><title>t</title>";

// Valid HTML as people write it: no error, no warning, and written back byte for byte.
TEST(HtmlParser, ValidPagesAreAcceptedAndKept) {
  const std::string pages[] = {
      "<!doctype html><html lang=fr><title>t</title><p>un<p>deux",
      "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Strict//EN\" \"http://www.w3.org/TR/xhtml1/DTD/xhtml1-strict.dtd\">"
      "<html xmlns=\"http://www.w3.org/1999/xhtml\" xml:lang=\"en\" lang=\"en\"><head><title>t</title></head>"
      "<body><p>x<br /></p></body></html>\n",
      "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!DOCTYPE html><html lang=\"en\"><title>t</title>",
      D + "<!-- note --><!--[if lt IE 9]><script src=\"x.js\"></script><![endif]--><p>a</p>",
      D + "<details open><summary>s</summary><select><option selected>1<option>2</select></details>",
      D + "<ul><li>one<li>two</ul><dl><dt>t<dd>d</dl><table><tr><th>h<td>c<tr><td>d</table>",
      D + "<table><colgroup><col><col span=2></colgroup><caption>c</caption><tbody><tr><td>1</table>",
      D + "<p>a<wbr>b</p><map name=m><area href=\"#x\" alt=a></map><object data=x><param name=a value=b></object>",
      D + "<P>x</p><DIV CLASS=y>z</Div><a href=/docs/>d</a><img src=i.png alt=dir/>",
      D + "<a href=\"?a=1&b=<2>\" title='x\"y'>q</a>",
      D + "<svg viewBox=\"0 0 2 2\" xmlns:xlink=\"http://www.w3.org/1999/xlink\"><circle r=\"1\"/>"
          "<use xlink:href=\"#c\"/><linearGradient id=\"g\"/></svg><math><mi>x</mi></math>",
      D + "<my-card data-id=\"1\" aria-label=\"c\" role=\"note\" onclick=\"f()\">x</my-card><b>b</b><abbr>a</abbr>",
      D + "<script src=\"a.js\"></script><div></div><span id=s></span><a id=top></a><canvas></canvas>"
          "<textarea><p>not a tag</p></textarea><output></output><iframe src=\"f.html\"></iframe>",
      D + "<a href=\"\">here</a><p>one <b>two</b> three</p>\n<p>four</p>",
      D + "<p><small>s</small><sub>1</sub><sup>2</sup><kbd>k</kbd><var>v</var><samp>s</samp><dfn>d</dfn>"
          "<mark>m</mark><cite>c</cite><s>s</s><q>q</q><time datetime=\"2024\">t</time><data value=1>d</data></p>",
      D + "<form method=post enctype=\"multipart/form-data\"><input type=range max=9 step=1 autocomplete=off>"
          "<progress max=1></progress><meter value=1></meter><button formnovalidate></button></form>",
      D + "<picture><source srcset=\"a.webp\"><img src=\"a.png\" alt=\"\" loading=lazy></picture>"
          "<dialog open></dialog><hgroup><h1>h</h1></hgroup><address>a</address>",
      D + "<template><li>x</template><noscript><p>n</p></noscript>",
  };
  for (const std::string &page : pages) {
    Parsed p = parse(page);
    EXPECT_EQ(p.messages, "") << page;
    EXPECT_EQ(p.written, page);
    EXPECT_EQ(p.r.parse_errors, 0u) << page;
  }
}

TEST(HtmlParser, MessagesAndPositions) {
  struct Row {
    std::string src;
    std::string messages;
  } rows[] = {
      {D + "<p>1 < 2</p>", "3 1:53 a \"<\" that starts no tag: write it as &lt;\n"},
      {D + "<div>\n<span>x</div>", "3 2:1 <span> is not closed before </div>: add </span>\n"},
      {D + "<div>x</span>", "3 1:48 <div> is never closed: add </div>\n3 1:54 </span> closes nothing: no <span> is open here; remove it\n"},
      {D + "<input value=a=b>", "2 1:62 \"=\" in a value without quotes: put the value between double quotes\n"},
      {D + "<section>\n<div>x", "3 1:48 <section> is never closed: add </section>\n3 2:1 <div> is never closed: add </div>\n"},
      {D + "<a href=\"x>y</a>", "3 1:48 the text ends inside this tag: close it with \">\"\n"},
      {D + "<div/>x</div>", "3 1:48 \"/>\" does not close <div> in HTML (only void elements such as <br/> may end so): write <div></div>\n"},
      {D + "<p>x</p></p>", "3 1:56 </p> with no paragraph open: browsers add an empty paragraph here; remove it\n"},
      {D + "<blinky>x</blinky><center>c</center>", "3 1:48 blinky unknown tag element\n3 1:66 <center> is obsolete: use CSS or a current element instead\n"},
      {D + "<td align=left bogus=1>", "2 1:52 the align attribute is obsolete: use CSS instead\n3 1:63 bogus unknown attribute\n"},
      {D + "<div href=x><a href=y type=t download>z</a></div>", "3 1:53 href is not an attribute of <div>: remove it\n"},
      {D + "<p class=a class=b data-x=1 data-y=2>", "3 1:51 class is a duplicated attribute\n3 1:59 class is a duplicated attribute\n"},
      {D + "<img src=\"\" alt=a><a href>x</a>", "3 1:53 attribute's key src must not be empty\n"},
      {"<!DOCTYPE html><html><title> </title>", "2 1:16 <html> has no lang attribute: add the page's language (lang=\"en\", lang=\"fr\") for screen readers and translators\n3 1:22 the title is empty: write what the page is between <title> and </title>\n"},
      {"<!DOCTYPE html><html lang=en><p>no title</p>", "2 1:1 document missing title\n"},
      {D + "<p>x</p><!DOCTYPE html>", "3 1:56 the doctype must come first, before any tag or text: move it to the top\n"},
      {D + "<p>\x01\x02 x\x03</p>", "3 1:51 control characters in the text (is this an HTML file?): remove them\n3 1:55 control characters in the text (is this an HTML file?): remove them\n"},
  };
  for (const Row &r : rows) {
    Parsed p = parse(r.src);
    EXPECT_EQ(p.messages, r.messages) << r.src;
    EXPECT_EQ(p.written, r.src) << "even a page with errors is kept whole in the tree";
  }
}

// What a start tag ends before it opens, as browsers have it: the tree holds the
// elements where a browser puts them.
TEST(HtmlParser, ImpliedEndsShapeTheTree) {
  auto shape = [](const std::string &src) {
    Parsed p = parse(src, 0);
    std::string out;
    HtmlNode *root = p.r.root;
    for (HtmlNode *n = root; !html_node_is_nil(n); n = html_next_preorder(n, root)) {
      if (n->type != HtmlNode_Element) continue;
      int depth = 0;
      for (HtmlNode *up = n->parent; !html_node_is_nil(up) && up != root; up = up->parent) depth += up->type == HtmlNode_Element;
      out += std::string(depth, '.') + ss(n->text) + " ";
    }
    return out;
  };
  EXPECT_EQ(shape("<ul><li>a<li>b<ul><li>c</ul></ul>"), "ul .li .li ..ul ...li ");
  EXPECT_EQ(shape("<p>a<div>b</div><p>c<table><tr><td>1<td>2<tr><td>3</table>"), "p div p table .tr ..td ..td .tr ..td ");
  EXPECT_EQ(shape("<html><head><title>t</title><p>x</p>"), "html .head ..title .p ");
  EXPECT_EQ(shape("<dl><dt>a<dd>b<dt>c</dl><select><option>1<option>2</select>"), "dl .dt .dd .dt select .option .option ");
  EXPECT_EQ(shape("<svg><circle/><g><path/></g><p>out"), "svg .circle .g ..path p ");
  EXPECT_EQ(shape("<a href=1>x<a href=2>y</a>"), "a a ");
}

TEST(HtmlParser, EveryErrorCountsPastTheKeptMessages) {
  // One error per stray end tag: only the first messages are kept, all are counted.
  std::string src = D;
  for (int i = 0; i < 5000; i += 1) src += "</x>";
  Parsed p = parse(src);
  EXPECT_EQ(p.r.parse_errors, 5000u);
  EXPECT_EQ(p.r.diagnostics.count, 5000u);
  u64 kept = 0;
  for (Diagnostic *d = p.r.diagnostics.first; d; d = d->next, kept += 1) {
    EXPECT_EQ(ss(d->message), "</x> closes nothing: no <x> is open here; remove it");
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
      EXPECT_EQ(once, src) << value;
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

// The ids a fragment can name, the same whether the page comes whole or a byte at a time
// (a tag, a comment or a script's end cut anywhere between two pieces).
TEST(HtmlIds, FoundWholeOrInPieces) {
  std::string long_id(HTML_ID_MAX + 10, 'L');
  std::string page = "<!DOCTYPE html><title>a <b id=t1></title><H2 ID = \"One\">x</h2><a NAME=old>o</a>"
                     "<div name=notanchor></div><p title='x > y' id='a&amp;b'>p</p><!-- <p id=c1> --><!--><p id=after>"
                     "<script>var s = '<p id=s1>'; if (a</scriptx) {}</script ><p id=bare/>"
                     "<p id=\"" + long_id + "\"></p><p id=\"unended";
  struct Ask {
    const char *fragment;
    bool found;
  } asks[] = {{"One", true}, {"one", false}, {"old", true}, {"notanchor", false}, {"a&b", true},
              {"a%26b", true}, {"c1", false}, {"after", true}, {"s1", false}, {"bare/", true},
              {"t1", false}, {"unended", false}, {"", true}, {"TOP", true}, {":~:text=x", true},
              {"One:~:text=x", true}, {"zz", false}};
  Arena *a = test_arena();
  HtmlIdSet whole = html_ids_of(a, sv(page));
  HtmlIdScan *scan = push_struct(a, HtmlIdScan);
  html_id_scan_begin(scan);
  for (size_t i = 0; i < page.size(); i += 1) html_id_scan_feed(a, scan, sv(page.substr(i, 1)));
  for (const HtmlIdSet *set : std::vector<const HtmlIdSet *>{&whole, &scan->ids}) {
    for (const Ask &k : asks) EXPECT_EQ(html_fragment_found(set, str_from_cstr(k.fragment)), k.found) << k.fragment;
    // A name as long as one that was cut is not judged; a short one still is.
    EXPECT_TRUE(html_fragment_found(set, sv(long_id)));
  }
  // Many ids: each found, none of the others.
  std::string many;
  for (int i = 0; i < 20000; i += 1) many += "<i id=n" + std::to_string(i) + ">";
  HtmlIdSet set = html_ids_of(a, sv(many));
  EXPECT_EQ(set.count, 20000u);
  EXPECT_TRUE(html_fragment_found(&set, str_lit("n19999")));
  EXPECT_FALSE(html_fragment_found(&set, str_lit("n20000")));
}
