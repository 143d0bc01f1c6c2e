#include "test_support.h"

TEST(Strings, MatchFlags) {
  struct Row {
    const char *a, *b;
    u32 flags;
    bool expect;
  } rows[] = {
      {"abc", "ABC", StrMatchFlag_CaseInsensitive, true},
      {"abc", "ABC", 0, false},
      {"a/b", "a\\b", StrMatchFlag_SlashInsensitive, true},
      {"a/b", "a\\b", 0, false},
      {"ab", "abcd", StrMatchFlag_Prefix, true},
      {"ab", "abcd", 0, false},
      {"abcd", "ab", StrMatchFlag_Prefix, false},
      {"", "", 0, true},
      {"\xc3\xa9", "\xc3\x89", StrMatchFlag_CaseInsensitive, false},  // ASCII folding only
  };
  for (const Row &r : rows) {
    EXPECT_EQ(str_match(str_from_cstr(r.a), str_from_cstr(r.b), r.flags), r.expect) << r.a << " vs " << r.b;
  }
}

TEST(Strings, HashIsDjb2) {
  EXPECT_EQ(str_hash_djb2(str_lit("")), 5381u);
  EXPECT_EQ(str_hash_djb2(str_lit("a")), 5381u * 33 + 'a');
  // Wraps around in 64 bits rather than saturating.
  std::string lng(64, 'z');
  u64 h = 5381;
  for (char c : lng) h = h * 33 + (u8)c;
  EXPECT_EQ(str_hash_djb2(sv(lng)), h);
}

TEST(Strings, SlicingClampsAndNeverCopies) {
  StrView s = str_lit("archive.tar.gz");
  EXPECT_EQ(ss(str_substr(s, 11, 8)), "tar");
  EXPECT_EQ(ss(str_substr(s, 3, 100)), "hive.tar.gz");
  EXPECT_EQ(ss(str_prefix(s, 100)), "archive.tar.gz");
  EXPECT_EQ(ss(str_skip(s, 100)), "");
  EXPECT_EQ(ss(str_chop(s, 3)), "archive.tar");
  EXPECT_EQ(ss(str_postfix(s, 2)), "gz");
  EXPECT_EQ(ss(str_postfix(s, 100)), "");
  EXPECT_EQ(ss(str_skip_last_dot(s)), "gz");
  EXPECT_EQ(ss(str_chop_last_dot(s)), "archive.tar");
  EXPECT_EQ(ss(str_skip_last_dot(str_lit("noext"))), "noext");
  EXPECT_EQ(ss(str_chop_last_slash(str_lit("a/b\\c.txt"))), "a/b");
  EXPECT_EQ(ss(str_chop_last_slash_keep(str_lit("a/b\\c.txt"))), "a/b\\");
  EXPECT_EQ(ss(str_skip_last_slash(str_lit("a/b\\c.txt"))), "c.txt");
  EXPECT_EQ(ss(str_skip_last_slash(str_lit("c.txt"))), "c.txt");
  EXPECT_EQ(str_skip(s, 3).data, s.data + 3);
}

TEST(Strings, TrimAndUnquote) {
  EXPECT_EQ(ss(str_trim_whitespace(str_lit(" \t a b \r\n"))), "a b");
  EXPECT_EQ(ss(str_trim_leading_whitespace(str_lit("  a "))), "a ");
  EXPECT_EQ(ss(str_trim_trailing_whitespace(str_lit("  a "))), "  a");
  EXPECT_EQ(str_trim_whitespace(str_lit(" \x0b\x0c ")).length, 0u);
  EXPECT_EQ(str_trim_leading_whitespace(str_lit("   ")).length, 0u);
  EXPECT_EQ(ss(str_trim_whitespace(str_lit("\xa0x\xa0"))), "\xa0x\xa0") << "high bytes are never blanks";
  EXPECT_EQ(ss(str_unquote(str_lit("\"abc'"))), "abc");
  EXPECT_EQ(ss(str_unquote(str_lit("abc\""))), "abc");
  EXPECT_EQ(ss(str_unquote(str_lit("\""))), "");
}

TEST(Strings, SplitKeepsEmptyPiecesButNoEmptyLast) {
  Arena *a = test_arena();
  StrView slash[1] = {str_lit("/")};
  using V = std::vector<std::string>;
  EXPECT_EQ(list_strings(str_split(a, str_lit("a//b"), slash, 1)), (V{"a", "", "b"}));
  EXPECT_EQ(list_strings(str_split(a, str_lit("/a/"), slash, 1)), (V{"", "a"}));
  EXPECT_EQ(list_strings(str_split(a, str_lit(""), slash, 1)), V{});
  EXPECT_EQ(list_strings(str_split(a, str_lit("abc"), slash, 1)), (V{"abc"}));
  // The first separator in the given order wins at a position.
  StrView two[2] = {str_lit("-"), str_lit("--")};
  EXPECT_EQ(list_strings(str_split(a, str_lit("a--b"), two, 2)), (V{"a", "", "b"}));
  StrView two_rev[2] = {str_lit("--"), str_lit("-")};
  EXPECT_EQ(list_strings(str_split(a, str_lit("a--b"), two_rev, 2)), (V{"a", "b"}));
  StrList l = str_split(a, str_lit("x,yy,"), two, 0);
  EXPECT_EQ(l.node_count, 1u);
}

