#include "service/acl/out_of_sync_marks.h"

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>

#include "common/syslog.h"
#include "platform/clock.h"
#include "service/transport/delivery_stats.h"

namespace {

std::mutex gLock;
std::map<std::array<uint8_t, 4>, RouterSyncMark> gMarks;  // guarded by gLock
std::atomic<bool> gRefusals{false};

void OnDeliveryFailure(uint32_t address, uint16_t port, bool dropped) {
  if (!dropped && !gRefusals.load()) return;
  std::array<uint8_t, 4> bytes;
  std::memcpy(bytes.data(), &address, 4);
  RouterSyncMarkOut(bytes, port, dropped);
}

}  // namespace

void RouterSyncInstall(bool refusals) {
  gRefusals = refusals;
  SetDeliveryFailureHook(OnDeliveryFailure);
}

void RouterSyncUninstall() {
  SetDeliveryFailureHook(nullptr);
  std::lock_guard<std::mutex> hold(gLock);
  gMarks.clear();
}

void RouterSyncMarkOut(const std::array<uint8_t, 4>& a, uint16_t port, bool dropped) {
  std::lock_guard<std::mutex> hold(gLock);
  auto [at, added] = gMarks.try_emplace(a);
  RouterSyncMark& mark = at->second;
  mark.address = a;
  mark.port = port;
  mark.lastTryMs = static_cast<int64_t>(platform::MonotonicMs());
  mark.erased = false;  // drop what was queued after the earlier mark too
  ++mark.failures;
  if (!added) return;
  Syslog(kLogWarning,
         "PV(%d.%d.%d.%d:%d) is out of sync: %s. It gets a reset and reload once it "
         "answers again.",
         a[0], a[1], a[2], a[3], port,
         dropped ? "a request was given up after its last attempt" : "it refused a line");
}

bool RouterSyncIsOut(const std::array<uint8_t, 4>& address) {
  std::lock_guard<std::mutex> hold(gLock);
  return gMarks.count(address) != 0;
}

void RouterSyncClear(const std::array<uint8_t, 4>& a) {
  std::lock_guard<std::mutex> hold(gLock);
  auto at = gMarks.find(a);
  if (at == gMarks.end()) return;
  Syslog(kLogInfo, "PV(%d.%d.%d.%d:%d) is in sync again: its reset and reload were queued.", a[0],
         a[1], a[2], a[3], at->second.port);
  gMarks.erase(at);
}

void RouterSyncDrop(const std::array<uint8_t, 4>& address) {
  std::lock_guard<std::mutex> hold(gLock);
  gMarks.erase(address);
}

std::vector<RouterSyncMark> RouterSyncMarks() {
  std::lock_guard<std::mutex> hold(gLock);
  std::vector<RouterSyncMark> marks;
  for (const auto& [address, mark] : gMarks) marks.push_back(mark);
  return marks;
}

void RouterSyncUpdate(const RouterSyncMark& mark) {
  std::lock_guard<std::mutex> hold(gLock);
  auto at = gMarks.find(mark.address);
  if (at == gMarks.end()) return;
  // A failure reported since the copy was taken wins: its erase is still to be done.
  if (at->second.failures != mark.failures) return;
  at->second = mark;
}
