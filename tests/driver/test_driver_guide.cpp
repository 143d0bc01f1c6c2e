// The guide's examples are test data: every ```qil block of docs/qil.md is built, and
// none may raise a diagnostic. A block without a metadata section of its own gets one,
// so that it makes a page and goes through every stage.
#include <sstream>

#include "test_support.h"

namespace {

struct Example {
  int line;  // where its fence stands in the guide
  std::string text;
};

// The blocks fenced by three backticks or more with the info word "qil"; the fence that
// closes one has as many backticks as the one that opened it.
std::vector<Example>
guide_examples(const std::string &guide) {
  std::vector<Example> found;
  std::istringstream in(guide);
  std::string line, fence;
  Example current;
  int number = 0;
  bool inside = false;
  while (std::getline(in, line)) {
    number += 1;
    if (!inside) {
      size_t ticks = line.find_first_not_of('`');
      if (ticks >= 3 && ticks != std::string::npos && line.substr(ticks) == "qil") {
        inside = true;
        fence = line.substr(0, ticks);
        current = Example{number, ""};
      }
    } else if (line == fence) {
      inside = false;
      found.push_back(current);
    } else {
      current.text += line + "\n";
    }
  }
  return found;
}

}  // namespace

TEST(Guide, EveryExampleBuildsWithoutADiagnostic) {
  std::string guide = read_all(std::string(QILSITE_SOURCE_DIR) + "/docs/qil.md");
  std::vector<Example> examples = guide_examples(guide);
  ASSERT_GE(examples.size(), 15u) << "the guide shows every construct";
  TempDir dir;
  std::vector<std::string> pages;
  for (const Example &e : examples) {
    std::string name = "line" + std::to_string(e.line);
    std::string text = e.text;
    if (text.rfind("``\n", 0) != 0) {
      text = "``\n  title: " + name + "\n  output_path: \"~/website/guide/" + name + ".html\"\n``\n" + text;
      pages.push_back("website/guide/" + name + ".html");
    }
    dir.file("src/" + name + ".qil", text);
  }
  CommandResult r = run_qilsite({"target_path=src", "root_path=."}, dir.path);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.find("error: "), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("warning: "), std::string::npos) << r.out;
  EXPECT_NE(r.err.find(" 0 errors, 0 warnings"), std::string::npos) << r.err;
  for (const std::string &p : pages) EXPECT_NE(read_all(dir.path + "/" + p).find("<body"), std::string::npos) << p;
}
