// Complete pages: assembly, the shared files, the index page and the raw view.
#include "test_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "driver/driver_build.h"
#include "gen/gen_page.h"

//~ Helpers

static std::string
written(Arena *a, HtmlNode *root) {
  StrList out = {};
  html_write(a, &out, root);
  return ss(str_list_join(a, &out, 0));
}

// "tag#id" for each element child of the element's content.
static std::vector<std::string>
children(HtmlNode *e) {
  std::vector<std::string> out;
  HtmlNode *content = html_content_of(e);
  for (HtmlNode *c = content->first_child; !html_node_is_nil(c); c = c->next) {
    if (c->type != HtmlNode_Element) continue;
    std::string name = ss(c->element->name.length ? c->element->name : c->text);
    StrView id = html_attribute_value(c, HtmlAttrKind_Id);
    out.push_back(id.length ? name + "#" + ss(id) : name);
  }
  return out;
}

static HtmlNode *
first_element(HtmlNode *root, u32 kind) {
  for (HtmlNode *n = root; !html_node_is_nil(n); n = html_next_preorder(n, root)) {
    if (n->type == HtmlNode_Element && n->element->kind == kind) return n;
  }
  return html_nil_node;
}

static HtmlNode *
by_id(HtmlNode *root, const char *id) {
  return html_find_element_by_attribute_value(root, HtmlAttrKind_Id, str_from_cstr(id));
}

// Every "id" of the page, in page order.
static std::vector<std::string>
ids_of(HtmlNode *root) {
  std::vector<std::string> out;
  for (HtmlNode *n = root; !html_node_is_nil(n); n = html_next_preorder(n, root)) {
    if (n->type == HtmlNode_Element && html_attribute_value(n, HtmlAttrKind_Id).length) {
      out.push_back(ss(html_attribute_value(n, HtmlAttrKind_Id)));
    }
  }
  return out;
}

// The raw text an element holds (its text children, joined).
static std::string
raw_text_of(HtmlNode *e) {
  std::string out;
  HtmlNode *content = html_content_of(e);
  for (HtmlNode *c = content->first_child; !html_node_is_nil(c); c = c->next) {
    if (c->type == HtmlNode_Content) out += ss(c->text);
  }
  return out;
}

// A site in a temporary folder; a run on it begins at its first use, once the test has
// written the shared files it wants, and again at each begin().
struct SiteDir {
  TempDir dir;
  std::string root;  // with its trailing slash
  Site *site = 0;
  SiteDir() : root(dir.path + "/") {}
  Site *begin() {
    SiteSettings settings = {};
    settings.root = str_push_copy(test_arena(), sv(root));
    site = push_struct(test_arena(), Site);
    driver_site_init(site, test_arena(), settings);
    return site;
  }
  Site *run() { return site ? site : begin(); }
  const GenShared *shared() { return &run()->shared; }
};

// The style sheets as a run's first page writes them.
static StrView
sheets_written(SiteDir &site, bool tag) {
  Site *s = site.run();
  driver_shared_first_use(s);
  return tag ? s->shared.tag_css : s->shared.default_css;
}

static PageResult
assemble(Arena *a, SiteDir &site, const std::string &source, const std::string &out_rel,
         const std::string &source_path = "/src/doc.qil") {
  StrView src = str_push_copy(a, sv(source));
  DocParseOptions options = {str_push_copy(a, sv(site.root))};
  DocParseResult *doc = push_struct(a, DocParseResult);
  *doc = doc_parse(a, str_push_copy(a, sv(source_path)), src, doc_tokenize(a, src), &options);
  return page_assemble(a, site.shared(), doc, str_push_copy(a, sv(source_path)),
                       str_push_copy(a, sv(site.root + out_rel)));
}

static const char *small_document =
    "``\n"
    "  title: Hello world\n"
    "  summary: in short\n"
    "``\n"
    "Intro\n"
    "  Some words[*1] and \"https://example.com/a\"\n"
    "[*1] the note\n";

//~ Assembly

