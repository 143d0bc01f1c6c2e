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
