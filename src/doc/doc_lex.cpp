// The qil lexer: one pass over the bytes, tokens as offset pairs and kind bits.
#include "doc/doc_core.h"

#define DOC_TOKEN_CHUNK 4096

struct DocTokenChunk {
  DocTokenChunk *next;
  u64 count;
  DocToken tokens[DOC_TOKEN_CHUNK];
};

static inline bool
doc_lex_is_word_byte(u8 c) {
  return char_is_letter(c) || char_is_digit(c) || c >= 0xc0;
}

static inline bool
doc_lex_is_punct(u8 c) {
  switch (c) {
    case '!': case '#': case '$': case '%': case '&': case '\'': case '(': case ')': case '*':
    case '+': case ',': case '-': case '.': case '/': case ':': case ';': case '=': case '?':
    case '^': case '{': case '}': case '~':
      return true;
    default:
      return false;
  }
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

  // The chunks live on scratch memory: only the final array stays in the arena.
  ArenaTemp scratch = scratch_begin(&arena, 1);
  Arena *chunks = scratch.arena ? scratch.arena : arena;
  DocTokenChunk *first = push_array_no_zero(chunks, DocTokenChunk, 1);
  first->next = 0;
  first->count = 0;
  DocTokenChunk *chunk = first;
  u64 total = 0;
  u32 prev_kind = 0;

  for (u64 i = 0; i < n;) {
    u8 c = s[i];
    u8 c1 = i + 1 < n ? s[i + 1] : 0;
    bool has1 = i + 1 < n;
    bool has2 = i + 2 < n;
    u64 len = 1;
    u32 kind = 0;

    //- [1] backslash
    if (c == '\\') {
      kind = DocTokenKind_Backslash;
    }
    //- [2] line ends: CR LF is one token
    else if (c == '\n' || c == '\r') {
      kind = DocTokenKind_Newline;
      if (c == '\r' && has1 && c1 == '\n') len = 2;
    }
    //- [3] blanks, swallowing CR bytes but not LF
    else if (c == ' ' || c == '\t' || c == 0x0b) {
      kind = DocTokenKind_Whitespace;
      while (i + len < n) {
        u8 d = s[i + len];
        if (d != ' ' && d != '\t' && d != 0x0b && d != '\r') break;
        len += 1;
      }
    }
    //- [4] "//"
    else if (c == '/' && has1 && c1 == '/') {
      kind = DocTokenKind_DoubleSlash;
      len = 2;
    }
    //- [5] "<" ">"
    else if (c == '<' || c == '>') {
      kind = DocTokenKind_Symbol;
    }
    //- [6] "|" "[" "]"
    else if (c == '|') {
      kind = DocTokenKind_Pipe;
    } else if (c == '[') {
      kind = DocTokenKind_OpenBracket;
    } else if (c == ']') {
      kind = DocTokenKind_CloseBracket;
    }
    //- [7] "---" or "-"
    else if (c == '-') {
      if (has2 && c1 == '-' && s[i + 2] == '-') {
        kind = DocTokenKind_TripleDash;
        len = 3;
      } else {
        kind = DocTokenKind_Symbol;
      }
    }
    //- [8] "@"
    else if (c == '@') {
      kind = DocTokenKind_Symbol;
    }
    //- [9] "__" or "_"
    else if (c == '_') {
      kind = DocTokenKind_Symbol;
      if (has1 && c1 == '_') len = 2;
    }
    //- [10] backticks: three, two or one
    else if (c == '`') {
      if (has2 && c1 == '`' && s[i + 2] == '`') {
        kind = DocTokenKind_TripleBacktick;
        len = 3;
      } else if (has1 && c1 == '`') {
        kind = DocTokenKind_DoubleBacktick;
        len = 2;
      } else {
        kind = DocTokenKind_Backtick;
      }
    }
    //- [11] "~{" and "}~"
    else if (c == '~' && has1 && c1 == '{') {
      kind = DocTokenKind_TildeBrace;
      len = 2;
    } else if (c == '}' && has1 && c1 == '~') {
      kind = DocTokenKind_BraceTilde;
      len = 2;
    }
    //- [12] words: letters, digits and UTF-8 lead bytes
    else if (char_is_letter(c) || c >= 0xc0) {
      kind = DocTokenKind_Word;
      while (i + len < n && doc_lex_is_word_byte(s[i + len])) len += 1;
    }
    //- [13] numbers; a final "." is given back
    else if (char_is_digit(c) || (c == '.' && has1 && char_is_digit(c1))) {
      kind = DocTokenKind_Number;
      while (i + len < n) {
        u8 d = s[i + len];
        if (d != '.' && !char_is_digit(d) && !char_is_letter(d)) break;
        len += 1;
      }
      if (s[i + len - 1] == '.') len -= 1;
    }
    //- [14] quoted texts, possibly unterminated, possibly spanning lines
    else if (c == '"') {
      kind = DocTokenKind_String | DocTokenKind_Quoted;
      u64 j = i + 1;
      while (j < n && s[j] != '"') {
        if (s[j] == ' ') kind |= DocTokenKind_HasSpace;
        j += 1;
      }
      if (j < n) {
        len = j + 1 - i;
      } else {
        len = n - i;
        kind |= DocTokenKind_Unterminated;
      }
    }
    //- [15] punctuation
    else if (doc_lex_is_punct(c)) {
      kind = DocTokenKind_Punct;
    }
    //- [16] anything else
    else {
      kind = DocTokenKind_Invalid;
    }

    if ((kind & doc_lex_escapable) && prev_kind == DocTokenKind_Backslash) kind |= DocTokenKind_Escaped;
    if (chunk->count == DOC_TOKEN_CHUNK) {
      DocTokenChunk *next = push_array_no_zero(chunks, DocTokenChunk, 1);
      next->next = 0;
      next->count = 0;
      chunk->next = next;
      chunk = next;
    }
    DocToken *t = &chunk->tokens[chunk->count++];
    t->start = i;
    t->end = i + len;
    t->kind = kind;
    prev_kind = kind;
    total += 1;
    i += len;
  }

  //- one contiguous array
  DocToken *all = push_array_no_zero(arena, DocToken, total);
  u64 at = 0;
  for (DocTokenChunk *ch = first; ch; ch = ch->next) {
    memcpy(all + at, ch->tokens, sizeof(DocToken) * ch->count);
    at += ch->count;
  }
  result.tokens.tokens = all;
  result.tokens.count = total;
  scratch_end(scratch);
  return result;
}
