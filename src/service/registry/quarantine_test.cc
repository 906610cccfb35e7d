#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "service/registry/quarantine_commands.h"
#include "service/registry/quarantine_data.h"
#include "service/registry/registry_test_util.h"

namespace {

using registrytest::CommandChannel;
using registrytest::ReadFile;
using registrytest::TempWorkDir;
using registrytest::WriteFile;

constexpr char kHeader[] = "DESTINATION\tPROTOCOL\tPORT\r\n";
constexpr char kAddUsage[] =
    "quarantine: invalid option\r\n\r\nUsage: quarantine add source SRC_IP protocol PROTO sport "
    "SRC_PORT\r\n\r\nExamples:\r\n  quarantine add source 172.17.254.254 protocol tcp sport "
    "4208\r\n";
constexpr char kDelUsage[] =
    "quarantine: invalid option\r\n\r\nUsage: quarantine del source SRC_IP protocol PROTO sport "
    "SRC_PORT\r\n\r\nExamples:\r\n  quarantine del source 172.17.254.254 protocol tcp sport "
    "4208\r\n";
constexpr char kFamilyUsageStart[] =
    "quarantine: invalid option\r\n\r\nUsage: quarantine OPERATION [source SRC_IP] ";

class QuarantineTest : public ::testing::Test {
 protected:
  void SetUp() override { QuarantineList().RemoveAll(); }
  void TearDown() override { QuarantineList().RemoveAll(); }

  int Run(const std::string& line) {
    int result = channel_.Run(QuarantineCommand, line);
    reply_ = channel_.Reply();
    return result;
  }
  std::string Show() {
    Run("quarantine show");
    return reply_;
  }
  int Marked() {
    int marked = 0;
    for (CKelNode* n = QuarantineList().GetHead(); n; n = QuarantineList().GetNext(n)) {
      marked += n->data->pendingDelete;
    }
    return marked;
  }

