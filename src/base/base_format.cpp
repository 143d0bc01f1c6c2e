// The formatter walks the format itself, writes %S views and %n counts on its own,
// and hands every other directive with its arguments to stb_sprintf.
#include "base/base_format.h"

#include <stdio.h>
#include <stb_sprintf.h>

#include "base/base_strings.h"

//~ Output sink

struct FmtSink {
  char *buffer;
  u64 capacity;  // bytes that may hold text (capacity − 1 of the caller's)
  u64 count;     // bytes produced so far, written or not
  char tmp[STB_SPRINTF_MIN];
};

static void
fmt_sink_write(FmtSink *sink, const void *data, u64 n) {
  if (sink->buffer && sink->count < sink->capacity) {
    u64 room = sink->capacity - sink->count;
    memcpy(sink->buffer + sink->count, data, Min(room, n));
  }
  sink->count += n;
}

static void
fmt_sink_fill(FmtSink *sink, u8 byte, u64 n) {
  u8 block[64];
  memset(block, byte, sizeof(block));
  while (n) {
    u64 k = Min(n, (u64)sizeof(block));
    fmt_sink_write(sink, block, k);
    n -= k;
  }
}

static char *
fmt_stb_callback(const char *buf, void *user, int len) {
  FmtSink *sink = (FmtSink *)user;
  fmt_sink_write(sink, buf, (u64)len);
  return sink->tmp;
}

static void
fmt_stb(FmtSink *sink, const char *directive, ...) {
  va_list args;
  va_start(args, directive);
  stbsp_vsprintfcb(fmt_stb_callback, sink, sink->tmp, directive, args);
  va_end(args);
}

//~ Directives

enum FmtArgKind {
  FmtArg_None,
  FmtArg_Int32,
  FmtArg_Int64,
  FmtArg_Double,
  FmtArg_Pointer,
};

// Calls stb_sprintf with the directive, its star arguments and its one value.
static void
fmt_emit_stb(FmtSink *sink, const char *directive, int stars, const u32 *star_values, FmtArgKind kind,
             va_list *args) {
  u32 s0 = stars > 0 ? star_values[0] : 0;
  u32 s1 = stars > 1 ? star_values[1] : 0;
#define FMT_CALL(...)                                                     \
  do {                                                                    \
    if (stars == 0) fmt_stb(sink, directive __VA_OPT__(,) __VA_ARGS__);              \
    else if (stars == 1) fmt_stb(sink, directive, s0 __VA_OPT__(,) __VA_ARGS__);     \
    else fmt_stb(sink, directive, s0, s1 __VA_OPT__(,) __VA_ARGS__);                 \
  } while (0)
  switch (kind) {
    case FmtArg_None: FMT_CALL(); break;
    case FmtArg_Int32: {
      u32 v = va_arg(*args, u32);
      FMT_CALL(v);
    } break;
    case FmtArg_Int64: {
      u64 v = va_arg(*args, u64);
      FMT_CALL(v);
    } break;
    case FmtArg_Double: {
      double v = va_arg(*args, double);
      FMT_CALL(v);
    } break;
    case FmtArg_Pointer: {
      void *v = va_arg(*args, void *);
      FMT_CALL(v);
    } break;
  }
#undef FMT_CALL
}

