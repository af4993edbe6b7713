// What the shell's Tab completion is told by velmora-query --completion-words, and the version
// both it and the manual page take from the build.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cli/ExitStatus.h"
#include "cli/QueryTool.h"

namespace {

// Runs velmora-query with `args`; its standard output.
std::string Output(std::vector<const char*> args, int expected_status = kToolDone) {
  args.insert(args.begin(), "velmora-query");
  std::ostringstream out, err;
  EXPECT_EQ(RunQueryTool(static_cast<int>(args.size()), args.data(), out, err), expected_status);
  EXPECT_EQ(err.str(), "");
  return out.str();
}

// The lines of --completion-words by option: the type, then the words.
std::map<std::string, std::vector<std::string>> CompletionLines() {
  std::map<std::string, std::vector<std::string>> lines;
  std::istringstream in(Output({"--completion-words"}));
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> cells;
    std::istringstream cut(line);
    for (std::string cell; std::getline(cut, cell, '\t');) cells.push_back(cell);
    EXPECT_GE(cells.size(), 2u) << line;
    EXPECT_TRUE(lines.emplace(cells[0], std::vector(cells.begin() + 1, cells.end())).second)
        << "twice: " << line;
  }
  return lines;
}

TEST(CompletionWords, EveryOptionOfTheHelpWithItsArgumentAndWords) {
  const auto lines = CompletionLines();
  const struct {
    const char* option;
    std::vector<std::string> starts;  // the type, then the first words
  } kRows[] = {
      {"--help", {"-"}},
      {"--version", {"-"}},
      {"--json", {"-"}},
      {"--services", {"SET|FILE", "classic", "current"}},
      {"--dump-services", {"[SET]", "classic", "current"}},
      {"--try-rule", {"FIELD PAGE", "WebTitle", "Site1"}},  // the classic set's order
      {"--field", {"NAME", "Site1", "Site2"}},              // the result fields in their order
      {"--timeout", {"MS"}},  // without the range its check adds to the help
      {"--file", {"LIST"}},
  };
  for (const auto& row : kRows) {
    const auto line = lines.find(row.option);
    ASSERT_NE(line, lines.end()) << row.option;
    ASSERT_GE(line->second.size(), row.starts.size()) << row.option;
    EXPECT_EQ(std::vector(line->second.begin(), line->second.begin() + row.starts.size()),
              row.starts)
        << row.option;
  }
  // Words only where an option takes them; the hidden option and the positional not at all.
  EXPECT_EQ(lines.at("--timeout").size(), 1u);
  EXPECT_EQ(lines.count("--completion-words"), 0u);
  EXPECT_EQ(lines.count("sites"), 0u);
  // The thumbnail has no steps to try and no text to show; the load time is measured, not cut
  // out of a page, so it has a history but no steps.
  const std::vector<std::string>& steps = lines.at("--try-rule");
  const std::vector<std::string>& fields = lines.at("--field");
  EXPECT_EQ(std::count(steps.begin(), steps.end(), "Image1"), 0);
  EXPECT_EQ(std::count(fields.begin(), fields.end(), "Image1"), 0);
  EXPECT_EQ(std::count(steps.begin(), steps.end(), "Alexa6"), 0);
  EXPECT_EQ(std::count(fields.begin(), fields.end(), "Alexa6"), 1);
}

TEST(CompletionWords, VersionIsTheBuildsOne) {
  EXPECT_EQ(Output({"--version"}), "velmora-query " VELMORA_VERSION "\n");
  EXPECT_NE(Output({"--help"}).find("--version"), std::string::npos);
}

}  // namespace