TEST(GenPage, PageStructureHeadAndBody) {
  Arena *a = test_arena();
  SiteDir site;
  site.dir.file("shared/html/default_head.html",
                "<html><head><meta charset=\"utf-8\"><link rel=\"stylesheet\" href=\"~/shared/css/site.css\">"
                "<link rel=\"icon\" href=\"https://cdn.example.com/i.png\"><link rel=\"x\" href=\"shared/a.css\">"
                "</head></html>");
  PageResult page = assemble(a, site, small_document, "website/qil/hello.html");
  ASSERT_FALSE(html_node_is_nil(page.document));
  EXPECT_EQ(ss(page.document->text), site.root + "website/qil/hello.html");
  EXPECT_EQ(ss(page.title), "Hello world");

  HtmlNode *html = first_element(page.document, HtmlTagKind_Html);
  EXPECT_EQ(ss(html_attribute_value(html, HtmlAttrKind_Style)), "font-size:18px;");
  EXPECT_EQ(ss(html_attribute_value(html, HtmlAttrKind_Lang)), "en");

  //- head: the shared head's elements with links relative to the page, then the styles and title in order
  HtmlNode *head = first_element(html, HtmlTagKind_Head);
  EXPECT_EQ(children(head), (std::vector<std::string>{"meta", "meta", "link", "link", "link", "style", "style",
                                                      "style", "title", "style"}));
  std::string head_text = written(a, head);
  EXPECT_EQ(head_text.find("<head><meta charset=\"utf-8\"><meta name=\"viewport\""), 0u)
      << "a head without a viewport gets one, after its encoding";
  EXPECT_NE(head_text.find("url(\"../../shared/css/qil/fonts/IconFont.woff2\")"), std::string::npos)
      << "the fonts are found from the page";
  EXPECT_NE(head_text.find("href=\"../../shared/css/site.css\""), std::string::npos) << head_text;
  EXPECT_NE(head_text.find("href=\"../../shared/a.css\""), std::string::npos) << "relative to the root, then the page";
  EXPECT_NE(head_text.find("href=\"https://cdn.example.com/i.png\""), std::string::npos) << "addresses stay";
  EXPECT_NE(head_text.find("<style>*{all:unset;}</style>"), std::string::npos);
  EXPECT_NE(head_text.find("<title>Hello world</title>"), std::string::npos);
  EXPECT_NE(head_text.find("input[type=\"checkbox\"]:checked~[class*=\"toggle-content_i\"]"), std::string::npos);

  //- body: the title heading first, the header strip, the body container, the bottom strip
  HtmlNode *body = first_element(html, HtmlTagKind_Body);
  EXPECT_EQ(children(body), (std::vector<std::string>{"h1", "div#top", "div#b_w", "div#bottom"}));
  HtmlNode *h1 = first_element(body, HtmlTagKind_H1);
  EXPECT_EQ(ss(html_attribute_value(h1, HtmlAttrKind_Style)), "margin-left:7rem;margin-bottom:2rem;");
  HtmlNode *top = by_id(body, "top");
  ASSERT_EQ(children(top).size(), 2u);
  EXPECT_EQ(children(top)[0], "nav#toc");
  HtmlNode *centre = html_content_of(top)->last_child;
  EXPECT_EQ(children(centre), (std::vector<std::string>{"input#toggle-checkbox_cod_", "div#cod_"}));
  std::vector<std::string> container = children(by_id(body, "b_w"));
  ASSERT_GE(container.size(), 3u);
  EXPECT_EQ(container[container.size() - 2], "nav#fn_l") << "the footnotes close the body";
  EXPECT_EQ(container.back(), "footer");
  EXPECT_EQ(ss(html_attribute_value(by_id(body, "bottom"), HtmlAttrKind_Style)), "padding:1rem 2rem;");

  //- the whole page reads back without a parse error
  std::string text = written(a, page.document);
  HtmlParseResult r = html_parse(a, sv(text), str_lit("page.html"), html_tokenize(a, sv(text)), 0, {});
  EXPECT_EQ(r.parse_errors, 0u) << text;
}

