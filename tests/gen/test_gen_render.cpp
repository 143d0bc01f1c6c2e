// The document renderer. Most behaviour is in example files (tests/gen/examples): a qil
// document, a line ".", and the body container as html_write writes it, shown one tag
// to a line: a line break is put before every "<" after the first, and the written
// text's own line breaks and backslashes are spelled "\n" and "\\". Cases are
// separated by "====" lines; "## " lines name them. A case whose name holds
// "(checked)" is parsed with local targets looked up on disk, so they are missing.
#include "test_support.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "doc/doc_dump.h"
#include "driver/driver_build.h"
#include "gen/gen_render.h"
#include "os/os_core.h"

//~ Helpers

struct RenderCase {
  std::string file;
  std::string name;
  std::string input;
  std::string expected;
};

static std::vector<RenderCase>
load_render_cases() {
  std::vector<RenderCase> cases;
  std::string dir = std::string(QILSITE_SOURCE_DIR) + "/tests/gen/examples";
  std::vector<std::string> files;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d)) {
      std::string n = e->d_name;
      if (n.size() > 4 && n.substr(n.size() - 4) == ".txt") files.push_back(n);
    }
    closedir(d);
  }
  std::sort(files.begin(), files.end());
  for (const std::string &f : files) {
    std::ifstream in(dir + "/" + f, std::ios::binary);
    std::string line;
    RenderCase c = {f, "", "", ""};
    bool in_expected = false;
    auto flush = [&]() {
      if (!c.input.empty() || !c.expected.empty()) cases.push_back(c);
      c = {f, "", "", ""};
      in_expected = false;
    };
    while (std::getline(in, line)) {
      if (line == "====") flush();
      else if (!in_expected && c.input.empty() && line.rfind("## ", 0) == 0) c.name = line.substr(3);
      else if (!in_expected && line == ".") in_expected = true;
      else if (in_expected) c.expected += line + "\n";
      else c.input += line + "\n";
    }
    flush();
  }
  return cases;
}

static std::string
written(Arena *a, HtmlNode *root) {
  StrList out = {};
  html_write(a, &out, root);
  return ss(str_list_join(a, &out, 0));
}

// One tag to a line, as the example files show it.
static std::string
display(const std::string &html) {
  std::string out;
  for (size_t i = 0; i < html.size(); i += 1) {
    char c = html[i];
    if (c == '<' && i > 0) out += '\n';
    if (c == '\n') out += "\\n";
    else if (c == '\\') out += "\\\\";
    else out += c;
  }
  return out + "\n";
}

static bool
html_reparses(Arena *a, const std::string &html) {
  StrView text = sv(html);
  HtmlParseResult r = html_parse(a, text, str_lit("body.html"), html_tokenize(a, text), 0, {});
  return r.parse_errors == 0;
}

struct Rendered {
  DocParseResult doc;
  RenderResult result;
  HtmlNode *body;
  RenderPageInfo page;
  std::string html;
};

// Parses and renders as page assembly does: the table of contents first and the
// footnotes last among the document's children, ids counted from 0.
static Rendered
render_qil(Arena *a, const std::string &source, bool checked = false, const char *output_path = 0) {
  Rendered r = {};
  StrView src = str_push_copy(a, sv(source));
  DocParseOptions opts = {str_lit("/site/")};
  r.doc = doc_parse(a, str_lit("/site/doc.qil"), src, doc_tokenize(a, src), &opts);
  // Local targets are looked up after parsing, as the build does.
  if (checked) driver_check_document_targets(a, &r.doc, str_lit("/site/"));
  if (!doc_node_is_nil(r.doc.toc->first_child)) doc_node_prepend(r.doc.root, r.doc.toc);
  if (!doc_node_is_nil(r.doc.footnotes->first_child)) doc_node_append(r.doc.root, r.doc.footnotes);
  StrView out = output_path ? str_from_cstr(output_path) : str_lit("/site/page.html");
  for (StrNode *n = r.doc.output_paths.first; n && !output_path; n = n->next) {
    if (str_equal(str_skip_last_dot(n->string), str_lit("html"))) {
      out = n->string;
      break;
    }
  }
  r.page = {out, str_lit("/site/"), 0};
  r.body = html_element_create(a, HtmlTagKind_Div, {});
  StrList css = {};
  r.result = render_document(a, r.doc.root, r.body, &r.page, &r.doc.anchors, &css);
  r.html = written(a, r.body);
  return r;
}

