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

enum DiagFlags : u32 {
  // Said only in the one-line form (path:line:column: severity: message) on standard
  // error: the three-line report on standard output keeps exactly the diagnostics it
  // always had. Such diagnostics have a keep budget of their own and are not in
  // `count`, so they never push one of those out.
  DiagFlag_OneLine = 1,
};

struct Diagnostic {
  Diagnostic *next;
  u64 offset;
  u32 severity;
  StrView message;
  u32 flags;  // DiagFlags
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
  u64 one_line;  // kept with DiagFlag_OneLine (not in `count`)
};

// A kept diagnostic with its position, counted in bytes like the three-line report;
// `codepoint_column` counts characters, as code-scanning reports want.
struct DiagPlace {
  Diagnostic *diagnostic;
  u64 line;
  u64 column;
  u64 codepoint_column;
};

struct DiagPlaces {
  DiagPlace *items;  // in source order
  u64 count;
};

enum DiagLineMode : u32 {
  DiagLines_OneLineOnly,  // only the diagnostics that have no three-line form
  DiagLines_All,
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
// The same with flags (DiagFlags).
s32 diag_push_flags(Arena *arena, DiagnosticList *list, u64 offset, u32 severity, StrView message, u32 flags);
StrView diag_severity_label(u32 severity);
// Prints the kept diagnostics as three lines each (severity, "token: " message,
// path:line:column), then one line counting those not shown. Positions are counted in
// one pass over the source while the offsets ascend.
// Diagnostics with DiagFlag_OneLine are left to diag_print_lines.
void diag_print(DiagnosticList *list, StrView source, StrView path);
// The kept diagnostics in source order with their positions, counted in one pass.
DiagPlaces diag_places(Arena *arena, DiagnosticList *list, StrView source);
// One line each on standard error, "path:line:column: severity: message", the form
// compilers use, so editors and CI read them; with `color`, the severity is coloured.
// Under DiagLines_All a last line counts those not kept.
void diag_print_lines(DiagnosticList *list, StrView source, StrView path, u32 mode, bool color);
// "path:line:column: severity: message" with the severity coloured or not, and a line end.
void diag_print_line(StrView location, u32 severity, StrView message, bool color);
