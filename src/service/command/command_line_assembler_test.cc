#include "service/command/command_line_assembler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Step = CommandLineAssembler::Step;

// Feeds `bytes`; the completed lines (as the command table gets them) and the last step.
Step Feed(CommandLineAssembler& a, const std::string& bytes, std::vector<std::string>* lines) {
  Step last = Step::kMore;
  for (char c : bytes) {
    last = a.Take(c);
    if (last == Step::kComplete) lines->push_back(a.TakeLine()->buffer());
    if (last == Step::kFailed) return last;
  }
  return last;
}

TEST(CommandLineAssemblerTest, LinesEndAtTheLineFeedWhateverTheFeedsAndBackspacesEditThem) {
  CommandLineAssembler a;
  std::vector<std::string> lines;
  // A client sending CR LF, the pair split between two receives; the CR stays in the line.
  EXPECT_EQ(Feed(a, "pv show\r", &lines), Step::kMore);
  EXPECT_EQ(Feed(a, "\npc", &lines), Step::kMore);
  EXPECT_EQ(Feed(a, " shox\bw\n\b\bexit\n", &lines), Step::kComplete);
  EXPECT_EQ(lines, (std::vector<std::string>{"pv show\r\n", "pc show\n", "exit\n"}));
  EXPECT_EQ(a.TakeLine(), nullptr);
}

TEST(CommandLineAssemblerTest, ALineOverTheLimitFailsAndOneAtTheLimitPasses) {
  const size_t max = CommandLineAssembler::kMaxLineLength;
  CommandLineAssembler a;
  std::vector<std::string> lines;
  // At the limit a backspace still edits, and the line feed is taken.
  EXPECT_EQ(Feed(a, std::string(max, 'a') + "\bb\n", &lines), Step::kComplete);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], std::string(max - 1, 'a') + "b\n");
  EXPECT_EQ(Feed(a, std::string(max, 'c'), &lines), Step::kMore);
  EXPECT_EQ(a.Take('c'), Step::kFailed);
  // The next byte starts a new line.
  lines.clear();
  EXPECT_EQ(Feed(a, "exit\n", &lines), Step::kComplete);
  EXPECT_EQ(lines, std::vector<std::string>{"exit\n"});
}

}  // namespace
