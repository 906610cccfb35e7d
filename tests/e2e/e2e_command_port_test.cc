// The command port's line protocol as a client sees it over TCP.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>

#include "harness.h"
#include "netns.h"

namespace {

const char kHelp[] =
    "Usage: quarantine\r\n       pc\r\n       pv\r\n       pvroute\r\n       kel\r\n"
    "       service\r\n";
const char kNotFound[] = "command not found\r\n";
const char kPvHeader[] = "PV\t\tPORT\tID\tPW\r\n";

class CommandPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ENTER_PRIVATE_NETWORK();
    ASSERT_TRUE(syslog_.Start());
    ASSERT_TRUE(service_.Start()) << service_.error();
    ASSERT_TRUE(client_.Connect());
    ASSERT_EQ(client_.ReadReply(), "");
  }
  void TearDown() override { EXPECT_EQ(service_.Stop(), 0) << service_.Output(); }

  e2e::SyslogListener syslog_;
  e2e::ServiceProcess service_;
  e2e::CommandClient client_;
};

TEST_F(CommandPortTest, FirstPromptThenRepliesWithExactBytes) {
  // Nothing follows the first prompt until a line arrives.
  EXPECT_FALSE(client_.ReadReply(200).has_value());
  EXPECT_EQ(client_.pending(), "");
  EXPECT_EQ(client_.Command("pv"), kPvHeader);
  EXPECT_EQ(client_.Command("help"), kHelp);
  EXPECT_EQ(client_.Command("help me please"), kHelp);
  EXPECT_EQ(client_.Command("nosuch"), kNotFound);
  EXPECT_EQ(client_.Command(""), "");
  EXPECT_EQ(client_.Command(" \t \r"), "");
  ASSERT_TRUE(client_.Send("exit\n"));
  std::string rest;
  EXPECT_TRUE(client_.WaitClosed(5000, &rest));
  EXPECT_EQ(rest, "good by\r\n");
}

TEST_F(CommandPortTest, MatchingIsExactAndCaseSensitive) {
  EXPECT_EQ(client_.Command("PV show"), kNotFound);
  EXPECT_EQ(client_.Command("pvx"), kNotFound);
  EXPECT_EQ(client_.Command("pv\tshow"), kNotFound);
  EXPECT_EQ(client_.Command("Help"), kNotFound);
  EXPECT_EQ(client_.Command("exitnow"), kNotFound);
  for (const char* family : {"kel", "pv", "pvroute", "pc", "quarantine", "service"}) {
    std::optional<std::string> reply = client_.Command(std::string(family) + " show");
    ASSERT_TRUE(reply.has_value()) << family;
    EXPECT_NE(*reply, kNotFound) << family;
  }
}

TEST_F(CommandPortTest, LineEndsAndSurroundingBlanksDoNotMatter) {
  for (const char* line : {"pv show\r\n", "pv show\n", "  \t pv show \t \r\n"}) {
    ASSERT_TRUE(client_.Send(line));
    EXPECT_EQ(client_.ReadReply(), kPvHeader) << "line: " << line;
  }
  // A blank line before the command: its prompt comes first, then the reply and its prompt.
  ASSERT_TRUE(client_.Send("\r\npv show\n"));
  EXPECT_EQ(client_.ReadReply(), "");
  EXPECT_EQ(client_.ReadReply(), kPvHeader);
}

TEST_F(CommandPortTest, BackspaceReplacesThePreviousCharacter) {
  std::optional<std::string> pc_show = client_.Command("pc show");
  ASSERT_TRUE(pc_show.has_value());
  ASSERT_NE(*pc_show, kNotFound);
  ASSERT_TRUE(client_.Send(std::string("pz\bc show\n")));
  EXPECT_EQ(client_.ReadReply(), *pc_show);
  // A backspace at the start of a line is ignored.
  ASSERT_TRUE(client_.Send(std::string("\bhelp\n")));
  EXPECT_EQ(client_.ReadReply(), kHelp);
  ASSERT_TRUE(client_.Send(std::string("helpx\b\n")));
  EXPECT_EQ(client_.ReadReply(), kHelp);
}

