#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <thread>

#include "service/registry/pc_commands.h"
#include "service/registry/pc_csv.h"
#include "service/registry/pc_data.h"
#include "service/registry/registry_test_util.h"

namespace {

using registrytest::CommandChannel;
using registrytest::ReadFile;
using registrytest::TempWorkDir;
using registrytest::WriteFile;

constexpr char kHeader[] = "ADDRESS\t\t\tDESTINATION\tNETWORK\t\tNETMASK\r\n";
constexpr char kAddUsageStart[] = "pc: invalid option\r\n\r\nUsage: pc add ";
constexpr char kFamilyUsageStart[] = "pc: invalid option\r\n\r\nUsage: pc OPERATION ";

class PcTest : public ::testing::Test {
 protected:
  void SetUp() override { PcList().RemoveAll(); }
  void TearDown() override { PcList().RemoveAll(); }

  // Runs one line; the reply is left in reply_.
  int Run(const std::string& line) {
    int result = channel_.Run(PcCommand, line);
    reply_ = channel_.Reply();
    return result;
  }
  std::string Show() {
    Run("pc show");
    return reply_;
  }
  // (live, marked) entry counts.
  std::pair<int, int> Counts() {
    int live = 0, marked = 0;
    for (CKelNode* n = PcList().GetHead(); n; n = PcList().GetNext(n)) {
      (n->data->pendingDelete ? marked : live)++;
    }
    return {live, marked};
  }

