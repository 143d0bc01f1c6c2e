#include "test_support.h"

#include <signal.h>
#include <sys/stat.h>

#include "driver/driver_build.h"

TEST(Discovery, BreadthFirstInByteOrderSkippingDotNames) {
  TempDir dir;
  for (const char *f : {"src/b.qil", "src/B.html", "src/a.html", "src/.hidden", "src/..draft/x.qil",
                        "src/z/deep.qil", "src/z/a/deeper.qil", "src/m/Page.HTML", "src/é.qil", "src/a b.qil"}) {
    dir.file(f, "x");
  }
  Arena *a = test_arena();
  std::string root = dir.path + "/src";
  std::vector<std::string> got = list_strings(driver_discover(test_files(), a, sv(root)));
  std::vector<std::string> expect = {
      root + "/.hidden",   root + "/B.html",        root + "/a b.qil",
      root + "/a.html",    root + "/b.qil",         root + "/\xc3\xa9.qil",
      root + "/m/Page.HTML", root + "/z/deep.qil", root + "/z/a/deeper.qil",
  };
  EXPECT_EQ(got, expect);
  EXPECT_EQ(list_strings(driver_discover(test_files(), a, sv(root + "/"))), expect) << "a trailing slash changes nothing";
  EXPECT_EQ(list_strings(driver_discover(test_files(), a, sv(root + "/a.html"))), std::vector<std::string>{root + "/a.html"});
  EXPECT_TRUE(list_strings(driver_discover(test_files(), a, str_lit(""))).empty());
}

TEST(Discovery, FolderNamesWithDotsAndDeepTrees) {
  TempDir dir;
  std::string deep = "my.site";
  for (int i = 0; i < 40; i += 1) deep += "/level" + std::to_string(i);
  dir.file(deep + "/bottom.qil", "x");
  dir.file("my.site/top.html", "x");
  Arena *a = test_arena();
  std::vector<std::string> got = list_strings(driver_discover(test_files(), a, sv(dir.path + "/my.site")));
  ASSERT_EQ(got.size(), 2u) << "a folder whose name has a dot is still walked";
  EXPECT_EQ(got[0], dir.path + "/my.site/top.html");
  EXPECT_EQ(got[1], dir.path + "/" + deep + "/bottom.qil");
}

TEST(Driver, PageReportLines) {
  Arena *a = test_arena();
  PageRecord r = {};
  r.path = str_push_copy(a, str_lit("site/page.html"));
  r.web_links_queued = 12;
  Site *site = push_struct(a, Site);
  site->arena = a;
  testing::internal::CaptureStdout();
  driver_report_page(site, &r);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "site/page.html: \n\tlink checked: 12: \n\t");
  EXPECT_EQ(r.state, PageState_Reported);
}

TEST(DriverCli, MissingTargetAndBadTargets) {
  CommandResult none = run_qilsite({});
  EXPECT_EQ(none.status, 0);
  EXPECT_NE(none.out.find("No file to parse provided, use 'target_path' argument\n"), std::string::npos);
  EXPECT_NE(none.out.find("building [root_path] from the program location\n"), std::string::npos);

  TempDir dir;
  CommandResult missing = run_qilsite({"target_path=" + dir.path + "/nowhere", "root_path=" + dir.path});
  EXPECT_EQ(missing.status, 0);
  EXPECT_NE(missing.err.find(dir.path + "/nowhere"), std::string::npos);
  EXPECT_NE(missing.err.find("No such file or directory"), std::string::npos);

  CommandResult server = run_qilsite({"server_root_path=" + dir.path, "root_path=/x"});
  EXPECT_NE(server.out.find("server_root_path provided, overwriting the root_path\n"), std::string::npos);
}

TEST(DriverCli, RunWithoutListenEndsAndListenKeepsGoing) {
  TempDir dir;
  dir.file("site/src/a.qil", "title: A\n");
  std::string b = dir.file("site/src/b.html", "<p>b</p>");
  dir.file("site/src/sub dir/c.txt", "c");
  mkfifo((dir.path + "/site/src/fifo.html").c_str(), 0644);
  std::vector<std::string> args = {"target_path=" + dir.path + "/site/src", "root_path=" + dir.path + "/site"};
  CommandResult plain = run_qilsite(args);
  EXPECT_EQ(plain.status, 0) << "a run without listen ends by itself";
  // The consent request would go to a closed loopback port: no link needs it, so none is sent.
  std::vector<std::string> urls_args = args;
  urls_args.insert(urls_args.end(), {"check_urls", "consent_url=http://127.0.0.1:1/"});
  CommandResult urls = run_qilsite(urls_args);
  EXPECT_EQ(urls.status, 0);
  EXPECT_NE(urls.out.find("[check urls]\n"), std::string::npos);
  EXPECT_EQ(urls.err.find("consent"), std::string::npos) << urls.err;
  EXPECT_NE(urls.err.find("web links checked"), std::string::npos) << urls.err;
  //- after its first round a listen run still answers an edit, and ends only when stopped
  args.push_back("listen");
  Background listen = start_qilsite(args);
  auto rounds = [&] { return count_of(listen.err(), "qilsite: "); };
  EXPECT_TRUE(wait_until([&] { return rounds() >= 1; })) << listen.err();
  edit_file(b, "<p>bb</p>");
  EXPECT_TRUE(wait_until([&] { return rounds() >= 2; })) << listen.err();
  EXPECT_TRUE(listen.running()) << "listen keeps the process alive until it is stopped";
  CommandResult stopped = listen.stop();
  EXPECT_EQ(stopped.status, 128 + SIGTERM) << "it did not end by itself: " << stopped.status;
  EXPECT_NE(stopped.err.find("stopped by SIGTERM"), std::string::npos) << stopped.err;
}

TEST(DriverCli, ListenPicksUpEditedSources) {
  TempDir dir;
  std::string doc = dir.file("site/d.qil", "a ]\n");
  std::string page = dir.file("site/p.html", "<title>t</title><p>x</p>");
  Background run = start_qilsite({"target_path=" + dir.path + "/site", "root_path=" + dir.path, "listen"});
  EXPECT_TRUE(wait_until([&] { return run.out().find("Unexpected \"]\" token.") != std::string::npos; }))
      << run.out();
  // Same size as before: only the file's time tells the edit.
  edit_file(doc, "b |\n");
  EXPECT_TRUE(wait_until([&] { return run.out().find("Unexpected \"|\" token.") != std::string::npos; }))
      << "the edited document is parsed again: " << run.out();
  CommandResult r = run.stop();
  EXPECT_NE(r.out.find("Unexpected \"]\" token."), std::string::npos);
  EXPECT_NE(r.out.find("Unexpected \"|\" token."), std::string::npos) << "the edited document is parsed again";
  // The page is reported once per content, not in every round (a report and the list
  // after the index name it twice).
  size_t reports = count_of(r.out, page + ": ");
  EXPECT_LE(reports, 2u) << r.out;
  EXPECT_GE(reports, 1u);
}