static bool
doc_has_raw_html(DocNode *root) {
  for (DocNode *n = root; !doc_node_is_nil(n); n = doc_node_next_preorder(n, root)) {
    if (n->kind == DocNodeKind_RawHtml) return true;
  }
  return false;
}

//~ Example files

TEST(GenRenderExamples, EveryExampleFileCase) {
  std::vector<RenderCase> cases = load_render_cases();
  ASSERT_GT(cases.size(), 20u);
  bool print = getenv("QIL_GEN_EXAMPLES_PRINT") != nullptr;
  for (const RenderCase &c : cases) {
    Arena *a = arena_create_sized(MB(64), KB(64));
    bool checked = c.name.find("(checked)") != std::string::npos;
    Rendered r = render_qil(a, c.input, checked);
    std::string got = display(r.html);
    if (print) printf("%s\n## %s\n%s.\n%s====\n", c.file.c_str(), c.name.c_str(), c.input.c_str(), got.c_str());
    else EXPECT_EQ(got, c.expected) << c.file << ": " << c.name;
    // What the renderer writes is read back by our own parser without an error.
    if (!doc_has_raw_html(r.doc.root)) {
      EXPECT_TRUE(html_reparses(a, r.html)) << c.file << ": " << c.name;
    }
    arena_release(a);
  }
}

//~ Icons

TEST(GenRenderIcons, TableNamesGlyphsAndRules) {
  Arena *a = test_arena();
  struct Row {
    u32 icon;
    const char *name;
    const char *glyph;
  } rows[] = {
      {IconKind_Nil, "Nil", ""},          {IconKind_Menu, "Menu", "\""},       {IconKind_DownDir, "DownDir", "%"},
      {IconKind_LeftDir, "LeftDir", "E"}, {IconKind_At, "At", "'"},           {IconKind_EllipsisVert, "EllipsisVert", "3"},
      {IconKind_Link, "Link", "7"},       {IconKind_List, "List", "@"},       {IconKind_Colon, "Colon", "D"},
      {IconKind_HelpCircled, "HelpCircled", "G"}, {IconKind_User, "User", "P"}, {IconKind_Square, "Square", "!"},
      {IconKind_CheckEmpty, "CheckEmpty", "T"},   {IconKind_Bookmark, "Bookmark", "V"},
  };
  EXPECT_EQ(IconKind_COUNT, 37u);
  for (const Row &r : rows) {
    EXPECT_EQ(ss(icon_info(r.icon)->name), r.name);
    EXPECT_EQ(ss(icon_info(r.icon)->glyph), r.glyph) << r.name;
  }
  for (u32 i = 1; i < IconKind_COUNT; i += 1) EXPECT_EQ(icon_info(i)->glyph.length, 1u) << "one byte: " << i;
  EXPECT_EQ(ss(icon_info(999)->name), "Nil") << "an unknown icon is Nil";

  // The element: a span with exactly the two classes, and no text.
  EXPECT_EQ(written(a, icon_element(a, IconKind_DownDir)), "<span class=\"icon icon-DownDir\" ></span>");

  // The rules: the font rule first, then one per icon; only the apostrophe is escaped.
  StrList rules = {};
  icon_style_rules(a, &rules);
  std::vector<std::string> got = list_strings(rules);
  ASSERT_EQ(got.size(), 38u);
  EXPECT_EQ(got[0], ".icon{font-family:'IconFont';width:1em;height:1em;display:inline-block;text-align:center;}");
  EXPECT_EQ(got[1], ".icon-Nil::before{content:'';}");
  EXPECT_EQ(got[2], ".icon-Menu::before{content:'\"';}");
  EXPECT_EQ(got[1 + IconKind_At], ".icon-At::before{content:'\\'';}");
  EXPECT_EQ(got[1 + IconKind_Bookmark], ".icon-Bookmark::before{content:'V';}");
}

