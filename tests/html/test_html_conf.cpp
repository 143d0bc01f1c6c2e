// The searchers configuration and the link preview extraction. How files are read is
// mostly in example files (tests/html/conf_examples): a configuration, a line ".", and
// the finders it gives, one line per item, indented by level:
//   finder
//     url "<pattern>"
//     marker <types in hex> "<prefix>"
//       searcher
//         start "<marker>"
//         end "<marker>"
// Strings are shown between quotes exactly as read (they hold no line feed). Cases are
// separated by "====" lines; "## " lines name them. QIL_CONF_EXAMPLES_PRINT=1 prints
// every case with what the reader gives instead of checking.
#include "test_support.h"

#include <dirent.h>

#include <algorithm>
#include <fstream>

#include "html/html_searchers.h"

//~ Helpers

static std::string
dump_finders(const SourceFinderList &finders) {
  std::string out;
  u64 finder_count = 0;
  for (SourceFinder *f = finders.first; f; f = f->next) {
    finder_count += 1;
    out += "finder\n";
    for (StrNode *u = f->urls.first; u; u = u->next) out += "  url \"" + ss(u->string) + "\"\n";
    u64 marker_count = 0;
    for (DataMarker *m = f->data_markers.first; m; m = m->next) {
      marker_count += 1;
      char types[16];
      snprintf(types, sizeof(types), "0x%x", m->types);
      out += "  marker " + std::string(types) + " \"" + ss(m->prefix) + "\"\n";
      u64 searcher_count = 0;
      for (Searcher *s = m->searchers.first; s; s = s->next) {
        searcher_count += 1;
        out += "    searcher\n";
        for (StrNode *n = s->start.first; n; n = n->next) out += "      start \"" + ss(n->string) + "\"\n";
        for (StrNode *n = s->end.first; n; n = n->next) out += "      end \"" + ss(n->string) + "\"\n";
      }
      if (searcher_count != m->searchers.count) out += "    (searcher count " + std::to_string(m->searchers.count) + ")\n";
    }
    if (marker_count != f->data_markers.count) out += "  (marker count " + std::to_string(f->data_markers.count) + ")\n";
  }
  if (finder_count != finders.count) out += "(finder count " + std::to_string(finders.count) + ")\n";
  return out;
}

static SourceFinderList
read_conf(Arena *a, const std::string &text) {
  return conf_read_text(a, str_push_copy(a, sv(text)));
}

struct ConfCase {
  std::string file;
  std::string name;
  std::string input;
  std::string expected;
};

