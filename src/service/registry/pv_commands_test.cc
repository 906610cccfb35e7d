#include "service/registry/pv_commands.h"

#include <gtest/gtest.h>

#include "service/registry/pv_data.h"
#include "service/registry/registry_test_util.h"

namespace {

using registrytest::CommandChannel;
using registrytest::TempWorkDir;

constexpr const char* kAddUsage =
    "pv: invalid option\r\n\r\nUsage: pv add TARGET [sport SRC_PORT] [user ID] [pass PW]\r\n\r\n"
    "Examples:\r\n  pv add 172.16.0.1\r\n";
constexpr const char* kDelUsage =
    "pv: invalid option\r\n\r\nUsage: pv del TARGET [sport SRC_PORT] [user ID] [pass PW]\r\n\r\n"
    "Examples:\r\n  pv del 172.16.0.1\r\n";
constexpr const char* kFamilyUsage =
    "pv: invalid option\r\n\r\n"
    "Usage: pv OPERATION [TARGET] [sport SRC_PORT] [user ID] [pass PW]\r\n\r\n"
    "Examples:\r\n  pv add 172.16.0.1\r\n  pv del 172.16.0.1\r\n  pv save\r\n  pv load\r\n"
    "  pv clear\r\n  pv show\r\n\r\n"
    "OPERATION:         (add/del/save/load/clear/show)\r\n"
    "TARGET:            IP address of PV\r\n"
    "SRC_PORT:          Port number of HTTP protocol\r\n"
    "ID:                user id of PV\r\n"
    "PW:                Password of PV\r\n";
constexpr const char* kHeader = "PV\t\tPORT\tID\tPW\r\n";

class PvCommandTest : public ::testing::Test {
 protected:
  void SetUp() override { PvList().RemoveAll(); }
  void TearDown() override { PvList().RemoveAll(); }

  int Run(const std::string& line) { return channel_.Run(PvCommand, line); }
  std::string Reply() { return channel_.Reply(); }

