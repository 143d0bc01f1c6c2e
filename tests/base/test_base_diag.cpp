// Diagnostics: positions counted in one pass whatever the order, and a capped list.
#include "test_support.h"

#include "base/base_diag.h"

TEST(Diagnostics, PositionsAndTheCap) {
  Arena *a = test_arena();
  //- positions: ascending offsets, then one behind (a page-wide finding at 0), then CR-less lines
  StrView src = str_lit("ab\ncd\n\nefg");
  DiagnosticList list = {};
  diag_push(a, &list, 1, DiagSeverity_Warning, str_lit("one"));
  diag_push(a, &list, 4, DiagSeverity_Error, str_lit("two"));
  diag_push(a, &list, 0, DiagSeverity_Note, str_lit("three"));
  diag_push(a, &list, 9, DiagSeverity_FatalError, str_lit("four"));
  diag_push(a, &list, 500, DiagSeverity_Warning, str_lit("past the end"));
  EXPECT_EQ(list.max_severity, (s32)DiagSeverity_FatalError);
  testing::internal::CaptureStdout();
  diag_print(&list, src, str_lit("p.qil"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "warning: \ntoken: one\np.qil:1:2\n"
            "error: \ntoken: two\np.qil:2:2\n"
            "note: \ntoken: three\np.qil:1:1\n"
            "fatal error: \ntoken: four\np.qil:4:3\n"
            "warning: \ntoken: past the end\np.qil:4:4\n");

  //- a flood: the first hundred are kept and shown, the rest counted in one line
  DiagnosticList flood = {};
  for (u64 i = 0; i < 250; i += 1) {
    EXPECT_EQ(diag_list_keeps(&flood), i < DIAG_KEEP_MAX) << i;
    diag_push(a, &flood, i, i == 249 ? DiagSeverity_FatalError : DiagSeverity_Error, str_lit("bad"));
  }
  EXPECT_EQ(flood.count, 250u);
  EXPECT_EQ(flood.max_severity, (s32)DiagSeverity_FatalError) << "severity counts every diagnostic";
  u64 kept = 0;
  for (Diagnostic *d = flood.first; d; d = d->next) kept += 1;
  EXPECT_EQ(kept, (u64)DIAG_KEEP_MAX);
  std::string text(300, 'x');
  testing::internal::CaptureStdout();
  diag_print(&flood, sv(text), str_lit("bin.html"));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("bin.html:1:100\n"), std::string::npos);
  EXPECT_EQ(out.find("bin.html:1:101\n"), std::string::npos);
  const std::string tail = "\nbin.html: 150 more diagnostics not shown\n";
  ASSERT_GT(out.size(), tail.size());
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
}

// One-line diagnostics keep a budget of their own: a flood of them never pushes out one
// of the three-line report, whose lines stay as they were; the one-line form lists both
// in source order, columns in bytes and, for reports, in characters.
TEST(Diagnostics, OneLineDiagnosticsBesideTheThreeLineReport) {
  Arena *a = test_arena();
  StrView src = str_lit("\xc3\xa9t\xc3\xa9 x\nsecond");
  DiagnosticList list = {};
  diag_push(a, &list, 9, DiagSeverity_Error, str_lit("late"));
  for (u64 i = 0; i < 150; i += 1) diag_push_flags(a, &list, 6, DiagSeverity_Warning, str_lit("hint"), DiagFlag_OneLine);
  diag_push(a, &list, 0, DiagSeverity_Error, str_lit("early"));
  EXPECT_EQ(list.count, 2u);
  EXPECT_EQ(list.one_line, (u64)DIAG_KEEP_MAX);
  EXPECT_EQ(list.warnings, 150u) << "every one counts as a finding";
  testing::internal::CaptureStdout();
  diag_print(&list, src, str_lit("p.qil"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "error: \ntoken: late\np.qil:2:2\nerror: \ntoken: early\np.qil:1:1\n");
  DiagPlaces places = diag_places(a, &list, src);
  ASSERT_EQ(places.count, 102u);
  EXPECT_EQ(ss(places.items[0].diagnostic->message), "early");
  EXPECT_EQ(places.items[1].column, 7u);
  EXPECT_EQ(places.items[1].codepoint_column, 5u) << "two-byte letters count once";
  EXPECT_EQ(ss(places.items[101].diagnostic->message), "late");
  //- merged with another list, the three-line budget still holds only three-line ones
  DiagnosticList more = {};
  diag_push_flags(a, &more, 1, DiagSeverity_Note, str_lit("more"), DiagFlag_OneLine);
  diag_merge(&list, &more);
  EXPECT_EQ(list.one_line, (u64)DIAG_KEEP_MAX + 1);
  testing::internal::CaptureStderr();
  diag_print_lines(&list, src, str_lit("p.qil"), DiagLines_All, false);
  std::string lines = testing::internal::GetCapturedStderr();
  EXPECT_EQ(lines.rfind("p.qil:1:1: error: early\np.qil:1:2: note: more\np.qil:1:7: warning: hint\n", 0), 0u) << lines;
  EXPECT_EQ(count_of(lines, "\n"), 103u);
}