TEST(GenPage, TitlesAndIdsPerPage) {
  Arena *a = test_arena();
  SiteDir site;
  //- no title entry: the source's file name without its extension; no head file: an empty head
  PageResult untitled = assemble(a, site, "Body\n  text\n", "p.html", "/src/my.notes.qil");
  EXPECT_EQ(ss(untitled.title), "my.notes");
  EXPECT_EQ(children(first_element(untitled.document, HtmlTagKind_Head)),
            (std::vector<std::string>{"meta", "meta", "style", "style", "style", "title", "style"}));
  EXPECT_TRUE(html_node_is_nil(by_id(untitled.document, "toggle-checkbox_cod_")));

  //- a strong marker is not a word of the title, and its blank still parts the words
  PageResult marked = assemble(a, site, "``\n  title: My _big_ day\n``\n", "m.html");
  EXPECT_EQ(ss(marked.title), "My big day");
  EXPECT_EQ(page_title_text(a, doc_nil_node, str_lit("C:\\site\\win.qil")).length, 3u) << "backslashes part names";

  //- ids begin again on every page
  PageResult one = assemble(a, site, "First\n  \"https://example.com/a\"\n", "1.html");
  PageResult two = assemble(a, site, "Second\n  \"https://example.com/b\"\n", "2.html");
  std::vector<std::string> ids1 = ids_of(one.document), ids2 = ids_of(two.document);
  EXPECT_EQ(ids1, ids2);
  EXPECT_NE(std::find(ids1.begin(), ids1.end(), "he_0"), ids1.end());

  //- a document without headings has no table of contents in its header
  PageResult plain = assemble(a, site, "``\n  title: T\n``\n", "plain.html");
  EXPECT_TRUE(html_node_is_nil(by_id(plain.document, "toc")));
}

//~ Shared files

TEST(GenShared, StyleSheetsDefaultRewrittenEveryRunPerTagKept) {
  SiteDir site;
  std::string css = site.root + "shared/css/qil/css_default.css";
  std::string tag = site.root + "shared/css/qil/css_tag_default.css";
  StrView text = sheets_written(site, false);
  EXPECT_EQ(read_all(css), ss(text));
  EXPECT_EQ(ss(text).rfind("style{display:none;}pre{", 0), 0u) << "element rules first, in table order";
  EXPECT_NE(ss(text).find("li.it_un::marker{font-family:'IconFont';content:'!   ';font-size:0.4rem;}"),
            std::string::npos);
  EXPECT_NE(ss(text).find(".icon-At::before{content:'\\''"), std::string::npos) << "the apostrophe is escaped";
  EXPECT_NE(ss(text).find("#fn_l li{margin-left:0;}#fn_l{font-family:\"Fira Code\";}body{max-width:100%;}"), std::string::npos)
      << "the rules for narrow windows come after the others";
  EXPECT_NE(ss(text).find("@font-face{font-family:'IconFont';src:url(\"fonts/IconFont.woff2\")"), std::string::npos)
      << "the sheet finds its fonts beside it";
  EXPECT_NE(ss(gen_font_faces(test_arena(), str_lit("a\"b\\c</style>/"))).find("url(\"a\\22 b\\5c c\\3c /style>/IconFont"),
            std::string::npos)
      << "a folder cannot end the string or the style element";
  EXPECT_EQ(ss(text).find("blockquote{"), std::string::npos) << "an empty style makes no rule";
  std::string tag_text = ss(sheets_written(site, true));
  EXPECT_EQ(read_all(tag), tag_text);
  EXPECT_EQ(tag_text.find("pre{font-family:Fira Code}"), 0u) << tag_text;
  EXPECT_NE(tag_text.find("sup{font-family:Fira Code}"), std::string::npos);

  //- a new run: the default sheet is written again, the per-tag sheet that holds text is left alone
  site.dir.file("shared/css/qil/css_default.css", "old");
  site.dir.file("shared/css/qil/css_tag_default.css", "mine{}");
  site.begin();
  EXPECT_EQ(ss(sheets_written(site, false)), ss(text));
  EXPECT_EQ(read_all(css), ss(text));
  EXPECT_EQ(ss(sheets_written(site, true)), "mine{}");
  EXPECT_EQ(read_all(tag), "mine{}");

  //- an empty per-tag sheet is filled again
  site.dir.file("shared/css/qil/css_tag_default.css", "");
  site.begin();
  EXPECT_EQ(ss(sheets_written(site, true)), tag_text);
  EXPECT_EQ(read_all(tag), tag_text);
}

