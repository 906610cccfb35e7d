// Test helpers for the keepalive: a private network with "routers" as loopback addresses, the
// log lines counted, a private profile directory, and the router registry seen from a test.
// REQUIRES: the test entered its own network namespace (ENTER_PRIVATE_NETWORK) first.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "log_capture.h"
#include "scratch_dir.h"

namespace katest {

// Narrows lo to 127.0.0.1 and routes 127.9.0.0/16 into lo, where nothing answers: addresses
// there are routers that never reply, other unassigned 127.x addresses are unreachable.
bool MakeRouterNetwork();
// Lets every group open ICMP datagram sockets (the ping library's way) in this namespace.
bool AllowPingSockets();
uint32_t Address(const char* text);  // network order

// The log lines caught (see tests/support/log_capture.h), counted as the tests ask.
class LogCollector {
 public:
  LogCollector() { testsupport::Logs().Clear(); }
  int Count(const std::string& text) { return testsupport::Logs().Count(text); }
  // Lines of this severity so far.
  int CountSeverity(int severity) {
    int n = 0;
    for (const testsupport::LogLine& line : testsupport::Logs().Lines()) {
      n += line.severity == severity;
    }
    return n;
  }
  bool WaitFor(const std::string& text, int timeout_ms) {
    return testsupport::Logs().WaitFor(text, timeout_ms);
  }
};

// A fresh profile directory made VOKELMNG_CONFIG_DIR for the test's life.
class ProfileDir : public testsupport::ScratchDir {
 public:
  ProfileDir() : ScratchDir("vokel-keepalive", kProfileDir) {}
};

// The router registry as tests use it. AddRouter registers a router with the defaults.
// `interval`: seconds between two probes of the router.
void AddRouter(const char* address, int64_t interval = 10);
void ClearRouters();
struct RouterState {
  bool found = false;
  int64_t lastProbe = 0;
  uint32_t misses = 0;
  int32_t alive = 0;
  int32_t probeOutstanding = 0;
};
RouterState ReadRouter(const char* address);

}  // namespace katest