TEST_F(CommandPortTest, LongLinesAreTakenWholeUpToTheLimit) {
  // Only the last value of a 600-character line decides, so all of it was read.
  std::string line = "service set sport 1";
  while (line.size() < 590) line += " sport 1";
  line += " sport 9090";
  ASSERT_GE(line.size(), 600u);
  EXPECT_EQ(client_.Command(line), "");
  EXPECT_EQ(client_.Command("service"), "PORT\r\n9090\r\n");

  EXPECT_EQ(client_.Command(std::string(65536, 'a')), kNotFound);
  // One byte more without a line feed ends the connection.
  ASSERT_TRUE(client_.Send(std::string(65537, 'a')));
  std::string rest;
  EXPECT_TRUE(client_.WaitClosed(5000, &rest));
  EXPECT_EQ(rest, "");
  EXPECT_TRUE(syslog_.WaitFor("I failed in allocation of memory."));
  e2e::CommandClient next;
  ASSERT_TRUE(next.Connect());
  EXPECT_EQ(next.ReadReply(), "");
}

TEST_F(CommandPortTest, LinesSentTogetherAreAnsweredInOrderWithEveryPrompt) {
  ASSERT_TRUE(client_.Send("help\nnosuch\nservice\n"));
  std::string replies;
  for (int i = 0; i < 3; ++i) {
    std::optional<std::string> reply = client_.ReadReply(3000);
    ASSERT_TRUE(reply.has_value()) << "prompt " << i + 1 << " missing";
    replies += *reply;
  }
  EXPECT_EQ(replies, std::string(kHelp) + kNotFound + "PORT\r\n8000\r\n");
  EXPECT_EQ(client_.pending(), "");
}

// Byte order on the wire: the greeting first, then every reply followed by its prompt, in order,
// however the client times its lines; every prompt is out before "good by" or the close.
TEST_F(CommandPortTest, EveryReplyIsFollowedByItsPromptWhateverTheClientsTiming) {
  const std::string prompt = "$ ";
  const std::string bye = "good by\r\n";
  std::string got;
  // A client that sends at once, before the greeting has come.
  e2e::CommandClient eager;
  ASSERT_TRUE(eager.Connect());
  ASSERT_TRUE(eager.Send("pv show\r\nexit\r\n"));
  ASSERT_TRUE(eager.WaitClosed(5000, &got));
  EXPECT_EQ(got, prompt + kPvHeader + prompt + bye);

  // Pipelined lines, the last one `exit`, in one write.
  ASSERT_TRUE(client_.Send("help\nnosuch\npv show\r\nservice\nexit\n"));
  got.clear();
  ASSERT_TRUE(client_.WaitClosed(5000, &got));
  EXPECT_EQ(got, kHelp + prompt + kNotFound + prompt + kPvHeader + prompt + "PORT\r\n8000\r\n" +
                     prompt + bye);

  // A client that half-closes after its lines still gets every prompt before the close.
  e2e::CommandClient halfway;
  ASSERT_TRUE(halfway.Connect());
  std::string lines, expected = prompt;
  for (int i = 0; i < 31; ++i) {
    lines += i % 2 ? "help\n" : "pv show\n";
    expected += (i % 2 ? kHelp : kPvHeader) + prompt;
  }
  ASSERT_TRUE(halfway.Send(lines));
  ASSERT_EQ(shutdown(halfway.fd(), SHUT_WR), 0);
  got.clear();
  ASSERT_TRUE(halfway.WaitClosed(5000, &got));
  EXPECT_EQ(got, expected);
}

TEST_F(CommandPortTest, ManyPipelinedLinesAllGetTheirPrompts) {
  std::string burst;
  for (int i = 0; i < 500; ++i) burst += "\n";
  ASSERT_TRUE(client_.Send(burst));
  for (int i = 0; i < 500; ++i) ASSERT_EQ(client_.ReadReply(3000), "") << "prompt " << i + 1;
  EXPECT_EQ(client_.Command("help"), kHelp);
}

TEST_F(CommandPortTest, LineWithoutLineFeedIsNeverRun) {
  ASSERT_TRUE(client_.Send("service set sport 9999"));
  EXPECT_FALSE(client_.ReadReply(300).has_value());
  client_.Close();
  e2e::CommandClient next;
  ASSERT_TRUE(next.Connect());
  ASSERT_EQ(next.ReadReply(), "");
  EXPECT_EQ(next.Command("service"), "PORT\r\n8000\r\n");
}

TEST_F(CommandPortTest, TooManyWordsAreRefusedWithOneLine) {
  std::string words = "help";
  for (int i = 1; i < 255; ++i) words += " w";
  EXPECT_EQ(client_.Command(words), kHelp);  // 255 words fit
  EXPECT_EQ(client_.Command(words + " w"), "too many words\r\n");
  EXPECT_EQ(client_.Command("help"), kHelp);
}

}  // namespace
