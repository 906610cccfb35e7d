#include "service/keepalive/ping.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "netns.h"
#include "platform/dynlib.h"
#include "platform/event.h"
#include "service/keepalive/echo_request.h"
#include "service/keepalive/icmplib/icmp_api.h"
#include "service/keepalive/keepalive_testutil.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint16_t kId = 0x4242;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Sends one ICMP message from 127.0.0.1 to itself: every raw socket of the host sees it.
void SendToSelf(int s, std::vector<uint8_t> msg) {
  msg[2] = msg[3] = 0;
  uint16_t sum = InternetChecksum(msg.data(), msg.size());
  msg[2] = sum & 0xFF;
  msg[3] = sum >> 8;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = inet_addr("127.0.0.1");
  sendto(s, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

// Sends ICMP messages of `type` carrying kId from 127.0.0.1 to itself every 20 ms while a probe
// waits.
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
    while (!stop_) {
      SendToSelf(s, msg);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    close(s);
  }
  uint8_t type_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A router on the way saying it dropped our echo request to `destination`: the message quotes
// the request's IP header and its first 8 bytes.
void SendTimeExceededFor(const char* destination) {
  std::vector<uint8_t> msg(8, 0);
  msg[0] = 11;
  std::vector<uint8_t> quoted(20, 0);
  quoted[0] = 0x45;
  quoted[8] = 1;  // the time to live that ran out
  quoted[9] = IPPROTO_ICMP;
  uint32_t to = katest::Address(destination);
  std::memcpy(&quoted[16], &to, 4);
  uint8_t request[kIcmpPacketBufferSize];
  BuildEchoRequest(request, sizeof request, kId, 1);
  quoted.insert(quoted.end(), request, request + 8);
  msg.insert(msg.end(), quoted.begin(), quoted.end());
  int s = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
  SendToSelf(s, msg);
  close(s);
}

// Sends a probe of every router on `way` as a prober does (answers read after each send), then
// collects until every probe is judged. The verdicts by router, in the order given.
struct Judged {
  std::map<std::string, bool> answered;
  std::vector<std::string> order;
  double seconds = 0;
};
Judged ProbeAll(
    ProbeWay& way, int wait_ms, const std::vector<std::string>& routers,
    const std::function<void()>& after_sending = [] {}) {
  Judged judged;
  std::map<uint32_t, std::string> names;
  for (const std::string& r : routers) names[katest::Address(r.c_str())] = r;
  ProbeSession session(way, wait_ms, routers.size(), [&](uint32_t router, bool answered) {
    judged.answered[names[router]] = answered;
    judged.order.push_back(names[router]);
  });
  auto start = Clock::now();
  for (const std::string& r : routers) {
    session.Send(katest::Address(r.c_str()));
    session.Collect();
  }
  after_sending();
  for (session.Collect(); session.InFlight() > 0; session.Collect()) {
    platform::WaitAny({&way.Readable()}, session.NextWaitEndsInMs());
  }
  judged.seconds = SecondsSince(start);
  return judged;
}

std::vector<std::string> Range(const std::string& prefix, int first, int count) {
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) out.push_back(prefix + std::to_string(first + i));
  return out;
}

std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

int Sent(const std::string& r) {
  return testsupport::Logs().Count("I transmitted PING to PV(" + r + ").");
}
int Received(const std::string& r) {
  return testsupport::Logs().Count("I received a PING reply of PV(" + r + ").");
}

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

// Twenty silent routers with answering ones between them, on one socket: the answers arrive
// while silent probes are the oldest in flight and must still go to the router that sent them;
// the whole batch takes one reply wait.
TEST(Ping, RawWayJudgesManyProbesInFlightEachByItsOwnAnswer) {
  ENTER_PRIVATE_NETWORK();
  ASSERT_TRUE(katest::MakeRouterNetwork());
  const std::vector<std::string> up = {"127.0.0.5", "127.0.0.6", "127.0.0.7"};
  for (const std::string& r : up) ASSERT_TRUE(testsupport::AddLoopbackAddress(r));
  const std::vector<std::string> silent = Range("127.9.0.", 1, 20);
  const std::string unreachable = "127.0.0.30", dropped = "127.9.0.15";
  testsupport::Logs().Clear();
  std::unique_ptr<ProbeWay> way = OpenRawProbeWay(kId, 400);
  ASSERT_NE(way, nullptr);
  Judged judged;
  {
    IcmpNoise foreign_replies(0);  // echo replies with our identifier, from an unprobed address
    judged = ProbeAll(
        *way, 400, Join({Range("127.9.0.", 1, 10), up, {unreachable}, Range("127.9.0.", 11, 10)}),
        [&] { SendTimeExceededFor(dropped.c_str()); });
  }
  EXPECT_GT(judged.seconds, 0.39) << "a silent probe waits its whole wait";
  EXPECT_LT(judged.seconds, 2.0) << "one wait for the batch, not 20 of them (8 s)";
  for (const std::string& r : up) {
    EXPECT_TRUE(judged.answered[r]) << r;
    EXPECT_EQ(Sent(r), 1) << r;
    EXPECT_EQ(Received(r), 1) << r;
  }
  for (const std::string& r : silent) {
    EXPECT_EQ(judged.answered[r], r == dropped) << r;
    EXPECT_EQ(Sent(r), 1) << r;
    EXPECT_EQ(Received(r), r == dropped ? 1 : 0) << r;
  }
  EXPECT_FALSE(judged.answered[unreachable]);
  EXPECT_EQ(Sent(unreachable), 0) << "a send the system refuses is not announced";
  EXPECT_LT(std::find(judged.order.begin(), judged.order.end(), unreachable) - judged.order.begin(),
            std::find(judged.order.begin(), judged.order.end(), "127.9.0.1") - judged.order.begin())
      << "judged at its send, not at the end of a wait";
  EXPECT_EQ(judged.answered.size(), 24u);
  EXPECT_EQ(Received("127.0.0.1"), 0);
}

TEST(Ping, LibraryWayJudgesManyProbesInFlightAndNeedsTheWholeAsynchronousForm) {
  ENTER_PRIVATE_NETWORK();
  ASSERT_TRUE(katest::MakeRouterNetwork());
  ASSERT_TRUE(katest::AllowPingSockets());
  const std::vector<std::string> up = {"127.0.0.5", "127.0.0.6"};
  for (const std::string& r : up) ASSERT_TRUE(testsupport::AddLoopbackAddress(r));
  const std::string unreachable = "127.0.0.30";
  testsupport::Logs().Clear();
  std::unique_ptr<ProbeWay> way = OpenLibraryProbeWay(kIcmpLibraryName);
  ASSERT_NE(way, nullptr);
  Judged judged = ProbeAll(
      *way, 400, Join({Range("127.9.0.", 1, 10), up, {unreachable}, Range("127.9.0.", 11, 10)}));
  EXPECT_GT(judged.seconds, 0.39);
  EXPECT_LT(judged.seconds, 2.0) << "one wait for the batch, not 20 of them (8 s)";
  for (const std::string& r : up) {
    EXPECT_TRUE(judged.answered[r]) << r;
    EXPECT_EQ(Received(r), 1) << r;
  }
  for (const std::string& r : Range("127.9.0.", 1, 20)) {
    EXPECT_FALSE(judged.answered[r]) << r;
    EXPECT_EQ(Sent(r), 1) << r;
  }
  EXPECT_FALSE(judged.answered[unreachable]);
  EXPECT_EQ(Sent(unreachable), 1) << "the library way announces the send before trying it";
  EXPECT_EQ(judged.answered.size(), 23u);

  EXPECT_EQ(OpenLibraryProbeWay("libvokel_no_such_library.so"), nullptr);
  // Lacks the asynchronous functions; its other two abort when called.
  EXPECT_EQ(OpenLibraryProbeWay(PARTIAL_ICMP_LIBRARY), nullptr);
  std::ofstream("/proc/sys/net/ipv4/ping_group_range") << "1 0\n";  // no group may ping
  EXPECT_EQ(OpenLibraryProbeWay(kIcmpLibraryName), nullptr) << "a refused handle";
}

// The library's asynchronous form by itself: requests in flight side by side, each reply named
// by its sequence number, and the one-at-a-time call still working on the same handle.
TEST(Ping, LibraryAsynchronousFormTakesEachReplyAsItComes) {
  ENTER_PRIVATE_NETWORK();
  ASSERT_TRUE(katest::MakeRouterNetwork());
  ASSERT_TRUE(katest::AllowPingSockets());
  ASSERT_TRUE(testsupport::AddLoopbackAddress("127.0.0.5"));
  ASSERT_TRUE(testsupport::AddLoopbackAddress("127.0.0.6"));
  platform::DynLib lib = platform::DynLibOpen(kIcmpLibraryName);
  ASSERT_NE(lib, nullptr);
  auto create = reinterpret_cast<IcmpCreateFileFn>(platform::DynLibSymbol(lib, "IcmpCreateFile"));
  auto close_handle =
      reinterpret_cast<IcmpCloseHandleFn>(platform::DynLibSymbol(lib, "IcmpCloseHandle"));
  auto send_echo = reinterpret_cast<IcmpSendEchoFn>(platform::DynLibSymbol(lib, "IcmpSendEcho"));
  auto send_async =
      reinterpret_cast<IcmpSendEchoAsyncFn>(platform::DynLibSymbol(lib, "IcmpSendEchoAsync"));
  auto receive =
      reinterpret_cast<IcmpReceiveEchoFn>(platform::DynLibSymbol(lib, "IcmpReceiveEcho"));
  auto descriptor =
      reinterpret_cast<IcmpHandleDescriptorFn>(platform::DynLibSymbol(lib, "IcmpHandleDescriptor"));
  ASSERT_TRUE(create && close_handle && send_echo && send_async && receive && descriptor);
  void* h = create();
  ASSERT_NE(h, nullptr);
  EXPECT_GE(descriptor(h), 0);
  EXPECT_EQ(descriptor(nullptr), -1);

  const char data[] = "abcd";
  uint32_t silent = send_async(h, katest::Address("127.9.0.1"), data, 4, nullptr);
  uint32_t first = send_async(h, katest::Address("127.0.0.5"), data, 4, nullptr);
  uint32_t second = send_async(h, katest::Address("127.0.0.6"), data, 4, nullptr);
  EXPECT_NE(silent, 0u);
  EXPECT_NE(first, 0u);
  EXPECT_NE(second, 0u);
  EXPECT_NE(first, second);
  EXPECT_EQ(send_async(h, katest::Address("127.0.0.30"), data, 4, nullptr), 0u) << "unreachable";
  EXPECT_EQ(send_async(h, katest::Address("127.0.0.5"), data, 4, data), 0u) << "options given";

  std::map<uint32_t, uint32_t> replied;  // sequence -> answering address
  uint8_t buffer[sizeof(IcmpEchoReply) + 8];
  for (int i = 0; i < 2; ++i) {
    uint32_t sequence = 0;
    ASSERT_EQ(receive(h, &sequence, buffer, sizeof buffer, 1000), 1u);
    IcmpEchoReply reply;
    std::memcpy(&reply, buffer, sizeof reply);
    EXPECT_EQ(reply.status, 0u);
    EXPECT_EQ(reply.dataSize, 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer + sizeof reply), 4), "abcd");
    replied[sequence] = reply.address;
  }
  EXPECT_EQ(replied, (std::map<uint32_t, uint32_t>{{first, katest::Address("127.0.0.5")},
                                                   {second, katest::Address("127.0.0.6")}}));
  uint32_t sequence = 0;
  auto start = Clock::now();
  EXPECT_EQ(receive(h, &sequence, buffer, sizeof buffer, 0), 0u);
  EXPECT_LT(SecondsSince(start), 0.1) << "0: only what is waiting";
  EXPECT_EQ(receive(h, &sequence, buffer, sizeof buffer, 300), 0u) << "the silent router";
  EXPECT_GT(SecondsSince(start), 0.29);

  uint8_t sync_reply[32];
  EXPECT_EQ(send_echo(h, katest::Address("127.0.0.5"), data, 4, nullptr, sync_reply,
                      sizeof sync_reply, 1000),
            1u);
  EXPECT_EQ(close_handle(h), 1);
  platform::DynLibClose(lib);
}
