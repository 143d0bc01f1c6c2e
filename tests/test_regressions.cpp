// One case for each fault fixed, so it stays fixed.
#include "test_support.h"

#include "site/site_path.h"

// A path folding to "." wrote its terminator one byte past what it had taken.
TEST(Regressions, FoldedPathKeepsItsTerminatorInside) {
  Arena *a = test_arena();
  u64 before = arena_pos(a);
  StrView r = site_path_fold(a, str_lit("a/.."));
  EXPECT_EQ(ss(r), ".");
  EXPECT_GE(arena_pos(a) - before, r.length + 1);
}

// A relative walk took the shared start by name, so a name met again lower down cut
// the climb short.
TEST(Regressions, RelativeWalkComparesFoldersByPosition) {
  Arena *a = test_arena();
  StrList rel = site_path_steps(a, str_lit("/a/x/a/b"), str_lit("/a/y"));
  StrJoin j = {{}, str_lit("/"), {}};
  EXPECT_EQ(ss(str_list_join(a, &rel, &j)), "../../../y");
}