  TempWorkDir dir_;
  CommandChannel channel_;
  std::string reply_;
};

TEST_F(PcTest, ShapesRefusedAndAccepted) {
  const char* refused[] = {
      "pc add network",          // too few words
      "pc add source 10.0.0.1",  // source without MAC
      "pc add source-mac 00:11:22:33:44:55 source 10.0.0.1 network 10.0.0.0",
      "pc add netmask 255.255.255.0",                      // neither MAC nor network
      "pc add source-mac 00:11:22:33:44:55 network",       // keyword without value
      "pc add source-mac 00:11:22:33:44 source 10.0.0.1",  // short MAC
      "pc add source-mac 00:11-22:33:44:55",               // mixed separators
      "pc add network 10.0.0.0 netmask 255.0.255.0",       // holes in the mask
      "pc add network 10.0.0.256",                         // bad address
      "pc add network 10.0.0.0 bogus 1",                   // unknown option
  };
  for (const char* line : refused) {
    EXPECT_EQ(Run(line), 0) << line;
    EXPECT_EQ(reply_.rfind(kAddUsageStart, 0), 0u) << line;
  }
  EXPECT_TRUE(PcList().IsEmpty());

  const char* accepted[] = {
      "pc add source-mac 00:11:22:33:44:55",
      "pc add source-mac 00:11:22:33:44:66 source 10.0.0.1",
      "pc add network 192.168.1.0 netmask 255.255.255.0",
      "pc add source-mac 00:11:22:33:44:77 net 10.1.0.0 netm 255.255.0.0",
      "pc add  s 10.9.9.9 source-m 00:11:22:33:44:88",  // empty word, prefixes, any order
  };
  for (const char* line : accepted) {
    EXPECT_EQ(Run(line), 1) << line;
    EXPECT_EQ(reply_, "") << line;
  }
  EXPECT_EQ(PcList().GetCount(), 5);
  EXPECT_EQ(PcList().GetHead()->data->pendingAdd, 1);
}

TEST_F(PcTest, MacIsShownAndSavedUpperCaseWithColons) {
  ASSERT_EQ(Run("pc add source-mac 0a-1b-2c-3d-4e-5f"), 1);
  ASSERT_EQ(Run("pc add source-mac aabbccddeeff source 10.0.0.1"), 1);
  EXPECT_EQ(Show(), std::string(kHeader) + "0A:1B:2C:3D:4E:5F\t\t\t\t\t\r\n" +
                        "AA:BB:CC:DD:EE:FF\t10.0.0.1\t\t\t\r\n");
  ASSERT_EQ(Run("pc save"), 0);
  EXPECT_EQ(reply_, "");
  EXPECT_EQ(ReadFile("pc.csv"),
            "\"0A:1B:2C:3D:4E:5F\",,\"\",\"\"\r\n\"AA:BB:CC:DD:EE:FF\",\"10.0.0.1\",\"\",\"\"\r\n");
  // The same MAC in another spelling is the same PC.
  EXPECT_EQ(Run("pc add source-mac 0A:1b:2C:3d:4E:5f"), 0);
  EXPECT_EQ(reply_, "duplication of data\r\n");
}

TEST_F(PcTest, DuplicateRules) {
  // MAC alone first: a MAC with a source is still accepted.
  EXPECT_EQ(Run("pc add source-mac 00:00:00:00:00:01"), 1);
  EXPECT_EQ(Run("pc add source-mac 00:00:00:00:00:01"), 0);
  EXPECT_EQ(reply_, "duplication of data\r\n");
  EXPECT_EQ(Run("pc add source-mac 00:00:00:00:00:01 source 10.0.0.1"), 1);
  // MAC with a source first: the MAC alone is refused.
  EXPECT_EQ(Run("pc add source-mac 00:00:00:00:00:02 source 10.0.0.2"), 1);
  EXPECT_EQ(Run("pc add source-mac 00:00:00:00:00:02"), 0);
  EXPECT_EQ(reply_, "duplication of data\r\n");
  // Networks: equal under one netmask is a duplicate whatever the host bits.
  EXPECT_EQ(Run("pc add network 192.168.0.0 netmask 255.255.255.0"), 1);
  EXPECT_EQ(Run("pc add network 192.168.0.77 netmask 255.255.255.0"), 0);
  EXPECT_EQ(Run("pc add network 192.168.0.0 netmask 255.255.0.0"), 1);
  // A MAC with a network collides with a plain network entry.
  EXPECT_EQ(Run("pc add source-mac 00:00:00:00:00:03 network 192.168.0.5"), 0);
  EXPECT_EQ(reply_, "duplication of data\r\n");
  // A deleted entry no longer counts.
  EXPECT_EQ(Run("pc del source-mac 00:00:00:00:00:02"), 2);
  EXPECT_EQ(Run("pc add source-mac 00:00:00:00:00:02"), 1);
}

TEST_F(PcTest, DeleteByMacAndByNetwork) {
  for (const char* line : {"pc add source-mac 00:00:00:00:00:01",
                           "pc add source-mac 00:00:00:00:00:01 source 10.0.0.1",
                           "pc add source-mac 00:00:00:00:00:01 network 172.20.0.0",
                           "pc add source-mac 00:00:00:00:00:02 network 10.0.0.0",
                           "pc add network 10.0.0.0 netmask 255.255.0.0",
                           "pc add network 10.0.0.1 netmask 255.255.255.255"}) {
    ASSERT_EQ(Run(line), 1) << line;
  }
  // Every entry of the MAC, whatever else it holds.
  EXPECT_EQ(Run("pc del source-mac 00-00-00-00-00-01"), 2);
  EXPECT_EQ(Counts(), std::make_pair(3, 3));
  // No netmask: only entries without MAC whose network is exactly this one, any netmask.
  EXPECT_EQ(Run("pc del network 10.0.0.0"), 2);
  EXPECT_EQ(Counts(), std::make_pair(2, 4));
  EXPECT_EQ(Show(), std::string(kHeader) + "00:00:00:00:00:02\t\t\t10.0.0.0\t255.0.0.0\r\n" +
                        "\t\t\t\t\t10.0.0.1\t255.255.255.255\r\n");
  // With a netmask: networks equal under it.
  EXPECT_EQ(Run("pc del network 10.0.0.99 netmask 255.255.255.0"), 2);
  EXPECT_EQ(Counts(), std::make_pair(2, 4));
  EXPECT_EQ(Run("pc del network 10.0.0.1 netmask 255.255.255.255"), 2);
  EXPECT_EQ(Counts(), std::make_pair(1, 5));
  // Nothing matching is no error; a key without MAC and network is refused.
  EXPECT_EQ(Run("pc del source-mac 00:00:00:00:00:09"), 2);
  EXPECT_EQ(Run("pc del source 10.0.0.1 x"), 0);
  EXPECT_EQ(reply_.rfind("pc: invalid option\r\n\r\nUsage: pc del ", 0), 0u);
}

TEST_F(PcTest, ClassDefaultNetmasks) {
  const std::pair<const char*, const char*> cases[] = {{"10.0.0.0", "255.0.0.0"},
                                                       {"172.16.0.0", "255.255.0.0"},
                                                       {"192.168.0.0", "255.255.255.0"},
                                                       {"230.0.0.0", "240.0.0.0"},
                                                       {"245.0.0.0", "248.0.0.0"}};
  std::string expected = kHeader;
  for (const auto& [network, netmask] : cases) {
    ASSERT_EQ(Run(std::string("pc add network ") + network), 1) << network;
    expected += std::string("\t\t\t\t\t") + network + "\t" + netmask + "\r\n";
  }
  EXPECT_EQ(Show(), expected);
  EXPECT_EQ(Run("pc add network 250.0.0.0"), 0);
  EXPECT_EQ(reply_.rfind(kAddUsageStart, 0), 0u);
  EXPECT_EQ(PcList().GetCount(), 5);
}

TEST_F(PcTest, ShowLayoutAndDispatch) {
  ASSERT_EQ(Run("pc add source-mac 00:00:00:00:00:01 source 1.2.3.4"), 1);
  ASSERT_EQ(Run("pc add source-mac 00:00:00:00:00:02 network 1.2.0.0 netmask 255.255.0.0"), 1);
  ASSERT_EQ(Run("pc add network 172.31.255.0 netmask 255.255.255.0"), 1);
  const std::string table = std::string(kHeader) + "00:00:00:00:00:01\t1.2.3.4\t\t\t\t\r\n" +
                            "00:00:00:00:00:02\t\t\t1.2.0.0\t\t255.255.0.0\r\n" +
                            "\t\t\t\t\t172.31.255.0\t255.255.255.0\r\n";
  EXPECT_EQ(Show(), table);
  EXPECT_EQ(Run("pc"), 0);  // the family word alone shows
  EXPECT_EQ(reply_, table);
  EXPECT_EQ(Run("pc show extra words"), 0);
  EXPECT_EQ(reply_, table);
  // Operation words must be whole: no prefixes, no empty word.
  for (const char* line : {"pc s", "pc sh", "pc  add network 10.0.0.0", "pc ADD network 1.0.0.0"}) {
    EXPECT_EQ(Run(line), 0) << line;
    EXPECT_EQ(reply_.rfind(kFamilyUsageStart, 0), 0u) << line;
  }
  EXPECT_EQ(Run("pc save now"), 0);
  EXPECT_EQ(reply_, "pc: invalid option\r\n\r\nUsage: pc save\r\n\r\nExamples:\r\n  pc save\r\n");
  EXPECT_EQ(Run("pc clear"), 4);
  EXPECT_EQ(Counts(), std::make_pair(0, 3));
  EXPECT_EQ(Show(), kHeader);
  channel_.ClosePeer();
  EXPECT_EQ(Run("pc show"), -1);
}

TEST_F(PcTest, FileRoundTripAndFailures) {
  ASSERT_EQ(Run("pc add source-mac 00:00:00:00:00:01"), 1);
  ASSERT_EQ(Run("pc add source-mac 00:00:00:00:00:02 source 10.0.0.2"), 1);
  ASSERT_EQ(Run("pc add network 192.168.0.0"), 1);
  ASSERT_EQ(Run("pc add source-mac 00:00:00:00:00:03 network 10.3.0.0 netmask 255.255.0.0"), 1);
  ASSERT_EQ(Run("pc add source-mac 00:00:00:00:00:04"), 1);
  ASSERT_EQ(Run("pc del source-mac 00:00:00:00:00:04"), 2);  // not written
  ASSERT_EQ(Run("pc save"), 0);
  const std::string file =
      "\"00:00:00:00:00:01\",,\"\",\"\"\r\n"
      "\"00:00:00:00:00:02\",\"10.0.0.2\",\"\",\"\"\r\n"
      "\"\",,\"192.168.0.0\",\"255.255.255.0\"\r\n"
      "\"00:00:00:00:00:03\",,\"10.3.0.0\",\"255.255.0.0\"\r\n";
  EXPECT_EQ(ReadFile("pc.csv"), file);
  const std::string shown = Show();

  // Reload: the old entries are marked, the file's entries come back equal.
  EXPECT_EQ(Run("pc load"), 3);
  EXPECT_EQ(reply_, "");
  EXPECT_EQ(Counts(), std::make_pair(4, 5));
  EXPECT_EQ(Show(), shown);
  PcList().RemoveAll();
  WriteFile("pc.csv", "\"0a-00-00-00-00-01\",,\"\",\"\"\n\"\",,\"10.0.0.0\",\"255.0.0.0\"\n");
  EXPECT_EQ(Run("pc load"), 3);  // LF line ends, MAC rewritten on the way in
  EXPECT_EQ(Show(), std::string(kHeader) + "0A:00:00:00:00:01\t\t\t\t\t\r\n" +
                        "\t\t\t\t\t10.0.0.0\t255.0.0.0\r\n");

  // A failing line: what was read stays, the old entries stay marked.
  WriteFile("pc.csv",
            "\"\",,\"172.16.0.0\",\"255.255.0.0\"\r\n\"\",\"10.0.0.9\",,\r\n"
            "\"00:00:00:00:00:09\",,,\r\n");
  EXPECT_EQ(Run("pc load"), 3);
  EXPECT_EQ(reply_, "load error\r\n");
  EXPECT_EQ(Counts(), std::make_pair(1, 2));
  EXPECT_EQ(Show(), std::string(kHeader) + "\t\t\t\t\t172.16.0.0\t255.255.0.0\r\n");

  // No file: nothing changes. A failed save keeps the old file.
  ASSERT_EQ(std::remove("pc.csv"), 0);
  EXPECT_EQ(Run("pc load"), 3);
  EXPECT_EQ(reply_, "load error\r\n");
  EXPECT_EQ(Counts(), std::make_pair(1, 2));
  WriteFile("pc.csv", "old");
  ASSERT_EQ(mkdir("pc.csv.tmp", 0700), 0);
  EXPECT_EQ(Run("pc save"), 0);
  EXPECT_EQ(reply_, "save error\r\n");
  EXPECT_EQ(ReadFile("pc.csv"), "old");
}

// Two connections saving at once must not share the temporary file: every save succeeds and
// the file is whole.
TEST_F(PcTest, ConcurrentSavesDoNotCollide) {
  ASSERT_EQ(Run("pc add source-mac 00:00:00:00:00:01"), 1);
  ASSERT_EQ(Run("pc add network 10.0.0.0"), 1);
  int failures[2] = {0, 0};
  auto saver = [&failures](int index) {
    for (int i = 0; i < 200; ++i) failures[index] += SavePcFile(PcList()) != 0;
  };
  std::thread first(saver, 0);
  std::thread second(saver, 1);
  first.join();
  second.join();
  EXPECT_EQ(failures[0] + failures[1], 0);
  EXPECT_EQ(ReadFile("pc.csv"),
            "\"00:00:00:00:00:01\",,\"\",\"\"\r\n\"\",,\"10.0.0.0\",\"255.0.0.0\"\r\n");
}

TEST_F(PcTest, LookupsAndSnapshotKeepFlags) {
  ASSERT_EQ(Run("pc add source-mac 00:00:00:00:00:01 source 10.0.0.1"), 1);
  ASSERT_EQ(Run("pc add network 10.0.0.0"), 1);
  ASSERT_EQ(Run("pc del network 10.0.0.0"), 2);
  CPcData key;
  key.macText = "00:00:00:00:00:01";
  key.mac = {0, 0, 0, 0, 0, 1};
  EXPECT_NE(PcList().FindPendingAdd(key), nullptr);
  EXPECT_EQ(PcList().FindPendingDelete(key), nullptr);
  CPcData network;
  network.networkText = "10.0.0.0";
  network.network = {10, 0, 0, 0};
  EXPECT_NE(PcList().FindPendingDelete(network), nullptr);
  CPcList snapshot;
  ASSERT_EQ(PcList().CopyTo(&snapshot), 2);
  EXPECT_EQ(PcList().CopyTo(nullptr), -1);
  const auto* copy = static_cast<const CPcData*>(snapshot.GetHead()->data);
  EXPECT_EQ(copy->sourceText, "10.0.0.1");
  EXPECT_EQ(copy->pendingAdd, 1);
  EXPECT_EQ(snapshot.GetNext(snapshot.GetHead())->data->pendingDelete, 1);
}

}  // namespace
