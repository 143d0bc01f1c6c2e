// What a run says beyond the standard output report: the exit status under strict, one
// line per finding on standard error, and the report file in each of its forms.
#include "test_support.h"

#include <jansson.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <unistd.h>

#include <cstdio>

namespace {

const std::string good_doc = "``\n  title: A\n  output_path: \"~/w/a.html\"\n``\nA\n  x\n";
const std::string bad_doc = "``\n  title: B\n  output_path: \"~/w/b.html\"\n``\nB\n  x ] y\n  ```\n  code\n";

std::string
json_text(json_t *v) {
  return json_is_string(v) ? json_string_value(v) : "";
}

}  // namespace

TEST(FindingsCli, StrictStatusTellsFindingsFromABrokenInvocation) {
  struct Case {
    const char *name;
    std::string doc;
    std::vector<std::string> extra;
    int strict_status;
  } cases[] = {
      {"nothing found", good_doc, {}, 0},
      {"an error in a document", bad_doc, {}, 1},
      {"a missing local target under check_file_paths",
       "``\n  output_path: \"~/w/a.html\"\n``\nA\n  see \"~/w/gone.html\"\n", {"check_file_paths"}, 1},
      {"a target_path that does not exist", good_doc, {"target_path=nowhere"}, 2},
      {"an unknown option", good_doc, {"chek_urls"}, 2},
      {"an unknown format", good_doc, {"format=lines"}, 2},
      {"an unknown option beside an error", bad_doc, {"chek_urls"}, 2},
      {"a kn_searchs.txt that cannot be read", good_doc, {"local_path={dir}/local"}, 2},
      {"a ca_file that cannot be read", good_doc, {"check_urls", "consent_url=off", "ca_file={dir}/none.pem"}, 2},
  };
  for (const Case &c : cases) {
    TempDir dir;
    dir.file("site/a.qil", c.doc);
    dir.file("local/kn_searchs.txt/a folder, not a file", "");
    std::vector<std::string> args;
    for (std::string word : c.extra) {
      size_t at = word.find("{dir}");
      if (at != std::string::npos) word.replace(at, 5, dir.path);
      args.push_back(word);
    }
    args.push_back("target_path=" + dir.path + "/site");  // the first occurrence of a key counts
    args.push_back("root_path=" + dir.path);
    CommandResult plain = run_qilsite(args);
    EXPECT_EQ(plain.status, 0) << c.name << ": without strict the status stays 0\n" << plain.err;
    args.push_back("strict");
    CommandResult strict = run_qilsite(args);
    EXPECT_EQ(strict.status, c.strict_status) << c.name << "\n" << strict.err;
  }
  CommandResult none = run_qilsite({"strict"});
  EXPECT_EQ(none.status, 2) << "no target_path at all\n" << none.out;
}

TEST(FindingsCli, OneLinePerFindingOnStandardError) {
  TempDir dir;
  std::string doc = dir.file("site/b.qil", bad_doc);
  std::string page = dir.file("site/p.html", "<title>t</title><p>a < b</p>\n");
  std::vector<std::string> base = {"target_path=" + dir.path + "/site", "root_path=" + dir.path};
  CommandResult classic = run_qilsite(base);
  std::vector<std::string> with = base;
  with.push_back("format=line");
  CommandResult line = run_qilsite(with);
  EXPECT_EQ(line.out, classic.out) << "the standard output report keeps its lines";
  //- the diagnostics that have a three-line form are said once more, one line each
  EXPECT_EQ(classic.err.find(doc + ":6:5: error: Unexpected \"]\" token."), std::string::npos) << classic.err;
  EXPECT_NE(line.err.find(doc + ":6:5: error: Unexpected \"]\" token.\n"), std::string::npos) << line.err;
  EXPECT_NE(line.err.find(page + ":1:"), std::string::npos) << "a hand-written page's too\n" << line.err;
  //- the new ones are said in either form, where they stand
  for (const CommandResult *r : {&classic, &line}) {
    EXPECT_NE(r->err.find(doc + ":7:3: error: this code block is never closed"), std::string::npos) << r->err;
    EXPECT_EQ(r->err.find("\x1b["), std::string::npos) << "no colour off a terminal";
  }
  //- on a terminal the severity is coloured, unless NO_COLOR says otherwise
  std::string cmd = "script -qec '" + qilsite_bin() + " target_path=" + dir.path + "/site root_path=" + dir.path +
                    " format=line' /dev/null";
  CommandResult tty = run_command(cmd);
  EXPECT_NE(tty.out.find(":7:3: \x1b[1;31merror:\x1b[0m this code block"), std::string::npos) << tty.out;
  CommandResult plain_tty = run_command("NO_COLOR=1 " + cmd);
  EXPECT_NE(plain_tty.out.find(":7:3: error: this code block"), std::string::npos) << plain_tty.out;
}