//~ JPEG files and images

// A JPEG start: SOI, a JFIF segment with the densities, a frame header with the size.
static std::string
jpeg_bytes(u16 width, u16 height, u16 dx, u16 dy) {
  std::string b = "\xFF\xD8";
  b += std::string("\xFF\xE0\x00\x10JFIF\x00\x01\x01\x01", 12);
  b += (char)(dx >> 8), b += (char)dx, b += (char)(dy >> 8), b += (char)dy;
  b += std::string("\x00\x00", 2);
  b += std::string("\xFF\xC0\x00\x11\x08", 5);
  b += (char)(height >> 8), b += (char)height, b += (char)(width >> 8), b += (char)width;
  b += std::string("\x03\x01\x22\x00", 4);
  b += "\xFF\xD9";
  return b;
}

// A JPEG file's size, as the build reads it before assembly.
static JpegInfo
jpeg_read_info(Arena *a, StrView path) {
  return jpeg_info_from_bytes(a, os_read_file(a, path));
}

TEST(GenRenderJpeg, SizesRatioAndCutFiles) {
  TempDir dir;
  Arena *a = test_arena();
  std::string full = jpeg_bytes(1600, 800, 1, 1);
  JpegInfo info = jpeg_read_info(a, sv(dir.file("a.jpg", full)));
  EXPECT_EQ(info.width, 1600);
  EXPECT_EQ(info.height, 800);
  EXPECT_EQ(info.density_x, 1);
  EXPECT_EQ(info.density_y, 1);
  EXPECT_EQ(ss(info.ratio), "2:1") << "(1600 mod 256) / (800 mod 256) = 64 / 32";

  // Cut inside the frame header: the size is not there to read.
  size_t frame = full.find("\xFF\xC0");
  JpegInfo cut = jpeg_read_info(a, sv(dir.file("cut.jpg", full.substr(0, frame + 6))));
  EXPECT_EQ(cut.width, 0);
  EXPECT_EQ(cut.height, 0);
  EXPECT_EQ(ss(cut.ratio), "");

  // A marker in the last bytes is not read past the end: the size read before stays.
  std::string tail = full + std::string("\xFF\xC0\x12", 3);
  JpegInfo t = jpeg_read_info(a, sv(dir.file("tail.jpg", tail)));
  EXPECT_EQ(t.width, 1600);
  EXPECT_EQ(t.height, 800);
  std::string tail_jfif = full + std::string("\xFF\xE0\x00\x10JFIF", 8);
  EXPECT_EQ(jpeg_read_info(a, sv(dir.file("tail2.jpg", tail_jfif))).density_x, 1);

  // No density, or a height that divides to 0: no ratio, and no division by zero.
  EXPECT_EQ(ss(jpeg_read_info(a, sv(dir.file("d0.jpg", jpeg_bytes(1600, 800, 0, 1)))).ratio), "");
  EXPECT_EQ(ss(jpeg_read_info(a, sv(dir.file("h0.jpg", jpeg_bytes(1600, 256, 1, 1)))).ratio), "");
  EXPECT_EQ(jpeg_read_info(a, sv(dir.path + "/missing.jpg")).width, 0);
}

// A document whose image target is `target`, rendered for a page under `root`.
static std::string
render_image_page(Arena *a, const std::string &root, const std::string &line) {
  StrView src = str_push_copy(a, sv(line));
  StrView root_view = str_push_copy(a, sv(root));
  DocParseOptions opts = {root_view};
  DocParseResult doc = doc_parse(a, str_lit("doc.qil"), src, doc_tokenize(a, src), &opts);
  RenderPageInfo page = {str_push_copy(a, sv(root + "out/page.html")), root_view, 0};
  // Sizes are measured before assembly, as the build does.
  RenderImageSizes sizes = driver_measure_images(a, doc.root, &page);
  page.images = &sizes;
  HtmlNode *body = html_element_create(a, HtmlTagKind_Div, {});
  render_document(a, doc.root, body, &page, &doc.anchors, 0);
  return written(a, body);
}

