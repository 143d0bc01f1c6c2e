// The command line for people: help, version, and the options nobody asks for.
#pragma once

#include "driver/driver_options.h"

// "--help" (also "-h", "help") or "--version": prints the answer; true when the run stops there.
bool driver_answer_help_or_version(OptionTable *options);
// One line on standard error for each option that no part of the program reads, with
// the known option it most resembles.
void driver_report_unknown_options(OptionTable *options);
StrView driver_version(void);