TEST(FindingsCli, ReportFilesInEachForm) {
  TempDir dir;
  std::string doc = dir.file("site/b.qil", bad_doc);
  std::vector<std::string> base = {"target_path=" + dir.path + "/site", "root_path=" + dir.path, "strict"};
  auto run_with = [&](const std::string &report) {
    std::vector<std::string> args = base;
    args.push_back("report=" + dir.path + "/" + report);
    return run_qilsite(args);
  };

  //- JSON: every diagnostic where it stands, and the counts
  ASSERT_EQ(run_with("r.json").status, 1);
  json_error_t error;
  json_t *root = json_load_file((dir.path + "/r.json").c_str(), 0, &error);
  ASSERT_NE(root, nullptr) << error.text;
  EXPECT_EQ(json_integer_value(json_object_get(root, "exit_status")), 1);
  EXPECT_EQ(json_integer_value(json_object_get(json_object_get(root, "counts"), "errors")), 2);
  json_t *file = json_array_get(json_object_get(root, "files"), 0);
  EXPECT_EQ(json_text(json_object_get(file, "path")), doc);
  json_t *first = json_array_get(json_object_get(file, "diagnostics"), 0);
  EXPECT_EQ(json_integer_value(json_object_get(first, "line")), 6);
  EXPECT_EQ(json_integer_value(json_object_get(first, "column")), 5);
  EXPECT_EQ(json_text(json_object_get(first, "severity")), "error");
  EXPECT_EQ(json_text(json_object_get(first, "message")), "Unexpected \"]\" token.");
  json_decref(root);

  //- SARIF 2.1.0: results with rule, level, place
  ASSERT_EQ(run_with("r.sarif").status, 1);
  root = json_load_file((dir.path + "/r.sarif").c_str(), 0, &error);
  ASSERT_NE(root, nullptr) << error.text;
  EXPECT_EQ(json_text(json_object_get(root, "version")), "2.1.0");
  json_t *run = json_array_get(json_object_get(root, "runs"), 0);
  EXPECT_EQ(json_text(json_object_get(json_object_get(json_object_get(run, "tool"), "driver"), "name")), "qilsite");
  json_t *results = json_object_get(run, "results");
  ASSERT_EQ(json_array_size(results), 2u);
  json_t *second = json_array_get(results, 1);
  EXPECT_EQ(json_text(json_object_get(second, "level")), "error");
  json_t *physical = json_object_get(json_array_get(json_object_get(second, "locations"), 0), "physicalLocation");
  EXPECT_EQ(json_text(json_object_get(json_object_get(physical, "artifactLocation"), "uri")), "file://" + doc);
  EXPECT_EQ(json_integer_value(json_object_get(json_object_get(physical, "region"), "startLine")), 7);
  json_decref(root);

  //- JUnit XML: one case per source, failing on its errors
  ASSERT_EQ(run_with("r.xml").status, 1);
  xmlDocPtr xml = xmlReadFile((dir.path + "/r.xml").c_str(), 0, XML_PARSE_NONET);
  ASSERT_NE(xml, nullptr);
  xmlNodePtr suites = xmlDocGetRootElement(xml);
  xmlChar *failures = xmlGetProp(suites, BAD_CAST "failures");
  EXPECT_STREQ((const char *)failures, "1");
  xmlFree(failures);
  xmlFreeDoc(xml);

  //- a report is replaced by the next run; a file the user wrote is not
  std::string before = read_all(dir.path + "/r.json");
  dir.file("site/b.qil", good_doc);
  EXPECT_EQ(run_with("r.json").status, 0);
  EXPECT_NE(read_all(dir.path + "/r.json"), before);
  std::string mine = dir.file("notes.json", "{\"mine\": true}\n");
  CommandResult refused = run_with("notes.json");
  EXPECT_EQ(refused.status, 2) << refused.err;
  EXPECT_NE(refused.err.find("the report was not written"), std::string::npos) << refused.err;
  EXPECT_EQ(read_all(mine), "{\"mine\": true}\n");
  CommandResult source = run_with("site/b.qil");
  EXPECT_EQ(source.status, 2) << "a source is never a report's place\n" << source.err;
  EXPECT_EQ(read_all(dir.path + "/site/b.qil"), good_doc);
}