u64
fmt_vsnprintf(char *buffer, u64 capacity, const char *fmt, va_list args_in) {
  FmtSink sink;
  sink.buffer = capacity ? buffer : 0;
  sink.capacity = capacity ? capacity - 1 : 0;
  sink.count = 0;
  va_list args;
  va_copy(args, args_in);

  const char *f = fmt;
  for (;;) {
    //- literal run
    const char *run = f;
    while (*f && *f != '%') f += 1;
    if (f > run) fmt_sink_write(&sink, run, (u64)(f - run));
    if (!*f) break;

    //- one directive: flags, width, precision, length, conversion
    const char *start = f;
    f += 1;
    bool left = false;
    for (;;) {
      char c = *f;
      if (c == '-') left = true;
      if (c == '-' || c == '+' || c == ' ' || c == '#' || c == '\'' || c == '$' || c == '_') {
        f += 1;
        continue;
      }
      if (c == '0') f += 1;  // a zero ends the flags, as in stb_sprintf
      break;
    }
    int stars = 0;
    u32 star_values[2] = {};
    s32 width = 0;
    if (*f == '*') {
      star_values[stars++] = va_arg(args, u32);
      width = (s32)star_values[0];
      f += 1;
    } else {
      while (*f >= '0' && *f <= '9') width = width * 10 + (*f++ - '0');
    }
    if (*f == '.') {
      f += 1;
      if (*f == '*') {
        star_values[stars++] = va_arg(args, u32);
        f += 1;
      } else {
        while (*f >= '0' && *f <= '9') f += 1;
      }
    }
    bool wide = false;
    switch (*f) {
      case 'h':
        f += 1;
        if (*f == 'h') f += 1;
        break;
      case 'l':
        f += 1;
        wide = sizeof(long) == 8;
        if (*f == 'l') wide = true, f += 1;
        break;
      case 'j':
      case 'z':
      case 't': wide = sizeof(size_t) == 8, f += 1; break;
      case 'I':
        if (f[1] == '6' && f[2] == '4') wide = true, f += 3;
        else if (f[1] == '3' && f[2] == '2') f += 3;
        else wide = sizeof(void *) == 8, f += 1;
        break;
      default: break;
    }
    char conv = *f;
    if (conv) f += 1;

    //- our own conversions
    if (conv == 'S') {
      StrView *v = va_arg(args, StrView *);
      u64 n = v ? v->length : 0;
      u64 pad = width > 0 && (u64)width > n ? (u64)width - n : 0;
      if (!left) fmt_sink_fill(&sink, ' ', pad);
      if (n) fmt_sink_write(&sink, v->data, n);
      if (left) fmt_sink_fill(&sink, ' ', pad);
      continue;
    }
    if (conv == 'n') {
      int *p = va_arg(args, int *);
      if (p) *p = (int)sink.count;
      continue;
    }

    //- everything else goes to stb_sprintf, one directive at a time
    FmtArgKind kind = FmtArg_None;
    switch (conv) {
      case 'd': case 'i': case 'u': case 'o': case 'x': case 'X': case 'b': case 'B':
        kind = wide ? FmtArg_Int64 : FmtArg_Int32;
        break;
      case 'c': kind = FmtArg_Int32; break;
      case 's': case 'p': kind = FmtArg_Pointer; break;
      case 'f': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A': kind = FmtArg_Double; break;
      default: {
        // "%%" and unknown conversions copy the character itself.
        if (conv) fmt_sink_write(&sink, &conv, 1);
        continue;
      }
    }
    char directive[64];
    u64 dlen = (u64)(f - start);
    if (dlen >= sizeof(directive)) {
      // Absurdly long directives (digit runs) are copied as text rather than cut.
      fmt_sink_write(&sink, start, dlen);
      continue;
    }
    memcpy(directive, start, dlen);
    directive[dlen] = 0;
    fmt_emit_stb(&sink, directive, stars, star_values, kind, &args);
  }
  va_end(args);
  if (sink.buffer) sink.buffer[Min(sink.count, sink.capacity)] = 0;
  return sink.count;
}

u64
fmt_snprintf(char *buffer, u64 capacity, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  u64 n = fmt_vsnprintf(buffer, capacity, fmt, args);
  va_end(args);
  return n;
}

void
console_printf(const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  vfprintf(stdout, fmt, args);
  va_end(args);
}

void
console_flush(void) {
  fflush(stdout);
  fflush(stderr);
}

void
console_buffer_errors(void) {
  // A site with many warnings says tens of thousands of lines: one system call each
  // costs more than building its pages again.
  setvbuf(stderr, 0, _IOFBF, 1 << 16);
}

static thread_local Arena *console_capture_arena;
static thread_local StrList *console_capture_list;

void
console_capture_errors(Arena *arena, StrList *list) {
  console_capture_arena = list ? arena : 0;
  console_capture_list = list;
}

void
console_eprintf(const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  if (console_capture_list) {
    StrView line = str_pushfv(console_capture_arena, fmt, args);
    str_list_push(console_capture_arena, console_capture_list, line);
  } else {
    vfprintf(stderr, fmt, args);
  }
  va_end(args);
}
