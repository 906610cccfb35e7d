#include "platform/socket_event.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>

#include <string>

#include "platform/clock.h"

namespace platform {
namespace {

const uint32_t kLoopback = InetAddr("127.0.0.1");

// CPU time the calling thread spends in a WaitAny on `ev` that is expected to time out.
int64_t CpuMsOfIdleWait(SocketEvent& ev, int timeout_ms) {
  struct timespec a, b;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &a);
  EXPECT_EQ(WaitAny({&ev}, timeout_ms), kWaitTimeout);
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &b);
  return (b.tv_sec - a.tv_sec) * 1000 + (b.tv_nsec - a.tv_nsec) / 1000000;
}

class SocketEventTest : public ::testing::Test {
 protected:
  void SetUp() override {
    listener_ = SocketTcp();
    ASSERT_NE(listener_, kInvalidSocket);
    ASSERT_EQ(SocketBind(listener_, kLoopback, 0), 0);
    ASSERT_EQ(SocketListen(listener_), 0);
    struct sockaddr_in sa;
    socklen_t len = sizeof sa;
    ASSERT_EQ(getsockname(listener_, reinterpret_cast<sockaddr*>(&sa), &len), 0);
    port_ = ntohs(sa.sin_port);
  }
  void TearDown() override {
    for (Socket s : {client_, server_, listener_}) {
      if (s != kInvalidSocket) SocketClose(s);
    }
  }
  // A connected pair: client_ (connected with a blocking connect) and server_ (accepted).
  void Connect() {
    client_ = SocketTcp();
    ASSERT_EQ(SocketConnect(client_, kLoopback, port_), 0);
    server_ = SocketAccept(listener_, nullptr, nullptr);
    ASSERT_NE(server_, kInvalidSocket);
  }
  // Waits up to timeout_ms for the event and enumerates it; events 0 on time-out.
  NetworkEvents WaitEnum(SocketEvent& ev, int timeout_ms) {
    NetworkEvents out;
    int rc = WaitAny({&ev}, timeout_ms);
    if (rc == 0)
      EXPECT_EQ(ev.Enum(&out), 0);
    else
      EXPECT_EQ(rc, kWaitTimeout);
    return out;
  }

  Socket listener_ = kInvalidSocket;
  Socket client_ = kInvalidSocket;
  Socket server_ = kInvalidSocket;
  uint16_t port_ = 0;
};

TEST_F(SocketEventTest, ReadWhileDataRemainsThenCloseOnceAfterDrain) {
  Connect();
  SocketEvent ev;
  ASSERT_EQ(ev.Select(server_, kFdRead | kFdClose), 0);
  ev.Reset();
  EXPECT_EQ(WaitEnum(ev, 50).events, 0) << "nothing arrived yet";

  ASSERT_EQ(SocketSend(client_, "abcdef", 6), 6);
  ASSERT_EQ(SocketShutdownBoth(client_), 0);
  NetworkEvents n = WaitEnum(ev, 2000);
  EXPECT_EQ(n.events, kFdRead) << "CLOSE must wait until the bytes are read";
  char buf[8];
  ASSERT_EQ(SocketRecv(server_, buf, 2), 2);
  n = WaitEnum(ev, 2000);
  EXPECT_EQ(n.events, kFdRead) << "READ again while bytes remain";
  ASSERT_EQ(SocketRecv(server_, buf, 4), 4);
  n = WaitEnum(ev, 2000);
  EXPECT_EQ(n.events, kFdClose);
  EXPECT_EQ(n.close_error, 0);
  // Reported once, and the waitable does not stay signalled (nor spin) afterwards.
  uint64_t start = MonotonicMs();
  EXPECT_LT(CpuMsOfIdleWait(ev, 150), 40);
  EXPECT_GE(MonotonicMs() - start, 145u);
  EXPECT_EQ(ev.Enum(&n), 0);
  EXPECT_EQ(n.events, 0);
}

TEST_F(SocketEventTest, ResetPeerReportsCloseWithError) {
  Connect();
  SocketEvent ev;
  ASSERT_EQ(ev.Select(server_, kFdRead | kFdClose), 0);
  struct linger lg = {1, 0};
  ASSERT_EQ(setsockopt(client_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg), 0);
  SocketClose(client_);
  client_ = kInvalidSocket;
  NetworkEvents n = WaitEnum(ev, 2000);
  EXPECT_EQ(n.events, kFdClose);
  EXPECT_EQ(n.close_error, kWsaEconnreset);
  EXPECT_LT(CpuMsOfIdleWait(ev, 150), 40);
}

TEST_F(SocketEventTest, ResetBeforeSelectIsStillReported) {
  Connect();
  struct linger lg = {1, 0};
  ASSERT_EQ(setsockopt(client_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg), 0);
  SocketClose(client_);
  client_ = kInvalidSocket;
  SleepMs(20);
  SocketEvent ev;
  ASSERT_EQ(ev.Select(server_, kFdRead | kFdClose), 0);
  NetworkEvents n = WaitEnum(ev, 2000);
  EXPECT_EQ(n.events, kFdClose);
  EXPECT_EQ(n.close_error, kWsaEconnreset);
  EXPECT_LT(CpuMsOfIdleWait(ev, 100), 40);
}

