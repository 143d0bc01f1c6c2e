// String views, lists, paths, numbers, Unicode conversions and dates.
#include "base/base_strings.h"

#include "base/base_format.h"

//~ Construction and copying

StrView
str_from_cstr(const char *c) {
  return str_make((u8 *)c, c ? strlen(c) : 0);
}

StrView16
str16_from_cstr(const u16 *c) {
  u64 n = 0;
  if (c)
    while (c[n]) n += 1;
  StrView16 s = {(u16 *)c, n};
  return s;
}

StrView
str_push_copy(Arena *arena, StrView s) {
  u8 *p = push_array_no_zero(arena, u8, s.length + 1);
  if (s.length) memcpy(p, s.data, s.length);
  p[s.length] = 0;
  return str_make(p, s.length);
}

StrView
str_pushfv(Arena *arena, const char *fmt, va_list args) {
  va_list measure;
  va_copy(measure, args);
  u64 n = fmt_vsnprintf(0, 0, fmt, measure);
  va_end(measure);
  u8 *p = push_array_no_zero(arena, u8, n + 1);
  if (!p) return StrView{};
  fmt_vsnprintf((char *)p, n + 1, fmt, args);
  return str_make(p, n);
}

StrView
str_pushf(Arena *arena, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  StrView s = str_pushfv(arena, fmt, args);
  va_end(args);
  return s;
}

StrView
str_push_fill(Arena *arena, u64 n, u8 byte) {
  u8 *p = push_array_no_zero(arena, u8, n);
  memset(p, byte, n);
  return str_make(p, n);
}

//~ Comparison and hashing

static inline bool
str_bytes_match(u8 a, u8 b, u32 flags) {
  if (a == b) return true;
  if ((flags & StrMatchFlag_CaseInsensitive) && char_to_lower(a) == char_to_lower(b)) return true;
  if ((flags & StrMatchFlag_SlashInsensitive) && char_slash_fold(a) == char_slash_fold(b)) return true;
  return false;
}

bool
str_match(StrView a, StrView b, u32 flags) {
  if (flags & StrMatchFlag_Prefix) {
    if (b.length < a.length) return false;
  } else if (a.length != b.length) {
    return false;
  }
  for (u64 i = 0; i < a.length; i += 1) {
    if (!str_bytes_match(a.data[i], b.data[i], flags)) return false;
  }
  return true;
}

u64
str_hash_djb2(StrView s) {
  u64 h = 5381;
  for (u64 i = 0; i < s.length; i += 1) h = h * 33 + s.data[i];
  return h;
}

u64
str_find(StrView s, u64 start, StrView needle, u32 flags) {
  if (needle.length == 0) return Min(start, s.length);
  if (flags == 0) {
    // Exact bytes: the C library finds the first byte, a compare checks the rest.
    u64 i = start;
    while (i + needle.length <= s.length) {
      const u8 *hit = (const u8 *)memchr(s.data + i, needle.data[0], s.length - needle.length + 1 - i);
      if (!hit) return s.length;
      i = (u64)(hit - s.data);
      if (memcmp(hit + 1, needle.data + 1, needle.length - 1) == 0) return i;
      i += 1;
    }
    return s.length;
  }
  for (u64 i = start; i + needle.length <= s.length; i += 1) {
    if (str_match(needle, str_skip(s, i), flags | StrMatchFlag_Prefix)) return i;
  }
  return s.length;
}

//~ Slicing

StrView
str_substr(StrView s, u64 i, u64 j) {
  u64 a = Min(Min(i, j), s.length);
  u64 b = Min(Max(i, j), s.length);
  return str_make(s.data + a, b - a);
}

StrView
str_prefix(StrView s, u64 n) {
  return str_make(s.data, Min(n, s.length));
}

StrView
str_skip(StrView s, u64 n) {
  n = Min(n, s.length);
  return str_make(s.data + n, s.length - n);
}

StrView
str_chop(StrView s, u64 n) {
  n = Min(n, s.length);
  return str_make(s.data, s.length - n);
}

StrView
str_postfix(StrView s, u64 n) {
  if (n > s.length) return str_make(s.data, 0);
  return str_make(s.data + s.length - n, n);
}

StrView
str_trim_leading_whitespace(StrView s) {
  u64 i = 0;
  while (i < s.length && char_is_blank(s.data[i])) i += 1;
  return str_skip(s, i);
}

StrView
str_trim_trailing_whitespace(StrView s) {
  u64 n = s.length;
  while (n > 0 && char_is_blank(s.data[n - 1])) n -= 1;
  return str_make(s.data, n);
}

StrView
str_trim_whitespace(StrView s) {
  return str_trim_trailing_whitespace(str_trim_leading_whitespace(s));
}

