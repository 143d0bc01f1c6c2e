// Ids: a small scanner that reads the names a page's fragments can lead to, piece by
// piece as a page arrives, without keeping the page. It reads tags the way a browser's
// tokenizer does (comments, quoted values, and the text of script, style, title and
// textarea skipped), and nothing else of the page.
#include <xxhash.h>

#include "html/html_core.h"

//~ The set

static u64
html_id_hash(StrView name) {
  u64 h = XXH3_64bits(name.data, name.length);
  return h ? h : 1;  // 0 marks a free slot
}

static void
html_id_set_put(HtmlIdSet *set, u64 h) {
  u64 mask = set->capacity - 1;
  for (u64 at = h & mask;; at = (at + 1) & mask) {
    if (set->slots[at] == h) return;
    if (!set->slots[at]) {
      set->slots[at] = h;
      set->count += 1;
      return;
    }
  }
}

// Room for `count` hashes at most half full.
static void
html_id_set_reserve(Arena *arena, HtmlIdSet *set, u64 count) {
  u64 capacity = 64;
  while (capacity < count * 2) capacity *= 2;
  if (capacity <= set->capacity) return;
  u64 *slots = push_array(arena, u64, capacity);
  if (!slots) return;  // no memory: the caller finds no room
  HtmlIdSet grown = {slots, capacity, 0, set->overlong, set->partial};
  for (u64 i = 0; i < set->capacity; i += 1) {
    if (set->slots[i]) html_id_set_put(&grown, set->slots[i]);
  }
  *set = grown;
}

void
html_id_set_add(Arena *arena, HtmlIdSet *set, StrView name) {
  // Doubling keeps the adds linear in all; the tables left behind sum to less than the last.
  if ((set->count + 1) * 2 > set->capacity) html_id_set_reserve(arena, set, set->count + 1);
  // Without memory for more, the set knows it saw only part of the page.
  if ((set->count + 1) * 2 > set->capacity) {
    set->partial = 1;
    return;
  }
  html_id_set_put(set, html_id_hash(name));
}

bool
html_id_set_has(const HtmlIdSet *set, StrView name) {
  if (!set->capacity) return false;
  u64 h = html_id_hash(name);
  u64 mask = set->capacity - 1;
  for (u64 at = h & mask; set->slots[at]; at = (at + 1) & mask) {
    if (set->slots[at] == h) return true;
  }
  return false;
}

HtmlIdSet
html_id_set_copy(Arena *arena, const HtmlIdSet *set) {
  HtmlIdSet copy = {};
  copy.overlong = set->overlong;
  copy.partial = set->partial;
  if (set->count) html_id_set_reserve(arena, &copy, set->count);
  if (set->count && !copy.capacity) {
    copy.partial = 1;
    return copy;
  }
  for (u64 i = 0; i < set->capacity; i += 1) {
    if (set->slots[i]) html_id_set_put(&copy, set->slots[i]);
  }
  return copy;
}

//~ The scanner

enum HtmlIdState : u32 {
  HtmlIdState_Text,
  HtmlIdState_TagOpen,       // after "<"
  HtmlIdState_EndTagOpen,    // after "</"
  HtmlIdState_Bang,          // after "<!"
  HtmlIdState_BangDash,      // after "<!-"
  HtmlIdState_Comment,
  HtmlIdState_Bogus,         // "<?", "<!DOCTYPE" and the like, to the next ">"
  HtmlIdState_TagName,
  HtmlIdState_BeforeAttr,
  HtmlIdState_AttrName,
  HtmlIdState_AfterAttrName,
  HtmlIdState_BeforeValue,
  HtmlIdState_ValueDouble,
  HtmlIdState_ValueSingle,
  HtmlIdState_ValueBare,
  HtmlIdState_RawText,       // the text of script, style, title or textarea
};

void
html_id_scan_begin(HtmlIdScan *scan) {
  MemoryZeroStruct(scan);
}

