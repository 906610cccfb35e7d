// A sender in a retry pause that an erase frees. It used to sleep the pause out, so a router
// that came back and got that sender waited up to 30 s for its resets.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "log_capture.h"
#include "netns.h"
#include "service/transport/http_client_thread.h"

namespace {

uint32_t Address(const char* text) { return inet_addr(text); }

CHttpData* Request(const char* address, uint16_t port) {
  auto* request = new CHttpData();
  request->address = Address(address);
  request->port = port;
  request->header = "POST /quarantine/qacl.cgi HTTP/1.1\r\nContent-Length: 2\r\n\r\n";
  request->body = "ab";
  return request;
}

TEST(HttpSenderPauseTest, AnEraseEndsTheRetryPauseAtOnce) {
  ENTER_PRIVATE_NETWORK();
  testsupport::Logs().Clear();
  HttpSenderTiming timing;
  timing.connectTimeoutMs = 500;
  timing.retryPauseMs[0] = 8000;
  CKelHttpClientThread sender(timing);
  ASSERT_EQ(sender.CreateHttpThread(0), 0);

  // Nothing listens on 127.0.0.1:881: the connect is refused and the sender pauses 8 s.
  ASSERT_TRUE(sender.BindAndQueue(Request("127.0.0.1", 881)));
  ASSERT_TRUE(testsupport::Logs().WaitFor("The remainder re-try number", 3000));
  uint16_t port = 0;
  ASSERT_TRUE(sender.EraseIfBoundTo(Address("127.0.0.1"), &port));
  EXPECT_EQ(port, 881);

  // The router is back on 880 and gets the same sender: its request goes out at once.
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(880);
  sa.sin_addr.s_addr = Address("127.0.0.1");
  int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  ASSERT_EQ(bind(listener, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(sender.BindAndQueue(Request("127.0.0.1", 880)));
  struct pollfd p = {listener, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 10000), 1);
  auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - start)
                    .count();
  EXPECT_LT(waited, 1500) << "the sender slept its pause out";
  int peer = accept(listener, nullptr, nullptr);
  const char answer[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
  char buffer[512];
  ASSERT_GT(recv(peer, buffer, sizeof buffer, 0), 0);
  send(peer, answer, sizeof answer - 1, MSG_NOSIGNAL);
  EXPECT_TRUE(testsupport::Logs().WaitFor("ACL setting was completed in PV(127.0.0.1:880).", 3000));
  close(peer);
  close(listener);
  sender.EndHttpThread();
}

// A pause goes on when the erase was for another router, or when only new work arrived.
TEST(HttpSenderPauseTest, APauseEndsOnlyForItsOwnRouter) {
  ENTER_PRIVATE_NETWORK();
  testsupport::Logs().Clear();
  HttpSenderTiming timing;
  timing.connectTimeoutMs = 500;
  timing.retryPauseMs[0] = 1500;
  CKelHttpClientThread sender(timing);
  ASSERT_EQ(sender.CreateHttpThread(0), 0);
  ASSERT_TRUE(sender.BindAndQueue(Request("127.0.0.1", 881)));
  ASSERT_TRUE(testsupport::Logs().WaitFor("The remainder re-try number", 3000));
  auto start = std::chrono::steady_clock::now();
  uint16_t port = 0;
  EXPECT_FALSE(sender.EraseIfBoundTo(Address("127.0.0.2"), &port));
  ASSERT_TRUE(sender.QueueIfBoundTo(Request("127.0.0.1", 881)));
  // The second attempt comes after the pause, not at once.
  ASSERT_TRUE(testsupport::Logs().WaitForCount("Connection error to PV(127.0.0.1:881).", 2, 4000));
  auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - start)
                    .count();
  EXPECT_GT(waited, 1000);
  sender.EndHttpThread();
}

}  // namespace
