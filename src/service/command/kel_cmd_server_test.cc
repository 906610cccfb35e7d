#include "service/command/kel_cmd_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include "netns.h"
#include "platform/message_queue.h"
#include "service/base/command_handler.h"
#include "service/base/messages.h"
#include "service/command/service_settings.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t ElapsedMs(Clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

int ConnectLocal(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int i = 0; i < 100; ++i) {
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) return fd;
    usleep(20 * 1000);
  }
  close(fd);
  return -1;
}

// Reads until the text ends with the prompt; what came, or "" on time-out.
std::string ReadToPrompt(int fd) {
  std::string text;
  while (text.size() < 2 || text.compare(text.size() - 2, 2, "$ ") != 0) {
    struct pollfd p = {fd, POLLIN, 0};
    char buf[512];
    if (poll(&p, 1, 3000) <= 0) return "";
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return "";
    text.append(buf, static_cast<size_t>(n));
  }
  return text;
}

// The next message other than the ones a server posts about itself; 0 when none in time.
platform::Message NextRelayed(int timeout_ms) {
  platform::Message m;
  auto start = Clock::now();
  while (platform::GetMessageFor(&m, timeout_ms - static_cast<int>(ElapsedMs(start))) == 1) {
    if (m.message == Msg().protocolRecv) return m;
    if (ElapsedMs(start) >= timeout_ms) break;
  }
  return platform::Message();
}

class KelCmdServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ENTER_PRIVATE_NETWORK();
    platform::AttachMessageQueue();
    SetServiceSettings(ServiceSettings());
    server_ = std::make_unique<CKelCmdServer>();
    server_->SaveThreadID(platform::CurrentThreadId());
    ASSERT_TRUE(server_->Start(8000));
  }
  void TearDown() override {
    server_.reset();
    platform::DetachMessageQueue();
  }
  std::unique_ptr<CKelCmdServer> server_;
};

TEST_F(KelCmdServerTest, ChangedSettingsAreRelayedWithTheirFamily) {
  int fd = ConnectLocal(8000);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ReadToPrompt(fd), "$ ");
  ASSERT_GT(send(fd, "service set sport 9000\n", 23, 0), 0);
  platform::Message m = NextRelayed(3000);
  EXPECT_EQ(m.message, Msg().protocolRecv);
  EXPECT_EQ(m.wParam, static_cast<uint32_t>(CommandFamily::kService));
  EXPECT_EQ(m.lParam, static_cast<uint32_t>(kResultAdd));
  EXPECT_EQ(ReadToPrompt(fd), "$ ");
  // Results of 0 are not relayed; the clear that follows is.
  ASSERT_GT(send(fd, "service\nhelp\nservice clear\n", 27, 0), 0);
  m = NextRelayed(3000);
  EXPECT_EQ(m.wParam, static_cast<uint32_t>(CommandFamily::kService));
  EXPECT_EQ(m.lParam, static_cast<uint32_t>(kResultClear));
  close(fd);

  server_.reset();
  bool exit_seen = false;
  while (platform::GetMessageFor(&m, 0) == 1) exit_seen |= m.message == Msg().serverExit;
  EXPECT_TRUE(exit_seen) << "the socket thread reports its end";
}

TEST_F(KelCmdServerTest, StartNeedsAPort) {
  CKelCmdServer unused;
  EXPECT_FALSE(unused.Start(0));
}

// Fills `fd`'s way to the server with `unit` repeated until the server stops taking it.
size_t FloodWithoutReading(int fd, const std::string& unit) {
  int small = 4096;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  fcntl(fd, F_SETFL, O_NONBLOCK);
  std::string burst;
  while (burst.size() < 65536) burst += unit;
  size_t total = 0;
  int idle = 0;
  auto start = Clock::now();
  while (idle < 25 && ElapsedMs(start) < 5000) {
    ssize_t n = send(fd, burst.data(), burst.size(), MSG_NOSIGNAL);
    idle = n > 0 ? 0 : idle + 1;
    if (n > 0) total += static_cast<size_t>(n);
    if (n <= 0) usleep(20 * 1000);
  }
  return total;
}

// One connection is blocked in a command's reply, another in writing its queued prompts;
// neither peer reads. Stopping the server must not wait for them.
TEST_F(KelCmdServerTest, StoppingDoesNotWaitForPeersThatDoNotRead) {
  int replies = ConnectLocal(8000);
  int prompts = ConnectLocal(8000);
  ASSERT_GE(replies, 0);
  ASSERT_GE(prompts, 0);
  ASSERT_EQ(ReadToPrompt(replies), "$ ");
  ASSERT_EQ(ReadToPrompt(prompts), "$ ");
  EXPECT_GT(FloodWithoutReading(replies, "help\n"), 0u);
  EXPECT_GT(FloodWithoutReading(prompts, "\n"), 0u);
  auto start = Clock::now();
  server_.reset();
  EXPECT_LT(ElapsedMs(start), 2000);
  close(replies);
  close(prompts);
}

}  // namespace