  TempWorkDir dir_;
  CommandChannel channel_;
};

TEST_F(PvCommandTest, RefusedCommandsAnswerTheirUsageText) {
  struct Case {
    const char* line;
    const char* reply;
  } cases[] = {
      {"pv bogus", kFamilyUsage},
      {"pv add", kAddUsage},
      {"pv add 10.0.0.256", kAddUsage},
      {"pv add 10.0.0.1 sport 0", kAddUsage},
      {"pv add 10.0.0.1 sport 65536", kAddUsage},
      {"pv add 10.0.0.1 sport 80x", kAddUsage},
      {"pv add 10.0.0.1 colour red", kAddUsage},
      {"pv add 10.0.0.1 user", kAddUsage},  // a keyword without its value
      {"pv del", kDelUsage},
      {"pv del 10.0.0.1 s 0", kDelUsage},
      {"pv save now", "pv: invalid option\r\n\r\nUsage: pv save\r\n\r\nExamples:\r\n  pv save\r\n"},
      {"pv load x", "pv: invalid option\r\n\r\nUsage: pv load\r\n\r\nExamples:\r\n  pv load\r\n"},
      {"pv c all", "pv: invalid option\r\n\r\nUsage: pv clear\r\n\r\nExamples:\r\n  pv clear\r\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Run(c.line), 0) << c.line;
    EXPECT_EQ(Reply(), c.reply) << c.line;
  }
  EXPECT_EQ(PvList().GetCount(), 0);
}

TEST_F(PvCommandTest, AddShowAndDuplicates) {
  EXPECT_EQ(Run("pv add 10.0.0.1"), 1);
  EXPECT_EQ(Run("pv add 10.10.10.10 s 8080 u root p secret"), 1);
  EXPECT_EQ(Run("pv add 10.0.0.3 pass  user guest"), 1);  // empty password
  EXPECT_EQ(Reply(), "");
  // The port plays no part in the duplicate check.
  EXPECT_EQ(Run("pv add 10.0.0.1 sport 8080"), 0);
  EXPECT_EQ(Reply(), "duplication of data\r\n");

  EXPECT_EQ(Run("pv show extra words"), 0);
  EXPECT_EQ(Reply(), std::string(kHeader) + "10.0.0.1\t880\tadmin\t********\r\n" +
                         "10.10.10.10\t8080\troot\t********\r\n" + "10.0.0.3\t880\tguest\t\r\n");
  EXPECT_EQ(Run("pv add 1.2.3.4"), 1);
  EXPECT_EQ(Run("pv"), 0);  // the family word alone shows
  EXPECT_NE(Reply().find("1.2.3.4\t\t880\tadmin\t********\r\n"), std::string::npos);

  CKelListLock lock(PvList());
  CPvData key;
  key.address = {10, 10, 10, 10};
  key.portText = "";
  CPvData* router = PvList().FindActive(key, 1);
  ASSERT_NE(router, nullptr);
  EXPECT_EQ(router->port, 8080);
  EXPECT_EQ(router->user, "root");
  EXPECT_EQ(router->password, "secret");
  EXPECT_EQ(router->pendingAdd, 1);
}

TEST_F(PvCommandTest, OperationPrefixesPickTheFirstMatch) {
  EXPECT_EQ(Run("pv  10.0.0.9"), 1);  // empty operation word adds
  EXPECT_EQ(Run("pv sh"), 0);
  EXPECT_EQ(Reply(), std::string(kHeader) + "10.0.0.9\t880\tadmin\t********\r\n");
  EXPECT_EQ(Run("pv s"), 0);  // save
  EXPECT_EQ(Reply(), "");
  EXPECT_EQ(registrytest::ReadFile("pv.csv"), "\"10.0.0.9\",880,\"admin\",\"pomvy\"\r\n");
  EXPECT_EQ(Run("pv l"), 3);
  EXPECT_EQ(Run("pv c"), 4);
  EXPECT_EQ(Run("pv show"), 0);
  EXPECT_EQ(Reply(), kHeader);
  EXPECT_EQ(Run("pv d 10.0.0.9"), 2);
  EXPECT_EQ(Run("pv shows"), 0);
  EXPECT_EQ(Reply(), kFamilyUsage);
}

TEST_F(PvCommandTest, DelMatchesThePortItIsGiven) {
  EXPECT_EQ(Run("pv add 10.0.0.1 sport 8080"), 1);
  EXPECT_EQ(Run("pv del 10.0.0.1"), 2);   // the key carries port 880
  EXPECT_EQ(Run("pv del 10.0.0.77"), 2);  // nothing matches: no error
  EXPECT_EQ(Reply(), "");
  EXPECT_EQ(Run("pv show"), 0);
  EXPECT_EQ(Reply(), std::string(kHeader) + "10.0.0.1\t8080\tadmin\t********\r\n");
  EXPECT_EQ(Run("pv del 10.0.0.1 sport 8080 user x pass y"), 2);
  EXPECT_EQ(Run("pv show"), 0);
  EXPECT_EQ(Reply(), kHeader);
  EXPECT_EQ(PvList().GetCount(), 1);  // marked, not removed
  EXPECT_EQ(Run("pv add 10.0.0.1"), 1);
  EXPECT_EQ(PvList().GetCount(), 2);
}

TEST_F(PvCommandTest, FailedRepliesEndTheConnection) {
  EXPECT_EQ(Run("pv add 10.0.0.1"), 1);
  channel_.ClosePeer();
  EXPECT_EQ(Run("pv add 10.0.0.2"), 1);  // no reply to send
  EXPECT_EQ(Run("pv add 10.0.0.1"), -1);
  EXPECT_EQ(Run("pv add"), -1);
  EXPECT_EQ(Run("pv show"), -1);
  EXPECT_EQ(Run("pv what"), -1);
  EXPECT_EQ(Run("pv clear now"), -1);
  EXPECT_EQ(Run("pv clear"), 4);
}

}  // namespace
