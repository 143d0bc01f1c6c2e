// Parser behaviour as example files: each case is a qil input, a line ".", and the
// tree it must give. Cases are separated by "====" lines; "## " lines name them.
// Below them: trees that depend on the answers the parser keeps between lines
// (headings of a section, line starts of a table row, enclosing quotations), and the
// cost of long hostile inputs, in time and memory.
#include "test_support.h"

#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "doc/doc_dump.h"

struct ExampleCase {
  std::string file;
  std::string name;
  std::string input;
  std::string expected;
};

static std::vector<ExampleCase>
load_examples() {
  std::vector<ExampleCase> cases;
  std::string dir = std::string(QILSITE_SOURCE_DIR) + "/tests/doc/examples";
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
    ExampleCase c = {f, "", "", ""};
    bool in_expected = false;
    auto flush = [&]() {
      if (!c.input.empty() || !c.expected.empty()) cases.push_back(c);
      c = {f, "", "", ""};
      in_expected = false;
    };
    while (std::getline(in, line)) {
      if (line == "====") {
        flush();
      } else if (!in_expected && c.input.empty() && line.rfind("## ", 0) == 0) {
        c.name = line.substr(3);
      } else if (!in_expected && line == ".") {
        in_expected = true;
      } else if (in_expected) {
        c.expected += line + "\n";
      } else {
        c.input += line + "\n";
      }
    }
    flush();
  }
  return cases;
}

// Example inputs may spell tabs and CRs as "\t" and "\r" to keep them visible.
static std::string
unescape_input(const std::string &s) {
  std::string out;
  for (size_t i = 0; i < s.size(); i += 1) {
    if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == 't') out += '\t', i += 1;
    else if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == 'r') out += '\r', i += 1;
    else out += s[i];
  }
  return out;
}

TEST(DocExamples, EveryExampleFileCase) {
  std::vector<ExampleCase> cases = load_examples();
  ASSERT_GT(cases.size(), 0u);
  bool print = getenv("QIL_EXAMPLES_PRINT") != nullptr;
  for (const ExampleCase &c : cases) {
    Arena *arena = arena_create_sized(MB(64), KB(64));
    std::string input = unescape_input(c.input);
    StrView src = sv(input);
    DocParseOptions opts = {str_lit("/site/")};
    DocParseResult r = doc_parse(arena, str_lit("doc.qil"), src, doc_tokenize(arena, src), &opts);
    std::string got = doc_dump_result(r, src);
    if (print) printf("## %s\n%s.\n%s====\n", c.name.c_str(), c.input.c_str(), got.c_str());
    EXPECT_EQ(got, c.expected) << c.file << ": " << c.name;
    arena_release(arena);
  }
}

//~ Kept answers

static std::string
dump_of(const std::string &input) {
  Arena *arena = arena_create_sized(MB(64), KB(64));
  StrView src = sv(input);
  DocParseOptions opts = {str_lit("/site/")};
  DocParseResult r = doc_parse(arena, str_lit("doc.qil"), src, doc_tokenize(arena, src), &opts);
  std::string got = doc_dump_result(r, src);
  arena_release(arena);
  return got;
}

// The parser keeps what it found for one line to answer the next lines; these trees
// are those the fresh search of every line gave, in the orders where a kept answer
// is most easily wrong.
TEST(DocKeptAnswers, TreesMatchThoseOfFreshSearches) {
  struct Case {
    const char *name;
    std::string input;
    std::string expected;
  } cases[] = {
      {"A level-4 line goes under the first level-2 heading in pre-order, even inside a closed nested section",
       R"(``
  ``
      b
  ``
        c
    d
        e
      f
``
)",
       R"(Document
  TopCollapsible
    Collapsible
      Heading 2 +insection
        Text "b"
        Heading 4 +insection
          Text "c"
        Heading 4 +insection
          Text "e"
        Paragraph 3 +insection
          Text "f"
    Heading 2 +insection
      Text "d"
)"},
      {"A level-3 line before any level-2 heading stays in the section; after one, it goes under it",
       R"(``
      p
    h
      q
``
)",
       R"(Document
  TopCollapsible
    Paragraph 3 +insection
      Text "p"
    Heading 2 +insection
      Text "h"
      Paragraph 3 +insection
        Text "q"
)"},
      {"Each level-4 line goes under the latest level-2 heading",
       R"(``
    a
        b
    c
        d
``
)",
       R"(Document
  TopCollapsible
    Heading 2 +insection
      Text "a"
      Heading 4 +insection
        Text "b"
    Heading 2 +insection
      Text "c"
      Heading 4 +insection
        Text "d"
)"},
      {"Bars after a line break inside a cell (a lone CR, raw HTML) still find their columns",
       R"(|---|---|---|
| a )" "\r" R"( | b | c |
| x ~{<i>
</i>}~ | y | z |
)",
       R"(Document
  Table 0 +columns +nested
    Table 1 +columns +nested
      Table 2 +columns +nested
        Table 3 +columns +nested
        TableHeader
          Text "c"
          TableCell 0
            Text "z"
      TableHeader
        Text "b"
        TableCell 0
          Text "y"
    TableHeader
      Text "a"
      TableCell 0
        Text "x" +space
        RawHtml "<i>\n</i>"
