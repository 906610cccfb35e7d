#include "common/socket_io.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/syslog.h"
#include "log_capture.h"

namespace {

using testsupport::Logs;

TEST(WsaErrorNameTest, TableHoldsTheWinsockConstants) {
  EXPECT_STREQ(WsaErrorName(10054), "WSAECONNRESET");
  EXPECT_STREQ(WsaErrorName(10035), "WSAEWOULDBLOCK");
  EXPECT_STREQ(WsaErrorName(10004), "WSAEINTR");
  EXPECT_STREQ(WsaErrorName(10060), "WSAETIMEDOUT");
  EXPECT_STREQ(WsaErrorName(10093), "WSANOTINITIALISED");
  EXPECT_STREQ(WsaErrorName(10112), "WSAEREFUSED");
  EXPECT_STREQ(WsaErrorName(10111), "WSA_E_CANCELLED");
  EXPECT_STREQ(WsaErrorName(11001), "WSAHOST_NOT_FOUND");
  EXPECT_STREQ(WsaErrorName(11004), "WSANO_DATA");
  EXPECT_EQ(WsaErrorName(10046), nullptr);  // WSAEPFNOSUPPORT is not in the table
  EXPECT_EQ(WsaErrorName(0), nullptr);

  std::set<std::string> names;
  for (int code = 10000; code <= 11100; ++code) {
    if (const char* name = WsaErrorName(code)) names.insert(name);
  }
  EXPECT_EQ(names.size(), 61u);

  char buf[32];
  EXPECT_STREQ(WsaErrorNameForLog(10046, buf, sizeof buf), "UNKNOWN(10046)");
  EXPECT_STREQ(WsaErrorNameForLog(10054, buf, sizeof buf), "WSAECONNRESET");
}

class SocketIoTest : public ::testing::Test {
 protected:
  void SetUp() override { Logs().Clear(); }

  // Checks that exactly one line was logged since the last check: at err, with this text.
  void ExpectOneError(const std::string& text) {
    std::vector<testsupport::LogLine> lines = Logs().Lines();
    ASSERT_EQ(lines.size(), 1u) << "one line, not " << lines.size();
    EXPECT_EQ(lines[0].text, text);
    EXPECT_EQ(lines[0].severity, kLogErr);
    Logs().Clear();
  }

  // A connected stream pair whose first end does not block.
  void MakePair(int fds[2]) {
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    ASSERT_EQ(fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK), 0);
  }
};

TEST_F(SocketIoTest, SendAllRetriesWouldBlockUntilEveryByteIsDelivered) {
  int fds[2];
  MakePair(fds);
  std::vector<char> data(8 << 20);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 251);
  std::vector<char> received;
  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let the sender fill up
    char buf[65536];
    ssize_t n;
    while ((n = read(fds[1], buf, sizeof buf)) > 0) received.insert(received.end(), buf, buf + n);
  });
  EXPECT_EQ(SocketSendAll(fds[0], data.data(), data.size()), static_cast<int>(data.size()));
  close(fds[0]);
  reader.join();
  close(fds[1]);
  EXPECT_TRUE(received == data);
  EXPECT_EQ(Logs().Lines().size(), 0u) << "would-block must not be logged";
}

// The stall limit, shortened; the next case keeps the real 30 s.
TEST_F(SocketIoTest, SendAllGivesUpOnAPeerThatStopsReadingWithoutSpinning) {
  int fds[2];
  MakePair(fds);
  std::vector<char> data(8 << 20, 'x');
  std::clock_t cpu_before = std::clock();
  auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(SocketSendAll(fds[0], data.data(), data.size(), 300), -1);
  auto waited = std::chrono::steady_clock::now() - before;
  double cpu_seconds = static_cast<double>(std::clock() - cpu_before) / CLOCKS_PER_SEC;
  EXPECT_GE(waited, std::chrono::milliseconds(290));
  EXPECT_LT(waited, std::chrono::seconds(3));
  EXPECT_LT(cpu_seconds, 1.0) << "the stalled send must wait, not spin";
  ExpectOneError("An error occurred. A cause is WSAETIMEDOUT.");
  close(fds[0]);
  close(fds[1]);
}

TEST_F(SocketIoTest, SendAllGivesUpOnAPeerThatNeverReads) {
  int fds[2];
  MakePair(fds);
  std::vector<char> data(8 << 20, 'x');
  auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(SocketSendAll(fds[0], data.data(), data.size()), -1);
  auto waited = std::chrono::steady_clock::now() - before;
  EXPECT_GE(waited, std::chrono::seconds(29));
  EXPECT_LT(waited, std::chrono::seconds(40));
  ExpectOneError("An error occurred. A cause is WSAETIMEDOUT.");
  close(fds[0]);
  close(fds[1]);
}

