// The five console programs against the real service: every operation's round trip, and each
// reply printed exactly as the service sent it (the prompt left out).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"
#include "netns.h"

namespace {

using Words = std::vector<std::string>;

std::string Join(const std::string& head, const Words& words) {
  std::string line = head;
  for (const std::string& word : words) line += " " + word;
  return line;
}

struct Family {
  const char* program;
  const char* keyword;
  Words add;          // the words after "add"
  Words del;          // the words after "del"
  const char* shown;  // what "show" lists while the record is held
  const char* csv;
  const char* saved;  // what the CSV file holds once the record is saved
};

class ClientsE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ENTER_PRIVATE_NETWORK();
    ASSERT_TRUE(service_.Start()) << service_.error();
    ASSERT_TRUE(client_.Connect());
    ASSERT_EQ(client_.ReadReply(), "");
  }
  void TearDown() override { EXPECT_EQ(service_.Stop(), 0) << service_.Output(); }

  // Runs the program with `words`; its output, after checking that it ended with status 0.
  std::string Client(const char* program, const Words& words) {
    Words argv{program};
    argv.insert(argv.end(), words.begin(), words.end());
    e2e::ProgramResult result = e2e::RunProgram(argv);
    EXPECT_EQ(result.status, 0) << Join(program, words) << "\n" << result.out << result.err;
    return result.out;
  }

  // The program's show, checked against the reply a terminal gets for the same line.
  std::string Show(const Family& f) {
    std::string printed = Client(f.program, {"show"});
    EXPECT_EQ(client_.Command(std::string(f.keyword) + " show"), printed);
    return printed;
  }

  void RoundTrip(const Family& f) {
    Words add{"add"}, del{"del"};
    add.insert(add.end(), f.add.begin(), f.add.end());
    del.insert(del.end(), f.del.begin(), f.del.end());
    EXPECT_EQ(Client(f.program, add), "");
    // A second add is refused by the service; the program prints that reply unchanged.
    std::string duplicate = Client(f.program, add);
    EXPECT_NE(duplicate, "");
    EXPECT_EQ(client_.Command(Join(f.keyword, add)), duplicate);
    EXPECT_NE(Show(f).find(f.shown), std::string::npos);

    EXPECT_EQ(Client(f.program, {"save"}), "");
    EXPECT_NE(service_.ReadWork(f.csv).value_or("").find(f.saved), std::string::npos);
    EXPECT_EQ(Client(f.program, {"clear"}), "");
    EXPECT_EQ(Show(f).find(f.shown), std::string::npos);
    EXPECT_EQ(Client(f.program, {"load"}), "");
    EXPECT_NE(Show(f).find(f.shown), std::string::npos);
    EXPECT_EQ(Client(f.program, del), "");
    EXPECT_EQ(Show(f).find(f.shown), std::string::npos);
  }

  e2e::ServiceProcess service_;
  e2e::CommandClient client_;
};

TEST_F(ClientsE2eTest, VoPvRoundTrip) {
  RoundTrip({"VoPv",
             "pv",
             {"172.16.0.1", "sport", "8080", "user", "ops1", "pass", "pw"},
             {"172.16.0.1", "sport", "8080"},
             "172.16.0.1\t8080\tops1\t",
             "pv.csv",
             "\"172.16.0.1\",8080,\"ops1\",\"pw\""});
}

TEST_F(ClientsE2eTest, VoPvrouteRoundTrip) {
  ASSERT_EQ(Client("VoPv", {"add", "172.16.0.1"}), "");
  RoundTrip({"VoPvroute",
             "pvroute",
             {"172.16.0.1", "network", "192.168.0.0", "netmask", "255.255.255.0", "dev", "eth0"},
             {"172.16.0.1", "network", "192.168.0.0"},
             "192.168.0.0\t255.255.255.0",
             "pvroute.csv",
             "\"192.168.0.0\",\"255.255.255.0\""});
}

TEST_F(ClientsE2eTest, VoPcRoundTrip) {
  // The MAC is sent as typed; the service lists it in its own spelling.
  RoundTrip({"VoPc",
             "pc",
             {"source-mac", "00-11-22-33-44-55", "source", "192.168.0.1"},
             {"source-mac", "00-11-22-33-44-55", "source", "192.168.0.1"},
             "00:11:22:33:44:55\t192.168.0.1",
             "pc.csv",
             "192.168.0.1"});
}

TEST_F(ClientsE2eTest, VoQuarantineRoundTrip) {
  RoundTrip({"VoQuarantine",
             "quarantine",
             {"source", "172.17.254.254", "protocol", "tcp", "sport", "4208"},
             {"source", "172.17.254.254", "protocol", "tcp", "sport", "4208"},
             "172.17.254.254\ttcp",
             "quarantine.csv",
             "\"172.17.254.254\",\"tcp\",\"4208\""});
}

TEST_F(ClientsE2eTest, VoKelAddShowDel) {
  Words add{"add", "accept", "source", "192.168.0.1", "source-mac", "00-11-22-33-44-55"};
  EXPECT_EQ(Client("VoKel", add), "");
  std::string duplicate = Client("VoKel", add);
  EXPECT_NE(duplicate, "");
  EXPECT_EQ(client_.Command(Join("kel", add)), duplicate);
  std::string shown = Client("VoKel", {});
  EXPECT_EQ(client_.Command("kel show"), shown);
  EXPECT_NE(shown.find("192.168.0.1"), std::string::npos);
  EXPECT_EQ(Client("VoKel", {"del", "accept", "source", "192.168.0.1"}), "");
  EXPECT_EQ(Client("VoKel", {"show"}), client_.Command("kel show"));
}

}  // namespace
