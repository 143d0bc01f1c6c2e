// The qil lexer: one pass over the bytes, tokens as offset pairs and kind bits.
#include "doc/doc_core.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Byte classes: one table look-up picks the rule for the byte under the cursor.
enum DocLexClass : u8 {
  DocLexClass_Invalid,
  DocLexClass_Backslash,
  DocLexClass_Newline,
  DocLexClass_Blank,
  DocLexClass_Slash,
  DocLexClass_Angle,
  DocLexClass_Pipe,
  DocLexClass_OpenBracket,
  DocLexClass_CloseBracket,
  DocLexClass_Dash,
  DocLexClass_At,
  DocLexClass_Underscore,
  DocLexClass_Backtick,
  DocLexClass_Tilde,
  DocLexClass_CloseBrace,
  DocLexClass_Letter,  // ASCII letters and UTF-8 lead bytes
  DocLexClass_Digit,
  DocLexClass_Dot,
  DocLexClass_Quote,
  DocLexClass_Punct,
};

struct DocLexTables {
  u8 cls[256];
  u8 word[256];    // bytes that continue a word, UTF-8 continuation bytes among them
  u8 number[256];  // bytes that continue a number
  DocLexTables() {
    for (int c = 0; c < 256; c += 1) {
      u8 k = DocLexClass_Invalid;
      if (char_is_letter((u8)c) || c >= 0xc0) k = DocLexClass_Letter;
      else if (char_is_digit((u8)c)) k = DocLexClass_Digit;
      cls[c] = k;
      // A continuation byte (0x80-0xBF) only ever follows a lead or another
      // continuation, so it extends a word but never starts one.
      word[c] = char_is_letter((u8)c) || char_is_digit((u8)c) || c >= 0x80;
      number[c] = c == '.' || char_is_digit((u8)c) || char_is_letter((u8)c);
    }
    for (const char *q = "!#$%&'()*+,:;=?^{}"; *q; q += 1) cls[(u8)*q] = DocLexClass_Punct;
    cls[(u8)'\\'] = DocLexClass_Backslash;
    cls[(u8)'\n'] = cls[(u8)'\r'] = DocLexClass_Newline;
    cls[(u8)' '] = cls[(u8)'\t'] = cls[0x0b] = DocLexClass_Blank;
    cls[(u8)'/'] = DocLexClass_Slash;
    cls[(u8)'<'] = cls[(u8)'>'] = DocLexClass_Angle;
    cls[(u8)'|'] = DocLexClass_Pipe;
    cls[(u8)'['] = DocLexClass_OpenBracket;
    cls[(u8)']'] = DocLexClass_CloseBracket;
    cls[(u8)'-'] = DocLexClass_Dash;
    cls[(u8)'@'] = DocLexClass_At;
    cls[(u8)'_'] = DocLexClass_Underscore;
    cls[(u8)'`'] = DocLexClass_Backtick;
    cls[(u8)'~'] = DocLexClass_Tilde;
    cls[(u8)'}'] = DocLexClass_CloseBrace;
    cls[(u8)'.'] = DocLexClass_Dot;
    cls[(u8)'"'] = DocLexClass_Quote;
  }
};
static const DocLexTables doc_lex_tables;

// End of the word that starts at i: letters, digits and bytes of 0x80 and above.
// Sixteen bytes are classified at once, so a word's end costs no mispredicted exit
// from a byte loop.
static inline u64
doc_lex_word_end(const u8 *s, u64 i, u64 n) {
#if defined(__SSE2__)
  const __m128i lower = _mm_set1_epi8(0x20);
  const __m128i alpha_bias = _mm_set1_epi8((char)(128 - 'a'));
  const __m128i alpha_limit = _mm_set1_epi8((char)(-128 + 26));
  const __m128i digit_bias = _mm_set1_epi8((char)(128 - '0'));
  const __m128i digit_limit = _mm_set1_epi8((char)(-128 + 10));
  const __m128i zero = _mm_setzero_si128();
  while (i + 16 <= n) {
    __m128i v = _mm_loadu_si128((const __m128i *)(s + i));
    __m128i alpha = _mm_cmplt_epi8(_mm_add_epi8(_mm_or_si128(v, lower), alpha_bias), alpha_limit);
    __m128i digit = _mm_cmplt_epi8(_mm_add_epi8(v, digit_bias), digit_limit);
    // Lead and continuation bytes alike: every byte of 0x80 and above.
    __m128i high = _mm_cmplt_epi8(v, zero);
    u32 word = (u32)_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(alpha, digit), high));
    u32 stop = ~word & 0xffffu;
    if (stop) return i + (u64)__builtin_ctz(stop);
    i += 16;
  }
#endif
  while (i < n && doc_lex_tables.word[s[i]]) i += 1;
  return i;
}

// Kinds that take the escape mark when a backslash token stands right before them.
static const u32 doc_lex_escapable = DocTokenKind_Number | DocTokenKind_Quoted | DocTokenKind_Symbol |
                                     DocTokenKind_DoubleSlash | DocTokenKind_Backtick |
                                     DocTokenKind_DoubleBacktick | DocTokenKind_TripleBacktick |
                                     DocTokenKind_TildeBrace | DocTokenKind_BraceTilde;

