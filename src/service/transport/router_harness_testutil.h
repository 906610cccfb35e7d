// Test helpers for delivering to routers: pvsim children with their journals (tests/support),
// the service's log lines as a syslog server sees them, and requests made as the service does.
// REQUIRES: the calling test entered its private network namespace first.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "log_capture.h"
#include "netns.h"
#include "pvsim.h"
#include "scratch_dir.h"
#include "service/transport/http_client.h"

namespace transporttest {

using testsupport::ChildProcess;

// One journal line of pvsim.
using JournalEntry = testsupport::PvsimRequest;

// A pvsim child on address:880 (or `port`) taking any credentials, journaling every request.
class Pvsim {
 public:
  Pvsim(const std::string& address, std::vector<std::string> options = {}, uint16_t port = 880);
  bool ok() const { return ok_; }
  std::vector<JournalEntry> Journal() const { return process_.Requests(); }
  // Waits until the journal holds at least `count` lines.
  bool WaitForEntries(size_t count, int timeoutMs) const;

 private:
  testsupport::PvsimProcess process_;
  bool ok_ = false;
};

// The service's log lines as the capture caught them, compared whole.
class LogCollector {
 public:
  LogCollector() = default;
  bool ok() const { return true; }
  std::vector<std::string> Lines();
  // Arrival times (ms, monotonic) of the lines equal to `text`.
  std::vector<int64_t> Times(const std::string& text);
  size_t Count(const std::string& text);
  // Position of the first line equal to `text`, -1 when none.
  int IndexOf(const std::string& text);
  // Waits until `count` lines equal `text`.
  bool WaitFor(const std::string& text, int timeoutMs, size_t count = 1);
};

// A scratch profile directory (no syslog.ini), the log at severity debug and caught, and an
// empty request store.
class TestEnvironment {
 public:
  TestEnvironment();
  const std::string& dir() const { return dir_.path(); }

 private:
  testsupport::ScratchDir dir_;
};

// Appends to the request store one request as the planning makes it (user admin, password
// secret, class client, opcode set) for router address:port carrying `acl`.
void StoreRequest(const std::string& address, const std::string& acl, uint16_t port = 880);
// Held while a test stores requests that must reach the senders together, as one planning pass
// leaves them: the dispatcher also looks at the store on its own every poll, and could
// otherwise hand a router its first request alone, whose sender then closes the connection
// before the second arrives.
class StoreBatch {
 public:
  StoreBatch() : hold_(HttpDataStore()) {}

 private:
  CKelListLock hold_;
};
// The address in network order.
uint32_t Address(const std::string& dotted);
// Threads of this process.
int ThreadCount();
int64_t NowMs();

// "Response cord from PV(ADDRESS:880) is WHAT."
std::string Cord(const std::string& address, const std::string& what);

// Base of the delivery tests: a private network, a profile directory, the log collector, and
// the test thread standing in for the controller (it has a message queue and is the client's
// main thread).
class RouterTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::unique_ptr<Pvsim> StartRouter(const std::string& address,
                                     std::vector<std::string> options = {});
  void StartClient(const HttpSenderTiming& timing = HttpSenderTiming(),
                   int senders = kDefaultHttpSenders, RouterTls tls = RouterTls());

  std::unique_ptr<TestEnvironment> env_;
  std::unique_ptr<LogCollector> log_;
  std::unique_ptr<CKelHttpClient> client_;
};

}  // namespace transporttest