TEST(Strings, ListsJoinAndConcat) {
  Arena *a = test_arena();
  StrList l = {};
  str_list_push(a, &l, str_lit("b"));
  str_list_push_front(a, &l, str_lit("a"));
  str_list_pushf(a, &l, "%d-%S", 3, &l.first->string);
  EXPECT_EQ(l.node_count, 3u);
  EXPECT_EQ(l.total_size, 5u);
  StrJoin j = {str_lit("["), str_lit(", "), str_lit("]")};
  StrView joined = str_list_join(a, &l, &j);
  EXPECT_EQ(ss(joined), "[a, b, 3-a]");
  EXPECT_EQ(joined.data[joined.length], 0);
  StrList empty = {};
  EXPECT_EQ(ss(str_list_join(a, &empty, &j)), "[]");
  StrList other = {};
  str_list_push(a, &other, str_lit("c"));
  str_list_concat_in_place(&l, &other);
  EXPECT_EQ(l.node_count, 4u);
  EXPECT_EQ(other.node_count, 0u);
  EXPECT_EQ(other.first, nullptr);
  StrList target = {};
  str_list_concat_in_place(&target, &l);
  EXPECT_EQ(list_strings(target), (std::vector<std::string>{"a", "b", "3-a", "c"}));
}

TEST(Paths, KindTrailingSlashAndNormalize) {
  Arena *a = test_arena();
  EXPECT_EQ(path_kind(str_lit("C:/x")), 1u);
  EXPECT_EQ(path_kind(str_lit("/x")), 2u);
  EXPECT_EQ(path_kind(str_lit("x/y")), 0u);
  EXPECT_EQ(path_kind(str_lit("")), 0u);
  EXPECT_EQ(ss(path_ensure_trailing_slash(a, str_lit("a/b"))), "a/b/");
  EXPECT_EQ(ss(path_ensure_trailing_slash(a, str_lit("a\\"))), "a\\");
  EXPECT_EQ(ss(path_ensure_trailing_slash(a, str_lit(""))), "");
  StrList parts = path_split(a, str_lit("a/./b\\../c"));
  EXPECT_EQ(list_strings(path_normalize_components(a, parts)), (std::vector<std::string>{"a", "c"}));
  StrList lead = path_split(a, str_lit("../x"));
  EXPECT_EQ(list_strings(path_normalize_components(a, lead)), (std::vector<std::string>{"x"}));
}

TEST(Numbers, ParseAndPrint) {
  Arena *a = test_arena();
  EXPECT_EQ(str_to_u64(str_lit("1234"), 10), 1234u);
  EXPECT_EQ(str_to_u64(str_lit("fF"), 16), 255u);
  EXPECT_EQ(str_to_u64(str_lit(""), 10), 0u);
  EXPECT_EQ(ss(str_from_u64(a, 1234567, 10, 0, ',')), "1,234,567");
  EXPECT_EQ(ss(str_from_u64(a, 255, 16, 0, 0)), "0xff");
  EXPECT_EQ(ss(str_from_u64(a, 255, 16, 6, '_')), "0x00_00ff");
  EXPECT_EQ(ss(str_from_u64(a, 5, 2, 0, 0)), "0b101");
  EXPECT_EQ(ss(str_from_u64(a, 8, 8, 0, 0)), "0o10");
  EXPECT_EQ(ss(str_from_u64(a, 0, 10, 0, 0)), "0");
  EXPECT_EQ(ss(str_from_u64(a, 7, 10, 3, 0)), "007");
  EXPECT_EQ(ss(str_from_u64(a, ~(u64)0, 10, 0, 0)), "18446744073709551615");
}

