// The text formatter (printf language plus %S for a StrView pointer) and console output.
#pragma once

#include <stdarg.h>

#include "base/base_core.h"

// Returns the full formatted length whether or not it fit; a null buffer with capacity 0 only measures.
u64 fmt_vsnprintf(char *buffer, u64 capacity, const char *fmt, va_list args);
u64 fmt_snprintf(char *buffer, u64 capacity, const char *fmt, ...);

// Console output goes through the C library's own printf; %S is never used with it.
// Standard output is buffered (a line per call would cost a system call each): callers
// flush at the end of each round of work.
void console_printf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void console_eprintf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void console_flush(void);  // standard output and standard error
// Standard error written in blocks rather than line by line; for a run whose standard
// error is no terminal (a file or a pipe, where nobody reads as it goes).
void console_buffer_errors(void);

// A thread that works for another (writing pages in the background) keeps what it
// would say on standard error in a list, so the thread it works for prints it in the
// order of the run. Null stops capturing.
struct Arena;
struct StrList;
void console_capture_errors(Arena *arena, StrList *list);
