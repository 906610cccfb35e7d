// Chaos runs against one site: the real VoKelMng with five pvsim routers that keep tables, a
// stream of commands of every family, and the faults (a router's address removed and restored,
// a router refusing HTTP connections, a SIGKILL of the service and a restart). Shared by the
// chaos test (tests/e2e/e2e_chaos_test.cc) and the longer soak (bench/chaos).
//
// Like the rest of the harness this starts no thread; enter the private network first.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "harness.h"
#include "pvsim_process.h"

namespace chaos {

using Clock = std::chrono::steady_clock;
constexpr int kRouters = 5;

struct Event {
  int atMs;
  enum Kind { kCommand, kDown, kUp, kKill, kRefuse } kind;
  std::string text;  // the command; "@" stands for the site's router prefix
  int router = 0;    // 1..kRouters
};

// Sorts by time, keeping the order of events at the same time.
void SortByTime(std::vector<Event>* events);

// The commands of a chaos stream. It remembers what it has added, so that most commands
// change something: a second add of the same thing becomes its delete.
class CommandMix {
 public:
  CommandMix();
  // Router r with two routes (networks 10.r.0.0/24 and 10.r.1.0/24).
  std::vector<std::string> RouterSetup(int r) const;
  // The first quarantine server, and the saves of the set-up.
  std::vector<std::string> ServerSetup() const;
  // One random change (route, PC, the second quarantine server, access entry) and its save.
  std::vector<std::string> Next(std::mt19937& rng);
  // Puts back a base of routes, PCs and entries, so that every router ends with lines to hold
  // whatever the random part left.
  std::vector<std::string> Base();

 private:
  std::set<std::string> routes_, pcs_, entries_, servers_;
};

// Router r's table against its lines as the operator API gives them.
struct Comparison {
  size_t expected = 0, present = 0, missing = 0, extra = 0, duplicates = 0;
  // The differing lines: "missing LINE", "extra LINE", "duplicate LINE", one a line.
  std::string differences;
  bool Equal() const { return missing == 0 && extra == 0 && duplicates == 0; }
};

// The table pvsim keeps in `table` against the lines of router `address` as the operator API on
// `apiPort` gives them.
Comparison CompareTable(const std::string& table, const std::string& address, uint16_t apiPort);

class Site {
 public:
  // `state`: SYNC=state, else the edits of each change; the access entry store in both.
  // Router r listens on prefix + r, port 880.
  Site(std::string name, bool state, uint16_t commandPort, uint16_t apiPort, std::string prefix);

  // Starts the routers (addresses added) and the service; false with the reason in *error.
  bool Start(std::string* error);
  // Carries out one event; what went wrong, empty when nothing did.
  std::string Apply(const Event& e);
  // Runs `events` against this site, each at its time after `start`; stops early once *stop
  // is set. Returns what went wrong, empty when nothing did.
  std::string Run(const std::vector<Event>& events, Clock::time_point start,
                  const std::atomic<bool>* stop = nullptr);

  Comparison Compare(int r, bool print);
  bool Converged();
  void Stop();

  std::string Address(int r) const { return prefix_ + std::to_string(r); }
  uint16_t apiPort() const { return apiPort_; }
  const std::string& name() const { return name_; }

 private:
  std::string Table(int r) const { return tables_.File("table-" + std::to_string(r)); }
  bool StartService(std::string* error);

  std::string name_;
  uint16_t commandPort_;
  uint16_t apiPort_;
  std::string prefix_;
  e2e::ServiceProcess service_;
  e2e::TempDir tables_;
  std::vector<std::unique_ptr<e2e::PvsimProcess>> routers_;
  e2e::CommandClient client_;
};

}  // namespace chaos
