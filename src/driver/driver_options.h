// Command-line words and the option table the build driver queries by name.
#pragma once

#include "base/base_strings.h"

struct Option {
  Option *next;
  StrView key;
  StrList values;
  StrView value;  // the values joined with ","
};

struct OptionSlot {
  Option *first;
  Option *last;
};

struct OptionTable {
  u64 slot_count;
  OptionSlot *slots;
};

// One node per process argument after the program name; the bytes are not copied.
StrList options_args_from_argv(Arena *arena, int argc, char **argv);
// The words of the arguments, split at spaces and double quotes.
StrList options_split_words(Arena *arena, StrList args);
OptionTable options_parse(Arena *arena, StrList args);
StrView option_value(OptionTable *table, StrView key);
bool option_switch(OptionTable *table, StrView key);
// Every occurrence's value of a repeatable key, in command-line order.
StrList option_values_all(Arena *arena, OptionTable *table, StrView key);
