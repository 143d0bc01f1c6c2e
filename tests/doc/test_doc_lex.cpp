#include "test_support.h"

#include "doc/doc_core.h"

// Tokens flattened as "kind:text" with kinds by short name, for table-driven checks.
static std::string
lex_string(const std::string &src) {
  Arena *a = test_arena();
  StrView s = sv(src);
  DocLexResult r = doc_tokenize(a, s);
  EXPECT_EQ(r.diagnostics.count, 0u);
  std::string out;
  u64 expect_start = 0;
  for (u64 i = 0; i < r.tokens.count; i += 1) {
    DocToken t = r.tokens.tokens[i];
    EXPECT_EQ(t.start, expect_start) << "tokens leave no gaps";
    EXPECT_GT(t.end, t.start) << "no token is empty";
    expect_start = t.end;
    struct K {
      u32 bit;
      const char *name;
    } kinds[] = {
        {DocTokenKind_Number, "num"},        {DocTokenKind_Word, "word"},
        {DocTokenKind_String, "str"},        {DocTokenKind_Punct, "punct"},
        {DocTokenKind_Backslash, "bs"},      {DocTokenKind_Symbol, "sym"},
        {DocTokenKind_DoubleSlash, "//"},    {DocTokenKind_Whitespace, "ws"},
        {DocTokenKind_Newline, "nl"},        {DocTokenKind_Pipe, "pipe"},
        {DocTokenKind_OpenBracket, "["},     {DocTokenKind_CloseBracket, "]"},
        {DocTokenKind_Invalid, "invalid"},   {DocTokenKind_Unterminated, "unterminated"},
        {DocTokenKind_Backtick, "`"},        {DocTokenKind_DoubleBacktick, "``"},
        {DocTokenKind_TripleBacktick, "```"}, {DocTokenKind_Escaped, "esc"},
        {DocTokenKind_TripleDash, "---"},    {DocTokenKind_HasSpace, "space"},
        {DocTokenKind_TildeBrace, "~{"},     {DocTokenKind_BraceTilde, "}~"},
    };
    if (!out.empty()) out += " ";
    std::string names;
    for (const K &k : kinds) {
      if (t.kind & k.bit) names += (names.empty() ? "" : "+") + std::string(k.name);
    }
    if (t.kind & DocTokenKind_Quoted) {
      EXPECT_TRUE(t.kind & DocTokenKind_String) << "quoted texts are strings";
    }
    out += names + ":" + src.substr(t.start, t.end - t.start);
  }
  EXPECT_EQ(expect_start, src.size()) << "every byte is in a token";
  return out;
}

