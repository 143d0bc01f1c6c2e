// Diagnostics: collection and the three-line printer.
#include "base/base_diag.h"

#include "base/base_format.h"

#include <stdlib.h>

s32
diag_push_flags(Arena *arena, DiagnosticList *list, u64 offset, u32 severity, StrView message, u32 flags) {
  bool one_line = flags & DiagFlag_OneLine;
  if (one_line ? list->one_line < DIAG_KEEP_MAX : list->count < DIAG_KEEP_MAX) {
    Diagnostic *d = push_struct(arena, Diagnostic);
    d->offset = offset;
    d->severity = severity;
    d->message = message;
    d->flags = flags;
    SLLQueuePush(list->first, list->last, d);
    if (one_line) list->one_line += 1;
  }
  if (!one_line) list->count += 1;
  if (severity >= DiagSeverity_Error) list->errors += 1;
  else if (severity == DiagSeverity_Warning) list->warnings += 1;
  if ((s32)severity > list->max_severity) list->max_severity = (s32)severity;
  return list->max_severity;
}

s32
diag_push(Arena *arena, DiagnosticList *list, u64 offset, u32 severity, StrView message) {
  return diag_push_flags(arena, list, offset, severity, message, 0);
}

void
diag_count(DiagnosticList *list, u32 severity, u64 n) {
  if (!n) return;
  list->count += n;
  if (severity >= DiagSeverity_Error) list->errors += n;
  else if (severity == DiagSeverity_Warning) list->warnings += n;
  if ((s32)severity > list->max_severity) list->max_severity = (s32)severity;
}

void
diag_merge(DiagnosticList *into, DiagnosticList *more) {
  Diagnostic *a = into->first, *b = more->first;
  Diagnostic *first = 0, *last = 0;
  u64 kept = 0;
  while (a || b) {
    Diagnostic *d;
    if (a && (!b || a->offset <= b->offset)) {
      d = a;
      a = a->next;
    } else {
      d = b;
      b = b->next;
    }
    // One-line diagnostics were kept within their own budget in each list.
    if (!(d->flags & DiagFlag_OneLine)) {
      if (kept == DIAG_KEEP_MAX) continue;
      kept += 1;
    }
    d->next = 0;
    if (last) last->next = d;
    else first = d;
    last = d;
  }
  into->first = first;
  into->last = last;
  into->count += more->count;
  into->one_line += more->one_line;
  into->errors += more->errors;
  into->warnings += more->warnings;
  if (more->max_severity > into->max_severity) into->max_severity = more->max_severity;
  *more = DiagnosticList{};
}

void
diag_append(DiagnosticList *into, DiagnosticList *more) {
  u64 kept = Min(into->count, (u64)DIAG_KEEP_MAX);
  for (Diagnostic *d = more->first; d;) {
    Diagnostic *next = d->next;
    if (!(d->flags & DiagFlag_OneLine)) {
      if (kept == DIAG_KEEP_MAX) {
        d = next;
        continue;
      }
      kept += 1;
    }
    d->next = 0;
    if (into->last) into->last->next = d;
    else into->first = d;
    into->last = d;
    d = next;
  }
  into->count += more->count;
  into->one_line += more->one_line;
  into->errors += more->errors;
  into->warnings += more->warnings;
  if (more->max_severity > into->max_severity) into->max_severity = more->max_severity;
  *more = DiagnosticList{};
}

StrView
diag_severity_label(u32 severity) {
  switch (severity) {
    case DiagSeverity_Note: return str_lit("note");
    case DiagSeverity_Warning: return str_lit("warning");
    case DiagSeverity_Error: return str_lit("error");
    case DiagSeverity_FatalError: return str_lit("fatal error");
    default: return StrView{};
  }
}