// A batch gathers what SocketSendAll would have written to its own socket, in order, and
// nothing of another socket's; past its limit it writes what it holds; once it ends, sends go
// straight out again.
TEST_F(SocketIoTest, ABatchGathersItsSocketsSendsInOrderAndWritesPastItsLimit) {
  int a[2];
  int b[2];
  MakePair(a);
  MakePair(b);
  char buf[256];
  {
    SocketSendBatch batch(a[0]);
    EXPECT_EQ(SocketSendBatch::For(a[0]), &batch);
    EXPECT_EQ(SocketSendBatch::For(b[0]), nullptr);
    EXPECT_EQ(SocketSendAll(a[0], "reply\r\n", 7), 7);
    EXPECT_EQ(SocketSendAll(b[0], "other", 5), 5);  // not this batch's socket: written
    EXPECT_EQ(SocketSendAll(a[0], "$ ", 2), 2);
    EXPECT_EQ(recv(a[1], buf, sizeof buf, MSG_DONTWAIT), -1);  // nothing written yet
    EXPECT_EQ(recv(b[1], buf, sizeof buf, MSG_DONTWAIT), 5);
    EXPECT_EQ(batch.Take(), "reply\r\n$ ");
    EXPECT_EQ(batch.Take(), "");

    std::string big(SocketSendBatch::kLimit, 'x');
    EXPECT_EQ(SocketSendAll(a[0], "head", 4), 4);
    EXPECT_EQ(SocketSendAll(a[0], big.data(), big.size()), static_cast<int>(big.size()));
    EXPECT_EQ(batch.Take(), "");  // written at once: the batch holds nothing more
    std::string received;
    while (received.size() < big.size() + 4) {
      ssize_t n = recv(a[1], buf, sizeof buf, MSG_DONTWAIT);
      ASSERT_GT(n, 0);
      received.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(received, "head" + big);
  }
  EXPECT_EQ(SocketSendBatch::For(a[0]), nullptr);
  EXPECT_EQ(SocketSendAll(a[0], "later", 5), 5);
  EXPECT_EQ(recv(a[1], buf, sizeof buf, MSG_DONTWAIT), 5);
  EXPECT_TRUE(Logs().Lines().empty());
  for (int fd : {a[0], a[1], b[0], b[1]}) close(fd);
}

TEST_F(SocketIoTest, SendToAClosedPeerFailsAndLogs) {
  int fds[2];
  MakePair(fds);
  close(fds[1]);
  EXPECT_EQ(SocketSendAll(fds[0], "abc", 3), -1);
  ExpectOneError("An error occurred. A cause is WSAESHUTDOWN.");
  close(fds[0]);
}

TEST_F(SocketIoTest, ReceiveAndPendingBytes) {
  int fds[2];
  MakePair(fds);
  ASSERT_EQ(write(fds[1], "hello", 5), 5);
  int count = -1;
  EXPECT_EQ(SocketPendingBytes(fds[0], &count), 0);
  EXPECT_EQ(count, 5);
  char buf[16];
  EXPECT_EQ(SocketReceive(fds[0], buf, 3), 3);
  EXPECT_EQ(std::string(buf, 3), "hel");
  EXPECT_EQ(SocketReceive(fds[0], buf, sizeof buf), 2);
  close(fds[1]);
  EXPECT_EQ(SocketReceive(fds[0], buf, sizeof buf), 0);  // the peer closed
  EXPECT_EQ(Logs().Lines().size(), 0u) << "a closed peer is not an error";

  close(fds[0]);
  EXPECT_EQ(SocketPendingBytes(fds[0], &count), -1);
  ExpectOneError("An error occurred. A cause is WSAEBADF.");
}

TEST_F(SocketIoTest, ReceiveOnAResetConnectionLogsTheCause) {
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = inet_addr("127.0.0.1");
  socklen_t len = sizeof sa;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len), 0);
  int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  int server = accept(listener, nullptr, nullptr);
  ASSERT_GE(server, 0);
  linger abort_close = {1, 0};
  setsockopt(server, SOL_SOCKET, SO_LINGER, &abort_close, sizeof abort_close);
  close(server);  // sends a reset

  char buf[16];
  EXPECT_EQ(SocketReceive(client, buf, sizeof buf), -1);
  ExpectOneError("An error occurred. A cause is WSAECONNRESET.");
  close(client);
  close(listener);
}

}  // namespace