TEST(DocLexer, TokenTable) {
  struct Row {
    std::string src;
    std::string expect;
  } rows[] = {
      {"", ""},
      {"a\r\nb", "word:a nl:\r\n word:b"},
      {"a\n\rb", "word:a nl:\n nl:\r word:b"},
      {"x  \r\n", "word:x ws:  \r nl:\n"},
      {"\\`x`", "bs:\\ `+esc:` word:x `:`"},
      {"\\ `", "bs:\\ ws:  `:`"},
      {"\\|", "bs:\\ pipe:|"},
      {"3.", "num:3 punct:."},
      {"ab1.2", "word:ab1 num:.2"},
      {"1.2.3 .5 2x", "num:1.2.3 ws:  num:.5 ws:  num:2x"},
      {"----", "---:--- sym:-"},
      {"```", "```:```"},
      {"````", "```:``` `:`"},
      {"``", "``:``"},
      {"\"", "str+unterminated:\""},
      {"\"a b\"c", "str+space:\"a b\" word:c"},
      {"\"a\nb\"", "str:\"a\nb\""},
      // UTF-8: continuation bytes stay in the word they follow, whatever the word began with.
      {"\xc3\xa9", "word:\xc3\xa9"},
      {"caf\xc3\xa9 na\xc3\xafve", "word:caf\xc3\xa9 ws:  word:na\xc3\xafve"},
      {"a\xe2\x80\x94" "b \xe2\x80\x94", "word:a\xe2\x80\x94" "b ws:  word:\xe2\x80\x94"},
      {"\xe2\x80\x9cq\xe2\x80\x9d.", "word:\xe2\x80\x9cq\xe2\x80\x9d punct:."},
      {"\xf0\x9f\x99\x82_", "word:\xf0\x9f\x99\x82 sym:_"},
      // A continuation byte with no word before it is still invalid.
      // A run of unusable bytes is one token: a binary file costs no token per byte.
      {"a \xa9\xa9", "word:a ws:  invalid:\xa9\xa9"},
      {"2\xa9", "num:2 invalid:\xa9"},
      {"\"\xa9\"\xbf", "str:\"\xa9\" invalid:\xbf"},
      {"\x0c", "invalid:\x0c"},
      {"~{x}~ ~ }", "~{:~{ word:x }~:}~ ws:  punct:~ ws:  punct:}"},
      {"a//b /", "word:a //:// word:b ws:  punct:/"},
      {"_ __ ___ @ - < >", "sym:_ ws:  sym:__ ws:  sym:__ sym:_ ws:  sym:@ ws:  sym:- ws:  sym:< ws:  sym:>"},
      {"\\\"q\" \\a \\1", "bs:\\ str+esc:\"q\" ws:  bs:\\ word:a ws:  bs:\\ num+esc:1"},
      {"[x] |", "[:[ word:x ]:] ws:  pipe:|"},
      {"\t\x0b x", "ws:\t\x0b  word:x"},
      {"!#$%&'()*+,:;=?^{", "punct:! punct:# punct:$ punct:% punct:& punct:' punct:( punct:) punct:* punct:+ "
                             "punct:, punct:: punct:; punct:= punct:? punct:^ punct:{"},
      {std::string("a\0b", 3), std::string("word:a invalid:\0 word:b", 23)},
      {"\x7f\x80", "invalid:\x7f\x80"},
  };
  for (const Row &r : rows) EXPECT_EQ(lex_string(r.src), r.expect) << "source: " << r.src;
}

// The word end is found sixteen bytes at a time and the tail byte by byte: for every
// byte value at every offset around those boundaries, both must stop at the same rule.
TEST(DocLexer, WordEndsAgreeForEveryByteAtEveryOffset) {
  Arena *a = test_arena();
  u64 pos = arena_pos(a);
  for (int b = 0; b < 256; b += 1) {
    bool continues = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || b >= 0x80;
    for (u64 at = 1; at < 40; at += 1) {
      std::string src = std::string(at, 'w') + (char)b + std::string(at % 19, 'w');
      DocLexResult r = doc_tokenize(a, sv(src));
      ASSERT_GT(r.tokens.count, 0u);
      DocToken t = r.tokens.tokens[0];
      arena_pop_to(a, pos);
      EXPECT_EQ(t.kind, (u32)DocTokenKind_Word);
      EXPECT_EQ(t.end, continues ? src.size() : at) << "byte " << b << " at " << at;
      if (t.end != (continues ? src.size() : at)) return;
    }
  }
}

TEST(DocLexer, LongSourcesComeOutContiguousInOrder) {
  std::string src;
  for (int i = 0; i < 5000; i += 1) src += "w ";
  Arena *a = test_arena();
  DocLexResult r = doc_tokenize(a, sv(src));
  ASSERT_EQ(r.tokens.count, 10000u);
  for (u64 i = 0; i < r.tokens.count; i += 1) {
    EXPECT_EQ(r.tokens.tokens[i].start, i);
    if (r.tokens.tokens[i].start != i) break;
  }
}