DocLexResult
doc_tokenize(Arena *arena, StrView source) {
  DocLexResult result = {};
  if (source.length == 0) return result;
  const u8 *s = source.data;
  u64 n = source.length;

  // No token is empty, so the source length bounds the count: the array is pushed
  // for that bound once and its unused tail is given back at the end. Pages that are
  // never written are never touched, and no token is copied.
  DocToken *all = push_array_no_zero(arena, DocToken, n);
  if (!all) return result;
  u64 total = 0;
  u32 prev_kind = 0;

  for (u64 i = 0; i < n;) {
    u8 c = s[i];
    u8 c1 = i + 1 < n ? s[i + 1] : 0;
    bool has1 = i + 1 < n;
    bool has2 = i + 2 < n;
    u64 len = 1;
    u32 kind = 0;

    u8 cls = doc_lex_tables.cls[c];
    // Words and single blanks make most of a document: test them before the switch,
    // which costs an indirect jump.
    //- [12] words: letters, digits and UTF-8 lead and continuation bytes
    if (cls == DocLexClass_Letter) {
      kind = DocTokenKind_Word;
      len = doc_lex_word_end(s, i + 1, n) - i;
    } else if (c == ' ' && !(has1 && (c1 == ' ' || c1 == '\t' || c1 == 0x0b || c1 == '\r'))) {
      kind = DocTokenKind_Whitespace;
    } else switch (cls) {
      //- [1] backslash
      case DocLexClass_Backslash: kind = DocTokenKind_Backslash; break;
      //- [2] line ends: CR LF is one token
      case DocLexClass_Newline:
        kind = DocTokenKind_Newline;
        if (c == '\r' && has1 && c1 == '\n') len = 2;
        break;
      //- [3] blanks, swallowing CR bytes but not LF
      case DocLexClass_Blank:
        kind = DocTokenKind_Whitespace;
        while (i + len < n) {
          u8 d = s[i + len];
          if (d != ' ' && d != '\t' && d != 0x0b && d != '\r') break;
          len += 1;
        }
        break;
      //- [4] "//", or "/" as punctuation
      case DocLexClass_Slash:
        if (has1 && c1 == '/') kind = DocTokenKind_DoubleSlash, len = 2;
        else kind = DocTokenKind_Punct;
        break;
      //- [5] "<" ">" and [8] "@"
      case DocLexClass_Angle:
      case DocLexClass_At: kind = DocTokenKind_Symbol; break;
      //- [6] "|" "[" "]"
      case DocLexClass_Pipe: kind = DocTokenKind_Pipe; break;
      case DocLexClass_OpenBracket: kind = DocTokenKind_OpenBracket; break;
      case DocLexClass_CloseBracket: kind = DocTokenKind_CloseBracket; break;
      //- [7] "---" or "-"
      case DocLexClass_Dash:
        if (has2 && c1 == '-' && s[i + 2] == '-') kind = DocTokenKind_TripleDash, len = 3;
        else kind = DocTokenKind_Symbol;
        break;
      //- [9] "__" or "_"
      case DocLexClass_Underscore:
        kind = DocTokenKind_Symbol;
        if (has1 && c1 == '_') len = 2;
        break;
      //- [10] backticks: three, two or one
      case DocLexClass_Backtick:
        if (has2 && c1 == '`' && s[i + 2] == '`') kind = DocTokenKind_TripleBacktick, len = 3;
        else if (has1 && c1 == '`') kind = DocTokenKind_DoubleBacktick, len = 2;
        else kind = DocTokenKind_Backtick;
        break;
      //- [11] "~{" and "}~", else punctuation
      case DocLexClass_Tilde:
        if (has1 && c1 == '{') kind = DocTokenKind_TildeBrace, len = 2;
        else kind = DocTokenKind_Punct;
        break;
      case DocLexClass_CloseBrace:
        if (has1 && c1 == '~') kind = DocTokenKind_BraceTilde, len = 2;
        else kind = DocTokenKind_Punct;
        break;
      //- [13] numbers; a final "." is given back
      case DocLexClass_Dot:
        if (!(has1 && char_is_digit(c1))) {
          kind = DocTokenKind_Punct;
          break;
        }
        [[fallthrough]];
      case DocLexClass_Digit:
        kind = DocTokenKind_Number;
        while (i + len < n && doc_lex_tables.number[s[i + len]]) len += 1;
        if (s[i + len - 1] == '.') len -= 1;
        break;
      //- [14] quoted texts, possibly unterminated, possibly spanning lines
      case DocLexClass_Quote: {
        kind = DocTokenKind_String | DocTokenKind_Quoted;
        const u8 *close = (const u8 *)memchr(s + i + 1, '"', n - i - 1);
        u64 j = close ? (u64)(close - s) : n;
        if (memchr(s + i + 1, ' ', j - i - 1)) kind |= DocTokenKind_HasSpace;
        if (close) {
          len = j + 1 - i;
        } else {
          len = n - i;
          kind |= DocTokenKind_Unterminated;
        }
      } break;
      //- [15] punctuation
      case DocLexClass_Punct: kind = DocTokenKind_Punct; break;
      //- [16] anything else: a run of such bytes is one token (a binary file would cost a
      //  token per byte), its diagnostics still one per byte (doc_emit_error_each_byte)
      default:
        kind = DocTokenKind_Invalid;
        while (i + len < n && doc_lex_tables.cls[s[i + len]] == DocLexClass_Invalid) len += 1;
        break;
    }

    if ((kind & doc_lex_escapable) && prev_kind == DocTokenKind_Backslash) kind |= DocTokenKind_Escaped;
    DocToken *t = &all[total];
    t->start = i;
    t->end = i + len;
    t->kind = kind;
    prev_kind = kind;
    total += 1;
    i += len;
  }

  arena_pop(arena, (n - total) * sizeof(DocToken));
  result.tokens.tokens = all;
  result.tokens.count = total;
  return result;
}
