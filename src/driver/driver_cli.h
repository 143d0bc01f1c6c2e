// The command line for people: help, version, and the options nobody asks for.
#pragma once

#include "driver/driver_options.h"

// "--help" (also "-h", "help") or "--version": prints the answer; true when the run stops there.
bool driver_answer_help_or_version(OptionTable *options);
// One line on standard error for each option that no part of the program reads, with
// the known option it most resembles.
// Returns how many; each line (without the program's name) is also pushed on `said`.
u64 driver_report_unknown_options(OptionTable *options, Arena *arena, StrList *said);
StrView driver_version(void);
