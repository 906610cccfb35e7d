#include "service/transport/delivery_stats.h"

#include <atomic>

#include "platform/clock.h"

RouterDeliveryCounts& DeliveryStats::Entry(uint32_t address, uint16_t port) {
  RouterDeliveryCounts& entry = routers_[(static_cast<uint64_t>(address) << 16) | port];
  entry.address = address;
  entry.port = port;
  return entry;
}

void DeliveryStats::Delivered(uint32_t address, uint16_t port, int status,
                              const std::string& result) {
  std::lock_guard<std::mutex> hold(lock_);
  RouterDeliveryCounts& entry = Entry(address, port);
  ++entry.delivered;
  entry.lastStatus = status;
  entry.lastTime = platform::NowSeconds();
  entry.lastResult = result;
}

void DeliveryStats::AttemptFailed(uint32_t address, uint16_t port) {
  std::lock_guard<std::mutex> hold(lock_);
  RouterDeliveryCounts& entry = Entry(address, port);
  ++entry.attemptsFailed;
  entry.lastTime = platform::NowSeconds();
  entry.lastResult = "failed";
}

void DeliveryStats::Dropped(uint32_t address, uint16_t port) {
  std::lock_guard<std::mutex> hold(lock_);
  RouterDeliveryCounts& entry = Entry(address, port);
  ++entry.dropped;
  entry.lastTime = platform::NowSeconds();
  entry.lastResult = "dropped";
}

void DeliveryStats::TlsHandshake(uint32_t address, uint16_t port, bool resumed) {
  std::lock_guard<std::mutex> hold(lock_);
  RouterDeliveryCounts& entry = Entry(address, port);
  ++(resumed ? entry.tlsResumedHandshakes : entry.tlsFullHandshakes);
}

void DeliveryStats::TlsFailed(uint32_t address, uint16_t port) {
  std::lock_guard<std::mutex> hold(lock_);
  ++Entry(address, port).tlsFailures;
}

std::vector<RouterDeliveryCounts> DeliveryStats::Snapshot() const {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<RouterDeliveryCounts> copy;
  copy.reserve(routers_.size());
  for (const auto& [key, entry] : routers_) copy.push_back(entry);
  return copy;
}

DeliveryStats& TransportStats() {
  static DeliveryStats* stats = new DeliveryStats;  // senders may count while the process exits
  return *stats;
}

namespace {
std::atomic<DeliveryFailureHook> gFailureHook{nullptr};
}  // namespace

void SetDeliveryFailureHook(DeliveryFailureHook hook) { gFailureHook.store(hook); }

void ReportDeliveryFailure(uint32_t address, uint16_t port, bool dropped) {
  DeliveryFailureHook hook = gFailureHook.load();
  if (hook != nullptr) hook(address, port, dropped);
}
