// The exchange routine in-process, with short deadlines and pauses so that every failure path
// runs in well under a second per attempt.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "clients/client_exchange.h"
#include "clients/recording_server.h"
#include "netns.h"

namespace {

using clients_test::RecordingServer;
using clients_test::ServerScript;
using Clock = std::chrono::steady_clock;

// Collects what the exchange prints.
class Capture {
 public:
  Capture() : out_(open_memstream(&buffer_, &size_)) {}
  ~Capture() {
    std::fclose(out_);
    std::free(buffer_);
  }
  FILE* out() { return out_; }
  std::string text() {
    std::fflush(out_);
    return std::string(buffer_, size_);
  }

 private:
  char* buffer_ = nullptr;
  size_t size_ = 0;
  FILE* out_;
};

class ClientExchangeTest : public ::testing::Test {
 protected:
  clients::ExchangeSettings Settings(int attempts, uint16_t port) {
    clients::ExchangeSettings settings;
    settings.address = inet_addr("127.0.0.1");
    settings.port = port;
    settings.command = "pv show";
    settings.attempts = attempts;
    settings.wait_ms = 200;
    settings.pause_ms = 20;
    settings.out = capture_.out();
    return settings;
  }

  Capture capture_;
};

TEST_F(ClientExchangeTest, PrintsEveryReplyLineAndDropsWhatPrecedesThePrompt) {
  std::string long_line = std::string(9000, 'x') + "\r\n";
  ServerScript script;
  script.banner = "welcome\r\nto the port\r\n";
  script.reply = "first\r\n" + long_line + "\r\nlast line\r\n";
  RecordingServer server(script);
  ASSERT_TRUE(server.ok());

  EXPECT_TRUE(clients::RunExchange(Settings(4, server.port())));
  EXPECT_EQ(capture_.text(), script.reply);
  EXPECT_EQ(server.lines(), std::vector<std::string>{"pv show\r\n"});
  EXPECT_EQ(server.connections(), 1);
}

TEST_F(ClientExchangeTest, ServiceThatNeverPromptsEndsEveryAttemptAtTheDeadline) {
  ServerScript script;
  script.silent_connections = 100;
  RecordingServer server(script);
  ASSERT_TRUE(server.ok());

  auto start = Clock::now();
  EXPECT_FALSE(clients::RunExchange(Settings(4, server.port())));
  auto elapsed = Clock::now() - start;

  std::string timeout = "I was not able to receive data.\n";
  EXPECT_EQ(capture_.text(), timeout + timeout + timeout + timeout);
  EXPECT_EQ(server.connections(), 4);
  EXPECT_TRUE(server.lines().empty());
  EXPECT_GE(elapsed, std::chrono::milliseconds(4 * 200));
  EXPECT_LT(elapsed, std::chrono::milliseconds(3000));
}

TEST_F(ClientExchangeTest, ConnectionCutBeforeTheReplyIsRetriedOnAFreshConnection) {
  ServerScript script;
  script.cut_connections = 1;
  script.reply = "ok\r\n";
  RecordingServer server(script);
  ASSERT_TRUE(server.ok());

  EXPECT_TRUE(clients::RunExchange(Settings(4, server.port())));
  EXPECT_EQ(capture_.text(), "It was cut off.\nok\r\n");
  EXPECT_EQ(server.lines(), (std::vector<std::string>{"pv show\r\n", "pv show\r\n"}));
}

// Bytes that keep coming without a line end must not stretch the line's deadline: once it has
// passed, the line has timed out even though the socket is readable again.
TEST_F(ClientExchangeTest, LineThatOutlastsItsDeadlineTimesOut) {
  ServerScript script;
  script.reply = std::string(30, 'z');
  script.trickle_ms = 40;  // about 1.2 s of bytes, never a line end
  RecordingServer server(script);
  ASSERT_TRUE(server.ok());

  auto start = Clock::now();
  EXPECT_FALSE(clients::RunExchange(Settings(1, server.port())));
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(800));
  EXPECT_EQ(capture_.text(), "I was not able to receive data.\n");
}

}  // namespace
