// The command server: ten slots (freed as soon as a client has gone), the REMOTE rule, a port
// already in use, and stopping while peers misbehave.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "netns.h"

namespace {

const char kHelp[] =
    "Usage: quarantine\r\n       pc\r\n       pv\r\n       pvroute\r\n       kel\r\n"
    "       service\r\n";

using Clock = std::chrono::steady_clock;

int64_t ElapsedMs(Clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

// A client that connects and gets its prompt within a few seconds.
bool ServedWithin(e2e::CommandClient& client, int timeout_ms, const std::string& source = "") {
  auto start = Clock::now();
  while (ElapsedMs(start) < timeout_ms) {
    if (client.Connect(8000, source) && client.ReadReply(1000) == "") return true;
    usleep(50 * 1000);
  }
  return false;
}

class CommandServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ENTER_PRIVATE_NETWORK();
    ASSERT_TRUE(syslog_.Start());
  }

  e2e::SyslogListener syslog_;
  e2e::ServiceProcess service_;
};

TEST_F(CommandServerTest, TenClientsAreServedTheEleventhIsClosed) {
  ASSERT_TRUE(service_.Start()) << service_.error();
  std::vector<std::unique_ptr<e2e::CommandClient>> clients;
  for (int i = 0; i < 10; ++i) {
    clients.push_back(std::make_unique<e2e::CommandClient>());
    ASSERT_TRUE(clients.back()->Connect());
    ASSERT_EQ(clients.back()->ReadReply(), "") << "client " << i;
  }
  e2e::CommandClient eleventh;
  ASSERT_TRUE(eleventh.Connect());
  std::string received = "x";
  received.clear();
  EXPECT_TRUE(eleventh.WaitClosed(3000, &received));
  EXPECT_EQ(received, "");
  for (auto& c : clients) EXPECT_EQ(c->Command("help"), kHelp);

  ASSERT_TRUE(clients[4]->Send("exit\n"));
  EXPECT_TRUE(clients[4]->WaitClosed());
  e2e::CommandClient replacement;
  EXPECT_TRUE(ServedWithin(replacement, 3000));
  EXPECT_EQ(replacement.Command("help"), kHelp);
  EXPECT_EQ(service_.Stop(), 0);
}

// Nine clients connect, run a command and close as fast as they can: a slot whose client has
// gone is free for the next connection at once, so every connection gets its greeting.
TEST_F(CommandServerTest, ClientsThatReconnectAtOnceAreAlwaysGreeted) {
  ASSERT_TRUE(service_.Start()) << service_.error();
  constexpr int kClients = 9;
  constexpr int64_t kRunMs = 40000;
  std::atomic<int> connections{0}, refused{0}, failed{0};
  auto start = Clock::now();
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&] {
      while (ElapsedMs(start) < kRunMs) {
        e2e::CommandClient client;
        if (!client.Connect()) {
          ++failed;
          return;
        }
        ++connections;
        if (client.ReadReply() != "") {
          ++refused;
          continue;
        }
        if (client.Command("pv show") != "PV\t\tPORT\tID\tPW\r\n") ++failed;
      }
    });
  }
  for (auto& c : clients) c.join();
  EXPECT_EQ(refused.load(), 0) << "of " << connections.load() << " connections";
  EXPECT_EQ(failed.load(), 0);
  EXPECT_GT(connections.load(), 1000);
  EXPECT_EQ(service_.Stop(), 0);
}

