// Turning the command line into words and the words into options.
#include "driver/driver_options.h"

#define OPTION_SLOT_COUNT 64

StrList
options_args_from_argv(Arena *arena, int argc, char **argv) {
  StrList args = {};
  for (int i = 1; i < argc; i += 1) str_list_push(arena, &args, str_from_cstr(argv[i]));
  return args;
}

StrList
options_split_words(Arena *arena, StrList args) {
  StrList words = {};
  for (StrNode *a = args.first; a; a = a->next) {
    StrView s = a->string;
    u64 start = 0;
    bool skipping = false;
    for (u64 i = 0; i <= s.length; i += 1) {
      u8 c = i < s.length ? s.data[i] : 0;
      bool end = i == s.length;
      if (skipping) {
        if (!end && char_is_blank(c)) continue;
        skipping = false;
        start = i;
      }
      if (end || c == ' ' || c == '"') {
        str_list_push(arena, &words, str_substr(s, start, i));
        start = i + 1;
        if (c == ' ' && !end) skipping = true;
      }
    }
  }
  return words;
}

static Option *
options_find(OptionTable *table, StrView key) {
  if (!table->slot_count) return 0;
  OptionSlot *slot = &table->slots[str_hash_djb2(key) % table->slot_count];
  for (Option *o = slot->first; o; o = o->next) {
    if (str_equal(o->key, key)) return o;
  }
  return 0;
}

OptionTable
options_parse(Arena *arena, StrList args) {
  OptionTable table = {};
  table.slot_count = OPTION_SLOT_COUNT;
  table.slots = push_array(arena, OptionSlot, OPTION_SLOT_COUNT);
  ArenaTemp scratch = scratch_begin(&arena, 1);
  StrList words = options_split_words(scratch.arena, args);

  Option *pending = 0;
  for (StrNode *w = words.first; w; w = w->next) {
    StrView word = str_trim_whitespace(w->string);
    if (!pending) {
      //- a new option: dashes, key, separator, value piece
      if (str_match(str_lit("--"), word, StrMatchFlag_Prefix)) word = str_skip(word, 2);
      else if (str_match(str_lit("-"), word, StrMatchFlag_Prefix)) word = str_skip(word, 1);
      u64 sep = 0;
      while (sep < word.length && word.data[sep] != '=' && word.data[sep] != ':') sep += 1;
      bool has_sep = sep < word.length;
      Option *o = push_struct(arena, Option);
      o->key = str_prefix(word, sep);
      StrView piece = has_sep ? str_skip(word, sep + 1) : StrView{};
      if (piece.length) str_list_push(arena, &o->values, piece);
      OptionSlot *slot = &table.slots[str_hash_djb2(o->key) % table.slot_count];
      SLLQueuePush(slot->first, slot->last, o);
      if (has_sep && (piece.length == 0 || piece.data[piece.length - 1] == ',')) pending = o;
    } else {
      //- continued values of the pending option
      StrView seps[1] = {str_lit(",")};
      StrList pieces = str_split(arena, word, seps, 1);
      for (StrNode *p = pieces.first; p; p = p->next) str_list_push(arena, &pending->values, p->string);
      if (!(word.length && word.data[word.length - 1] == ',')) pending = 0;
    }
  }

  //- join every option's values
  StrJoin join = {{}, str_lit(","), {}};
  for (u64 i = 0; i < table.slot_count; i += 1) {
    for (Option *o = table.slots[i].first; o; o = o->next) {
      o->value = o->values.node_count ? str_list_join(arena, &o->values, &join) : str_push_copy(arena, StrView{});
    }
  }
  scratch_end(scratch);
  return table;
}

StrView
option_value(OptionTable *table, StrView key) {
  Option *o = options_find(table, key);
  return o ? o->value : StrView{};
}

bool
option_switch(OptionTable *table, StrView key) {
  Option *o = options_find(table, key);
  if (!o) return false;
  if (o->value.length == 0) return true;
  return str_match(o->value, str_lit("true"), StrMatchFlag_CaseInsensitive) || str_equal(o->value, str_lit("1"));
}

StrList
option_values_all(Arena *arena, OptionTable *table, StrView key) {
  StrList out = {};
  if (!table->slot_count) return out;
  OptionSlot *slot = &table->slots[str_hash_djb2(key) % table->slot_count];
  for (Option *o = slot->first; o; o = o->next) {
    if (str_equal(o->key, key) && o->value.length) str_list_push(arena, &out, o->value);
  }
  return out;
}