static std::vector<ConfCase>
load_conf_cases() {
  std::vector<ConfCase> cases;
  std::string dir = std::string(QILSITE_SOURCE_DIR) + "/tests/html/conf_examples";
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
    ConfCase c = {f, "", "", ""};
    bool in_expected = false;
    auto flush = [&]() {
      if (in_expected) cases.push_back(c);
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

// Every link of the tree agrees with its neighbours, and the counts hold.
static bool
tree_is_sound(ConfNode *root) {
  for (ConfNode *n = root; !conf_node_is_nil(n); n = conf_next_preorder(n, root)) {
    u64 count = 0;
    ConfNode *prev = conf_nil_node;
    for (ConfNode *c = n->first_child; !conf_node_is_nil(c); c = c->next) {
      if (c->parent != n || c->prev != prev) return false;
      prev = c;
      count += 1;
    }
    if (count != n->child_count || prev != n->last_child) return false;
  }
  return true;
}

// The tree in one line: "Key(text)" with its children in brackets, strings quoted.
static std::string
dump_tree(ConfNode *root) {
  std::string out;
  for (ConfNode *n = root->first_child; !conf_node_is_nil(n);) {
    switch (n->type) {
      case ConfNode_Key: out += ss(n->text); break;
      case ConfNode_Object: out += conf_node_is_nil(n->first_child) ? "{}" : "{"; break;
      case ConfNode_String: out += "\"" + ss(n->text) + "\""; break;
      default: out += "?"; break;
    }
    if (!conf_node_is_nil(n->first_child)) {
      out += n->type == ConfNode_Object ? " " : "[";
      n = n->first_child;
      continue;
    }
    while (n != root && conf_node_is_nil(n->next)) {
      n = n->parent;
      if (n != root) out += n->type == ConfNode_Object ? "}" : "]";
    }
    if (n == root) break;
    out += " ";
    n = n->next;
  }
  return out;
}

static std::string
tree_of(const std::string &text) {
  Arena *a = test_arena();
  StrView s = str_push_copy(a, sv(text));
  ConfNode *root = conf_parse(a, s, conf_tokenize(a, s));
  EXPECT_TRUE(tree_is_sound(root)) << text;
  EXPECT_EQ(root->type, (u64)ConfNode_Root);
  EXPECT_TRUE(str_identical(root->text, s));
  return dump_tree(root);
}

static std::string
tokens_of(const std::string &text) {
  Arena *a = test_arena();
  ConfTokenList t = conf_tokenize(a, sv(text));
  std::string out;
  u64 at = 0;
  for (u64 i = 0; i < t.count; i += 1) {
    EXPECT_EQ(t.tokens[i].start, at) << text;
    EXPECT_LT(t.tokens[i].start, t.tokens[i].end) << text;
    at = t.tokens[i].end;
    char kind[16];
    snprintf(kind, sizeof(kind), "%x", t.tokens[i].kind);
    out += (out.empty() ? "" : " ") + std::string(kind) + ":" +
           text.substr(t.tokens[i].start, t.tokens[i].end - t.tokens[i].start);
  }
  EXPECT_EQ(at, text.size()) << text;
  return out;
}

//~ Tokenizer

TEST(ConfTokenizer, TokenTable) {
  struct Row {
    const char *label;
    const char *text;
    const char *expect;
  } rows[] = {
      {"blanks run, a line feed stands alone", "\t \r\x0b\n\n", "40:\t \r\x0b 80:\n 80:\n"},
      {"structure", ":[]{},", "10:: 10:[ 10:] 10:{ 10:} 10:,"},
      {"key words wherever they begin", "urls prefix searchers data_markers end types source_finders start fuzzy",
       "10:urls 40:  10:prefix 40:  10:searchers 40:  10:data_markers 40:  10:end 40:  10:types 40:  "
       "10:source_finders 40:  10:start 40:  10:fuzzy"},
      {"a key word starting a word splits it", "endpoint prefixes", "10:end 2:point 40:  10:prefix 2:es"},
      {"a key word inside a word does not", "weekend Urls Data_markers", "2:weekend 40:  2:Urls 40:  2:Data_markers"},
      {"words and numbers as in HTML", "a-b(1)? 12.5px -3 .5", "2:a-b(1)? 40:  1:12.5px 40:  1:-3 40:  1:.5"},
      {"a quote in quotes", "\"\"\" \"'\"", "404:\"\"\" 40:  404:\"'\""},
      {"an empty string", "\"\"\n", "404:\"\" 80:\n"},
      {"a string ends at its last quote before the stop",
       "\"<meta name=\"description\" content=\"\"]", "404:\"<meta name=\"description\" content=\"\" 10:]"},
      {"single quotes, double quotes inside", "'a\"b' x\n", "104:'a\"b' 40:  2:x 80:\n"},
      {"the comma stops a string", "\"a\", \"b\"\n", "404:\"a\" 10:, 40:  404:\"b\" 80:\n"},
      {"only the opening quote: broken up to the stop", "\"open, \"b\"\n", "1404:\"open 10:, 40:  404:\"b\" 80:\n"},
      {"broken up to the line feed", "'open\nx", "1104:'open 80:\n 2:x"},
      {"at the end of the text a closed string is whole", "\"a\"  ", "404:\"a\" 40:  "},
      {"at the end of the text an open one is broken", "\"a", "1404:\"a"},
      {"stray punctuation takes the rest of the text", "urls # x\nurls", "10:urls 40:  2:# x\nurls"},
      {"an underscore is stray punctuation at a token start", "_x urls", "2:_x urls"},
      {"other bytes one at a time", "<=>\x01", "800:< 800:= 800:> 800:\x01"},
      {"UTF-8 as in HTML", "caf\xc3\xa9", "2:caf\xc3 800:\xa9"},
  };
  for (const Row &r : rows) EXPECT_EQ(tokens_of(r.text), r.expect) << r.label;
  EXPECT_EQ(conf_tokenize(test_arena(), {}).count, 0u) << "an empty text has no tokens";
}

//~ Parser

TEST(ConfParser, TreeShapes) {
  struct Row {
    const char *label;
    const char *text;
    const char *expect;
  } rows[] = {
      {"strings under a key, with and without brackets", "urls: [\"a\", \"b\"] prefix: \"p\"",
       "urls[\"a\" \"b\"] prefix[\"p\"]"},
      {"a comma instead of the colon", "urls, \"a\"", "urls[\"a\"]"},
      {"a comma after the list opens it again", "urls: [\"a\"], [\"b\"] types: [\"t\"]",
       "urls[\"a\" \"b\"] types[\"t\"]"},
      {"quotes are dropped from the text", "start: ['\"', \"\"\"]", "start[\"\"\" \"\"\"]"},
      {"a broken string keeps what follows its quote", "start: [\"<h1>, \"x\"]", "start[\"<h1>\" \"x\"]"},
      {"objects nest", "source_finders: { data_markers: { searchers: { start: [\"s\"] } } }",
       "source_finders[{ data_markers[{ searchers[{ start[\"s\"]}]}]}]"},
      {"\"}\" ends the object, keys go on outside", "source_finders: { urls: \"a\"\n} prefix: \"p\"",
       "source_finders[{ urls[\"a\"]}] prefix[\"p\"]"},
      {"a stray \"}\" at the top is skipped", "} } urls: \"a\"", "urls[\"a\"]"},
      {"\"fuzzy\" is no key", "fuzzy: \"a\"\nurls: \"b\"", "urls[\"b\"]"},
      {"a key without values", "urls prefix: \"p\"", "urls prefix[\"p\"]"},
      {"words between a key and its colon are skipped", "urls sites: \"a\"", "urls[\"a\"]"},
      {"a string in the keys of an object is skipped", "\"a\"\nurls: \"b\"", "urls[\"b\"]"},
      {"a colon among values ends the key", "urls: \"a\"\n: \"b\"", "urls[\"a\"]"},
      {"a text cut inside an object", "source_finders: { urls: [\"a\"", "source_finders[{ urls[\"a\"]}]"},
  };
  for (const Row &r : rows) EXPECT_EQ(tree_of(r.text), r.expect) << r.label;
  EXPECT_EQ(tree_of(""), "") << "an empty text is a root alone";
}

TEST(ConfParser, NodesPointIntoTheText) {
  Arena *a = test_arena();
  StrView s = str_push_copy(a, sv("urls: ['x']"));
  ConfNode *root = conf_parse(a, s, conf_tokenize(a, s));
  ConfNode *key = root->first_child;
  ASSERT_EQ(key->type, (u64)ConfNode_Key);
  EXPECT_EQ(ss(key->text), "urls");
  EXPECT_EQ(key->source_offset, 0u);
  ConfNode *str = key->first_child;
  ASSERT_EQ(str->type, (u64)ConfNode_String);
  EXPECT_EQ(ss(str->text), "x");
  EXPECT_EQ(ss(str->raw), "'x'");
  EXPECT_EQ(str->source_offset, 7u);
  EXPECT_TRUE(conf_node_is_nil(str->first_child));
  EXPECT_TRUE(conf_node_is_nil(root->next));
  EXPECT_EQ(conf_nil_node->first_child, conf_nil_node) << "the nil node leads to itself";
}

//~ Reader

TEST(ConfExamples, EveryExampleFileCase) {
  std::vector<ConfCase> cases = load_conf_cases();
  ASSERT_GE(cases.size(), 10u);
  bool print = getenv("QIL_CONF_EXAMPLES_PRINT") != nullptr;
  for (const ConfCase &c : cases) {
    Arena *a = arena_create_sized(MB(64), KB(64));
    std::string got = dump_finders(read_conf(a, c.input));
    if (print) printf("%s\n## %s\n%s.\n%s====\n", c.file.c_str(), c.name.c_str(), c.input.c_str(), got.c_str());
    else EXPECT_EQ(got, c.expected) << c.file << ": " << c.name;
    arena_release(a);
  }
}

TEST(ConfReader, TypeNamesAndCopies) {
  struct Row {
    const char *name;
    u32 bit;
  } rows[] = {
      {"date", MetadataType_Date},
      {"AUTHOR", MetadataType_Author},
      {"number", MetadataType_Number},
      {"bitmap", MetadataType_Bitmap},
      {"Title", MetadataType_Title},
      {"description", MetadataType_Description},
      {"ShortDescription", MetadataType_ShortDescription},
      {"Textual", MetadataType_Textual},
      {"titles", 0},
      {"", 0},
  };
  for (const Row &r : rows) EXPECT_EQ(metadata_type_from_name(str_from_cstr(r.name)), r.bit) << r.name;

  // The finders outlive the text they were read from.
  Arena *a = test_arena();
  std::string text = "source_finders: { urls: [\"https://a.example/\"] }";
  SourceFinderList finders = conf_read_text(a, sv(text));
  for (char &c : text) c = 'x';
  ASSERT_EQ(finders.count, 1u);
  EXPECT_EQ(list_strings(finders.first->urls), std::vector<std::string>{"https://a.example/"});
  EXPECT_EQ(read_conf(a, "").count, 0u) << "an empty text gives no finders";
}

//~ Extraction

struct Extracted {
  std::vector<std::string> texts;
  std::vector<u32> flags;
  LinkMetadataItemList list;
};

static Extracted
extract(Arena *a, const std::string &conf, const std::string &body) {
  Extracted e = {};
  SourceFinderList finders = read_conf(a, conf);
  EXPECT_EQ(finders.count, 1u) << conf;
  metadata_extract(a, finders.first, str_push_copy(a, sv(body)), &e.list);
  for (LinkMetadataItem *i = e.list.first; i; i = i->next) {
    e.texts.push_back(ss(i->text));
    e.flags.push_back(i->flags);
    EXPECT_EQ(i->text.data[i->text.length], 0) << "NUL-terminated";
  }
  EXPECT_EQ(e.list.count, e.texts.size());
  return e;
}

static std::string
one_marker(const std::string &searchers, const std::string &types = "Title", const std::string &prefix = "") {
  return "source_finders: {\n data_markers: {\n  types: [\"" + types + "\"]\n  prefix: \"" + prefix + "\"\n" +
         searchers + " }\n}\n";
}

TEST(MetadataExtract, TwoMarkersGiveTwoItemsInOrder) {
  Arena *a = test_arena();
  std::string conf =
      "source_finders: {\n"
      " data_markers: { types: [\"Title\"] searchers: { start: [\"<title>\"] end: [\"</title>\"] } }\n"
      " data_markers: { types: [\"Description\"] prefix: \"About: \"\n"
      "  searchers: { start: [\"<meta name=\"description\" content=\"\"] end: [\"\"\"] } }\n"
      "}\n";
  Extracted e = extract(a, conf, "<head><meta name=\"description\" content=\"A page.\"><title>T</title>");
  EXPECT_EQ(e.texts, (std::vector<std::string>{"T", "About: A page."}));
  EXPECT_EQ(e.flags, (std::vector<u32>{MetadataType_Title, MetadataType_Description}));
}

TEST(MetadataExtract, StartMarkersInSequence) {
  Arena *a = test_arena();
  std::string conf = one_marker("  searchers: { start: [\"<h1\", \">\"] end: [\"<\"] }\n");
  // The ">" before the heading does not count: the second marker is searched after the first.
  EXPECT_EQ(extract(a, conf, "<p>x</p><h1 class=\"a\">Head</h1>").texts, std::vector<std::string>{"Head"});
  // A second marker only before the first finds nothing: no value, and no mark either.
  Extracted none = extract(a, one_marker("  searchers: { start: [\"<h1\", \"<p>\"] end: [\"<\"] }\n"),
                           "<p>x</p><h1>Head</h1>");
  EXPECT_EQ(none.texts, std::vector<std::string>{""});
  EXPECT_EQ(none.flags, std::vector<u32>{MetadataType_Title});
  // A start marker that ends the body leaves no value to read.
  EXPECT_EQ(extract(a, one_marker("  searchers: { start: [\"<b>\"] end: [\"<\"] }\n"), "x<b>").flags,
            std::vector<u32>{MetadataType_Title});
  // Without start markers a searcher finds nothing; the next one is tried.
  std::string two = one_marker("  searchers: { end: [\"<\"] }\n  searchers: { start: [\"<b>\"] end: [\"<\"] }\n");
  EXPECT_EQ(extract(a, two, "a<b>B</b>").texts, std::vector<std::string>{"B"});
}

TEST(MetadataExtract, EndMarkers) {
  Arena *a = test_arena();
  // A missing end marker runs the value to the end of the body.
  EXPECT_EQ(extract(a, one_marker("  searchers: { start: [\"<b>\"] end: [\"</b>\"] }\n"), "<b>bold to the end").texts,
            std::vector<std::string>{"bold to the end"});
  // End markers in sequence: the value ends where the last is found.
  EXPECT_EQ(extract(a, one_marker("  searchers: { start: [\"[\"] end: [\"|\", \"!\"] }\n"), "x[a!b|c!d").texts,
            std::vector<std::string>{"a!b|c"});
}

TEST(MetadataExtract, EmptyValueMarksTheItemMissing) {
  Arena *a = test_arena();
  std::string conf = one_marker(
      "  searchers: { start: [\"<title>\"] end: [\"</title>\"] }\n"
      "  searchers: { start: [\"<h1>\"] end: [\"</h1>\"] }\n",
      "Title", "Re: ");
  // The first searcher finds an empty title; the heading still gives the value, and the
  // mark stays.
  Extracted e = extract(a, conf, "<title></title><h1>Heading</h1>");
  EXPECT_EQ(e.texts, std::vector<std::string>{"Re: Heading"});
  EXPECT_EQ(e.flags, std::vector<u32>{(u32)MetadataType_Title | LinkMetadataFlag_Missing});
  // Nothing found at all: the prefix alone, marked.
  Extracted empty = extract(a, conf, "<title></title><h1></h1>");
  EXPECT_EQ(empty.texts, std::vector<std::string>{"Re: "});
  EXPECT_EQ(empty.flags, std::vector<u32>{(u32)MetadataType_Title | LinkMetadataFlag_Missing});
  // A value from the first searcher: the second is not tried and nothing is marked.
  Extracted first = extract(a, conf, "<title>T</title><h1></h1>");
  EXPECT_EQ(first.texts, std::vector<std::string>{"Re: T"});
  EXPECT_EQ(first.flags, std::vector<u32>{MetadataType_Title});
}

TEST(MetadataExtract, ListsAndTotals) {
  Arena *a = test_arena();
  LinkMetadataItemList list = {};
  metadata_extract(a, 0, str_lit("<title>T</title>"), &list);
  EXPECT_EQ(list.count, 0u) << "no finder adds nothing";
  EXPECT_EQ(list.first, nullptr);
  EXPECT_EQ(list.total_bytes, 0u);

  // Items of two pages go to the same list; the total counts every text's bytes.
  SourceFinderList finders = read_conf(a, one_marker("  searchers: { start: [\"<title>\"] end: [\"</title>\"] }\n",
                                                     "Title", "P:"));
  ASSERT_EQ(finders.count, 1u);
  metadata_extract(a, finders.first, str_lit("<title>abc</title>"), &list);
  metadata_extract(a, finders.first, str_lit("<title>de</title>"), &list);
  metadata_extract(a, finders.first, str_lit(""), &list);
  ASSERT_EQ(list.count, 3u);
  EXPECT_EQ(ss(list.first->text), "P:abc");
  EXPECT_EQ(ss(list.first->next->text), "P:de");
  EXPECT_EQ(ss(list.last->text), "P:");
  EXPECT_EQ(list.last->next, nullptr);
  EXPECT_EQ(list.total_bytes, 5u + 4u + 2u);

  // The value is a copy: the body may go.
  std::string body = "<title>kept</title>";
  LinkMetadataItemList copy = {};
  metadata_extract(a, finders.first, sv(body), &copy);
  for (char &c : body) c = 'x';
  ASSERT_EQ(copy.count, 1u);
  EXPECT_EQ(ss(copy.first->text), "P:kept");
}

//~ Hostile input

// Inputs that would cost quadratic time or deep recursion in a careless reader; they
// must finish (the time is watched by the test runner's timeout, not asserted here)
// and give the sound answer.
TEST(ConfHostile, LargeInputsFinish) {
  const u64 n = MB(1);
  auto repeat = [](const std::string &piece, u64 times) {
    std::string s;
    s.reserve(piece.size() * times);
    for (u64 i = 0; i < times; i += 1) s += piece;
    return s;
  };
  struct Row {
    const char *label;
    std::string text;
    u64 finders;
  } rows[] = {
      {"double quotes", std::string(n, '"'), 0},
      {"single quotes", std::string(n, '\''), 0},
      {"quotes and letters", repeat("\"a'", n / 3), 0},
      {"brackets", std::string(n, '['), 0},
      {"closing braces", std::string(n, '}'), 0},
      {"key words", repeat("source_finders", n / 14), n / 14},
      {"nested objects", repeat("source_finders:{", n / 16), n / 16},
      {"open lists", repeat("urls:[\"x\",", n / 10), 0},
      {"alternating quotes in a string", "start: [\"" + repeat("'\"", n / 2), 0},
  };
  for (const Row &r : rows) {
    Arena *a = arena_create_sized(GB(1), MB(1));
    StrView text = sv(r.text);
    ConfTokenList tokens = conf_tokenize(a, text);
    EXPECT_GT(tokens.count, 0u) << r.label;
    ConfNode *root = conf_parse(a, text, tokens);
    EXPECT_TRUE(tree_is_sound(root)) << r.label;
    SourceFinderList finders = conf_read_source_finders(a, root);
    EXPECT_EQ(finders.count, r.finders) << r.label;
    arena_release(a);
  }

  // A page of one repeated byte against markers that almost match everywhere.
  Arena *a = arena_create_sized(GB(1), MB(1));
  std::string body(n * 4, 'a');
  std::string conf = one_marker("  searchers: { start: [\"" + std::string(300, 'a') + "b\"] end: [\"b\"] }\n"
                                "  searchers: { start: [\"aab\"] end: [\"b\"] }\n"
                                "  searchers: { start: [\"a\"] end: [\"" + std::string(40, 'a') + "b\"] }\n");
  Extracted e = extract(a, conf, body);
  ASSERT_EQ(e.texts.size(), 1u);
  EXPECT_EQ(e.texts[0].size(), body.size() - 1) << "the last searcher runs to the end";
  arena_release(a);
}