TEST(Unicode, Utf8DecodeEdges) {
  struct Row {
    const char *bytes;
    u64 len;
    u32 cp;
    u32 adv;
  } rows[] = {
      {"A", 1, 'A', 1},
      {"\xc3\xa9", 2, 0xe9, 2},
      {"\xc3\x28", 2, UNICODE_INVALID, 1},          // bad continuation
      {"\xe2\x82", 2, UNICODE_INVALID, 1},          // truncated
      {"\xf0\xa0\x80\x80", 4, 0x20000, 4},
      {"\xc0\xaf", 2, 0x2f, 2},                     // overlong forms are accepted
      {"\x80", 1, UNICODE_INVALID, 1},              // lone continuation
      {"\xf8\x88\x80\x80\x80", 5, UNICODE_INVALID, 1},
      {"\xed\xa0\x80", 3, 0xd800, 3},               // encoded surrogate, no further checks
  };
  for (const Row &r : rows) {
    UnicodeDecode d = utf8_decode((const u8 *)r.bytes, r.len);
    EXPECT_EQ(d.codepoint, r.cp) << r.bytes;
    EXPECT_EQ(d.advance, r.adv) << r.bytes;
  }
  UnicodeDecode next = utf8_decode((const u8 *)"\xc3\x28" + 1, 1);
  EXPECT_EQ(next.codepoint, 0x28u);
}

TEST(Unicode, Utf16DecodeAndEncode) {
  u16 pair[2] = {0xd840, 0xdc00};
  UnicodeDecode d = utf16_decode(pair, 2);
  EXPECT_EQ(d.codepoint, 0x20000u);
  EXPECT_EQ(d.advance, 2u);
  u16 lone[2] = {0xdc00, 0xd840};
  d = utf16_decode(lone, 2);
  EXPECT_EQ(d.codepoint, 0xdc00u);
  EXPECT_EQ(d.advance, 1u);
  d = utf16_decode(pair, 1);
  EXPECT_EQ(d.codepoint, 0xd840u) << "a high surrogate at the end stands alone";
  u16 out[2];
  EXPECT_EQ(utf16_encode(out, 0x1f600), 2u);
  EXPECT_EQ(out[0], 0xd83d);
  EXPECT_EQ(out[1], 0xde00);
  EXPECT_EQ(utf16_encode(out, UNICODE_INVALID), 1u);
  EXPECT_EQ(out[0], '?');
  u8 b[4];
  EXPECT_EQ(utf8_encode(b, 0x7f), 1u);
  EXPECT_EQ(utf8_encode(b, 0x7ff), 2u);
  EXPECT_EQ(utf8_encode(b, 0xffff), 3u);
  EXPECT_EQ(utf8_encode(b, 0x10ffff), 4u);
  EXPECT_EQ(std::string((char *)b, 4), "\xf4\x8f\xbf\xbf");
  EXPECT_EQ(utf8_encode(b, 0x110000), 1u);
  EXPECT_EQ(b[0], '?');
}

TEST(Unicode, ConversionsRoundTripAndGiveBackTheTail) {
  Arena *a = test_arena();
  StrView s = str_lit("h\xc3\xa9llo \xf0\x9f\x98\x80!");
  u64 before = arena_pos(a);
  StrView16 w = str16_from_str(a, s);
  EXPECT_EQ(w.length, 9u);
  EXPECT_EQ(w.data[w.length], 0);
  EXPECT_EQ(arena_pos(a) - before, (w.length + 1) * 2) << "the unused tail is given back";
  StrView back = str_from_str16(a, w);
  EXPECT_EQ(ss(back), ss(s));
  StrView16 bad = str16_from_str(a, str_lit("a\xff" "b"));
  EXPECT_EQ(bad.length, 3u);
  EXPECT_EQ(bad.data[1], '?');
}

TEST(Text, LineColumnAndDates) {
  EXPECT_EQ(str_line_col(str_lit("ab\ncd"), 4).line, 2u);
  EXPECT_EQ(str_line_col(str_lit("ab\ncd"), 4).column, 2u);
  EXPECT_EQ(str_line_col(str_lit("ab\ncd"), 0).column, 1u);
  EXPECT_EQ(str_line_col(str_lit("ab\rcd"), 4).line, 1u) << "a lone CR is not a line end";
  EXPECT_EQ(str_line_col(str_lit("ab"), 99).column, 3u);
  Arena *a = test_arena();
  DateTime d = date_parse(a, str_lit("2024-03-17"), 0);
  EXPECT_EQ(d.year, 2024);
  EXPECT_EQ(d.month, 3);
  EXPECT_EQ(d.day, 17);
  StrList fields = {};
  str_list_push(a, &fields, str_lit("Day"));
  str_list_push(a, &fields, str_lit("MONTH"));
  str_list_push(a, &fields, str_lit("year"));
  d = date_parse(a, str_lit("5/11 /1999/7"), &fields);
  EXPECT_EQ(d.day, 5);
  EXPECT_EQ(d.month, 11);
  EXPECT_EQ(d.year, 1999);
  d = date_parse(a, str_lit("2020"), 0);
  EXPECT_EQ(d.month, 0);
  EXPECT_EQ(ss(month_short_name(12)), "Dec");
  EXPECT_EQ(ss(month_short_name(1)), "Jan");
  EXPECT_EQ(ss(month_short_name(0)), "Err");
  EXPECT_EQ(ss(month_short_name(13)), "Err");
}
