// The five built programs, run as child processes against a recording command port.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "child_process.h"
#include "clients/recording_server.h"
#include "netns.h"

namespace {

using clients_test::RecordingServer;
using clients_test::ServerScript;
using Clock = std::chrono::steady_clock;

struct Outcome {
  std::string out;
  int status = -1;
  std::chrono::milliseconds elapsed{0};
};

// Runs bin/<program> with `words`, gathering its standard output and exit status.
Outcome RunProgram(const std::string& program, const std::vector<std::string>& words) {
  std::vector<std::string> argv = {std::string(VOKEL_BIN_DIR) + "/" + program};
  argv.insert(argv.end(), words.begin(), words.end());
  auto start = Clock::now();
  testsupport::ProgramResult result = testsupport::RunProgram(argv, 30000);
  Outcome outcome;
  outcome.out = result.out;
  outcome.status = result.status;
  outcome.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  return outcome;
}

const char kReply[] = "reply line\r\nsecond line\r\n";

class ClientProgramsTest : public ::testing::Test {
 protected:
  void SetUp() override { ENTER_PRIVATE_NETWORK(); }
};

struct Case {
  std::string program;
  std::vector<std::string> words;
  std::string sent;  // the command line the service must receive, line end included
};

TEST_F(ClientProgramsTest, EachProgramSendsTheLineItsWordsDescribe) {
  const Case cases[] = {
      {"VoPv",
       {"add", "172.16.0.1", "sport", "8080", "user", "ops1"},
       "pv add 172.16.0.1 sport 8080 user ops1\r\n"},
      {"VoPv", {}, "pv show\r\n"},
      {"VoPv",
       {"pass", "pw", "user", "u", "sport", "80", "del", "10.0.0.1"},
       "pv del 10.0.0.1 sport 80 user u pass pw\r\n"},
      {"VoPv", {"add", "1.1.1.1", "add", "2.2.2.2"}, "pv add 2.2.2.2\r\n"},
      {"VoPv", {"show", "save"}, "pv save\r\n"},
      {"VoKel",
       {"add", "accept", "source", "192.168.0.1", "source-mac", "00-11-22-33-44-55"},
       "kel add accept source 192.168.0.1 source-mac 00-11-22-33-44-55\r\n"},
      {"VoKel", {"source", "10.0.0.1", "del", "drop"}, "kel del drop source 10.0.0.1\r\n"},
      {"VoKel", {}, "kel show\r\n"},
      {"VoQuarantine",
       {"add", "source", "172.17.254.254", "protocol", "tcp", "sport", "4208"},
       "quarantine add source 172.17.254.254 protocol tcp sport 4208\r\n"},
      {"VoQuarantine",
       {"sport", "53", "protocol", "udp", "del", "source", "10.1.1.1"},
       "quarantine del source 10.1.1.1 protocol udp sport 53\r\n"},
      {"VoQuarantine", {"load"}, "quarantine load\r\n"},
      {"VoPc",
       {"add", "network", "192.168.0.0", "netmask", "255.255.255.0"},
       "pc add network 192.168.0.0 netmask 255.255.255.0\r\n"},
      {"VoPc", {"save", "network", "10.0.0.0"}, "pc save\r\n"},
      {"VoPc",
       {"del", "source", "192.168.0.1", "source-mac", "001122334455"},
       "pc del source-mac 001122334455 source 192.168.0.1\r\n"},
      {"VoPvroute",
       {"add", "172.16.0.1", "network", "192.168.0.0", "dev", "eth0", "netmask", "255.255.255.0"},
       "pvroute add 172.16.0.1 network 192.168.0.0 netmask 255.255.255.0 dev eth0\r\n"},
      {"VoPvroute", {"clear"}, "pvroute clear\r\n"},
  };
  ServerScript script;
  script.banner = "ignored before the prompt\r\n";
  script.reply = kReply;
  RecordingServer server(script, "127.0.0.1", 8000);
  ASSERT_TRUE(server.ok());
  size_t count = 0;
  for (const Case& c : cases) {
    Outcome outcome = RunProgram(c.program, c.words);
    EXPECT_EQ(outcome.status, 0) << c.sent;
    EXPECT_EQ(outcome.out, kReply) << c.sent;
    std::vector<std::string> lines = server.lines();
    ASSERT_EQ(lines.size(), ++count) << c.sent;
    EXPECT_EQ(lines.back(), c.sent);
  }
}

TEST_F(ClientProgramsTest, DstAndDportChooseTheService) {
  ServerScript script;
  script.reply = "elsewhere\r\n";
  RecordingServer server(script, "127.0.0.2", 8123);
  ASSERT_TRUE(server.ok());
  Outcome outcome = RunProgram("VoPc", {"--dport", "8123", "clear", "--dst", "127.0.0.2"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, "elsewhere\r\n");
  EXPECT_EQ(server.lines(), std::vector<std::string>{"pc clear\r\n"});
}

const char kPvGeneral[] =
    "VoPv: invalid option\r\n\r\nUsage: VoPv OPERATION [TARGET] [sport SRC_PORT] [user ID] [pass "
    "PW] [--dst DST_IP] [--dport DST_PORT]\r\n\r\nExamples:\r\n  VoPv add 172.16.0.1\r\n  VoPv "
    "del 172.16.0.1\r\n  VoPv save\r\n  VoPv load\r\n  VoPv clear\r\n  VoPv show\r\n\r\n"
    "OPERATION:         (add/del/save/load/clear/show)\r\nTARGET:            IP address of PV\r\n"
    "SRC_PORT:          Port number of HTTP protocol\r\nID:                user id of PV\r\n"
    "PW:                Password of PV\r\n--dst:             IP address of a Kel Server\r\n"
    "--dport:           Port number of a Kel Server\r\n";
const char kPvSave[] =
    "VoPv: invalid option\r\n\r\nUsage: VoPv save\r\n\r\nExamples:\r\n  VoPv save\r\n";
const char kKelDel[] =
    "VoKel: invalid option\r\n\r\nUsage: VoKel del TARGET source SRC_IP [source-mac SRC_MAC] "
    "[--dst DST_IP] [--dport DST_PORT]\r\n\r\nExamples:\r\n  VoKel del accept source 172.16.0.1 "
    "source-mac 00:00:00:00:00:01\r\n";
const char kKelShow[] =
    "VoKel: invalid option\r\n\r\nUsage: VoKel show [--dst DST_IP] [--dport DST_PORT]\r\n\r\n"
    "Examples:\r\n  VoKel\r\n";

struct Refusal {
  std::string program;
  std::vector<std::string> words;
  std::string usage;  // the whole text, or its "Usage:" line after "PROGRAM: invalid option"
};

TEST_F(ClientProgramsTest, RefusedWordsPrintTheirUsageAndSendNothing) {
  const std::string long_text(5000, 'u');  // cannot fit the command buffer
  const Refusal refusals[] = {
      {"VoPv", {"save", "sport", "80"}, kPvSave},
      {"VoPv", {"restart"}, kPvGeneral},
      {"VoPv", {"ADD", "172.16.0.1"}, kPvGeneral},
      {"VoPv", {"add"}, kPvGeneral},
      {"VoPv", {"add", "172.16.0.256"}, kPvGeneral},
      {"VoPv", {"add", "172.16.0.1", "user", ""}, kPvGeneral},
      {"VoPv", {"--dport", "0"}, kPvGeneral},
      {"VoPv", {"--dport", "65536"}, kPvGeneral},
      {"VoPv", {"--dst", "localhost"}, kPvGeneral},
      {"VoPv", {"add", "172.16.0.1", "user", long_text}, "Usage: VoPv add TARGET [sport"},
      {"VoKel", {"del", "source", "1.2.3.4"}, kKelDel},
      {"VoKel", {"show", "source", "1.2.3.4"}, kKelShow},
      {"VoKel", {"add"}, "Usage: VoKel OPERATION"},
      {"VoKel",
       {"add", "accept", "source", "1.2.3.4", "source-mac", "00:11:22-33-44-55"},
       "Usage: VoKel OPERATION"},
      {"VoQuarantine",
       {"add", "source", "1.2.3.4", "protocol", "TCP", "sport", "80"},
       "Usage: VoQuarantine OPERATION"},
      {"VoQuarantine",
       {"del", "source", "1.2.3.4", "protocol", "tcp"},
       "Usage: VoQuarantine del source SRC_IP"},
      {"VoPc", {"add", "source", "192.168.0.1"}, "Usage: VoPc add [source-mac"},
      {"VoPc", {"clear", "source-mac", "00:00:00:00:00:01"}, "Usage: VoPc clear\r\n"},
      {"VoPc", {"del"}, "Usage: VoPc OPERATION"},
      {"VoPvroute",
       {"add", "172.16.0.1", "netmask", "255.255.255.0"},
       "Usage: VoPvroute add TARGET network NW"},
      {"VoPvroute", {"show", "dev"}, "Usage: VoPvroute OPERATION"},
  };
  RecordingServer server(ServerScript{}, "127.0.0.1", 8000);
  ASSERT_TRUE(server.ok());
  for (const Refusal& r : refusals) {
    std::string words;
    for (const std::string& word : r.words) words += word.substr(0, 20) + " ";
    Outcome outcome = RunProgram(r.program, r.words);
    EXPECT_EQ(outcome.status, 255) << r.program << " " << words;
    if (r.usage.starts_with("Usage:")) {
      std::string head = r.program + ": invalid option\r\n\r\n" + r.usage;
      EXPECT_EQ(outcome.out.substr(0, head.size()), head) << r.program << " " << words;
    } else {
      EXPECT_EQ(outcome.out, r.usage) << r.program << " " << words;
    }
  }
  EXPECT_EQ(server.connections(), 0);
}

// The exchange's real deadlines: 3 s for a line, 3 s of pause after a failed attempt.
TEST_F(ClientProgramsTest, ServiceThatStaysSilentIsLeftAfterThreeSecondsAndTriedAgain) {
  ServerScript script;
  script.silent_connections = 1;
  script.reply = "ok\r\n";
  RecordingServer server(script, "127.0.0.1", 8000);
  ASSERT_TRUE(server.ok());
  Outcome outcome = RunProgram("VoQuarantine", {"show"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, "I was not able to receive data.\nok\r\n");
  EXPECT_GE(outcome.elapsed.count(), 5900);
  EXPECT_LT(outcome.elapsed.count(), 8000);
  EXPECT_EQ(server.lines(), std::vector<std::string>{"quarantine show\r\n"});
}

TEST_F(ClientProgramsTest, NoServiceListeningFailsFourTimesAndStillEndsWell) {
  Outcome outcome = RunProgram("VoPvroute", {"show"});
  EXPECT_EQ(outcome.status, 0);
  std::string failed = "I failed in connection.\n";
  EXPECT_EQ(outcome.out, failed + failed + failed + failed);
  EXPECT_GE(outcome.elapsed.count(), 11900);
  EXPECT_LT(outcome.elapsed.count(), 14000);
}

}  // namespace