TEST(GenRenderImages, JpegSizesFromLocalFilesOnly) {
  TempDir dir;
  Arena *a = test_arena();
  std::string root = dir.path + "/";
  dir.file("img/cat.jpg", jpeg_bytes(1600, 800, 1, 1));
  // The size comes from the file; "src" is written from the page's folder.
  EXPECT_EQ(render_image_page(a, root, "_\"~/img/cat.jpg\""),
            "<div><h2><img src=\"../img/cat.jpg\"  width=\"1600\"  height=\"800\"  draggable=\"false\" ></h2></div>");
  // A size given in the description wins over the file's.
  EXPECT_EQ(render_image_page(a, root, "_\"~/img/cat.jpg\"(64x32)"),
            "<div><h2><img src=\"../img/cat.jpg\"  width=\"64\"  height=\"32\"  draggable=\"false\" ></h2></div>");
  // A missing or cut file gives no size at all, not a size of 0.
  dir.file("img/cut.jpg", jpeg_bytes(1600, 800, 1, 1).substr(0, 24));
  EXPECT_EQ(render_image_page(a, root, "_\"~/img/cut.jpg\""),
            "<div><h2><img src=\"../img/cut.jpg\"  draggable=\"false\" ></h2></div>");

  // A web address is never opened as a file, even where a file of that name exists.
  char old_cwd[4096];
  ASSERT_TRUE(getcwd(old_cwd, sizeof old_cwd));
  dir.file("https:/example.com/a.jpg", jpeg_bytes(1600, 800, 1, 1));
  dir.file("example.com/a.jpg", jpeg_bytes(1600, 800, 1, 1));
  ASSERT_EQ(chdir(dir.path.c_str()), 0);
  std::string web = render_image_page(a, root, "_\"https://example.com/a.jpg\"");
  ASSERT_EQ(chdir(old_cwd), 0);
  EXPECT_EQ(web, "<div><h2><img src=\"https://example.com/a.jpg\"  draggable=\"false\" ></h2></div>");
}

TEST(GenRenderImages, ElementArgumentsAndWalkPosition) {
  Arena *a = test_arena();
  StrView src = str_lit("_\"https://x.org/a.png\"(\"A <b> cat\", 640x480, left) _\"https://x.org/b.png\"(left, 12x) after");
  DocParseOptions opts = {str_lit("/site/")};
  DocParseResult doc = doc_parse(a, str_lit("doc.qil"), src, doc_tokenize(a, src), &opts);
  DocNode *image = doc.root->first_child->first_child;
  ASSERT_TRUE(image->flags & DocNodeFlag_Image);
  DocNode *at = image;
  EXPECT_EQ(written(a, image_element(a, &at, 0)),
            "<img src=\"https://x.org/a.png\"  alt=\"A &lt;b> cat\"  width=\"640\"  height=\"480\"  "
            "data-title=\"A &lt;b> cat\"  draggable=\"false\" >");
  EXPECT_EQ(at, image->first_child->last_child) << "the walk goes on after the last argument";
  // Arguments without an "x" between two parts set no size.
  DocNode *second = image->next;
  ASSERT_TRUE(second->flags & DocNodeFlag_Image);
  at = second;
  EXPECT_EQ(written(a, image_element(a, &at, 0)), "<img src=\"https://x.org/b.png\"  draggable=\"false\" >");
}

//~ Links for the page