// The libraries behind web links, reports and serve are loaded only by the runs that use
// them; a missing one is named with its package, and the run ends as when that part fails.
TEST(FindingsCli, EachHeavyLibraryLoadsOnlyForItsFeatureAndAMissingOneIsSaid) {
  TempDir dir;
  dir.file("site/a.qil", good_doc);
  dir.file("site/p.html", "<title>t</title>\n<p><a href=\"http://127.0.0.1:9/x\">x</a></p>\n");
  std::vector<std::string> base = {qilsite_bin(), "target_path=" + dir.path + "/site", "root_path=" + dir.path,
                                   "strict"};
  const char *all[] = {"libcurl.so.4", "libmicrohttpd.so.12", "libjansson.so.4", "libxml2.so.2"};
  auto loaded = [&](const CommandResult &r, const std::string &soname) {
    return r.err.find("file=" + soname) != std::string::npos;
  };
  CommandResult plain = run_process(base, "", 60, {"LD_DEBUG=files"});
  EXPECT_EQ(plain.status, 0) << plain.err;
  for (const char *soname : all) EXPECT_FALSE(loaded(plain, soname)) << soname << " loaded by a plain run";

  struct Case {
    std::vector<std::string> extra;
    std::string soname, package, said, report;
  } cases[] = {
      {{"check_urls", "consent_url=off"}, "libcurl.so.4", "libcurl4", "web links cannot be checked", ""},
      {{"report=" + dir.path + "/r.json"}, "libjansson.so.4", "libjansson4", "was not written", "r.json"},
      {{"report=" + dir.path + "/r.xml"}, "libxml2.so.2", "libxml2", "was not written", "r.xml"},
  };
  for (const Case &c : cases) {
    std::vector<std::string> args = base;
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    CommandResult used = run_process(args, "", 60, {"LD_DEBUG=files"});
    for (const char *soname : all) {
      EXPECT_EQ(loaded(used, soname), c.soname == soname) << c.soname << " run, " << soname;
    }
    if (!c.report.empty()) std::remove((dir.path + "/" + c.report).c_str());
    CommandResult missing = run_process(args, "", 60, {"QILSITE_TEST_FAIL=library:1"});
    EXPECT_EQ(missing.status, 2) << c.soname << "\n" << missing.err;
    EXPECT_NE(missing.err.find(c.said + ": cannot load " + c.soname), std::string::npos) << missing.err;
    EXPECT_NE(missing.err.find("package " + c.package + " "), std::string::npos) << missing.err;
    EXPECT_NE(missing.err.find("1 left as it was"), std::string::npos) << "the build itself went on\n" << missing.err;
    if (!c.report.empty()) {
      EXPECT_NE(access((dir.path + "/" + c.report).c_str(), F_OK), 0) << c.report;
    }
  }
  CommandResult serve = run_process({qilsite_bin(), "serve", dir.path, "port=0"}, "", 60,
                                    {"QILSITE_TEST_FAIL=library:1"});
  EXPECT_EQ(serve.status, 2) << serve.err;
  EXPECT_NE(serve.err.find("cannot serve: cannot load libmicrohttpd.so.12"), std::string::npos) << serve.err;
}