StrView
str_unquote(StrView s) {
  if (s.length && (s.data[0] == '"' || s.data[0] == '\'')) s = str_skip(s, 1);
  if (s.length && (s.data[s.length - 1] == '"' || s.data[s.length - 1] == '\'')) s = str_chop(s, 1);
  return s;
}

static u64
str_last_index_of(StrView s, bool slash) {
  for (u64 i = s.length; i > 0; i -= 1) {
    u8 c = s.data[i - 1];
    if (slash ? char_is_slash(c) : c == '.') return i - 1;
  }
  return s.length;
}

StrView
str_chop_last_dot(StrView s) {
  u64 i = str_last_index_of(s, false);
  return i == s.length ? s : str_prefix(s, i);
}

StrView
str_skip_last_dot(StrView s) {
  u64 i = str_last_index_of(s, false);
  return i == s.length ? s : str_skip(s, i + 1);
}

StrView
str_chop_last_slash(StrView s) {
  u64 i = str_last_index_of(s, true);
  return i == s.length ? s : str_prefix(s, i);
}

StrView
str_chop_last_slash_keep(StrView s) {
  u64 i = str_last_index_of(s, true);
  return i == s.length ? s : str_prefix(s, i + 1);
}

StrView
str_skip_last_slash(StrView s) {
  u64 i = str_last_index_of(s, true);
  return i == s.length ? s : str_skip(s, i + 1);
}

//~ Lists

void
str_list_push_node(StrList *list, StrNode *node) {
  SLLQueuePush(list->first, list->last, node);
  list->node_count += 1;
  list->total_size += node->string.length;
}

void
str_list_push_node_front(StrList *list, StrNode *node) {
  SLLQueuePushFront(list->first, list->last, node);
  list->node_count += 1;
  list->total_size += node->string.length;
}

StrNode *
str_list_push(Arena *arena, StrList *list, StrView s) {
  StrNode *n = push_array_no_zero(arena, StrNode, 1);
  n->string = s;
  str_list_push_node(list, n);
  return n;
}

StrNode *
str_list_push_front(Arena *arena, StrList *list, StrView s) {
  StrNode *n = push_array_no_zero(arena, StrNode, 1);
  n->string = s;
  str_list_push_node_front(list, n);
  return n;
}

StrNode *
str_list_pushf(Arena *arena, StrList *list, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  StrView s = str_pushfv(arena, fmt, args);
  va_end(args);
  return str_list_push(arena, list, s);
}

void
str_list_concat_in_place(StrList *list, StrList *other) {
  if (!other->first) return;
  if (list->last) {
    list->last->next = other->first;
    list->last = other->last;
    list->node_count += other->node_count;
    list->total_size += other->total_size;
  } else {
    *list = *other;
  }
  MemoryZeroStruct(other);
}

StrView
str_list_join(Arena *arena, StrList *list, const StrJoin *join) {
  StrJoin j = {};
  if (join) j = *join;
  u64 seps = list->node_count > 1 ? list->node_count - 1 : 0;
  u64 n = j.pre.length + list->total_size + j.sep.length * seps + j.post.length;
  u8 *p = push_array_no_zero(arena, u8, n + 1);
  u8 *w = p;
  if (j.pre.length) memcpy(w, j.pre.data, j.pre.length), w += j.pre.length;
  for (StrNode *node = list->first; node; node = node->next) {
    if (node->string.length) memcpy(w, node->string.data, node->string.length), w += node->string.length;
    if (node->next && j.sep.length) memcpy(w, j.sep.data, j.sep.length), w += j.sep.length;
  }
  if (j.post.length) memcpy(w, j.post.data, j.post.length), w += j.post.length;
  *w = 0;
  return str_make(p, n);
}

StrList
str_split(Arena *arena, StrView s, const StrView *separators, u64 separator_count) {
  StrList list = {};
  u64 start = 0;
  u64 i = 0;
  while (i < s.length) {
    u64 matched = 0;
    for (u64 k = 0; k < separator_count; k += 1) {
      StrView sep = separators[k];
      if (sep.length && str_match(sep, str_skip(s, i), StrMatchFlag_Prefix)) {
        matched = sep.length;
        break;
      }
    }
    if (matched) {
      str_list_push(arena, &list, str_substr(s, start, i));
      i += matched;
      start = i;
    } else {
      i += 1;
    }
  }
  if (start < s.length) str_list_push(arena, &list, str_substr(s, start, s.length));
  return list;
}

//~ Paths

StrList
path_split(Arena *arena, StrView path) {
  StrView seps[2] = {str_lit("/"), str_lit("\\")};
  return str_split(arena, path, seps, 2);
}

StrView
path_ensure_trailing_slash(Arena *arena, StrView path) {
  if (path.length == 0 || char_is_slash(path.data[path.length - 1])) return path;
  return str_pushf(arena, "%S/", &path);
}

