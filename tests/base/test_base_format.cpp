#include "test_support.h"

#include <stb_sprintf.h>

#include "base/base_format.h"

// stb_sprintf understands more than printf (%b, %I64u, metric suffixes).
#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-extra-args"

static std::string
fmt(const char *f, ...) {
  va_list a, b;
  va_start(a, f);
  va_copy(b, a);
  u64 n = fmt_vsnprintf(0, 0, f, a);
  std::string out(n + 1, '\0');
  u64 m = fmt_vsnprintf(out.data(), n + 1, f, b);
  va_end(b);
  va_end(a);
  EXPECT_EQ(n, m) << "the measuring pass agrees with the writing pass for " << f;
  out.resize(m);
  return out;
}

TEST(Format, StrViewConversion) {
  StrView empty = {};
  StrView ten = str_lit("0123456789");
  StrView nul = str_make("a\0b", 3);
  EXPECT_EQ(fmt("[%S]", &empty), "[]");
  EXPECT_EQ(fmt("%S/local", &ten), "0123456789/local");
  EXPECT_EQ(fmt_snprintf(0, 0, "%S/local", &ten), 16u);
  EXPECT_EQ(fmt("%S!", &nul), std::string("a\0b!", 4));
  EXPECT_EQ(fmt("[%5S]", &nul), std::string("[  a\0b]", 7));
  EXPECT_EQ(fmt("[%-5S]", &nul), std::string("[a\0b  ]", 7));
  EXPECT_EQ(fmt("[%*S]", 4, &nul), std::string("[ a\0b]", 6));
  EXPECT_EQ(fmt("[%.1S]", &ten), "[0123456789]") << "precision is ignored";
  EXPECT_EQ(fmt("%S%S", &ten, &ten), "01234567890123456789");
}

// Every other conversion must give exactly what stb_sprintf gives.
TEST(Format, MatchesStbSprintfForOtherConversions) {
  char expect[512];
#define CHECK(...)                                       \
  do {                                                   \
    stbsp_snprintf(expect, sizeof(expect), __VA_ARGS__); \
    EXPECT_EQ(fmt(__VA_ARGS__), std::string(expect));    \
  } while (0)
  CHECK("%d|%i|%u", -42, 7, 3000000000u);
  CHECK("%I64u|%I64d", (u64)18446744073709551615ull, (s64)-9000000000ll);
  CHECK("%lu|%llu|%zu|%jd|%td", 1ul << 40, 1ull << 50, (size_t)77, (intmax_t)-5, (ptrdiff_t)-9);
  CHECK("%hd|%hhu|%I32d|%Id", 70000, 300, -3, (s64)1 << 35);
  CHECK("%02d|%5d|%-5d|%+d|% d|%05.2f", 7, 42, 42, 9, 9, 3.14159);
  CHECK("%x|%X|%#x|%o|%#o|%b|%B|%#b", 255u, 255u, 255u, 8u, 8u, 5u, 5u, 5u);
  CHECK("%'d|%'I64u", 1234567, (u64)9876543210ull);
  CHECK("%$d|%$$d|%$_d|%$$$d", 2000, 2048, 3000, 1 << 20);
  CHECK("%f|%e|%E|%g|%G|%a|%A", 1.5, 12345.678, 0.00012, 1e20, 1e-5, 1.0, 255.5);
  CHECK("%.3f|%10.4e|%-10g|", 2.0 / 3.0, 123.456, 0.5);
  CHECK("%s|%.3s|%10s|%-6s|", "hello", "abcdef", "right", "left");
  CHECK("%c%c%c", 'a', 'b', 'c');
  CHECK("%*d|%-*d|%.*f|%*.*s|", 6, 1, 6, 2, 2, 3.14159, 8, 3, "abcdef");
  CHECK("%p", (void *)0x1234);
  CHECK("100%%|%k|%y");
  CHECK("%.*s", 3, "abcdef");
#undef CHECK
}

TEST(Format, CountsTruncatesAndStoresPositions) {
  char buf[8];
  StrView v = str_lit("abcdefghij");
  EXPECT_EQ(fmt_snprintf(buf, sizeof(buf), "%S", &v), 10u);
  EXPECT_EQ(std::string(buf), "abcdefg") << "cut to capacity - 1 and terminated";
  int at = -1;
  EXPECT_EQ(fmt("ab%S%ncd", &v, &at), "ababcdefghijcd");
  EXPECT_EQ(at, 12);
  std::string large(5000, 'q');
  EXPECT_EQ(fmt("<%s>", large.c_str()), "<" + large + ">") << "stb's chunked callback output";
  EXPECT_EQ(fmt("trailing %"), "trailing ");
}

TEST(Format, PushfOntoArenas) {
  Arena *a = test_arena();
  StrView name = str_lit("page");
  u64 before = arena_pos(a);
  StrView s = str_pushf(a, "%S.%s #%I64u", &name, "html", (u64)3);
  EXPECT_EQ(ss(s), "page.html #3");
  EXPECT_EQ(s.data[s.length], 0);
  EXPECT_EQ(arena_pos(a) - before, s.length + 1) << "exactly one allocation of the final size";
}