TEST(GenRenderLinks, PageLinksAreRelativeToThePageFolder) {
  Arena *a = test_arena();
  RenderPageInfo page = {str_lit("/site/blog/2024/post.html"), str_lit("/site/"), 0};
  struct Row {
    const char *target;
    const char *want;
  } rows[] = {
      {"/site/blog/2024/img.png", "img.png"},
      {"/site/blog/other.html", "../other.html"},
      {"/site/index.html", "../../index.html"},
      {"/site/docs/a b/x.html#part", "../../docs/a b/x.html#part"},
      {"/site/blog/2024/../x.html?q=1", "../x.html?q=1"},
      {"\\site\\blog\\2024\\win.html", "win.html"},
      {"/site/docs/", "../../docs/"},
      {"/site/blog/2024/", "./"},
      {"/siteother/x.html", "/siteother/x.html"},
      {"/elsewhere/x.html", "/elsewhere/x.html"},
      {"https://example.com/a\\b", "https://example.com/a/b"},
      {"./rel.html", "./rel.html"},
  };
  for (const Row &r : rows) EXPECT_EQ(ss(render_page_link(a, &page, str_from_cstr(r.target))), r.want) << r.target;
  // A page outside the root, or no page path: targets stay as written.
  RenderPageInfo outside = {str_lit("/var/www/post.html"), str_lit("/site/"), 0};
  EXPECT_EQ(ss(render_page_link(a, &outside, str_lit("/site/x.html"))), "/site/x.html");
  RenderPageInfo none = {{}, str_lit("/site/"), 0};
  EXPECT_EQ(ss(render_page_link(a, &none, str_lit("/site/x.html"))), "/site/x.html");
}

//~ Pending text

TEST(GenRenderFlush, DatesCategoriesAndText) {
  Arena *a = test_arena();
  struct Row {
    u32 mode;
    std::vector<std::string> pieces;
    const char *want;
  } rows[] = {
      {RenderMode_Date, {"2024/5/5/15/4/5"}, "<time datetime=\"2024-05-05\" >5 May 2024, 03:04:05 pm</time>"},
      {RenderMode_Date, {"2024", "-", "12", "-", "31"}, "<time datetime=\"2024-12-31\" >31 Dec 2024, 12:00:00 am</time>"},
      {RenderMode_Date, {"2024-0-1"}, "<time>1 Err 2024, 12:00:00 am</time>"},
      {RenderMode_Date, {"2024-13-1-12"}, "<time>1 Err 2024, 12:00:00 pm</time>"},
      {RenderMode_Date, {"2023-2-29"}, "<time>29 Feb 2023, 12:00:00 am</time>"},
      {RenderMode_Date, {"2024-2-29"}, "<time datetime=\"2024-02-29\" >29 Feb 2024, 12:00:00 am</time>"},
      {RenderMode_Categories, {";", "ab", ";", "cd", ";", "e"},
       "<span class=\"cat-it\" >ab</span><span class=\"cat-it\" >cd</span>"},
      {RenderMode_Plain, {"a", " ", "b"}, "a b"},
      {RenderMode_LinkValue, {"x"}, "x"},
      {RenderMode_Date, {}, ""},
  };
  for (const Row &r : rows) {
    HtmlNode *p = html_element_create(a, HtmlTagKind_Div, {});
    StrList pending = {};
    for (const std::string &piece : r.pieces) str_list_push(a, &pending, str_push_copy(a, sv(piece)));
    render_flush_text(a, p, doc_nil_node, &pending, r.mode);
    EXPECT_EQ(written(a, p), std::string("<div>") + r.want + "</div>") << r.want;
  }
}

//~ Tables built by hand

static DocNode *
node(Arena *a, u32 kind, u8 number, const char *text = "") {
  DocNode *n = doc_node_create(a, kind, 0, str_from_cstr(text), str_from_cstr(text), 0);
  n->number = number;
  return n;
}