u32
path_kind(StrView path) {
  if (path.length >= 2 && char_is_letter(path.data[0]) && path.data[1] == ':') return 1;
  if (path.length >= 1 && path.data[0] == '/') return 2;
  return 0;
}

StrList
path_normalize_components(Arena *arena, StrList components) {
  ArenaTemp scratch = scratch_begin(&arena, 1);
  StrView *stack = push_array_no_zero(scratch.arena, StrView, components.node_count + 1);
  u64 top = 0;
  for (StrNode *n = components.first; n; n = n->next) {
    if (str_equal(n->string, str_lit(".."))) {
      if (top) top -= 1;
    } else if (!str_equal(n->string, str_lit("."))) {
      stack[top++] = n->string;
    }
  }
  StrList out = {};
  for (u64 i = 0; i < top; i += 1) str_list_push(arena, &out, stack[i]);
  scratch_end(scratch);
  return out;
}

//~ Numbers

static const u8 str_digit_table[32] = {
    0,   1,   2,   3,   4,   5,   6,   7,   8,   9,   255, 255, 255, 255, 255, 255,
    255, 10,  11,  12,  13,  14,  15,  255, 255, 255, 255, 255, 255, 255, 255, 255,
};

u64
str_to_u64(StrView s, u32 radix) {
  u64 v = 0;
  for (u64 i = 0; i < s.length; i += 1) v = v * radix + str_digit_table[(u8)(s.data[i] - 16) % 32];
  return v;
}

StrView
str_from_u64(Arena *arena, u64 value, u32 radix, u64 min_digits, u8 separator) {
  if (radix < 2 || radix > 16) radix = 10;
  const char *prefix = radix == 16 ? "0x" : radix == 8 ? "0o" : radix == 2 ? "0b" : "";
  u64 group = (radix == 2 || radix == 8 || radix == 16) ? 4 : 3;
  u8 digits[64];
  u64 nd = 0;
  u64 v = value;
  do {
    digits[nd++] = "0123456789abcdef"[v % radix];
    v /= radix;
  } while (v);
  u64 total_digits = Max(nd, min_digits);
  u64 seps = (separator && total_digits) ? (total_digits - 1) / group : 0;
  u64 plen = strlen(prefix);
  u64 n = plen + total_digits + seps;
  u8 *p = push_array_no_zero(arena, u8, n + 1);
  memcpy(p, prefix, plen);
  u8 *w = p + n;
  *w = 0;
  for (u64 i = 0; i < total_digits; i += 1) {
    if (separator && i && i % group == 0) *--w = separator;
    *--w = i < nd ? digits[i] : '0';
  }
  return str_make(p, n);
}

//~ Unicode

// Lead-byte classes by byte / 8: 1..4 bytes, 0 continuation, 5 invalid.
static const u8 utf8_class[32] = {
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 2, 2, 2, 2, 3, 3, 4, 5,
};

UnicodeDecode
utf8_decode(const u8 *bytes, u64 available) {
  UnicodeDecode r = {UNICODE_INVALID, 1};
  if (available == 0) return r;
  u8 b = bytes[0];
  u8 cls = utf8_class[b >> 3];
  switch (cls) {
    case 1: r.codepoint = b; break;
    case 2:
    case 3:
    case 4: {
      if (available < cls) break;
      bool ok = true;
      for (u32 i = 1; i < cls; i += 1) ok = ok && utf8_class[bytes[i] >> 3] == 0;
      if (!ok) break;
      static const u8 lead_mask[5] = {0, 0x7f, 0x1f, 0x0f, 0x07};
      u32 cp = b & lead_mask[cls];
      for (u32 i = 1; i < cls; i += 1) cp = (cp << 6) | (bytes[i] & 0x3f);
      r.codepoint = cp;
      r.advance = cls;
    } break;
    default: break;
  }
  return r;
}

UnicodeDecode
utf16_decode(const u16 *units, u64 available) {
  UnicodeDecode r = {UNICODE_INVALID, 1};
  if (available == 0) return r;
  u16 a = units[0];
  r.codepoint = a;
  if (a >= 0xd800 && a <= 0xdbff && available >= 2 && units[1] >= 0xdc00 && units[1] <= 0xdfff) {
    r.codepoint = 0x10000 + ((u32)(a - 0xd800) << 10) + (units[1] - 0xdc00);
    r.advance = 2;
  }
  return r;
}

