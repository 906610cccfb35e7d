// The audit trail of the command port as an operator sees it: syslog lines, the JSON-lines
// file, logrotate's SIGHUP and /status.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "api_client.h"
#include "deadline.h"
#include "harness.h"
#include "netns.h"

namespace {

using json = nlohmann::json;

constexpr char kMarker[] = "Command from ";

uint16_t LocalPort(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
  return ntohs(sa.sin_port);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class CommandAuditTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ENTER_PRIVATE_NETWORK();
    ASSERT_TRUE(syslog_.Start());
  }
  void TearDown() override { EXPECT_EQ(service_.Stop(), 0) << service_.Output(); }

  // Starts the service with `audit` as its [AUDIT] section, clients from any address and the
  // status API on 9100.
  void Start(const std::string& audit) {
    ASSERT_TRUE(service_.WriteConfig("VoKelMng.ini",
                                     "[SERVICE]\nREMOTE=enable\n[STATUS]\nLISTEN=127.0.0.1:9100\n"
                                     "[AUDIT]\n" +
                                         audit + "\n"));
    ASSERT_TRUE(service_.Start()) << service_.error();
    // The API starts right after the command port.
    int64_t deadline = testsupport::NowMs() + 2000;
    while (!e2e::IsListening(9100) && testsupport::RemainingMs(deadline) > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  std::string WorkFile(const std::string& name) const { return service_.work_dir() + "/" + name; }

  // The audit lines of syslog so far, from "Command from" on.
  std::vector<std::string> AuditLines() {
    std::vector<std::string> lines;
    for (const std::string& m : syslog_.Messages()) {
      size_t at = m.find(kMarker);
      if (at == std::string::npos) continue;
      EXPECT_EQ(m.rfind("<29>", 0), 0u) << "not at notice: " << m;
      lines.push_back(m.substr(at));
    }
    return lines;
  }

  json Status() { return json::parse(apitest::Get("/status").body)["audit"]; }

  e2e::SyslogListener syslog_;
  e2e::ServiceProcess service_;
};

TEST_F(CommandAuditTest, EveryChangingLineGivesOneRecordInOrderWithItsClient) {
  Start("SYSLOG=Enable\nFILE=" + WorkFile("audit.jsonl"));
  e2e::CommandClient client;
  ASSERT_TRUE(client.Connect(8000, "127.0.0.5"));
  ASSERT_EQ(client.ReadReply(), "");
  const std::string peer = "127.0.0.5:" + std::to_string(LocalPort(client.fd()));

  struct Step {
    std::string line;
    std::string command;  // as recorded; empty: no record
    std::string outcome;
  };
  const std::vector<Step> steps = {
      {"kel add accept source 192.168.0.1", "kel add accept source 192.168.0.1", "accepted"},
      {"kel add nosuch", "kel add nosuch", "refused"},
      {"kel", "", ""},
      {"kel del accept source 192.168.0.1", "kel del accept source 192.168.0.1", "accepted"},
      {"kel save", "kel save", "refused"},
      {"pv add 127.0.0.2 user admin p s3cret", "pv add 127.0.0.2 user admin p ********",
       "accepted"},
      {"pv a 127.0.0.2 pass s3cret", "pv a 127.0.0.2 pass ********", "duplicate"},
      {"pv show", "", ""},
      {"pv sh", "", ""},
      {"pvroute add 127.0.0.9 network 10.0.0.0", "pvroute add 127.0.0.9 network 10.0.0.0",
       "TARGET is not registered."},
      {"pvroute add 127.0.0.2 network 10.0.0.0 netmask 255.0.0.0",
       "pvroute add 127.0.0.2 network 10.0.0.0 netmask 255.0.0.0", "accepted"},
      {"pvroute show", "", ""},
      {"pc add network 10.1.0.0 netmask 255.255.0.0", "pc add network 10.1.0.0 netmask 255.255.0.0",
       "accepted"},
      {"pc add network 10.1.0.0 netmask 255.255.0.0", "pc add network 10.1.0.0 netmask 255.255.0.0",
       "duplicate"},
      {"pc save", "pc save", "accepted"},
      {"quarantine add source 10.2.0.1 protocol tcp sport 80",
       "quarantine add source 10.2.0.1 protocol tcp sport 80", "accepted"},
      {"quarantine save", "quarantine save", "save error"},
      {"quarantine clear", "quarantine clear", "accepted"},
      {"pc load", "pc load", "accepted"},
      {"service set sport 8001", "service set sport 8001", "accepted"},
      {"service save", "service save", "accepted"},
      {"service", "", ""},
      {"help", "", ""},
      {"nosuch add", "", ""},
      {"pv del 127.0.0.2 pass s3cret", "pv del 127.0.0.2 pass ********", "accepted"},
  };
  // A folder where the file should be: the quarantine's save cannot replace it.
  std::filesystem::create_directory(WorkFile("quarantine.csv"));
  std::vector<std::string> expected_syslog;
  std::vector<Step> recorded;
  for (const Step& step : steps) {
    ASSERT_TRUE(client.Command(step.line).has_value()) << step.line;
    if (step.command.empty()) continue;
    expected_syslog.push_back(kMarker + peer + ": " + step.command + " (" + step.outcome + ").");
    recorded.push_back(step);
  }
  // The last record is out before its prompt: nothing later may follow.
  ASSERT_TRUE(syslog_.WaitFor(expected_syslog.back()));
  syslog_.WaitFor("no such line", 300);
  EXPECT_EQ(AuditLines(), expected_syslog);

  std::optional<std::string> file = service_.ReadWork("audit.jsonl");
  ASSERT_TRUE(file.has_value());
  std::vector<std::string> lines = Lines(*file);
  ASSERT_EQ(lines.size(), recorded.size()) << *file;
  for (size_t i = 0; i < lines.size(); ++i) {
    json record = json::parse(lines[i]);
    EXPECT_EQ(record.size(), 4u) << lines[i];  // no subject on the plain port
    EXPECT_EQ(record["peer"], peer);
    EXPECT_EQ(record["command"], recorded[i].command);
    EXPECT_EQ(record["outcome"], recorded[i].outcome);
    EXPECT_EQ(record["time"].get<std::string>().size(), 24u) << lines[i];
  }
  EXPECT_EQ(file->find("s3cret"), std::string::npos);
  for (const std::string& m : syslog_.Messages()) EXPECT_EQ(m.find("s3cret"), std::string::npos);

  EXPECT_EQ(Status(), json({{"syslog", true},
                            {"file", WorkFile("audit.jsonl")},
                            {"file_ok", true},
                            {"records", recorded.size()},
                            {"failures", 0}}));
}

TEST_F(CommandAuditTest, SighupStartsANewFileAtThePath) {
  Start("FILE=" + WorkFile("audit.jsonl"));
  e2e::CommandClient client;
  ASSERT_TRUE(client.Connect());
  ASSERT_EQ(client.ReadReply(), "");
  ASSERT_EQ(client.Command("pc add network 10.1.0.0"), "");
  std::filesystem::rename(WorkFile("audit.jsonl"), WorkFile("audit.jsonl.1"));
  ASSERT_EQ(kill(service_.pid(), SIGHUP), 0);
  int64_t deadline = testsupport::NowMs() + 5000;
  while (!std::filesystem::exists(WorkFile("audit.jsonl"))) {
    ASSERT_GT(testsupport::RemainingMs(deadline), 0) << "no new file after SIGHUP";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_EQ(client.Command("pc del network 10.1.0.0"), "");
  std::vector<std::string> old_lines = Lines(service_.ReadWork("audit.jsonl.1").value_or(""));
  std::vector<std::string> new_lines = Lines(service_.ReadWork("audit.jsonl").value_or(""));
  ASSERT_EQ(old_lines.size(), 1u);
  ASSERT_EQ(new_lines.size(), 1u);
  EXPECT_EQ(json::parse(old_lines[0])["command"], "pc add network 10.1.0.0");
  EXPECT_EQ(json::parse(new_lines[0])["command"], "pc del network 10.1.0.0");
  // Without SYSLOG the records stay out of the log.
  EXPECT_EQ(syslog_.Count(kMarker), 0);
}

TEST_F(CommandAuditTest, AFileThatCannotBeOpenedIsReportedOnceAndHoldsNoCommandUp) {
  const std::string path = WorkFile("missing/audit.jsonl");
  Start("FILE=" + path);
  const std::string error =
      "I failed in opening of the audit file " + path + ": No such file or directory.";
  ASSERT_TRUE(syslog_.WaitFor(error));
  e2e::CommandClient client;
  ASSERT_TRUE(client.Connect());
  ASSERT_EQ(client.ReadReply(), "");
  EXPECT_EQ(client.Command("pc add network 10.1.0.0"), "");
  EXPECT_EQ(client.Command("pc add network 10.1.0.0"), "duplication of data\r\n");
  // Neither a SIGHUP nor a later record reports the same failure again.
  ASSERT_EQ(kill(service_.pid(), SIGHUP), 0);
  EXPECT_EQ(client.Command("pc del network 10.1.0.0"), "");
  EXPECT_EQ(Status(), json({{"syslog", false},
                            {"file", path},
                            {"file_ok", false},
                            {"records", 3},
                            {"failures", 3}}));
  EXPECT_EQ(syslog_.Count("audit file"), 1);
}

}  // namespace
