// Parser behaviour as example files: each case is a qil input, a line ".", and the
// tree it must give. Cases are separated by "====" lines; "## " lines name them.
#include "test_support.h"

#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "doc/doc_dump.h"

struct ExampleCase {
  std::string file;
  std::string name;
  std::string input;
  std::string expected;
};

static std::vector<ExampleCase>
load_examples() {
  std::vector<ExampleCase> cases;
  std::string dir = std::string(QILSITE_SOURCE_DIR) + "/tests/doc/examples";
  std::vector<std::string> files;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d)) {
      std::string n = e->d_name;
      if (n.size() > 4 && n.substr(n.size() - 4) == ".txt") files.push_back(n);
    }
    closedir(d);
  }
  std::sort(files.begin(), files.end());
  for (const std::string &f : files) {
    std::ifstream in(dir + "/" + f, std::ios::binary);
    std::string line;
    ExampleCase c = {f, "", "", ""};
    bool in_expected = false;
    auto flush = [&]() {
      if (!c.input.empty() || !c.expected.empty()) cases.push_back(c);
      c = {f, "", "", ""};
      in_expected = false;
    };
    while (std::getline(in, line)) {
      if (line == "====") {
        flush();
      } else if (!in_expected && c.input.empty() && line.rfind("## ", 0) == 0) {
        c.name = line.substr(3);
      } else if (!in_expected && line == ".") {
        in_expected = true;
      } else if (in_expected) {
        c.expected += line + "\n";
      } else {
        c.input += line + "\n";
      }
    }
    flush();
  }
  return cases;
}

// Example inputs may spell tabs and CRs as "\t" and "\r" to keep them visible.
static std::string
unescape_input(const std::string &s) {
  std::string out;
  for (size_t i = 0; i < s.size(); i += 1) {
    if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == 't') out += '\t', i += 1;
    else if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == 'r') out += '\r', i += 1;
    else out += s[i];
  }
  return out;
}

TEST(DocExamples, EveryExampleFileCase) {
  std::vector<ExampleCase> cases = load_examples();
  ASSERT_GT(cases.size(), 0u);
  bool print = getenv("QIL_EXAMPLES_PRINT") != nullptr;
  for (const ExampleCase &c : cases) {
    Arena *arena = arena_create_sized(MB(64), KB(64));
    std::string input = unescape_input(c.input);
    StrView src = sv(input);
    DocParseOptions opts = {str_lit("/site/"), 0};
    DocParseResult r = doc_parse(arena, str_lit("doc.qil"), src, doc_tokenize(arena, src), &opts);
    std::string got = doc_dump_result(r, src);
    if (print) printf("## %s\n%s.\n%s====\n", c.name.c_str(), c.input.c_str(), got.c_str());
    EXPECT_EQ(got, c.expected) << c.file << ": " << c.name;
    arena_release(arena);
  }
}
