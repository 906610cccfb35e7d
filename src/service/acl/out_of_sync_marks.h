// Routers whose access lists may no longer be what the service sent them: a request was given up
// after its last attempt, or (with SYNC=state) the router answered a line with anything but "ok".
// Such a router is "out of sync" until it gets the reset and full reload of a router that came
// back ON: KeepAliveRepairProcess (router_repair.h) tries a connection to it while it stays ON
// and queues that reload as soon as one succeeds; any reload of the router clears the mark.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

struct RouterSyncMark {
  std::array<uint8_t, 4> address{};
  uint16_t port = 0;
  int64_t lastTryMs = 0;      // monotonic: when it was marked or last tried
  bool erased = false;        // what was still queued for it has been dropped
  bool reloadQueued = false;  // the repair handed it to the router-up queue
  uint64_t failures = 0;      // failures reported since the mark was set
};

// Installs the senders' failure hook; refused answers mark a router only when `refusals`.
void RouterSyncInstall(bool refusals);
// Removes the hook and every mark (the end of the controller, tests).
void RouterSyncUninstall();

// Marks the router (logged at warning the first time). Any thread.
void RouterSyncMarkOut(const std::array<uint8_t, 4>& address, uint16_t port, bool dropped);
bool RouterSyncIsOut(const std::array<uint8_t, 4>& address);
// A reset and full reload of the router was queued: the mark clears (info when it was set).
void RouterSyncClear(const std::array<uint8_t, 4>& address);
// Forgets the mark without a reload (the router left the registry).
void RouterSyncDrop(const std::array<uint8_t, 4>& address);

// Copies of the marks, and the repair's updates of one of them (nothing when it is gone).
std::vector<RouterSyncMark> RouterSyncMarks();
void RouterSyncUpdate(const RouterSyncMark& mark);
