#include "test_support.h"

#include "driver/driver_options.h"

static OptionTable
parse(std::vector<std::string> argv_words) {
  Arena *a = test_arena();
  StrList args = {};
  for (std::string &w : argv_words) str_list_push(a, &args, str_push_copy(a, sv(w)));
  return options_parse(a, args);
}

TEST(Options, WordSplitting) {
  Arena *a = test_arena();
  struct Row {
    std::vector<std::string> args;
    std::vector<std::string> words;
  } rows[] = {
      {{"a=b c=d"}, {"a=b", "c=d"}},
      {{"a=b   \t c=d"}, {"a=b", "c=d"}},
      {{"x=a\"b"}, {"x=a", "b"}},
      {{"x=\" b"}, {"x=", "", "b"}},  // a quote does not skip blanks: the space ends an empty word
      {{""}, {""}},
      {{"a", "b"}, {"a", "b"}},
      {{"dest_path=C:/my site"}, {"dest_path=C:/my", "site"}},
  };
  for (Row &r : rows) {
    StrList args = {};
    for (std::string &s : r.args) str_list_push(a, &args, str_push_copy(a, sv(s)));
    EXPECT_EQ(list_strings(options_split_words(a, args)), r.words) << r.args[0];
  }
}

TEST(Options, FormsOfTheSameOptionAndSwitchValues) {
  for (const char *w : {"target_path=C:/site/src", "-target_path:C:/site/src", "--target_path=C:/site/src"}) {
    OptionTable t = parse({w});
    EXPECT_EQ(ss(option_value(&t, str_lit("target_path"))), "C:/site/src") << w;
  }
  for (const char *w : {"listen", "-listen", "--listen", "listen=true", "listen=TRUE", "listen=1", "listen:"}) {
    OptionTable t = parse({w});
    EXPECT_TRUE(option_switch(&t, str_lit("listen"))) << w;
  }
  for (const char *w : {"listen=0", "listen=false", "listen=yes", "Listen", "other"}) {
    OptionTable t = parse({w});
    EXPECT_FALSE(option_switch(&t, str_lit("listen"))) << w;
  }
}

TEST(Options, PendingValuesDuplicatesAndOddWords) {
  OptionTable t = parse({"dest_path=", "out"});
  EXPECT_EQ(ss(option_value(&t, str_lit("dest_path"))), "out");
  t = parse({"dest_path= out"});
  EXPECT_EQ(ss(option_value(&t, str_lit("dest_path"))), "out");
  t = parse({"a=x,", "y,z", "b=2"});
  EXPECT_EQ(ss(option_value(&t, str_lit("a"))), "x,,y,z");
  EXPECT_EQ(ss(option_value(&t, str_lit("b"))), "2") << "pending ends at a word without a trailing comma";
  t = parse({"a=x,", "y,", "b=2"});
  EXPECT_EQ(ss(option_value(&t, str_lit("a"))), "x,,y,b=2");
  t = parse({"a="});
  EXPECT_EQ(ss(option_value(&t, str_lit("a"))), "");
  EXPECT_TRUE(option_switch(&t, str_lit("a")));
  t = parse({"root_path=/first", "root_path=/second"});
  EXPECT_EQ(ss(option_value(&t, str_lit("root_path"))), "/first") << "the first occurrence counts";
  t = parse({""});
  EXPECT_EQ(option_value(&t, str_lit("")).length, 0u);
  EXPECT_FALSE(option_switch(&t, str_lit("listen")));
  t = parse({"k=a=b:c"});
  EXPECT_EQ(ss(option_value(&t, str_lit("k"))), "a=b:c") << "only the first separator splits";
  t = parse({"k:v=w"});
  EXPECT_EQ(ss(option_value(&t, str_lit("k"))), "v=w");
  t = parse({});
  EXPECT_EQ(option_value(&t, str_lit("target_path")).length, 0u);
}