TEST_F(SocketEventTest, WriteOnceAndAgainOnlyAfterWouldBlock) {
  Connect();
  SocketEvent ev;
  ASSERT_EQ(ev.Select(client_, kFdRead | kFdWrite | kFdClose), 0);
  EXPECT_EQ(WaitEnum(ev, 2000).events, kFdWrite);
  EXPECT_EQ(WaitEnum(ev, 50).events, 0) << "WRITE is not level-triggered";

  // Fill the socket until a send would block.
  std::string chunk(65536, 'x');
  int sent = 0;
  for (int i = 0; i < 10000 && sent >= 0; ++i)
    sent = SocketSend(client_, chunk.data(), chunk.size());
  ASSERT_EQ(sent, kSocketError);
  ASSERT_EQ(LastSocketError(), kWsaEwouldblock);
  ev.NoteWouldBlock();
  EXPECT_EQ(WaitEnum(ev, 50).events, 0) << "still full";
  EXPECT_EQ(SocketWaitWritable(client_, 30), 0);

  // Drain the peer: the socket becomes writable and WRITE comes back once.
  ASSERT_EQ(SocketSetNonBlocking(server_, true), 0);
  while (SocketRecv(server_, chunk.data(), chunk.size()) > 0) {
  }
  EXPECT_EQ(WaitEnum(ev, 2000).events, kFdWrite);
  EXPECT_EQ(WaitEnum(ev, 50).events, 0);
  EXPECT_EQ(SocketWaitWritable(client_, 1000), 1);
}

TEST_F(SocketEventTest, AcceptWhilePendingAndCloseWhenListenerShutDown) {
  SocketEvent ev;
  ASSERT_EQ(ev.Select(listener_, kFdAccept | kFdClose), 0);
  EXPECT_EQ(WaitEnum(ev, 50).events, 0);
  Socket c1 = SocketTcp(), c2 = SocketTcp();
  ASSERT_EQ(SocketConnect(c1, kLoopback, port_), 0);
  ASSERT_EQ(SocketConnect(c2, kLoopback, port_), 0);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(WaitEnum(ev, 2000).events, kFdAccept) << "connection " << i;
    Socket a = SocketAccept(listener_, nullptr, nullptr);
    EXPECT_NE(a, kInvalidSocket);
    SocketClose(a);
  }
  EXPECT_EQ(WaitEnum(ev, 50).events, 0) << "no connection left";
  EXPECT_EQ(SocketAccept(listener_, nullptr, nullptr), kInvalidSocket) << "selected: non-blocking";
  EXPECT_EQ(LastSocketError(), kWsaEwouldblock);
  shutdown(listener_, SHUT_RDWR);
  EXPECT_EQ(WaitEnum(ev, 2000).events, kFdClose);
  EXPECT_LT(CpuMsOfIdleWait(ev, 100), 40);
  SocketClose(c1);
  SocketClose(c2);
}

TEST_F(SocketEventTest, ConnectSucceedsThenWrite) {
  client_ = SocketTcp();
  SocketEvent ev;
  ASSERT_EQ(ev.Select(client_, kFdConnect | kFdWrite | kFdRead | kFdClose), 0);
  EXPECT_LT(CpuMsOfIdleWait(ev, 100), 40) << "nothing before the connect";
  int rc = SocketConnect(client_, kLoopback, port_);
  if (rc != 0) {
    ASSERT_EQ(LastSocketError(), kWsaEinprogress);
  }
  long seen = 0;
  for (int i = 0; i < 3 && seen != (kFdConnect | kFdWrite); ++i) {
    NetworkEvents n = WaitEnum(ev, 2000);
    EXPECT_EQ(n.connect_error, 0);
    seen |= n.events;
  }
  EXPECT_EQ(seen, kFdConnect | kFdWrite);
  EXPECT_EQ(WaitEnum(ev, 50).events, 0) << "CONNECT is reported once";
}

TEST_F(SocketEventTest, ConnectRefusedReportsErrorOnce) {
  SocketClose(listener_);  // nobody listens on port_ any more
  listener_ = kInvalidSocket;
  client_ = SocketTcp();
  SocketEvent ev;
  ASSERT_EQ(ev.Select(client_, kFdConnect | kFdWrite | kFdRead | kFdClose), 0);
  int rc = SocketConnect(client_, kLoopback, port_);
  if (rc == 0) FAIL() << "connect to a closed port succeeded";
  // A refusal the kernel knows at once is reported by the connect itself; nothing is owed.
  if (LastSocketError() == kWsaEconnrefused) return;
  ASSERT_EQ(LastSocketError(), kWsaEinprogress);
  NetworkEvents n = WaitEnum(ev, 2000);
  EXPECT_EQ(n.events, kFdConnect);
  EXPECT_EQ(n.connect_error, kWsaEconnrefused);
  EXPECT_LT(CpuMsOfIdleWait(ev, 100), 40);
}

TEST_F(SocketEventTest, WaitsBesideEventsInOrder) {
  Connect();
  SocketEvent sev;
  Event exit_event, send_event;
  ASSERT_EQ(sev.Select(server_, kFdRead | kFdClose), 0);
  ASSERT_EQ(SocketSend(client_, "x", 1), 1);
  send_event.Set();
  SleepMs(20);
  EXPECT_EQ(WaitAny({&exit_event, &sev, &send_event}, 1000), 1);
  exit_event.Set();
  EXPECT_EQ(WaitAny({&exit_event, &sev, &send_event}, 1000), 0);
  NetworkEvents n;
  EXPECT_EQ(sev.Enum(&n), 0);
  EXPECT_EQ(n.events, kFdRead);
}

}  // namespace
}  // namespace platform