void
diag_print(DiagnosticList *list, StrView source, StrView path) {
  LineCursor cursor = line_cursor_begin();
  u64 shown = 0;
  for (Diagnostic *d = list->first; d; d = d->next) {
    if (d->flags & DiagFlag_OneLine) continue;
    shown += 1;
    LineCol lc = line_cursor_seek(&cursor, source, d->offset);
    StrView label = diag_severity_label(d->severity);
    ArenaTemp scratch = scratch_begin(0, 0);
    StrView text = str_pushf(scratch.arena, "%S: \ntoken: %S\n%S:%I64d:%I64d\n", &label, &d->message, &path,
                             (s64)lc.line, (s64)lc.column);
    console_printf("%.*s", str_expand(text));
    scratch_end(scratch);
  }
  if (list->count > shown) {
    ArenaTemp scratch = scratch_begin(0, 0);
    StrView text = str_pushf(scratch.arena, "%S: %I64u more diagnostics not shown\n", &path, list->count - shown);
    console_printf("%.*s", str_expand(text));
    scratch_end(scratch);
  }
}

//~ One line per diagnostic

static int
diag_place_order(const void *a, const void *b) {
  const DiagPlace *x = (const DiagPlace *)a, *y = (const DiagPlace *)b;
  if (x->diagnostic->offset != y->diagnostic->offset) return x->diagnostic->offset < y->diagnostic->offset ? -1 : 1;
  // Equal offsets keep the order they were raised in: the index rides in `line` until counted.
  return x->line < y->line ? -1 : x->line > y->line ? 1 : 0;
}

DiagPlaces
diag_places(Arena *arena, DiagnosticList *list, StrView source) {
  DiagPlaces r = {};
  u64 n = 0;
  for (Diagnostic *d = list->first; d; d = d->next) n += 1;
  if (!n) return r;
  r.items = push_array(arena, DiagPlace, n);
  for (Diagnostic *d = list->first; d; d = d->next, r.count += 1) {
    r.items[r.count].diagnostic = d;
    r.items[r.count].line = r.count;
  }
  // Sorted first, so the positions cost one pass over the source whatever order the
  // stages raised them in.
  qsort(r.items, r.count, sizeof(DiagPlace), diag_place_order);
  u64 at = 0, line = 1, column = 1, codepoints = 1;
  for (u64 i = 0; i < r.count; i += 1) {
    u64 end = Min(r.items[i].diagnostic->offset, source.length);
    for (; at < end; at += 1) {
      u8 c = source.data[at];
      if (c == '\n') {
        line += 1;
        column = codepoints = 1;
      } else {
        column += 1;
        if ((c & 0xc0) != 0x80) codepoints += 1;
      }
    }
    r.items[i].line = line;
    r.items[i].column = column;
    r.items[i].codepoint_column = codepoints;
  }
  return r;
}

void
diag_print_line(StrView location, u32 severity, StrView message, bool color) {
  StrView label = diag_severity_label(severity);
  const char *on = "", *off = "";
  if (color) {
    // As compilers colour them: errors red, warnings magenta, notes cyan.
    on = severity >= DiagSeverity_Error ? "\x1b[1;31m" : severity == DiagSeverity_Warning ? "\x1b[1;35m" : "\x1b[1;36m";
    off = "\x1b[0m";
  }
  console_eprintf("%.*s: %s%.*s:%s %.*s\n", str_expand(location), on, str_expand(label), off, str_expand(message));
}

void
diag_print_lines(DiagnosticList *list, StrView source, StrView path, u32 mode, bool color) {
  ArenaTemp scratch = scratch_begin(0, 0);
  DiagPlaces places = diag_places(scratch.arena, list, source);
  u64 shown = 0;
  for (u64 i = 0; i < places.count; i += 1) {
    DiagPlace *pl = &places.items[i];
    Diagnostic *d = pl->diagnostic;
    if (!(d->flags & DiagFlag_OneLine)) shown += 1;
    if (mode != DiagLines_All && !(d->flags & DiagFlag_OneLine)) continue;
    StrView location = str_pushf(scratch.arena, "%S:%I64u:%I64u", &path, pl->line, pl->column);
    diag_print_line(location, d->severity, d->message, color);
  }
  if (mode == DiagLines_All && list->count > shown) {
    StrView location = str_pushf(scratch.arena, "%S:1:1", &path);
    StrView message = str_pushf(scratch.arena, "%I64u more diagnostics not shown", list->count - shown);
    diag_print_line(location, DiagSeverity_Note, message, color);
  }
  scratch_end(scratch);
}
