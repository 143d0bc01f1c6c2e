// Diagnostics: messages about a source text, each at a byte offset, collected by the
// parsers and printed by the driver as three lines each.
#pragma once

#include "base/base_strings.h"

//~ Types

enum DiagSeverity : u32 {
  DiagSeverity_Note = 1,
  DiagSeverity_Warning = 2,
  DiagSeverity_Error = 3,
  DiagSeverity_FatalError = 5,
};

struct Diagnostic {
  Diagnostic *next;
  u64 offset;
  u32 severity;
  StrView message;
};

// Only the first DIAG_KEEP_MAX diagnostics of a list are kept: a binary file fed to a
// parser raises one per byte, and nobody reads past the first screens. `count` and
// `max_severity` still cover every diagnostic pushed.
#define DIAG_KEEP_MAX 100

struct DiagnosticList {
  Diagnostic *first;
  Diagnostic *last;
  u64 count;  // pushed, kept or not
  s32 max_severity;
  u64 errors;    // pushed with severity error or above, kept or not
  u64 warnings;
};

//~ Functions

// Adds a diagnostic; returns the list's highest severity so far.
s32 diag_push(Arena *arena, DiagnosticList *list, u64 offset, u32 severity, StrView message);
// Whether a new diagnostic would still be kept (callers may skip formatting the message).
inline bool diag_list_keeps(const DiagnosticList *list) { return list->count < DIAG_KEEP_MAX; }
// Counts `n` more diagnostics of a severity without keeping them.
void diag_count(DiagnosticList *list, u32 severity, u64 n);
// Moves the diagnostics of `more` (in ascending offsets) into `into`, each before the
// first of `into` that stands after it, as if both had been pushed in one pass; the
// counts cover both, and `more` is left empty.
void diag_merge(DiagnosticList *into, DiagnosticList *more);
// Moves the diagnostics of `more` after those of `into`, as if pushed after them.
void diag_append(DiagnosticList *into, DiagnosticList *more);
StrView diag_severity_label(u32 severity);
// Prints the kept diagnostics as three lines each (severity, "token: " message,
// path:line:column), then one line counting those not shown. Positions are counted in
// one pass over the source while the offsets ascend.
void diag_print(DiagnosticList *list, StrView source, StrView path);
