// Diagnostics: collection and the three-line printer.
#include "base/base_diag.h"

#include "base/base_format.h"

s32
diag_push(Arena *arena, DiagnosticList *list, u64 offset, u32 severity, StrView message) {
  if (list->count < DIAG_KEEP_MAX) {
    Diagnostic *d = push_struct(arena, Diagnostic);
    d->offset = offset;
    d->severity = severity;
    d->message = message;
    SLLQueuePush(list->first, list->last, d);
  }
  list->count += 1;
  if (severity >= DiagSeverity_Error) list->errors += 1;
  else if (severity == DiagSeverity_Warning) list->warnings += 1;
  if ((s32)severity > list->max_severity) list->max_severity = (s32)severity;
  return list->max_severity;
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
  while ((a || b) && kept < DIAG_KEEP_MAX) {
    Diagnostic *d;
    if (a && (!b || a->offset <= b->offset)) {
      d = a;
      a = a->next;
    } else {
      d = b;
      b = b->next;
    }
    d->next = 0;
    if (last) last->next = d;
    else first = d;
    last = d;
    kept += 1;
  }
  into->first = first;
  into->last = last;
  into->count += more->count;
  into->errors += more->errors;
  into->warnings += more->warnings;
  if (more->max_severity > into->max_severity) into->max_severity = more->max_severity;
  *more = DiagnosticList{};
}

void
diag_append(DiagnosticList *into, DiagnosticList *more) {
  u64 kept = Min(into->count, (u64)DIAG_KEEP_MAX);
  for (Diagnostic *d = more->first; d && kept < DIAG_KEEP_MAX; kept += 1) {
    Diagnostic *next = d->next;
    d->next = 0;
    if (into->last) into->last->next = d;
    else into->first = d;
    into->last = d;
    d = next;
  }
  into->count += more->count;
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
  for (Diagnostic *d = list->first; d; d = d->next, shown += 1) {
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
