// The router keepalive of the real service: routers are loopback addresses of the test's own
// network, up while the address is on lo (it answers ICMP echo) and down once it is removed.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include "harness.h"
#include "netns.h"

namespace {

const char kNever[] = "\x01no such text\x01";

double NowSeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string OnLine(const std::string& a) {
  return "PV(" + a + ") was diagnosed as ON by a keep alive function.";
}
std::string OffLine(const std::string& a) {
  return "PV(" + a + ") was diagnosed as OFF by a keep alive function.";
}
std::string StartEvent(const std::string& a) {
  return "KeepAlive start event addition of PV(" + a + ").";
}
std::string StopEvent(const std::string& a) {
  return "KeepAlive stop event addition of PV(" + a + ").";
}

class KeepAliveE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ENTER_PRIVATE_NETWORK();
    ASSERT_TRUE(testsupport::NarrowLoopback());
    ASSERT_TRUE(syslog_.Start());
    service_.WriteConfig("syslog.ini", "[SYSLOG]\nPRIORITYMASK=debug\n");
  }
  void TearDown() override {
    client_.Close();
    if (service_.pid() > 0) {
      EXPECT_EQ(service_.Stop(15000), 0) << service_.Output();
    }
  }

  void StartService() {
    ASSERT_TRUE(service_.Start()) << service_.error();
    ASSERT_TRUE(client_.Connect());
    ASSERT_EQ(client_.ReadReply(), "");
  }

  void Register(const std::string& address) {
    EXPECT_EQ(client_.Command("pv add " + address), std::optional<std::string>(""));
  }

  // Waits until `count` datagrams contain `text` (draining the socket meanwhile): the time it
  // was seen, or nullopt after timeout_ms.
  std::optional<double> WaitCount(const std::string& text, int count, int timeout_ms) {
    double deadline = NowSeconds() + timeout_ms / 1000.0;
    while (syslog_.Count(text) < count) {
      if (NowSeconds() >= deadline) return std::nullopt;
      syslog_.WaitFor(kNever, 20);
    }
    return NowSeconds();
  }

  // The first datagram that contains `text`; empty when none did.
  std::string Find(const std::string& text) {
    for (const std::string& m : syslog_.Messages()) {
      if (m.find(text) != std::string::npos) return m;
    }
    return "";
  }

  e2e::SyslogListener syslog_;
  e2e::ServiceProcess service_;
  e2e::CommandClient client_;
};

// The raw way (the default): ON at the first scan, OFF at the fourth failed probe in a row,
// ON again at the next probe once the address answers again. The down router never goes ON.
TEST_F(KeepAliveE2eTest, RouterGoesOnAtOnceOffAtTheFourthMissAndOnAgain) {
  const std::string up = "127.0.0.5", down = "127.0.0.6";
  ASSERT_TRUE(testsupport::AddLoopbackAddress(up));
  ASSERT_NO_FATAL_FAILURE(StartService());
  double registered = NowSeconds();
  Register(up);
  Register(down);
  std::optional<double> on = WaitCount(OnLine(up), 1, 5000);
  ASSERT_TRUE(on.has_value());
  EXPECT_LT(*on - registered, 5.0) << "not at the first scan but at a later probe";
  EXPECT_TRUE(syslog_.WaitFor(StartEvent(up)));
  EXPECT_EQ(Find(OnLine(up)).rfind("<30>", 0), 0u) << "info, daemon facility";

  // The probe that made it ON is the last one answered; the next four find no address.
  ASSERT_TRUE(testsupport::RemoveLoopbackAddress(up));
  std::optional<double> off = WaitCount(OffLine(up), 1, 50000);
  ASSERT_TRUE(off.has_value());
  EXPECT_GT(*off - *on, 38.5) << "four probes at least 10 s apart";
  EXPECT_LT(*off - *on, 42.5) << "OFF at the fourth failed probe";
  EXPECT_TRUE(syslog_.WaitFor(StopEvent(up)));
  EXPECT_EQ(Find(OffLine(up)).rfind("<28>", 0), 0u) << "warning, daemon facility";
  EXPECT_EQ(syslog_.Count(OnLine(up)), 1);

  ASSERT_TRUE(testsupport::AddLoopbackAddress(up));
  std::optional<double> again = WaitCount(OnLine(up), 2, 12000);
  ASSERT_TRUE(again.has_value());
  EXPECT_GT(*again - *off, 8.5) << "the next probe comes 10 s after the last";
  EXPECT_TRUE(WaitCount(StartEvent(up), 2, 2000).has_value());
  EXPECT_EQ(syslog_.Count(OffLine(up)), 1);
  EXPECT_EQ(syslog_.Count(OnLine(down)), 0);
  EXPECT_EQ(syslog_.Count(StartEvent(down)), 0);
}

// MODE=dll probes through the ping library, over the kernel's ICMP datagram sockets: while the
// network does not admit them no router answers (the raw way would), once it does the up router
// goes ON and the down router only after its address is added.
TEST_F(KeepAliveE2eTest, LibraryWayWhenModeIsDll) {
  const std::string up = "127.0.0.5", down = "127.0.0.6";
  const char kPingGroups[] = "/proc/sys/net/ipv4/ping_group_range";
  ASSERT_TRUE(e2e::WriteFile(kPingGroups, "1 0\n"));  // no group may open a ping socket
  ASSERT_TRUE(testsupport::AddLoopbackAddress(up));
  service_.WriteConfig("VoKelMng.ini", "[PING]\nMODE=dll\n");
  ASSERT_NO_FATAL_FAILURE(StartService());
  Register(up);
  Register(down);
  syslog_.WaitFor(kNever, 2500);  // the first probes (at the first scan) are over
  EXPECT_EQ(syslog_.Count(OnLine(up)), 0) << "the raw way answered instead of the library";

  ASSERT_TRUE(e2e::WriteFile(kPingGroups, "0 2147483647\n"));
  ASSERT_TRUE(WaitCount(OnLine(up), 1, 12000).has_value());
  EXPECT_TRUE(syslog_.WaitFor(StartEvent(up)));
  EXPECT_GE(syslog_.Count("I received a PING reply of PV(" + up + ")."), 1);
  EXPECT_EQ(syslog_.Count(OnLine(down)), 0);

  ASSERT_TRUE(testsupport::AddLoopbackAddress(down));
  ASSERT_TRUE(WaitCount(OnLine(down), 1, 12000).has_value());
  EXPECT_TRUE(syslog_.WaitFor(StartEvent(down)));
  EXPECT_EQ(syslog_.Count("I failed in load of an ICMP.DLL library."), 0);
  EXPECT_EQ(syslog_.Count(OffLine(up)), 0);
}

}  // namespace