  TempWorkDir dir_;
  CommandChannel channel_;
  std::string reply_;
};

TEST_F(QuarantineTest, AddParsesOptionsInAnyOrder) {
  EXPECT_EQ(Run("quarantine add sport 4208 protocol tcp source 172.17.254.254"), 1);
  EXPECT_EQ(reply_, "");
  EXPECT_EQ(Run("quarantine add p udp sp 53 so 10.0.0.1"), 1);
  EXPECT_EQ(Run("quarantine add  s 10.0.0.2 protocol tcp sport 80 sport 81"), 1);  // last wins
  EXPECT_EQ(Show(), std::string(kHeader) + "172.17.254.254\ttcp\t\t4208\r\n" +
                        "10.0.0.1\tudp\t\t53\r\n" + "10.0.0.2\ttcp\t\t81\r\n");
  EXPECT_EQ(QuarantineList().GetHead()->data->pendingAdd, 1);
  const char* refused[] = {
      "quarantine add source 10.0.0.1 protocol tcp",                  // too few words
      "quarantine add source 10.0.0.1 protocol TCP sport 80",         // upper case
      "quarantine add source 10.0.0.1 protocol tc sport 80",          // too short
      "quarantine add source 10.0.0.1 protocol tcp sport 0",          // port 0
      "quarantine add source 10.0.0.1 protocol tcp sport 65536",      // port too big
      "quarantine add source 10.0.0.1 protocol tcp sport 8a",         // not digits
      "quarantine add source 10.0.0.300 protocol tcp sport 80",       // bad address
      "quarantine add source 10.0.0.1 source 10.0.0.1 protocol tcp",  // no port
      "quarantine add source 10.0.0.1 protocol tcp sport 80 port 1",  // unknown option
  };
  for (const char* line : refused) {
    EXPECT_EQ(Run(line), 0) << line;
    EXPECT_EQ(reply_, kAddUsage) << line;
  }
  EXPECT_EQ(QuarantineList().GetCount(), 3);
}

TEST_F(QuarantineTest, DuplicatesCompareTextsExactly) {
  EXPECT_EQ(Run("quarantine add source 10.0.0.1 protocol tcp sport 80"), 1);
  EXPECT_EQ(Run("quarantine add source 10.0.0.1 protocol tcp sport 80"), 0);
  EXPECT_EQ(reply_, "duplication of data\r\n");
  EXPECT_EQ(Run("quarantine add source 10.0.0.1 protocol tcp sport 080"), 1);
  EXPECT_EQ(Run("quarantine add source 10.0.0.1 protocol udp sport 80"), 1);
  EXPECT_EQ(Run("quarantine add source 010.0.0.1 protocol tcp sport 80"), 0);  // same address
  EXPECT_EQ(QuarantineList().GetCount(), 3);
  // del needs the port exactly as typed.
  EXPECT_EQ(Run("quarantine del source 10.0.0.1 protocol tcp sport 80"), 2);
  EXPECT_EQ(Marked(), 1);
  EXPECT_EQ(Run("quarantine del source 10.0.0.1 protocol tcp sport 80"), 2);  // nothing left
  EXPECT_EQ(Marked(), 1);
  EXPECT_EQ(Run("quarantine add source 10.0.0.1 protocol tcp sport 80"), 1);  // marked ignored
}

TEST_F(QuarantineTest, DeleteNeedsAllThreeValues) {
  ASSERT_EQ(Run("quarantine add source 10.0.0.1 protocol tcp sport 80"), 1);
  for (const char* line : {"quarantine del source 10.0.0.1 protocol tcp",
                           "quarantine del source 10.0.0.1 protocol tcp sport",
                           "quarantine del source 10.0.0.1 source 10.0.0.1 protocol tcp",
                           "quarantine del sport 80 sport 80 protocol tcp"}) {
    EXPECT_EQ(Run(line), 0) << line;
    EXPECT_EQ(reply_, kDelUsage) << line;
  }
  EXPECT_EQ(Marked(), 0);
  EXPECT_EQ(Run("quarantine del sport 80 source 10.0.0.1 protocol tcp"), 2);
  EXPECT_EQ(Marked(), 1);
  EXPECT_EQ(Show(), kHeader);
}

TEST_F(QuarantineTest, DispatchAndShow) {
  ASSERT_EQ(Run("quarantine add source 1.2.3.4 protocol udp sport 514"), 1);
  const std::string table = std::string(kHeader) + "1.2.3.4\t\tudp\t\t514\r\n";
  EXPECT_EQ(Run("quarantine"), 0);
  EXPECT_EQ(reply_, table);
  EXPECT_EQ(Run("quarantine show more"), 0);
  EXPECT_EQ(reply_, table);
  for (const char* line : {"quarantine a source 1.2.3.5 protocol udp sport 514", "quarantine sh",
                           "quarantine c", "quarantine "}) {
    EXPECT_EQ(Run(line), 0) << line;
    EXPECT_EQ(reply_.rfind(kFamilyUsageStart, 0), 0u) << line;
  }
  EXPECT_EQ(Run("quarantine clear now"), 0);
  EXPECT_EQ(reply_,
            "quarantine: invalid option\r\n\r\nUsage: quarantine clear\r\n\r\nExamples:\r\n  "
            "quarantine clear\r\n");
  EXPECT_EQ(Run("quarantine clear"), 4);
  EXPECT_EQ(Marked(), 1);
  channel_.ClosePeer();
  EXPECT_EQ(Run("quarantine add source 1.2.3.4 protocol udp"), -1);
}

TEST_F(QuarantineTest, FileRoundTripAndFailures) {
  ASSERT_EQ(Run("quarantine add source 172.17.254.254 protocol tcp sport 4208"), 1);
  ASSERT_EQ(Run("quarantine add source 10.0.0.1 protocol udp sport 053"), 1);
  ASSERT_EQ(Run("quarantine add source 10.0.0.2 protocol udp sport 1"), 1);
  ASSERT_EQ(Run("quarantine del source 10.0.0.2 protocol udp sport 1"), 2);
  ASSERT_EQ(Run("quarantine save"), 0);
  EXPECT_EQ(reply_, "");
  EXPECT_EQ(ReadFile("quarantine.csv"),
            "\"172.17.254.254\",\"tcp\",\"4208\"\r\n\"10.0.0.1\",\"udp\",\"053\"\r\n");
  const std::string shown = Show();
  EXPECT_EQ(Run("quarantine load"), 3);
  EXPECT_EQ(reply_, "");
  EXPECT_EQ(Marked(), 3);
  EXPECT_EQ(QuarantineList().GetCount(), 5);
  EXPECT_EQ(Show(), shown);

  // A protocol other than "tcp" or "udp" in the file ("tcpx", which add refuses) fails a load;
  // the lines read before it stay.
  QuarantineList().RemoveAll();
  ASSERT_EQ(Run("quarantine add source 10.0.0.9 protocol tcpx sport 9"), 0);
  EXPECT_NE(reply_.find("Usage: quarantine add"), std::string::npos);
  ASSERT_EQ(Run("quarantine add source 10.0.0.9 protocol tcp sport 9"), 1);
  WriteFile("quarantine.csv",
            "\"10.0.0.7\",\"udp\",\"7\"\n\"10.0.0.9\",\"tcpx\",\"9\"\r\n"
            "\"10.0.0.8\",\"udp\",\"8\"\n");
  EXPECT_EQ(Run("quarantine load"), 3);
  EXPECT_EQ(reply_, "load error\r\n");
  EXPECT_EQ(Show(), std::string(kHeader) + "10.0.0.7\tudp\t\t7\r\n");
  EXPECT_EQ(Marked(), 1);

  // Empty protocol field, and a duplicate line, each fail a load too.
  for (const char* bytes : {"\"10.0.0.1\",\"\",\"80\"\r\n",
                            "\"10.0.0.1\",\"tcp\",\"80\"\r\n\"10.0.0.1\",\"tcp\",\"80\"\r\n"}) {
    WriteFile("quarantine.csv", bytes);
    EXPECT_EQ(Run("quarantine load"), 3);
    EXPECT_EQ(reply_, "load error\r\n") << bytes;
  }

  ASSERT_EQ(mkdir("quarantine.csv.tmp", 0700), 0);
  EXPECT_EQ(Run("quarantine save"), 0);
  EXPECT_EQ(reply_, "save error\r\n");
  EXPECT_EQ(ReadFile("quarantine.csv"),
            "\"10.0.0.1\",\"tcp\",\"80\"\r\n\"10.0.0.1\",\"tcp\",\"80\"\r\n");
  ASSERT_EQ(std::remove("quarantine.csv"), 0);
  int before = Marked();
  EXPECT_EQ(Run("quarantine load"), 3);
  EXPECT_EQ(reply_, "load error\r\n");
  EXPECT_EQ(Marked(), before);
}

}  // namespace
