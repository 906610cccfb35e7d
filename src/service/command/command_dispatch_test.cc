#include "service/command/command_dispatch.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

// What the fake handlers saw.
std::vector<std::string> g_words;

int Record(platform::Socket s, int argc, char** argv) {
  g_words.assign(argv, argv + argc);
  EXPECT_EQ(argv[argc], nullptr);
  return send(s, "ok\r\n", 4, 0) == 4 ? 0 : -1;
}
int Added(platform::Socket, int, char**) { return 1; }
int Ends(platform::Socket, int, char**) { return -1; }

const CommandRow kTable[] = {
    {"pv", CommandFamily::kPv, Record},
    {"pvroute", CommandFamily::kPvroute, Added},
    {"bye", CommandFamily::kExit, Ends},
};

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0);
    g_words.clear();
  }
  void TearDown() override {
    close(fds_[0]);
    close(fds_[1]);
  }
  DispatchResult Run(std::string line) {
    return DispatchCommandLine(fds_[0], line.data(), kTable, 3);
  }
  std::string Reply() {
    char buf[256];
    ssize_t n = recv(fds_[1], buf, sizeof buf, MSG_DONTWAIT);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }
  int fds_[2];
};

TEST_F(DispatchTest, WordsSplitAtEverySingleSpaceAfterTrimming) {
  Run(" \t\r\npv  add\t1 192.0.2.1 \t\r\n");
  EXPECT_EQ(g_words, (std::vector<std::string>{"pv", "", "add\t1", "192.0.2.1"}));
  EXPECT_EQ(Reply(), "ok\r\n");
}

TEST_F(DispatchTest, HandlerResultsDecideWhatTheConnectionDoes) {
  EXPECT_FALSE(Run("pvrout x\n").end);
  EXPECT_EQ(Reply(), "command not found\r\n");
  DispatchResult added = Run("pvroute add\n");
  EXPECT_EQ(added.family, CommandFamily::kPvroute);
  EXPECT_EQ(added.value, 1);
  EXPECT_FALSE(added.end);
  EXPECT_TRUE(Run("bye\n").end);
  DispatchResult shown = Run("pv\n");
  EXPECT_FALSE(shown.end);
  EXPECT_EQ(shown.family, CommandFamily::kNone);
  EXPECT_EQ(g_words, (std::vector<std::string>{"pv"}));
  DispatchResult blank = Run(" \t\r\n");
  EXPECT_FALSE(blank.end);
  EXPECT_EQ(Reply(), "ok\r\n");  // only the pv reply: a blank line is not answered
}

TEST_F(DispatchTest, WordLimitIsEnforcedWithoutOverrun) {
  std::string line = "pv";
  for (int i = 1; i < kMaxCommandWords; ++i) line += " w";
  Run(line);
  EXPECT_EQ(g_words.size(), static_cast<size_t>(kMaxCommandWords));
  EXPECT_EQ(Reply(), "ok\r\n");
  g_words.clear();
  Run(line + " w");
  EXPECT_TRUE(g_words.empty());
  EXPECT_EQ(Reply(), kTooManyWordsReply);
  // Empty words count as words too.
  Run("pv" + std::string(kMaxCommandWords, ' ') + "x");
  EXPECT_EQ(Reply(), kTooManyWordsReply);

  char text[] = "a b c";
  char* words[3];
  EXPECT_EQ(SplitCommandWords(text, words, 2), -1);
}

TEST_F(DispatchTest, FailedReplyEndsTheConnection) {
  close(fds_[1]);
  fds_[1] = socket(AF_UNIX, SOCK_STREAM, 0);
  EXPECT_TRUE(Run("nosuch\n").end);
}

}  // namespace
