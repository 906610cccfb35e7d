// What the command port did: lines run per family and outcome, connections open, connections
// refused. Kept for the operator API.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

class CommandStats {
 public:
  // The family words counted; "unknown" takes lines whose first word names no family.
  static constexpr std::array<const char*, 9> kFamilies = {
      "kel", "pv", "pvroute", "pc", "quarantine", "service", "help", "exit", "unknown"};

  // One line run by family word (any other word counts as "unknown").
  void CountCommand(const char* family, bool refused);
  void ConnectionOpened() { open_.fetch_add(1, std::memory_order_relaxed); }
  void ConnectionClosed() { open_.fetch_sub(1, std::memory_order_relaxed); }
  void ConnectionRefused() { refused_.fetch_add(1, std::memory_order_relaxed); }
  void SetListening(bool listening) { listening_.store(listening); }

  struct FamilyCounts {
    std::string family;
    uint64_t ok = 0;
    uint64_t refused = 0;
  };
  std::vector<FamilyCounts> Commands() const;
  int64_t OpenConnections() const { return open_.load(std::memory_order_relaxed); }
  uint64_t RefusedConnections() const { return refused_.load(std::memory_order_relaxed); }
  bool Listening() const { return listening_.load(); }

 private:
  std::array<std::atomic<uint64_t>, kFamilies.size()> ok_{};
  std::array<std::atomic<uint64_t>, kFamilies.size()> refusedLines_{};
  std::atomic<int64_t> open_{0};
  std::atomic<uint64_t> refused_{0};
  std::atomic<bool> listening_{false};
};

// The process-wide counts of the command port.
CommandStats& CommandPortStats();
