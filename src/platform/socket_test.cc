#include "platform/socket.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <thread>
#include <vector>

#include "netns.h"
#include "platform/clock.h"
#include "platform/event.h"

namespace platform {
namespace {

const uint32_t kLoopback = InetAddr("127.0.0.1");

TEST(SocketErrorTest, ErrnoMapsToWinsockCodes) {
  EXPECT_EQ(WsaFromErrno(EWOULDBLOCK), 10035);
  EXPECT_EQ(WsaFromErrno(EAGAIN), 10035);
  EXPECT_EQ(WsaFromErrno(EINPROGRESS), 10036);
  EXPECT_EQ(WsaFromErrno(ENOTSOCK), 10038);
  EXPECT_EQ(WsaFromErrno(EADDRINUSE), 10048);
  EXPECT_EQ(WsaFromErrno(ECONNRESET), 10054);
  EXPECT_EQ(WsaFromErrno(EPIPE), 10058);
  EXPECT_EQ(WsaFromErrno(ETIMEDOUT), 10060);
  EXPECT_EQ(WsaFromErrno(ECONNREFUSED), 10061);
  EXPECT_EQ(WsaFromErrno(EHOSTUNREACH), 10065);
  EXPECT_EQ(WsaFromErrno(EACCES), 10013);
  EXPECT_EQ(WsaFromErrno(EPERM), 10013);
  EXPECT_EQ(WsaFromErrno(EINTR), 10004);
  EXPECT_EQ(WsaFromErrno(EBADF), 10009);
  EXPECT_EQ(WsaFromErrno(EINVAL), 10022);
  EXPECT_EQ(WsaFromErrno(0), 0);
}

// A blocking send into a peer that reads nothing gives up after the send time-out.
TEST(SocketOptionTest, SendTimeOutEndsABlockedSend) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  ASSERT_EQ(SocketSetSendTimeout(fds[0], 200), 0);
  struct timeval tv = {};
  socklen_t len = sizeof tv;
  ASSERT_EQ(getsockopt(fds[0], SOL_SOCKET, SO_SNDTIMEO, &tv, &len), 0);
  EXPECT_EQ(tv.tv_sec * 1000 + tv.tv_usec / 1000, 200);
  std::vector<char> block(1 << 16, 'x');
  uint64_t start = MonotonicMs();
  int sent = 0;
  for (int i = 0; i < 1000 && sent >= 0; ++i) sent = SocketSend(fds[0], block.data(), block.size());
  EXPECT_EQ(sent, kSocketError);
  EXPECT_EQ(LastSocketError(), kWsaEwouldblock);
  EXPECT_GE(MonotonicMs() - start, 190u);
  EXPECT_LT(MonotonicMs() - start, 3000u);
  EXPECT_EQ(SocketSetSendTimeout(-1, 100), kSocketError);
  close(fds[0]);
  close(fds[1]);
}

TEST(SocketErrorTest, LastErrorIsPerThread) {
  SetLastSocketError(10054);
  EXPECT_EQ(SocketClose(-1), kSocketError);
  EXPECT_EQ(LastSocketError(), 10009);
  std::thread other([] {
    EXPECT_EQ(LastSocketError(), 0);
    SetLastSocketError(10061);
  });
  other.join();
  EXPECT_EQ(LastSocketError(), 10009);
}

TEST(SocketAddressTest, InetAddrAndHostName) {
  EXPECT_EQ(InetAddr("127.0.0.1"), htonl(0x7F000001));
  EXPECT_EQ(InetAddr("not an address"), 0xFFFFFFFFu);
  EXPECT_EQ(InetAddr(nullptr), 0xFFFFFFFFu);
  EXPECT_FALSE(HostName().empty());
}

class SocketNetTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (Socket s : sockets_) SocketClose(s);
  }
  Socket Track(Socket s) {
    EXPECT_NE(s, kInvalidSocket);
    sockets_.push_back(s);
    return s;
  }
  // A listener on 127.0.0.1 whose accept queue is full, so further connects get no answer.
  uint16_t SilentPort() {
    Socket l = Track(SocketTcp());
    EXPECT_EQ(SocketBind(l, kLoopback, 0), 0);
    EXPECT_EQ(listen(l, 0), 0);
    struct sockaddr_in sa;
    socklen_t len = sizeof sa;
    EXPECT_EQ(getsockname(l, reinterpret_cast<sockaddr*>(&sa), &len), 0);
    uint16_t port = ntohs(sa.sin_port);
    for (int i = 0; i < 4; ++i) SocketConnectTimed(Track(SocketTcp()), kLoopback, port, 100, -1);
    return port;
  }
  std::vector<Socket> sockets_;
};