static bool
html_id_is_space(u8 c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

static bool
html_id_name_is(const u8 *name, u32 length, const char *word) {
  u32 n = 0;
  while (word[n]) n += 1;
  return length == n && memcmp(name, word, n) == 0;
}

// The attribute just named: is its value one a fragment can name?
static void
html_id_attr_done(HtmlIdScan *s) {
  bool id = html_id_name_is(s->attr, s->attr_length, "id");
  bool name = html_id_name_is(s->attr, s->attr_length, "name") && html_id_name_is(s->tag, s->tag_length, "a");
  s->value_kept = !s->end_tag && (id || name);
  s->value_length = 0;
}

static void
html_id_value_done(Arena *arena, HtmlIdScan *s) {
  if (!s->value_kept) return;
  s->value_kept = 0;
  if (s->value_length > HTML_ID_MAX) {
    s->ids.overlong = 1;
    return;
  }
  StrView value = str_make(s->value, s->value_length);
  if (!value.length) return;
  if (memchr(value.data, '&', value.length)) {
    ArenaTemp scratch = scratch_begin(&arena, 1);
    html_id_set_add(arena, &s->ids, html_decode_url(scratch.arena, value));
    scratch_end(scratch);
  } else {
    html_id_set_add(arena, &s->ids, value);
  }
}

static void
html_id_value_take(HtmlIdScan *s, u8 c) {
  if (!s->value_kept) return;
  if (s->value_length < HTML_ID_MAX) s->value[s->value_length] = c;
  if (s->value_length <= HTML_ID_MAX) s->value_length += 1;
}

// The end of a start tag: the text of a few elements is no markup.
static u32
html_id_tag_done(HtmlIdScan *s) {
  if (s->end_tag) return HtmlIdState_Text;
  static const char *raw[] = {"script", "style", "title", "textarea"};
  for (const char *r : raw) {
    if (html_id_name_is(s->tag, s->tag_length, r)) {
      MemoryCopy(s->raw_tag, s->tag, s->tag_length);
      s->raw_matched = 0;
      s->raw_length = s->tag_length;
      return HtmlIdState_RawText;
    }
  }
  return HtmlIdState_Text;
}

static void
html_id_tag_take(HtmlIdScan *s, u8 c) {
  if (s->tag_length < sizeof s->tag) s->tag[s->tag_length] = char_to_lower(c);
  if (s->tag_length <= sizeof s->tag) s->tag_length += 1;
}

static void
html_id_attr_take(HtmlIdScan *s, u8 c) {
  if (s->attr_length < sizeof s->attr) s->attr[s->attr_length] = char_to_lower(c);
  if (s->attr_length <= sizeof s->attr) s->attr_length += 1;
}

void
html_id_scan_feed(Arena *arena, HtmlIdScan *s, StrView piece) {
  u32 st = s->state;
  for (u64 i = 0; i < piece.length; i += 1) {
    u8 c = piece.data[i];
    switch (st) {
      case HtmlIdState_Text: {
        // Most of a page is text: straight to the next "<".
        const u8 *lt = (const u8 *)memchr(piece.data + i, '<', piece.length - i);
        if (!lt) {
          i = piece.length;
          break;
        }
        i = (u64)(lt - piece.data);
        st = HtmlIdState_TagOpen;
      } break;
      case HtmlIdState_TagOpen: {
        s->end_tag = 0;
        s->tag_length = 0;
        if (c == '!') st = HtmlIdState_Bang;
        else if (c == '/') st = HtmlIdState_EndTagOpen;
        else if (c == '?') st = HtmlIdState_Bogus;
        else if (char_is_letter(c)) html_id_tag_take(s, c), st = HtmlIdState_TagName;
        else if (c != '<') st = HtmlIdState_Text;
      } break;
      case HtmlIdState_EndTagOpen: {
        s->end_tag = 1;
        if (char_is_letter(c)) html_id_tag_take(s, c), st = HtmlIdState_TagName;
        else st = c == '>' ? HtmlIdState_Text : HtmlIdState_Bogus;
      } break;
      case HtmlIdState_Bang: {
        st = c == '-' ? HtmlIdState_BangDash : c == '>' ? HtmlIdState_Text : HtmlIdState_Bogus;
      } break;
      case HtmlIdState_BangDash: {
        // "<!--" opens a comment; "<!-->" and "<!--->" are empty ones.
        s->dashes = 2;
        st = c == '-' ? HtmlIdState_Comment : c == '>' ? HtmlIdState_Text : HtmlIdState_Bogus;
      } break;
      case HtmlIdState_Comment: {
        if (c == '>' && s->dashes >= 2) st = HtmlIdState_Text;
        else s->dashes = c == '-' ? s->dashes + 1 : 0;
      } break;
      case HtmlIdState_Bogus: {
        if (c == '>') st = HtmlIdState_Text;
      } break;
      case HtmlIdState_TagName: {
        if (html_id_is_space(c) || c == '/') st = HtmlIdState_BeforeAttr;
        else if (c == '>') st = html_id_tag_done(s);
        else html_id_tag_take(s, c);
      } break;
      case HtmlIdState_BeforeAttr: {
        if (c == '>') {
          st = html_id_tag_done(s);
        } else if (!html_id_is_space(c) && c != '/') {
          s->attr_length = 0;
          html_id_attr_take(s, c);
          st = HtmlIdState_AttrName;
        }
      } break;
      case HtmlIdState_AttrName: {
        if (html_id_is_space(c)) {
          st = HtmlIdState_AfterAttrName;
        } else if (c == '/' || c == '>') {
          st = c == '>' ? html_id_tag_done(s) : HtmlIdState_BeforeAttr;
        } else if (c == '=') {
          html_id_attr_done(s);
          st = HtmlIdState_BeforeValue;
        } else {
          html_id_attr_take(s, c);
        }
      } break;
      case HtmlIdState_AfterAttrName: {
        if (c == '=') {
          html_id_attr_done(s);
          st = HtmlIdState_BeforeValue;
        } else if (c == '>') {
          st = html_id_tag_done(s);
        } else if (c == '/') {
          st = HtmlIdState_BeforeAttr;
        } else if (!html_id_is_space(c)) {
          s->attr_length = 0;
          html_id_attr_take(s, c);
          st = HtmlIdState_AttrName;
        }
      } break;
      case HtmlIdState_BeforeValue: {
        if (c == '"') {
          st = HtmlIdState_ValueDouble;
        } else if (c == '\'') {
          st = HtmlIdState_ValueSingle;
        } else if (c == '>') {
          s->value_kept = 0;
          st = html_id_tag_done(s);
        } else if (!html_id_is_space(c)) {
          html_id_value_take(s, c);
          st = HtmlIdState_ValueBare;
        }
      } break;
      case HtmlIdState_ValueDouble:
      case HtmlIdState_ValueSingle: {
        u8 quote = st == HtmlIdState_ValueDouble ? '"' : '\'';
        if (c == quote) {
          html_id_value_done(arena, s);
          st = HtmlIdState_BeforeAttr;
        } else if (!s->value_kept) {
          // A value nobody asked for: straight to its closing quote.
          const u8 *q = (const u8 *)memchr(piece.data + i, quote, piece.length - i);
          if (!q) {
            i = piece.length;
            break;
          }
          i = (u64)(q - piece.data) - 1;
        } else {
          html_id_value_take(s, c);
        }
      } break;
      case HtmlIdState_ValueBare: {
        if (html_id_is_space(c)) {
          html_id_value_done(arena, s);
          st = HtmlIdState_BeforeAttr;
        } else if (c == '>') {
          html_id_value_done(arena, s);
          st = html_id_tag_done(s);
        } else {
          html_id_value_take(s, c);
        }
      } break;
      case HtmlIdState_RawText: {
        // Only "</" and the element's own name end its text.
        u32 name_length = s->raw_length;
        u32 m = s->raw_matched;
        if (m == 0) {
          const u8 *lt = (const u8 *)memchr(piece.data + i, '<', piece.length - i);
          if (!lt) {
            i = piece.length;
            break;
          }
          i = (u64)(lt - piece.data);
          s->raw_matched = 1;
        } else if (m == 1) {
          s->raw_matched = c == '/' ? 2 : c == '<' ? 1 : 0;
        } else if (m < name_length + 2) {
          s->raw_matched = char_to_lower(c) == s->raw_tag[m - 2] ? m + 1 : c == '<' ? 1 : 0;
        } else if (html_id_is_space(c) || c == '/' || c == '>') {
          s->raw_matched = 0;
          s->end_tag = 1;
          st = c == '>' ? HtmlIdState_Text : HtmlIdState_Bogus;
        } else {
          s->raw_matched = c == '<' ? 1 : 0;
        }
      } break;
    }
  }
  s->state = st;
}

HtmlIdSet
html_ids_of(Arena *arena, StrView page) {
  ArenaTemp scratch = scratch_begin(&arena, 1);
  HtmlIdScan *scan = push_struct(scratch.arena, HtmlIdScan);
  html_id_scan_begin(scan);
  html_id_scan_feed(scratch.arena, scan, page);
  HtmlIdSet ids = html_id_set_copy(arena, &scan->ids);
  scratch_end(scratch);
  return ids;
}

//~ Fragments

static u32
html_hex_digit(u8 c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 16;
}

bool
html_fragment_found(const HtmlIdSet *set, StrView fragment) {
  u64 directive = str_find(fragment, 0, str_lit(":~:"), 0);
  fragment = str_prefix(fragment, directive);
  if (!fragment.length || str_match(fragment, str_lit("top"), StrMatchFlag_CaseInsensitive)) return true;
  // A value cut for its length decodes to no less than a fifth of it: such a name is not judged.
  if (set->overlong && fragment.length >= HTML_ID_MAX / 5) return true;
  if (set->partial || html_id_set_has(set, fragment)) return true;
  //- as a browser reads it: percent-decoded
  ArenaTemp scratch = scratch_begin(0, 0);
  u8 *out = push_array_no_zero(scratch.arena, u8, fragment.length);
  u64 w = 0;
  for (u64 i = 0; i < fragment.length; i += 1) {
    u8 c = fragment.data[i];
    if (c == '%' && i + 2 < fragment.length && html_hex_digit(fragment.data[i + 1]) < 16 &&
        html_hex_digit(fragment.data[i + 2]) < 16) {
      c = (u8)(html_hex_digit(fragment.data[i + 1]) * 16 + html_hex_digit(fragment.data[i + 2]));
      i += 2;
    }
    out[w++] = c;
  }
  bool found = w != fragment.length && html_id_set_has(set, str_make(out, w));
  scratch_end(scratch);
  return found;
}
