#include "service/keepalive/ping.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "netns.h"
#include "service/keepalive/echo_request.h"
#include "service/keepalive/icmplib/icmp_api.h"
#include "service/keepalive/keepalive_testutil.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint16_t kId = 0x4242;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Sends ICMP messages of `type` carrying kId from 127.0.0.1 to itself every 20 ms: every raw
// socket of the host sees them while a probe waits.
class IcmpNoise {
 public:
  explicit IcmpNoise(uint8_t type) : type_(type), thread_([this] { Run(); }) {}
  ~IcmpNoise() {
    stop_ = true;
    thread_.join();
  }

 private:
  void Run() {
    int s = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
    std::vector<uint8_t> msg(16, 0);
    msg[0] = type_;
    msg[4] = kId & 0xFF;
    msg[5] = kId >> 8;
    uint16_t sum = InternetChecksum(msg.data(), msg.size());
    msg[2] = sum & 0xFF;
    msg[3] = sum >> 8;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = inet_addr("127.0.0.1");
    while (!stop_) {
      sendto(s, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    close(s);
  }
  uint8_t type_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace

// The prober set only the receive time-out, so a send stuck in the kernel could hold it.
TEST(Ping, ProbeSocketGetsBothTimeOuts) {
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);  // takes the same options as a raw one
  ASSERT_GE(s, 0);
  ASSERT_EQ(PrepareProbeSocket(s, 700), 0);
  auto millis = [s](int option) {
    struct timeval tv = {};
    socklen_t len = sizeof tv;
    EXPECT_EQ(getsockopt(s, SOL_SOCKET, option, &tv, &len), 0);
    return tv.tv_sec * 1000 + tv.tv_usec / 1000;
  };
  EXPECT_EQ(millis(SO_RCVTIMEO), 700);
  EXPECT_EQ(millis(SO_SNDTIMEO), 1000);
  int ttl = 0;
  socklen_t len = sizeof ttl;
  ASSERT_EQ(getsockopt(s, IPPROTO_IP, IP_TTL, &ttl, &len), 0);
  EXPECT_EQ(ttl, 32);
  close(s);
}

TEST(Ping, RawWayAnswersOnlyForTheProbedRouterAndGivesUpAfterOneSecond) {
  ENTER_PRIVATE_NETWORK();
  ASSERT_TRUE(katest::MakeRouterNetwork());
  ASSERT_TRUE(testsupport::AddLoopbackAddress("127.0.0.5"));
  EXPECT_EQ(PingRaw(katest::Address("127.0.0.5"), kId), 0);

  ASSERT_TRUE(testsupport::RemoveLoopbackAddress("127.0.0.5"));
  auto start = Clock::now();
  EXPECT_EQ(PingRaw(katest::Address("127.0.0.5"), kId), -1);
  EXPECT_LT(SecondsSince(start), 0.3) << "an unreachable router fails at the send";

  {
    IcmpNoise foreign_replies(0);  // echo replies with our identifier, from 127.0.0.1
    start = Clock::now();
    EXPECT_EQ(PingRaw(katest::Address("127.9.0.1"), kId), -1);
    double waited = SecondsSince(start);
    EXPECT_GT(waited, 0.9);
    EXPECT_LT(waited, 1.5) << "foreign packets must not stretch the wait";
  }
  IcmpNoise time_exceeded(11);
  EXPECT_EQ(PingRaw(katest::Address("127.9.0.1"), kId), 0);
}

TEST(Ping, LibraryWayFollowsTheRouterAndSurvivesAMissingLibraryOrFunction) {
  ENTER_PRIVATE_NETWORK();
  ASSERT_TRUE(katest::MakeRouterNetwork());
  ASSERT_TRUE(katest::AllowPingSockets());
  ASSERT_TRUE(testsupport::AddLoopbackAddress("127.0.0.5"));
  EXPECT_EQ(PingDll(katest::Address("127.0.0.5"), kIcmpLibraryName), 0);
  auto start = Clock::now();
  EXPECT_EQ(PingDll(katest::Address("127.9.0.1"), kIcmpLibraryName), -1);
  EXPECT_GT(SecondsSince(start), 0.9);
  EXPECT_EQ(PingDll(katest::Address("127.0.0.5"), "libvokel_no_such_library.so"), -1);
  // This library lacks IcmpSendEcho, and its other two functions abort when called.
  EXPECT_EQ(PingDll(katest::Address("127.0.0.5"), PARTIAL_ICMP_LIBRARY), -1);
}