TEST_F(CommandServerTest, RemoteRuleIsReadForEveryConnection) {
  ASSERT_TRUE(service_.Start()) << service_.error();
  e2e::CommandClient remote;
  std::string received;
  // REMOTE absent: only 127.0.0.1 is admitted.
  ASSERT_TRUE(remote.Connect(8000, "127.0.0.2"));
  EXPECT_TRUE(remote.WaitClosed(3000, &received));
  EXPECT_EQ(received, "");
  e2e::CommandClient local;
  EXPECT_TRUE(ServedWithin(local, 3000, "127.0.0.1"));

  ASSERT_TRUE(service_.WriteConfig("VoKelMng.ini", "[SERVICE]\nREMOTE=Enable\n"));
  EXPECT_TRUE(ServedWithin(remote, 3000, "127.0.0.2"));
  EXPECT_EQ(remote.Command("help"), kHelp);

  ASSERT_TRUE(service_.WriteConfig("VoKelMng.ini", "[SERVICE]\nREMOTE=disable\n"));
  e2e::CommandClient refused;
  ASSERT_TRUE(refused.Connect(8000, "127.0.0.2"));
  EXPECT_TRUE(refused.WaitClosed(3000, &received));
  EXPECT_EQ(received, "");
  // A connection admitted before the edit keeps working.
  EXPECT_EQ(remote.Command("help"), kHelp);
  EXPECT_EQ(service_.Stop(), 0);
}

TEST_F(CommandServerTest, PortInUseIsLoggedAndTheProgramKeepsRunning) {
  int holder = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(holder, 0);
  struct sockaddr_in at = {};
  at.sin_family = AF_INET;
  at.sin_port = htons(8000);
  at.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  ASSERT_EQ(listen(holder, 4), 0);

  ASSERT_TRUE(service_.Start({}, 0)) << service_.error();
  EXPECT_TRUE(syslog_.WaitFor("I failed in bind for command processing."));
  usleep(300 * 1000);
  EXPECT_TRUE(service_.Running());
  EXPECT_EQ(service_.Stop(), 0);
  close(holder);
}

// Peers that send nothing, leave a line half-sent, or flood commands without reading any
// reply must not hold the program when it is told to stop.
TEST_F(CommandServerTest, StopIsNotHeldUpByPeers) {
  ASSERT_TRUE(service_.Start()) << service_.error();
  e2e::CommandClient silent, half, flood;
  ASSERT_TRUE(ServedWithin(silent, 3000));
  ASSERT_TRUE(ServedWithin(half, 3000));
  ASSERT_TRUE(half.Send("service set sp"));
  ASSERT_TRUE(ServedWithin(flood, 3000));
  int small = 4096;
  setsockopt(flood.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  fcntl(flood.fd(), F_SETFL, O_NONBLOCK);
  std::string burst;
  for (int i = 0; i < 1000; ++i) burst += "help\n";
  size_t total = 0;
  int idle = 0;
  auto start = Clock::now();
  // Until the service can no longer write its replies and stops reading.
  while (idle < 25 && ElapsedMs(start) < 5000) {
    ssize_t n = send(flood.fd(), burst.data(), burst.size(), MSG_NOSIGNAL);
    idle = n > 0 ? 0 : idle + 1;
    if (n > 0) total += static_cast<size_t>(n);
    if (n <= 0) usleep(20 * 1000);
  }
  ASSERT_GT(total, 100000u);
  auto stop_start = Clock::now();
  EXPECT_EQ(service_.Stop(5000), 0);
  EXPECT_LT(ElapsedMs(stop_start), 3000);
}

// Replies are written in several small pieces; none may wait for the peer's acknowledgement.
TEST_F(CommandServerTest, RepliesDoNotStallOnSmallWrites) {
  ASSERT_TRUE(service_.Start()) << service_.error();
  e2e::CommandClient client;
  ASSERT_TRUE(ServedWithin(client, 3000));
  std::vector<int64_t> times;
  for (int i = 0; i < 60; ++i) {
    auto start = Clock::now();
    ASSERT_EQ(client.Command("service"), "PORT\r\n8000\r\n");
    times.push_back(ElapsedMs(start));
  }
  std::sort(times.begin(), times.end());
  EXPECT_LT(times[times.size() / 2], 20) << "median round trip in ms";
  EXPECT_EQ(service_.Stop(), 0);
}

}  // namespace