u32
utf8_encode(u8 *out, u32 cp) {
  if (cp < 0x80) {
    out[0] = (u8)cp;
    return 1;
  }
  if (cp < 0x800) {
    out[0] = (u8)(0xc0 | (cp >> 6));
    out[1] = (u8)(0x80 | (cp & 0x3f));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = (u8)(0xe0 | (cp >> 12));
    out[1] = (u8)(0x80 | ((cp >> 6) & 0x3f));
    out[2] = (u8)(0x80 | (cp & 0x3f));
    return 3;
  }
  if (cp <= 0x10ffff) {
    out[0] = (u8)(0xf0 | (cp >> 18));
    out[1] = (u8)(0x80 | ((cp >> 12) & 0x3f));
    out[2] = (u8)(0x80 | ((cp >> 6) & 0x3f));
    out[3] = (u8)(0x80 | (cp & 0x3f));
    return 4;
  }
  out[0] = '?';
  return 1;
}

u32
utf16_encode(u16 *out, u32 cp) {
  if (cp == UNICODE_INVALID) {
    out[0] = '?';
    return 1;
  }
  if (cp < 0x10000) {
    out[0] = (u16)cp;
    return 1;
  }
  if (cp > 0x10ffff) {
    out[0] = '?';
    return 1;
  }
  out[0] = (u16)(0xd800 + ((cp - 0x10000) >> 10));
  out[1] = (u16)(0xdc00 + (cp & 0x3ff));
  return 2;
}

StrView16
str16_from_str(Arena *arena, StrView s) {
  u64 cap = s.length * 2 + 1;
  u16 *p = push_array_no_zero(arena, u16, cap);
  u64 n = 0;
  for (u64 i = 0; i < s.length;) {
    UnicodeDecode d = utf8_decode(s.data + i, s.length - i);
    n += utf16_encode(p + n, d.codepoint);
    i += d.advance;
  }
  p[n] = 0;
  arena_pop(arena, (cap - n - 1) * sizeof(u16));
  StrView16 r = {p, n};
  return r;
}

StrView
str_from_str16(Arena *arena, StrView16 s) {
  u64 cap = s.length * 3 + 1;
  u8 *p = push_array_no_zero(arena, u8, cap);
  u64 n = 0;
  for (u64 i = 0; i < s.length;) {
    UnicodeDecode d = utf16_decode(s.data + i, s.length - i);
    n += utf8_encode(p + n, d.codepoint);
    i += d.advance;
  }
  p[n] = 0;
  arena_pop(arena, cap - n - 1);
  return str_make(p, n);
}

//~ Text positions and dates

LineCol
str_line_col(StrView text, u64 offset) {
  LineCol start = {1, 1};
  return str_line_col_advance(text, 0, offset, start);
}

LineCol
str_line_col_advance(StrView text, u64 from, u64 offset, LineCol at) {
  LineCol lc = at;
  u64 end = Min(offset, text.length);
  for (u64 i = from; i < end; i += 1) {
    if (text.data[i] == '\n') {
      lc.line += 1;
      lc.column = 1;
    } else {
      lc.column += 1;
    }
  }
  return lc;
}

LineCol
line_cursor_seek(LineCursor *c, StrView text, u64 offset) {
  offset = Min(offset, text.length);
  if (offset < c->at) *c = line_cursor_begin();
  c->lc = str_line_col_advance(text, c->at, offset, c->lc);
  c->at = offset;
  return c->lc;
}

DateTime
date_parse(Arena *arena, StrView text, StrList *field_names) {
  DateTime d = {};
  ArenaTemp scratch = scratch_begin(&arena, 1);
  StrView seps[4] = {str_lit("/"), str_lit("."), str_lit("-"), str_lit(":")};
  StrList pieces = str_split(scratch.arena, text, seps, 4);
  StrList defaults = {};
  if (!field_names) {
    str_list_push(scratch.arena, &defaults, str_lit("year"));
    str_list_push(scratch.arena, &defaults, str_lit("month"));
    str_list_push(scratch.arena, &defaults, str_lit("day"));
    field_names = &defaults;
  }
  StrNode *name = field_names->first;
  for (StrNode *p = pieces.first; p && name; p = p->next, name = name->next) {
    u64 v = str_to_u64(str_trim_trailing_whitespace(p->string), 10);
    StrView f = name->string;
    u32 ci = StrMatchFlag_CaseInsensitive;
    if (str_match(f, str_lit("year"), ci)) d.year = (u16)v;
    else if (str_match(f, str_lit("month"), ci)) d.month = (u8)v;
    else if (str_match(f, str_lit("day"), ci)) d.day = (u8)v;
    else if (str_match(f, str_lit("hour"), ci)) d.hour = (u8)v;
    else if (str_match(f, str_lit("minute"), ci)) d.minute = (u8)v;
    else if (str_match(f, str_lit("second"), ci)) d.second = (u8)v;
  }
  scratch_end(scratch);
  return d;
}

StrView
month_short_name(u32 month) {
  static const char names[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (month >= 1 && month <= 12) return str_make((u8 *)names[month - 1], 3);
  return str_lit("Err");
}