TEST_F(SocketNetTest, ConnectTimedTimesOutAndIsCancelled) {
  uint16_t port = SilentPort();
  Socket s = Track(SocketTcp());
  uint64_t start = MonotonicMs();
  EXPECT_EQ(SocketConnectTimed(s, kLoopback, port, 150, -1), kSocketError);
  EXPECT_EQ(LastSocketError(), kWsaEtimedout);
  EXPECT_GE(MonotonicMs() - start, 145u);
  EXPECT_LT(MonotonicMs() - start, 900u) << "must not wait for the SYN retry";

  Event cancel;
  Socket t = Track(SocketTcp());
  std::thread canceller([&cancel] {
    SleepMs(80);
    cancel.Set();
  });
  start = MonotonicMs();
  EXPECT_EQ(SocketConnectTimed(t, kLoopback, port, 10000, cancel.fd()), kSocketError);
  canceller.join();
  EXPECT_EQ(LastSocketError(), kWsaEintr);
  EXPECT_LT(MonotonicMs() - start, 5000u);
}

TEST_F(SocketNetTest, ConnectTimedSucceedsRefusesAndRestoresBlocking) {
  Socket l = Track(SocketTcp());
  ASSERT_EQ(SocketBind(l, kLoopback, 0), 0);
  ASSERT_EQ(SocketListen(l), 0);
  struct sockaddr_in sa;
  socklen_t len = sizeof sa;
  ASSERT_EQ(getsockname(l, reinterpret_cast<sockaddr*>(&sa), &len), 0);
  uint16_t port = ntohs(sa.sin_port);

  Socket c = Track(SocketTcp());
  ASSERT_EQ(SocketConnectTimed(c, kLoopback, port, 2000, -1), 0);
  uint32_t peer = 0;
  uint16_t peer_port = 0;
  Socket a = Track(SocketAccept(l, &peer, &peer_port));
  EXPECT_EQ(peer, kLoopback);
  uint16_t client_port = 0;
  ASSERT_EQ(SocketPeerName(a, nullptr, &client_port), 0);
  EXPECT_EQ(client_port, peer_port);
  // Blocking again: a receive with a time-out waits instead of failing at once.
  ASSERT_EQ(SocketSetRecvTimeout(c, 100), 0);
  char b;
  uint64_t start = MonotonicMs();
  EXPECT_EQ(SocketRecv(c, &b, 1), kSocketError);
  EXPECT_GE(MonotonicMs() - start, 90u);

  SocketClose(l);
  sockets_.erase(sockets_.begin());
  Socket r = Track(SocketTcp());
  EXPECT_EQ(SocketConnectTimed(r, kLoopback, port, 2000, -1), kSocketError);
  EXPECT_EQ(LastSocketError(), kWsaEconnrefused);
}

TEST_F(SocketNetTest, SendToClosedPeerFailsWithoutSignal) {
  Socket l = Track(SocketTcp());
  ASSERT_EQ(SocketBind(l, kLoopback, 0), 0);
  ASSERT_EQ(SocketListen(l), 0);
  struct sockaddr_in sa;
  socklen_t len = sizeof sa;
  ASSERT_EQ(getsockname(l, reinterpret_cast<sockaddr*>(&sa), &len), 0);
  Socket c = Track(SocketTcp());
  ASSERT_EQ(SocketConnect(c, kLoopback, ntohs(sa.sin_port)), 0);
  Socket a = SocketAccept(l, nullptr, nullptr);
  ASSERT_NE(a, kInvalidSocket);
  SocketClose(a);
  int rc = 0;
  for (int i = 0; i < 50 && rc >= 0; ++i) {
    rc = SocketSend(c, "data", 4);
    SleepMs(5);
  }
  EXPECT_EQ(rc, kSocketError);  // SIGPIPE would have killed the test
  EXPECT_TRUE(LastSocketError() == 10058 || LastSocketError() == kWsaEconnreset)
      << LastSocketError();
}

TEST_F(SocketNetTest, DatagramRoundTrip) {
  Socket rx = Track(SocketUdp());
  ASSERT_EQ(SocketBind(rx, kLoopback, 0), 0);
  struct sockaddr_in sa;
  socklen_t len = sizeof sa;
  ASSERT_EQ(getsockname(rx, reinterpret_cast<sockaddr*>(&sa), &len), 0);
  Socket tx = Track(SocketUdp());
  ASSERT_EQ(SocketSendTo(tx, "hello", 5, kLoopback, ntohs(sa.sin_port)), 5);
  int pending = 0;
  ASSERT_EQ(SocketPendingBytes(rx, &pending), 0);
  EXPECT_EQ(pending, 5);
  char buf[16];
  uint32_t from = 0;
  EXPECT_EQ(SocketRecvFrom(rx, buf, sizeof buf, &from), 5);
  EXPECT_EQ(from, kLoopback);
}

// Needs a private network: only there is the loopback the one interface.
TEST_F(SocketNetTest, OnlyTheLoopbackMeansNoAdapterAddress) {
  ENTER_PRIVATE_NETWORK();
  EXPECT_EQ(FirstAdapterAddress(), "") << "only the loopback exists here, and it is left out";
  EXPECT_TRUE(IsLocalAddress(kLoopback));
  EXPECT_TRUE(IsLocalAddress(InetAddr("127.1.2.3")));
  EXPECT_FALSE(IsLocalAddress(InetAddr("192.0.2.1")));
}

}  // namespace
}  // namespace platform
