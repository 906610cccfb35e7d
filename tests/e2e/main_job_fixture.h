// Fixture of the main-job end-to-end tests: the real service with debug logging in the test's
// own network, pvsim routers on loopback addresses, and the access-list lines they must receive.
// Header-only; included by the main-job tests alone.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "harness.h"
#include "netns.h"
#include "pvsim_process.h"

namespace mainjob {

using Lines = std::vector<std::string>;
using e2e::PvsimProcess;

inline const char kDebugMask[] = "[SYSLOG]\nPRIORITYMASK=debug\n";
inline const char kNever[] = "\x01no such text\x01";
inline const char kServer[] = "quarantine add source 172.17.254.254 protocol tcp sport 4208";
inline const Lines kResets = {"client reset", "quarantine reset"};

inline Lines Concat(std::initializer_list<Lines> parts) {
  Lines all;
  for (const Lines& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

inline std::string Dev(const char* direction, const std::string& dev) {
  return dev.empty() ? "" : std::string(" ") + direction + " " + dev;
}

// The two pc lines between a PC (address or network/prefix) and server 172.17.254.254 tcp 4208.
inline Lines PcPair(const std::string& op, const std::string& source, const std::string& mac = "",
                    const std::string& dev = "") {
  return {op + " access-list pc accept" + Dev("in", dev) + " protocol tcp source " + source +
              " destination 172.17.254.254 dport 4208" + (mac.empty() ? "" : " source-mac " + mac),
          op + " access-list pc accept" + Dev("out", dev) +
              " protocol tcp source 172.17.254.254 destination " + source + " sport 4208"};
}

// The two kel lines of one access entry.
inline Lines KelPair(const std::string& op, const std::string& action, const std::string& source,
                     const std::string& mac = "", const std::string& dev = "") {
  return {op + " access-list kel " + action + Dev("in", dev) + " source " + source +
              (mac.empty() ? "" : " source-mac " + mac),
          op + " access-list kel " + action + Dev("out", dev) + " destination " + source};
}

inline void ExpectWellFormed(const e2e::RouterRequest& r) {
  EXPECT_EQ(r.version, "1");
  EXPECT_EQ(r.auth, "ok");
  EXPECT_EQ(r.status, 200);
  if (r.acl.empty()) {
    EXPECT_EQ(r.opcode, "reset");
    EXPECT_EQ(r.count, "0");
  } else {
    EXPECT_EQ(r.opcode, "set") << r.acl;
    EXPECT_EQ(r.count, "1") << r.acl;
    bool kel = r.acl.find(" access-list kel ") != std::string::npos;
    EXPECT_EQ(r.klass, kel ? "quarantine" : "client") << r.acl;
  }
}

class MainJobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ENTER_PRIVATE_NETWORK();
    ASSERT_TRUE(testsupport::NarrowLoopback());
    // Lets pvsim listen on a router address before that address is up.
    ASSERT_TRUE(e2e::WriteFile("/proc/sys/net/ipv4/ip_nonlocal_bind", "1\n"));
    ASSERT_TRUE(syslog_.Start());
    service_.WriteConfig("syslog.ini", kDebugMask);
    ASSERT_TRUE(service_.Start()) << service_.error();
    ASSERT_TRUE(client_.Connect());
    ASSERT_EQ(client_.ReadReply(), "");
  }
  void TearDown() override {
    client_.Close();
    if (service_.pid() > 0) {
      EXPECT_EQ(service_.Stop(15000), 0) << service_.Output();
    }
  }

  // A router simulator on address:880; its address answers from now on when `up`.
  PvsimProcess& Router(const std::string& address, bool up = true,
                       const std::vector<std::string>& extra = {}) {
    routers_.push_back(std::make_unique<PvsimProcess>());
    EXPECT_TRUE(routers_.back()->Start(address, 880, extra)) << routers_.back()->error();
    if (up) {
      EXPECT_TRUE(testsupport::AddLoopbackAddress(address));
    }
    return *routers_.back();
  }

  // A command that the service accepts without a reply.
  void Command(const std::string& line) {
    EXPECT_EQ(client_.Command(line), std::optional<std::string>("")) << line;
  }

  // Registers a router whose address answers; it comes up at the first scan and is reset.
  void Register(const PvsimProcess& router) {
    Command("pv add " + router.address());
    EXPECT_EQ(Await(router, 2), kResets) << router.address();
  }

  // Sleeps while keeping the syslog socket drained.
  void Pause(int ms) { syslog_.WaitFor(kNever, ms); }

  // The service carries a command out after it has replied, against the registries as they are
  // by then: lets it finish before a command that would change the outcome.
  void Settle() { Pause(300); }

  // Waits until the router has journaled `count` requests; every line journaled by then.
  Lines Await(const PvsimProcess& router, size_t count, int timeout_ms = 5000) {
    for (int waited = 0; router.Requests().size() < count && waited < timeout_ms; waited += 20) {
      Pause(20);
    }
    return router.Lines();
  }

  // After a moment in which nothing more may arrive: exactly `expected`, each well formed.
  void ExpectJournal(const PvsimProcess& router, const Lines& expected) {
    Pause(300);
    EXPECT_EQ(router.Lines(), expected) << "journal of " << router.address();
    for (const e2e::RouterRequest& r : router.Requests()) ExpectWellFormed(r);
  }

  void ExpectLogged(const std::string& text, int timeout_ms = 2000) {
    EXPECT_TRUE(syslog_.WaitFor(text, timeout_ms)) << "not logged: " << text;
  }

  e2e::SyslogListener syslog_;
  e2e::ServiceProcess service_;
  e2e::CommandClient client_;
  std::vector<std::unique_ptr<PvsimProcess>> routers_;
};

}  // namespace mainjob