warning 2:7 this bar does not stand under a bar of the table's first line: its cell goes to the table's column 2 by order; move the bar to column 5 of the line, under that column's bar
warning 4:8 this bar does not stand under a bar of the table's first line: its cell goes to the table's column 2 by order; move the bar to column 5 of the line, under that column's bar
)"},
      {"Unaligned bars fill the columns in order",
       R"(|---|-----|---|
|a|b|c|d|
|  e  |f|
)",
       R"(Document
  Table 0 +columns +nested
    Table 1 +columns +nested
      Table 2 +columns +nested
        Table 3 +columns +nested
          TableHeader
            Text "d"
            TableCell 0
        TableHeader
          Text "c"
          TableCell 0
      TableHeader
        Text "b"
        TableCell 0
          Text "f"
    TableHeader
      Text "a"
      TableCell 0
        Text "e"
warning 2:3 this bar does not stand under a bar of the table's first line: its cell goes to the table's column 2 by order; move the bar to column 5 of the line, under that column's bar
warning 3:7 this bar does not stand under a bar of the table's first line: its cell goes to the table's column 2 by order; move the bar to column 5 of the line, under that column's bar
)"},
      {"Bars in link descriptions inside a quotation are passed over; outside they are unexpected",
       R"(T
  > a "u://x"(b | c) d
  e | f
)",
       R"(Document
  Heading 0
    Text "T"
  Quote 1
    Paragraph 1
      Text "a" +space
      Text "u://x" raw="\"u://x\"" +space +file
        LinkDescription
          Text "b" +space
          Text "c"
      Text "d"
  Paragraph 1
    Text "e" +space
    Text "f"
Toc
  Heading 0
    Text "T"
error 3:5 Unexpected \"|\" token.
)"},
      {"Inline sections of one line each read their own metadata key",
       R"(``
  x `` title: a `` b `` author: c ``
``
)",
       R"(Document
  TopCollapsible
    Paragraph 1 +insection
      Text "x" +space
      Collapsible +space +inline
        MetaEntry "title"
          Text "a"
      Text "b" +space
      Collapsible +inline
        MetaEntry "author"
          Text "c"
title: a
)"},
      {"Nested link descriptions and table cells with bars in descriptions",
       R"(x "u://x"(a. "u://x"(b. c) d
|---|---|---|
| "u://x"(1 | 2) | "u://y"(3 | 4) |
)",
       R"(Document
  Heading 0
    Text "x" +space
    Text "u://x" raw="\"u://x\"" +file
      LinkDescription
        List 0 +alpha +inlinelist
          ListItem 0
            Text "u://x" raw="\"u://x\"" +space +file
              LinkDescription
                Text "b"
                Text "." +space
                Text "c"
            Text "d"
    Table 0 +columns +nested
      Table 1 +columns +nested
        Table 2 +columns +nested
          Table 3 +columns +nested
            TableHeader
              Text "u://y" raw="\"u://y\"" +file
                LinkDescription
                  Text "3" +space
                  Text "4"
      TableHeader
        Text "u://x" raw="\"u://x\"" +file
          LinkDescription
            Text "1" +space
            Text "2"
Toc
  Heading 0
    Text "x" +space
    Text "u://x" raw="\"u://x\"" +file
error 3:13 Unexpected \"|\" token.
warning 3:18 this bar does not stand under a bar of the table's first line: its cell goes to the table's column 4 by order; move the bar to column 13 of the line, under that column's bar
error 3:30 Unexpected \"|\" token.
)"},
      {"A heading placed in an earlier nested section becomes the first of its level",
       R"(``
  ``
      b
  ``
  ``
      h
          i
  ``
            z
        c
            y
``
)",
       R"(Document
  TopCollapsible
    Collapsible
      Heading 2 +insection
        Text "b"
        Heading 4 +insection
          Text "c"
          Heading 6 +insection
            Text "y"
    Collapsible
      Heading 2 +insection
        Text "h"
        Heading 4 +insection
          Text "i"
          Heading 6 +insection
            Text "z"
)"},
  };
  for (const Case &c : cases) EXPECT_EQ(dump_of(c.input), c.expected) << c.name;
}

//~ Long inputs

static std::string
repeated(const std::string &head, const std::string &unit, size_t n) {
  std::string s = head;
  while (s.size() < n) s += unit;
  return s;
}

// Unusable tokens are reported, not kept as nodes: a binary file must not cost a
// node per byte.
TEST(DocLongInputs, UnusableTokensCostNoMemoryEach) {
  std::string input = repeated("", "}~", 400000);
  Arena *arena = arena_create_sized(GB(1), MB(1));
  u64 before = arena_pos(arena);
  DocParseResult r = doc_parse_file(arena, sv(input), str_lit("p.qil"), 0);
  EXPECT_EQ(r.diagnostics.count, 200000u);
  EXPECT_LT(arena_pos(arena) - before, (u64)KB(64)) << "200,000 unusable tokens";
  arena_release(arena);
}
