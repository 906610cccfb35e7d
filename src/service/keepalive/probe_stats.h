// What the probers did for each router address: probes sent and answered, ON/OFF transitions,
// and the last probe. Kept for the operator API.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

struct RouterProbeCounts {
  uint32_t address = 0;  // network order
  uint64_t sent = 0;
  uint64_t answered = 0;
  uint64_t transitions = 0;  // OFF to ON and ON to OFF
  int64_t lastTime = 0;      // seconds since 1970 when the last probe ended; 0: none yet
  bool lastAnswered = false;
};

class ProbeStats {
 public:
  // One probe of `address` has ended; `changed`: the router went ON or OFF with it.
  void Probed(uint32_t address, bool answered, bool changed);
  // A copy of every address's counts, ordered by address value.
  std::vector<RouterProbeCounts> Snapshot() const;

 private:
  mutable std::mutex lock_;
  std::map<uint32_t, RouterProbeCounts> routers_;  // guarded by lock_
};

// The process-wide counts the probers keep.
ProbeStats& KeepAliveStats();
