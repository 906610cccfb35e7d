// Test helpers for the keepalive: a private network with "routers" as loopback addresses, a
// syslog listener, a private profile directory, and the router registry seen from a test.
// REQUIRES: the test entered its own network namespace (ENTER_PRIVATE_NETWORK) first.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace katest {

// Narrows lo to 127.0.0.1 and routes 127.9.0.0/16 into lo, where nothing answers: addresses
// there are routers that never reply, other unassigned 127.x addresses are unreachable.
bool MakeRouterNetwork();
// Lets every group open ICMP datagram sockets (the ping library's way) in this namespace.
bool AllowPingSockets();
uint32_t Address(const char* text);  // network order

// Collects the syslog datagrams sent to 127.0.0.1:514; every query first reads what arrived.
class LogCollector {
 public:
  LogCollector();
  ~LogCollector();
  bool ok() const { return fd_ >= 0; }
  // Lines containing `text` so far.
  int Count(const std::string& text);
  // Whether such a line arrives within timeout_ms (lines already seen count).
  bool WaitFor(const std::string& text, int timeout_ms);

 private:
  int fd_ = -1;
  std::vector<std::string> lines_;
};

// A fresh profile directory made VOKELMNG_CONFIG_DIR for the test's life.
class ProfileDir {
 public:
  ProfileDir();
  ~ProfileDir();
  void Write(const std::string& file, const std::string& text);

 private:
  std::string path_;
};

// The router registry as tests use it. AddRouter registers a router with the defaults.
void AddRouter(const char* address);
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
