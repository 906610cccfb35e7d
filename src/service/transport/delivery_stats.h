// What the senders did for each router: requests delivered, failed attempts, requests dropped
// after the last attempt, and the last answer. Kept per address and port for the operator API.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

struct RouterDeliveryCounts {
  uint32_t address = 0;  // network order
  uint16_t port = 0;
  uint64_t delivered = 0;             // requests answered by the router (any answer)
  uint64_t attemptsFailed = 0;        // attempts that got no answer
  uint64_t dropped = 0;               // requests given up after the last attempt
  int lastStatus = 0;                 // status of the last answer; 0 before the first
  int64_t lastTime = 0;               // seconds since 1970 of the last delivery or failure; 0: none
  std::string lastResult;             // "ok", "no list", "status N", the router's words, "failed",
                                      // "dropped"; empty before the first
  uint64_t tlsFullHandshakes = 0;     // routers over TLS: handshakes with a new session
  uint64_t tlsResumedHandshakes = 0;  // handshakes that resumed the last session
  uint64_t tlsFailures = 0;           // handshakes that failed (the certificate check, say)
};

class DeliveryStats {
 public:
  void Delivered(uint32_t address, uint16_t port, int status, const std::string& result);
  void AttemptFailed(uint32_t address, uint16_t port);
  void Dropped(uint32_t address, uint16_t port);
  void TlsHandshake(uint32_t address, uint16_t port, bool resumed);
  void TlsFailed(uint32_t address, uint16_t port);
  // Whether the routers are reached over TLS (then the operator API shows the TLS counts).
  void SetTlsEnabled(bool enabled) { tlsEnabled_.store(enabled); }
  bool TlsEnabled() const { return tlsEnabled_.load(); }
  // A copy of every router's counts, ordered by address and port.
  std::vector<RouterDeliveryCounts> Snapshot() const;

 private:
  RouterDeliveryCounts& Entry(uint32_t address, uint16_t port);  // REQUIRES: lock_ held

  mutable std::mutex lock_;
  std::map<uint64_t, RouterDeliveryCounts> routers_;  // guarded by lock_
  std::atomic<bool> tlsEnabled_{false};
};

// The process-wide counts the senders keep.
DeliveryStats& TransportStats();

// Told of every request given up after its last attempt (`dropped`) and of every answer that is
// not "ok" (status, "no list", the router's own words). Called on the sender's thread while it
// holds no lock: it may take leaf locks only and must return at once. None by default.
using DeliveryFailureHook = void (*)(uint32_t address, uint16_t port, bool dropped);
void SetDeliveryFailureHook(DeliveryFailureHook hook);
void ReportDeliveryFailure(uint32_t address, uint16_t port, bool dropped);