TEST(GenRenderTables, CellsOfOneRowShareItsRow) {
  // One column with two header cells, each with a cell of row 0: the two cells land in
  // the same row of the column's table.
  Arena *a = test_arena();
  DocNode *doc = node(a, DocNodeKind_Document, 0);
  DocNode *table = node(a, DocNodeKind_Table, 0);
  doc_node_append(doc, table);
  for (const char *word : {"x", "y"}) {
    DocNode *header = node(a, DocNodeKind_TableHeader, 0);
    doc_node_append(table, header);
    doc_node_append(header, node(a, DocNodeKind_Text, 0, "H"));
    DocNode *cell = node(a, DocNodeKind_TableCell, 0);
    doc_node_append(header, cell);
    doc_node_append(cell, node(a, DocNodeKind_Text, 0, word));
  }
  HtmlNode *body = html_element_create(a, HtmlTagKind_Div, {});
  RenderPageInfo page = {};
  render_document(a, doc, body, &page, 0, 0);
  EXPECT_EQ(written(a, body),
            "<div><table><thead><tr><th>H</th><th>H</th></tr></thead>"
            "<tbody><tr><td>x</td><td>y</td></tr></tbody></table></div>");
}

//~ Whole documents

TEST(GenRenderDocument, PureAndRepeatable) {
  Arena *a = test_arena();
  std::string source =
      "``\n  title: Hello world\n  summary: in short\n  output_path: \"~/out/page.html\"\n``\n"
      "Top a<b \"~/x.html\" _\"~/img/a.png\"\n  > quoted\n";
  Rendered first = render_qil(a, source);
  std::string tree = doc_dump_tree(first.doc.root);
  // Rendering the same tree again, with the counter reset, gives the same page...
  RenderPageInfo page = first.page;
  page.counter = 0;
  HtmlNode *body = html_element_create(a, HtmlTagKind_Div, {});
  RenderResult again = render_document(a, first.doc.root, body, &page, &first.doc.anchors, 0);
  EXPECT_EQ(written(a, body), first.html);
  EXPECT_EQ(page.counter, first.page.counter) << "the counter counts the ids taken";
  EXPECT_GT(page.counter, 0u);
  // ...and leaves the document tree as it was: no "&lt;", no marks, no relative paths in it.
  EXPECT_EQ(doc_dump_tree(first.doc.root), tree);
  EXPECT_NE(tree.find("Text \"<\""), std::string::npos);
  EXPECT_EQ(ss(again.output_path), "/site/out/page.html");
  EXPECT_EQ(ss(again.raw_link), "/site/out/raw_page.html");
  // Without a container the body goes into a "div" of the fragment.
  RenderPageInfo p2 = {};
  RenderResult r = render_document(a, first.doc.root, html_nil_node, &p2, &first.doc.anchors, 0);
  ASSERT_EQ(r.fragment->type, (u32)HtmlNode_Fragment);
  EXPECT_EQ(r.fragment->first_child->element->kind, (u32)HtmlTagKind_Div);
  EXPECT_NE(written(a, r.fragment).find("Hello"), std::string::npos);
}

TEST(GenRenderDocument, DeepTreesAndOddNodes) {
  // A very deep tree is walked without recursion: lists nested 200000 deep.
  Arena *a = arena_create_sized(GB(2), MB(1));
  DocNode *doc = node(a, DocNodeKind_Document, 0);
  DocNode *at = doc;
  for (int i = 0; i < 200000; i += 1) {
    DocNode *list = node(a, DocNodeKind_List, (u8)i);
    DocNode *item = node(a, DocNodeKind_ListItem, 0);
    doc_node_append(at, list);
    doc_node_append(list, item);
    at = item;
  }
  doc_node_append(at, node(a, DocNodeKind_Text, 0, "deep"));
  // An anchor linked into the tree by mistake is not followed into the node it marks.
  DocNode *anchor = node(a, DocNodeKind_InlineAnchor, 1);
  anchor->first_child = doc;
  doc_node_append(doc, anchor);
  doc_node_append(doc, node(a, DocNodeKind_Text, 0, "end"));
  HtmlNode *body = html_element_create(a, HtmlTagKind_Div, {});
  RenderPageInfo page = {};
  render_document(a, doc, body, &page, 0, 0);
  std::string html = written(a, body);
  EXPECT_EQ(html.substr(html.size() - 9), "end</div>");
  EXPECT_NE(html.find("deep</li>"), std::string::npos);
  arena_release(a);
}
