#include "service/registry/kel_commands.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "command_channel.h"
#include "service/registry/kel_data.h"

namespace {

// Runs the kel handler on `line` (split at single spaces, as the command port does) and
// collects what it wrote.
struct HandlerRun {
  int result;
  std::string reply;
};

HandlerRun Kel(const std::string& line) {
  testsupport::CommandChannel channel;
  HandlerRun run;
  run.result = channel.Run(KelCommand, line);
  run.reply = channel.Reply();
  return run;
}

std::string Show() { return Kel("kel show").reply; }

const char kHeader[] = "TARGET\tDESTINATION\tADDRESS\t\t\tFQDN\r\n";
const char kAddUsage[] =
    "kel: invalid option\r\n\r\nUsage: kel add TARGET source SRC_IP [source-mac SRC_MAC]\r\n\r\n"
    "Examples:\r\n  kel add accept source 192.168.0.1 source-mac 00:00:00:00:00:00\r\n";

class KelCommandTest : public ::testing::Test {
 protected:
  void SetUp() override { KelDataList().RemoveAll(); }
};

TEST_F(KelCommandTest, DuplicatesDependOnTargetAndMacOrder) {
  EXPECT_EQ(Kel("kel add accept source 10.0.0.5").result, 1);
  HandlerRun again = Kel("kel add accept source 10.0.0.5");
  EXPECT_EQ(again.result, 0);
  EXPECT_EQ(again.reply, "duplication of data\r\n");
  EXPECT_EQ(Kel("kel add drop source 10.0.0.5").result, 1);

  // A key without MAC matches an entry with a MAC, not the other way round.
  EXPECT_EQ(Kel("kel add accept source 10.0.0.6 source-mac 00:00:00:00:00:01").result, 1);
  EXPECT_EQ(Kel("kel add accept source 10.0.0.6").reply, "duplication of data\r\n");
  EXPECT_EQ(Kel("kel add accept source 10.0.0.7").result, 1);
  EXPECT_EQ(Kel("kel add accept source 10.0.0.7 source-mac 00:00:00:00:00:01").result, 1);
  // An all-zero MAC counts as none for the identity.
  EXPECT_EQ(Kel("kel add drop source 10.0.0.5 source-mac 00:00:00:00:00:00").reply,
            "duplication of data\r\n");
}

TEST_F(KelCommandTest, AbbreviationsAndShowLayout) {
  // Addresses shorter than 8 characters get a second tab so the MAC column lines up.
  EXPECT_EQ(Kel("kel add a s 10.0.0.5 source-m 00-00-00-00-00-01").result, 1);
  EXPECT_EQ(Kel("kel add dr so 192.168.100.200 source-mac 0a0b0c0d0e0f").result, 1);
  EXPECT_EQ(Kel("kel add a s 1.2.3.4").result, 1);
  EXPECT_EQ(Show(), std::string(kHeader) + "accept\t10.0.0.5\t00:00:00:00:00:01\r\n" +
                        "drop\t192.168.100.200\t0A:0B:0C:0D:0E:0F\r\n" + "accept\t1.2.3.4\t\t\r\n");
  EXPECT_EQ(Kel("kel").reply, Show());  // the family word alone shows
}

TEST_F(KelCommandTest, RefusedWordsChangeNothing) {
  for (const char* line :
       {"kel add accept source-mac 00:00:00:00:00:01", "kel add permit source 10.0.0.5",
        "kel add accept source 10.0.0.256", "kel add accept source 10.0.0.5 port 80",
        "kel add accept source", "kel add accept source 10.0.0.5 source-mac 00:00:00-00:00:01"}) {
    HandlerRun run = Kel(line);
    EXPECT_EQ(run.result, 0) << line;
    EXPECT_EQ(run.reply, kAddUsage) << line;
  }
  EXPECT_EQ(Show(), kHeader);
  EXPECT_EQ(Kel("kel show source 10.0.0.5").reply,
            "kel: invalid option\r\n\r\nUsage: kel show\r\n\r\nExamples:\r\n  kel show\r\n");
  std::string family = Kel("kel list").reply;
  EXPECT_EQ(family.rfind("kel: invalid option\r\n\r\nUsage: kel OPERATION", 0), 0u);
  EXPECT_EQ(Kel("kel sh").reply, family);  // no prefixes for operations
  EXPECT_EQ(Kel("kel del accept source 10.0.0.9").result, 2);
  EXPECT_EQ(Kel("kel del accept source 10.0.0.9").reply, "");
  HandlerRun stop = Kel("kel stop");
  EXPECT_EQ(stop.result, 0);
  EXPECT_NE(stop.reply.find("Nonimplement\r\n"), std::string::npos);
}

TEST_F(KelCommandTest, DeleteMarksWithAndWithoutMac) {
  Kel("kel add accept source 10.0.0.5");
  Kel("kel add accept source 10.0.0.5 source-mac 00:00:00:00:00:01");
  Kel("kel add accept source 10.0.0.8");
  Kel("kel add accept source 10.0.0.8 source-mac 00:00:00:00:00:02");
  EXPECT_EQ(Kel("kel del accept source 10.0.0.5").result, 2);
  EXPECT_EQ(Kel("kel del a s 10.0.0.8 source-mac 00:00:00:00:00:02").result, 2);
  EXPECT_EQ(Show(), std::string(kHeader) + "accept\t10.0.0.8\t\r\n");
  EXPECT_EQ(KelDataList().GetCount(), 4);  // marked entries stay until processed
  // A deleted but unprocessed entry does not block an identical add.
  EXPECT_EQ(Kel("kel add accept source 10.0.0.5").result, 1);
  CKelData key;
  key.target = kKelTargetAccept;
  key.source[0] = 10, key.source[3] = 5;
  EXPECT_NE(KelDataList().FindPendingDelete(key), nullptr);
  EXPECT_NE(KelDataList().FindPendingAdd(key), nullptr);
}

TEST_F(KelCommandTest, SendFailureEndsConnection) {
  testsupport::CommandChannel channel;
  channel.ClosePeer();
  EXPECT_EQ(channel.Run(KelCommand, "kel add permit source 1.2.3.4"), -1);
}

// Two connections adding the same entry at once leave exactly one entry.
TEST_F(KelCommandTest, ConcurrentAddsNeverDuplicate) {
  for (int round = 0; round < 50; ++round) {
    KelDataList().RemoveAll();
    std::atomic<int> added{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&] {
        if (Kel("kel add accept source 10.1.1.1").result == 1) ++added;
      });
    }
    for (auto& t : threads) t.join();
    ASSERT_EQ(added.load(), 1);
    ASSERT_EQ(KelDataList().GetCount(), 1);
  }
}

}  // namespace
