// String views, string lists, paths, numbers, Unicode conversions and dates.
#pragma once

#include <stdarg.h>

#include "base/base_arena.h"

//~ Types

struct StrView {
  u8 *data;
  u64 length;
};

struct StrView16 {
  u16 *data;
  u64 length;
};

struct StrNode {
  StrNode *next;
  StrView string;
};

struct StrList {
  StrNode *first;
  StrNode *last;
  u64 node_count;
  u64 total_size;
};

struct StrJoin {
  StrView pre;
  StrView sep;
  StrView post;
};

enum StrMatchFlags : u32 {
  StrMatchFlag_CaseInsensitive = 1 << 0,
  StrMatchFlag_Prefix = 1 << 1,
  StrMatchFlag_SlashInsensitive = 1 << 2,
};

struct UnicodeDecode {
  u32 codepoint;
  u32 advance;
};

#define UNICODE_INVALID 0xffffffffu

struct DateTime {
  u16 year;
  u8 month;  // 1 to 12, as written
  u8 day;
  u8 hour;
  u8 minute;
  u8 second;
};

struct LineCol {
  u64 line;
  u64 column;
};

#define str_lit(s) str_make((u8 *)(s), sizeof(s) - 1)
#define str_expand(s) (int)(s).length, (const char *)(s).data

//~ Character tests (ASCII only)

inline bool char_is_letter(u8 c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
inline bool char_is_lower(u8 c) { return c >= 'a' && c <= 'z'; }
inline bool char_is_upper(u8 c) { return c >= 'A' && c <= 'Z'; }
inline bool char_is_digit(u8 c) { return c >= '0' && c <= '9'; }
inline bool char_is_blank(u8 c) { return c == ' ' || (c >= 9 && c <= 13); }
inline bool char_is_slash(u8 c) { return c == '/' || c == '\\'; }
inline u8 char_to_lower(u8 c) { return char_is_upper(c) ? (u8)(c + 32) : c; }
inline u8 char_slash_fold(u8 c) { return c == '\\' ? (u8)'/' : c; }

//~ Construction and copying

inline StrView str_make(u8 *data, u64 length) { StrView s = {data, length}; return s; }
inline StrView str_make(const char *data, u64 length) { StrView s = {(u8 *)data, length}; return s; }
StrView str_from_cstr(const char *c);
StrView16 str16_from_cstr(const u16 *c);
StrView str_push_copy(Arena *arena, StrView s);
StrView str_pushf(Arena *arena, const char *fmt, ...);
StrView str_pushfv(Arena *arena, const char *fmt, va_list args);
StrView str_push_fill(Arena *arena, u64 n, u8 byte);

//~ Comparison and hashing

bool str_match(StrView a, StrView b, u32 flags);
inline bool str_equal(StrView a, StrView b) { return str_match(a, b, 0); }
inline bool str_identical(StrView a, StrView b) { return a.data == b.data && a.length == b.length; }
u64 str_hash_djb2(StrView s);
// Offset of the first occurrence of needle at or after start, or the length when absent.
u64 str_find(StrView s, u64 start, StrView needle, u32 flags);

//~ Slicing

StrView str_substr(StrView s, u64 i, u64 j);
StrView str_prefix(StrView s, u64 n);
StrView str_skip(StrView s, u64 n);
StrView str_chop(StrView s, u64 n);
StrView str_postfix(StrView s, u64 n);
StrView str_trim_whitespace(StrView s);
StrView str_trim_leading_whitespace(StrView s);
StrView str_trim_trailing_whitespace(StrView s);
StrView str_unquote(StrView s);
StrView str_chop_last_dot(StrView s);
StrView str_skip_last_dot(StrView s);
StrView str_chop_last_slash(StrView s);
StrView str_chop_last_slash_keep(StrView s);
StrView str_skip_last_slash(StrView s);

//~ Lists

StrNode *str_list_push(Arena *arena, StrList *list, StrView s);
StrNode *str_list_push_front(Arena *arena, StrList *list, StrView s);
void str_list_push_node(StrList *list, StrNode *node);
void str_list_push_node_front(StrList *list, StrNode *node);
StrNode *str_list_pushf(Arena *arena, StrList *list, const char *fmt, ...);
void str_list_concat_in_place(StrList *list, StrList *other);
StrView str_list_join(Arena *arena, StrList *list, const StrJoin *join);
StrList str_split(Arena *arena, StrView s, const StrView *separators, u64 separator_count);

//~ Paths

StrList path_split(Arena *arena, StrView path);
StrView path_ensure_trailing_slash(Arena *arena, StrView path);
// 1: drive-absolute ("C:"), 2: starts with "/", 0: otherwise.
u32 path_kind(StrView path);
StrList path_normalize_components(Arena *arena, StrList components);

//~ Numbers

u64 str_to_u64(StrView s, u32 radix);
StrView str_from_u64(Arena *arena, u64 value, u32 radix, u64 min_digits, u8 separator);

//~ Unicode

UnicodeDecode utf8_decode(const u8 *bytes, u64 available);
UnicodeDecode utf16_decode(const u16 *units, u64 available);
u32 utf8_encode(u8 *out, u32 codepoint);
u32 utf16_encode(u16 *out, u32 codepoint);
StrView16 str16_from_str(Arena *arena, StrView s);
StrView str_from_str16(Arena *arena, StrView16 s);

//~ Text positions and dates

LineCol str_line_col(StrView text, u64 offset);
// The position of `offset` given `from` (<= offset) stands at `at`: positions in
// ascending order cost one pass over the text in all.
LineCol str_line_col_advance(StrView text, u64 from, u64 offset, LineCol at);
// A position carried through a text: offsets asked in ascending order cost one pass;
// an offset behind the last one is counted again from the start.
struct LineCursor {
  LineCol lc;
  u64 at;
};
inline LineCursor line_cursor_begin(void) { return LineCursor{{1, 1}, 0}; }
LineCol line_cursor_seek(LineCursor *cursor, StrView text, u64 offset);
DateTime date_parse(Arena *arena, StrView text, StrList *field_names);
StrView month_short_name(u32 month);
