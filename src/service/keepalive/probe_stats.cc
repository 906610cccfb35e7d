#include "service/keepalive/probe_stats.h"

#include "platform/clock.h"

void ProbeStats::Probed(uint32_t address, bool answered, bool changed) {
  std::lock_guard<std::mutex> hold(lock_);
  RouterProbeCounts& entry = routers_[address];
  entry.address = address;
  ++entry.sent;
  if (answered) ++entry.answered;
  if (changed) ++entry.transitions;
  entry.lastTime = platform::NowSeconds();
  entry.lastAnswered = answered;
}

std::vector<RouterProbeCounts> ProbeStats::Snapshot() const {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<RouterProbeCounts> copy;
  copy.reserve(routers_.size());
  for (const auto& [address, entry] : routers_) copy.push_back(entry);
  return copy;
}

ProbeStats& KeepAliveStats() {
  static ProbeStats* stats = new ProbeStats;  // probers may count while the process exits
  return *stats;
}
