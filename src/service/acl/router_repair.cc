#include "service/acl/router_repair.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>

#include "platform/clock.h"
#include "platform/event.h"
#include "service/acl/out_of_sync_marks.h"
#include "service/acl/router_recovery.h"
#include "service/keepalive/keep_alive_data.h"
#include "service/registry/pv_data.h"
#include "service/transport/http_client.h"
#include "service/transport/http_connection.h"

namespace {

// Whether the router's HTTP side takes a connection now: with routers over TLS, a handshake
// that checks its certificate too, so that a router still showing a bad one stays marked
// instead of getting a reload that can only fail.
bool Connects(const std::array<uint8_t, 4>& address, uint16_t port, int timeout_ms,
              const AclEnvironment& env) {
  static platform::Event never;  // the connection's end event: nobody sets it
  std::atomic<bool> stop{env.Stopping()};
  CHttpConnection connection(&never, &stop, timeout_ms);
  if (env.httpClient != nullptr) connection.UseTls(env.httpClient->Tls());
  uint32_t value = 0;
  std::memcpy(&value, address.data(), 4);
  bool open = connection.Open(value, port, timeout_ms);
  connection.Close();
  return open;
}

}  // namespace

void KeepAliveRepairProcess(const AclEnvironment& env, const RepairTiming& timing) {
  for (RouterSyncMark mark : RouterSyncMarks()) {
    if (env.Stopping()) return;
    if (!mark.erased) {
      // Whatever still waits for it is carried by the reload it is going to get.
      DropQueuedRequests(env, mark.address);
      mark.erased = true;
    }
    bool known = false;
    bool on = false;
    {
      CPvList& registry = PvList();
      CKelListLock hold(registry);
      if (CPvData* r = registry.FindActiveByAddress(mark.address.data(), 1)) {
        known = true;
        on = r->alive != 0;
        mark.port = r->port;
      }
    }
    if (!known) {
      RouterSyncDrop(mark.address);
      continue;
    }
    if (!on) {
      mark.reloadQueued = false;  // coming back ON brings its reload
      RouterSyncUpdate(mark);
      continue;
    }
    const int64_t now = static_cast<int64_t>(platform::MonotonicMs());
    if (mark.reloadQueued || now - mark.lastTryMs < timing.retryMs) {
      RouterSyncUpdate(mark);
      continue;
    }
    mark.lastTryMs = now;
    if (!Connects(mark.address, mark.port, timing.connectMs, env)) {
      RouterSyncUpdate(mark);
      continue;
    }
    // The reload of a router that came back: through the router-up queue, so that it never
    // runs beside another reload of the same router.
    bool queued = false;
    {
      CPvList& registry = PvList();
      CKelListLock hold(registry);
      if (CPvData* r = registry.FindActiveByAddress(mark.address.data(), 1)) {
        r->resendPending = 1;
        queued = env.startQueue != nullptr;
      }
    }
    if (queued) {
      auto* record = new CKeepAliveData();
      record->address = mark.address;
      try {
        env.startQueue->AddTail(record);
      } catch (...) {
        delete record;
        queued = false;
      }
    }
    mark.reloadQueued = queued;
    RouterSyncUpdate(mark);
  }
}
