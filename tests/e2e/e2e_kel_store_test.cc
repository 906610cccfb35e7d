// The access entry store of the real program: killed with SIGKILL at random moments during a
// stream of kel add and kel del, started again, it must bring back every change whose prompt
// came, and nothing deleted whose prompt came.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "harness.h"
#include "netns.h"

namespace {

const char kStoreOn[] = "[KEL]\nSTORE=Enable\n";

// The "TARGET SOURCE" of every line of `kel show`.
std::set<std::string> Shown(e2e::CommandClient& client) {
  std::set<std::string> entries;
  std::optional<std::string> reply = client.Command("kel show");
  EXPECT_TRUE(reply.has_value());
  std::string text = reply.value_or("");
  size_t start = text.find("\r\n");  // after the header line
  while (start != std::string::npos && start + 2 < text.size()) {
    start += 2;
    size_t end = text.find("\r\n", start);
    std::string line = text.substr(start, end - start);
    size_t tab = line.find('\t');
    size_t next = line.find('\t', tab + 1);
    if (tab != std::string::npos) {
      entries.insert(line.substr(0, tab) + " " + line.substr(tab + 1, next - tab - 1));
    }
    start = end;
  }
  return entries;
}

TEST(KelStoreE2eTest, KilledAtRandomMomentsItBringsBackEveryAcknowledgedChange) {
  ENTER_PRIVATE_NETWORK();
  e2e::ServiceProcess service;
  ASSERT_TRUE(service.WriteConfig("VoKelMng.ini", kStoreOn));
  std::mt19937 rng(1208);
  std::set<std::string> acknowledged;  // "accept 10.1.0.N" as the last prompt left them
  int changes = 0;
  for (int round = 0; round < 8; ++round) {
    ASSERT_TRUE(service.Start()) << service.error();
    e2e::CommandClient client;
    ASSERT_TRUE(client.Connect());
    ASSERT_EQ(client.ReadReply(), "");
    // Before anything new: exactly what was acknowledged, give or take the one change whose
    // prompt the kill took away.
    std::set<std::string> shown = Shown(client);
    EXPECT_EQ(shown, acknowledged) << "round " << round;
    acknowledged = shown;

    const pid_t pid = service.pid();
    const int delayMs = 30 + static_cast<int>(rng() % 400);
    std::thread killer([pid, delayMs] {
      std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
      kill(pid, SIGKILL);
    });
    std::string inFlight;
    for (int i = 0; i < 5000; ++i) {
      std::string entry = "accept 10.1.0." + std::to_string(1 + rng() % 40);
      bool held = acknowledged.count(entry) != 0;
      std::string op = held && rng() % 4 != 0 ? "del" : "add";
      std::string target = entry.substr(0, entry.find(' '));
      std::string source = entry.substr(entry.find(' ') + 1);
      std::optional<std::string> reply =
          client.Command("kel " + op + " " + target + " source " + source, 3000);
      if (!reply.has_value()) {
        inFlight = op + " " + entry;
        break;
      }
      EXPECT_TRUE(*reply == "" || *reply == "duplication of data\r\n") << *reply;
      if (op == "add") {
        acknowledged.insert(entry);
      } else {
        acknowledged.erase(entry);
      }
      ++changes;
    }
    killer.join();
    for (int waited = 0; service.Running() && waited < 5000; waited += 10) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_FALSE(service.Running());
    // The change without a prompt may or may not have reached the disk: both are right.
    if (!inFlight.empty()) {
      ASSERT_TRUE(service.Start()) << service.error();
      e2e::CommandClient again;
      ASSERT_TRUE(again.Connect());
      ASSERT_EQ(again.ReadReply(), "");
      std::set<std::string> back = Shown(again);
      std::set<std::string> applied = acknowledged;
      std::string entry = inFlight.substr(4);
      if (inFlight.rfind("add", 0) == 0) {
        applied.insert(entry);
      } else {
        applied.erase(entry);
      }
      EXPECT_TRUE(back == acknowledged || back == applied) << "after " << inFlight;
      acknowledged = back;
      again.Close();
      EXPECT_EQ(service.Stop(), 0);
    }
  }
  EXPECT_GT(changes, 100);  // the kills fell in the middle of real work
}

}  // namespace