TEST(DocTree, HelpersAndMetadataKeys) {
  Arena *a = test_arena();
  DocNode *root = doc_node_create(a, DocNodeKind_Document, 0, {}, {}, 0);
  DocNode *h = doc_node_create(a, DocNodeKind_Heading, 0, str_lit("h"), str_lit("h"), 0);
  h->number = 2;
  DocNode *h2 = doc_node_create(a, DocNodeKind_Heading, 0, str_lit("h2"), str_lit("h2"), 0);
  h2->number = 2;
  DocNode *t = doc_node_create(a, DocNodeKind_Text, DocNodeFlag_SpaceAfter, str_lit("x"), str_lit("x"), 0);
  doc_node_append(root, h);
  doc_node_append(root, h2);
  doc_node_append(h, t);
  doc_node_prepend(h, doc_nil_node);
  EXPECT_EQ(root->child_count, 2u);
  EXPECT_EQ(h->child_count, 1u) << "a nil child is ignored";
  EXPECT_EQ(doc_node_find_last(root, 2, DocNodeKind_Heading), h2) << "the last matching sibling";
  EXPECT_TRUE(doc_node_is_nil(doc_node_find_last(root, 3, DocNodeKind_Heading)));
  root->number = 2;
  EXPECT_TRUE(doc_node_is_nil(doc_node_find_last(root, 2, DocNodeKind_Heading))) << "root with the number";
  EXPECT_EQ(doc_node_find_ancestor(t, DocNodeKind_Heading), h);
  EXPECT_TRUE(doc_node_is_nil(doc_node_find_ancestor(t, DocNodeKind_Quote)));
  DocNode *entry = doc_toc_entry(a, h);
  EXPECT_EQ(entry->kind, (u32)DocNodeKind_Heading);
  EXPECT_EQ(entry->number, 0);
  EXPECT_EQ(entry->flags, 0u);
  EXPECT_EQ(ss(entry->first_child->text), "x");
  EXPECT_NE(entry->first_child->text.data, t->text.data) << "texts are copied";
  EXPECT_EQ(doc_flags_from_token(DocTokenKind_Whitespace | DocTokenKind_Quoted | DocTokenKind_Number |
                                 DocTokenKind_String | DocTokenKind_Punct | 0x1000),
            0x8u | 0x20 | 0x80 | 0x100 | 0x200 | 0x10);

  struct K {
    const char *key;
    u32 id;
  } keys[] = {{"title", 1}, {"TITLE", 1}, {"author", 2}, {"author_link", 3}, {"output_path", 4},
              {"creation_date", 5}, {"includes", 6}, {"last_modification_date", 7}, {"remark", 8},
              {"excerpt", 9}, {"summary", 10}, {"category", 11}, {"status", 12}};
  for (const K &k : keys) {
    const MetaKey *row = doc_meta_key_lookup(str_from_cstr(k.key));
    ASSERT_NE(row, nullptr) << k.key;
    EXPECT_EQ(row->id, k.id) << k.key;
  }
  EXPECT_EQ(doc_meta_key_lookup(str_lit("titles")), nullptr);
  EXPECT_EQ(doc_meta_key_lookup(str_lit("tit")), nullptr);
  EXPECT_EQ(doc_meta_key_lookup(str_lit("")), nullptr);
  EXPECT_TRUE(doc_path_like(str_lit("~/a")));
  EXPECT_TRUE(doc_path_like(str_lit("./a")));
  EXPECT_TRUE(doc_path_like(str_lit("C:/a")));
  EXPECT_FALSE(doc_path_like(str_lit("a/b")));
  EXPECT_FALSE(doc_path_like(str_lit("~a")));
}

TEST(DocParseFile, EmptySourceAndOkFlag) {
  Arena *a = test_arena();
  testing::internal::CaptureStdout();
  DocParseResult empty = doc_parse_file(a, StrView{}, str_lit("e.qil"), 0);
  DocParseResult errors = doc_parse_file(a, str_lit("a ] b"), str_lit("e.qil"), 0);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(empty.ok, 0u);
  EXPECT_EQ(empty.root, nullptr);
  EXPECT_EQ(errors.ok, 1u) << "errors alone leave the wrapper's ok at 1";
  StrView text = str_lit("a ] b");
  EXPECT_EQ(doc_parse(a, str_lit("e.qil"), text, doc_tokenize(a, text), 0).ok, 1u) << "the parse itself: same rule";
  EXPECT_EQ(out, "") << "the parse only collects; the driver prints";
  ASSERT_EQ(errors.diagnostics.count, 1u);
  EXPECT_EQ(errors.diagnostics.first->offset, 2u);
  testing::internal::CaptureStdout();
  diag_print(&errors.diagnostics, str_lit("a ] b"), str_lit("e.qil"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "error: \ntoken: Unexpected \"]\" token.\ne.qil:1:3\n");
}