TEST(GenShared, StyleSheetWriteFailureKeepsGoing) {
  SiteDir site;
  // A folder where the sheet should be: nothing can replace it, and the text still comes back.
  mkdir((site.root + "shared").c_str(), 0755);
  mkdir((site.root + "shared/css").c_str(), 0755);
  mkdir((site.root + "shared/css/qil").c_str(), 0755);
  mkdir((site.root + "shared/css/qil/css_default.css").c_str(), 0755);
  StrView text = sheets_written(site, false);
  EXPECT_GT(text.length, 1000u);
  struct stat st;
  ASSERT_EQ(stat((site.root + "shared/css/qil/css_default.css").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

static IndexPageList
index_pages(Arena *a, SiteDir &site, std::vector<std::pair<std::string, std::string>> pages) {
  IndexPageList list = {};
  for (auto &p : pages) {
    IndexPage *page = push_struct(a, IndexPage);
    page->path = str_push_copy(a, sv(site.root + p.first));
    page->title = str_push_copy(a, sv(p.second));
    SLLQueuePush(list.first, list.last, page);
    list.count += 1;
  }
  return list;
}

TEST(GenShared, IndexListsPagesByFolder) {
  Arena *a = test_arena();
  SiteDir site;
  std::string index = site.dir.file("website/index.html",
                                    "<!DOCTYPE html>\n<html lang=\"en\">\n<head><title>My index</title></head>\n<body>\n"
                                    "<p>intro</p>\n<ul id=\"zo-l-qil\"><li>stale</li></ul>\n<ul id=\"zo-l-soft\"></ul>\n"
                                    "<ol id=\"zo-l-blog\"><li>old</li></ol>\n</body>\n</html>\n");
  IndexPageList pages = index_pages(a, site,
                                    {{"website/qil/a.html", "A <b>"},
                                     {"website/Softwares/tool.html", "Tool"},
                                     {"website/blog/post.html", "Post"},
                                     {"website/notes/n.html", "Note"},
                                     {"elsewhere/QIL/b.html", "B"}});
  EXPECT_EQ(driver_write_index(site.run(), a, &pages), IndexStatus_Written);
  std::string text = read_all(index);
  EXPECT_EQ(text.find("stale"), std::string::npos) << "the lists are rebuilt";
  EXPECT_NE(text.find("<ul id=\"zo-l-qil\"><li><a href=\"qil/a.html\" >A &lt;b></a></li>"
                      "<li><a href=\"../elsewhere/QIL/b.html\" >B</a></li></ul>"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("<ul id=\"zo-l-soft\"><li><a href=\"Softwares/tool.html\" >Tool</a></li></ul>"),
            std::string::npos);
  EXPECT_NE(text.find("<ol id=\"zo-l-blog\"><li><a href=\"blog/post.html\" >Post</a></li></ol>"), std::string::npos)
      << "any folder has its list";
  EXPECT_EQ(text.find("n.html"), std::string::npos) << "a folder without a list is not listed";
  EXPECT_EQ(text.find("<li>old</li>"), std::string::npos);
  EXPECT_NE(text.find("<title>My index</title>"), std::string::npos) << "the page keeps its own title";
  EXPECT_NE(text.find("<p>intro</p>"), std::string::npos);
  EXPECT_EQ(text.back(), '\n');
  //- the same pages again leave the file as it is
  // An old time on the file: a rewrite would give it the present one.
  struct timespec old[2] = {{0, UTIME_OMIT}, {1000000000, 123}};
  ASSERT_EQ(utimensat(AT_FDCWD, index.c_str(), old, 0), 0);
  struct stat before, after;
  stat(index.c_str(), &before);
  EXPECT_EQ(driver_write_index(site.run(), a, &pages), IndexStatus_Written);
  stat(index.c_str(), &after);
  EXPECT_EQ(read_all(index), text);
  EXPECT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec);
  EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
}

TEST(GenShared, IndexWithParseErrorOrMissing) {
  Arena *a = test_arena();
  SiteDir site;
  IndexPageList pages = index_pages(a, site, {{"website/qil/a.html", "A"}});
  //- a missing index page is made, with no lists to fill
  EXPECT_EQ(driver_write_index(site.run(), a, &pages), IndexStatus_Written);
  std::string made = read_all(site.root + "website/index.html");
  EXPECT_NE(made.find("<head>"), std::string::npos);
  EXPECT_EQ(made.find("a.html"), std::string::npos);

  //- an index whose parse raises an error is the user's to mend: it stays as it is
  std::string broken = "<html><body><ul id=\"zo-l-qil\"><li>keep</li></ul><p a=\"</body></html>";
  std::string index = site.dir.file("website/index.html", broken);
  EXPECT_EQ(driver_write_index(site.run(), a, &pages), IndexStatus_NotParsed);
  EXPECT_EQ(read_all(index), broken);
}

//~ Raw view

TEST(GenRaw, SourceShownAsOneBlockExactly) {
  Arena *a = test_arena();
  SiteDir site;
  std::string source = "Title\n  text & <b>bold</b>\n```\ncode inside\n```\nafter\n";
  PageResult raw = build_raw_page(a, site.shared(), sv(source), str_lit("/src/doc.qil"), sv(site.root + "w/raw_doc.html"),
                                  str_lit("doc.html"));
  HtmlNode *script = first_element(raw.document, HtmlTagKind_Script);
  ASSERT_FALSE(html_node_is_nil(script));
  EXPECT_EQ(ss(html_attribute_value(script, HtmlAttrKind_Type)), "text/plain");
  EXPECT_EQ(raw_text_of(script), source) << "fences inside the source do not end the block";
  HtmlNode *container = by_id(raw.document, "b_w");
  EXPECT_EQ(ss(html_attribute_value(container, HtmlAttrKind_Style)), "padding:2rem;");
  EXPECT_EQ(ss(html_attribute_value(by_id(raw.document, "top"), HtmlAttrKind_Style)), "padding:0;margin:0;");
  EXPECT_EQ(ss(html_attribute_value(first_element(raw.document, HtmlTagKind_Html), HtmlAttrKind_Style)),
            "font-size:18px;background-color:#f1f1f1;");
  std::vector<std::string> kids = children(container);
  ASSERT_FALSE(kids.empty());
  EXPECT_EQ(kids.back(), "a");
  std::string page = written(a, raw.document);
  EXPECT_NE(page.find("<a class=\"btn\"  href=\"doc.html\"  style=\"font-size:0.9rem;position:fixed;top:0;left:0;\" >"
                      "return</a>"),
            std::string::npos);
  // Exactly one script: the raw text ends where the source ends.
  EXPECT_EQ(page.find("</script>"), page.rfind("</script>"));

  //- a source with its own script end tag stays in an ordinary element, escaped
  std::string html_source = "Raw\n  <script>x()</script> &amp;\n";
  PageResult esc = build_raw_page(a, site.shared(), sv(html_source), str_lit("/src/h.qil"), sv(site.root + "w/raw_h.html"),
                                  str_lit("h.html"));
  EXPECT_TRUE(html_node_is_nil(first_element(esc.document, HtmlTagKind_Script)));
  std::string esc_page = written(a, esc.document);
  EXPECT_NE(esc_page.find("&lt;script>x()&lt;/script> &amp;amp;"), std::string::npos) << esc_page;
  HtmlParseResult r = html_parse(a, sv(esc_page), str_lit("raw.html"), html_tokenize(a, sv(esc_page)), 0, {});
  EXPECT_EQ(r.parse_errors, 0u);
}
