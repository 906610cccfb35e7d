#include "service/acl/keepalive_resend.h"

#include <atomic>
#include <cstring>
#include <exception>
#include <memory>
#include <new>

#include "common/syslog.h"
#include "platform/clock.h"
#include "service/acl/acl_planning.h"
#include "service/acl/acl_request.h"
#include "service/acl/router_sync.h"
#include "service/acl/state_sync.h"
#include "service/keepalive/keep_alive_data.h"
#include "service/transport/http_client.h"
#include "service/transport/http_connection.h"
#include "service/transport/http_data.h"

namespace {

constexpr int kOpcodeReset = 2;

// One reset request of class `classCode`. false when the operation must end here.
bool QueueReset(const CPvData& router, int classCode) {
  CHttpData* request = new (std::nothrow) CHttpData();
  if (request == nullptr) {
    Syslog(kLogCrit, "I failed in making of CHttpData.");
    return true;
  }
  request->SetAddressBytes(router.address.data());
  request->port = router.port;
  CHttpDataList& store = HttpDataStore();
  if (store.MakeHttpData(request, router.user, router.password, 1, classCode, kOpcodeReset, 0,
                         nullptr, router.addressText) == 0) {
    delete request;
    Syslog(kLogErr, "KeepAliveResetProcess: I failed in making of HTTP data.");
    return false;
  }
  try {
    store.AddTail(request);
  } catch (...) {
    delete request;
    Syslog(kLogErr, "KeepAliveResetProcess: I failed in save of HTTP data.");
    return false;
  }
  return true;
}

// Removes the router-up records for `a` still queued, each with its debug line.
void EraseStartRecords(const AclEnvironment& env, const std::array<uint8_t, 4>& a) {
  if (env.startQueue == nullptr) return;
  CKelList& queue = *env.startQueue;
  CKelListLock hold(queue);
  CKelNode* node = queue.GetHead(1);
  while (node != nullptr && !env.Stopping()) {
    CKelNode* next = queue.GetNext(node, 1);
    const auto* record = static_cast<const CKeepAliveData*>(node->data);
    if (record->address == a) {
      Syslog(kLogDebug, "I erased an KeepAliveStart data to PV(%d.%d.%d.%d).", a[0], a[1], a[2],
             a[3]);
      queue.RemoveData(record, 1);
    }
    node = next;
  }
}

// Removes the requests for `a` still in the store (whatever their port), each with its debug
// line naming address and port.
void EraseStoredRequests(const AclEnvironment& env, const std::array<uint8_t, 4>& a) {
  CHttpDataList& store = HttpDataStore();
  CKelListLock hold(store);
  CKelNode* node = store.GetHead(1);
  while (node != nullptr && !env.Stopping()) {
    CKelNode* next = store.GetNext(node, 1);
    const auto* request = static_cast<const CHttpData*>(node->data);
    uint8_t b[4];
    request->AddressBytes(b);
    if (b[0] == a[0] && b[1] == a[1] && b[2] == a[2] && b[3] == a[3]) {
      Syslog(kLogDebug, "I erased an HTTP data to PV(%d.%d.%d.%d:%d).", b[0], b[1], b[2], b[3],
             request->port);
      store.RemoveData(request, 1);
    }
    node = next;
  }
}

// Drops what is queued for the router: in the store and at its sender.
void EraseQueued(const AclEnvironment& env, const std::array<uint8_t, 4>& address) {
  EraseStoredRequests(env, address);
  if (env.httpClient == nullptr) return;
  uint32_t value = 0;
  std::memcpy(&value, address.data(), 4);
  env.httpClient->EraseHttpQueue(value);
}

void RouterDown(const AclEnvironment& env, const CKeepAliveData& record) {
  EraseStartRecords(env, record.address);
  if (StateSyncOn()) {
    // Under the sync's lock: no planning can queue for it between the erase and the forgetting.
    StateSyncForget(record.address, [&] { EraseQueued(env, record.address); });
  } else {
    EraseQueued(env, record.address);
  }
}

// Whether the router's HTTP side takes a connection now.
bool Connects(const std::array<uint8_t, 4>& address, uint16_t port, int timeout_ms,
              const AclEnvironment& env) {
  static platform::Event never;  // the connection's end event: nobody sets it
  std::atomic<bool> stop{env.Stopping()};
  CHttpConnection connection(&never, &stop, timeout_ms);
  uint32_t value = 0;
  std::memcpy(&value, address.data(), 4);
  bool open = connection.Open(value, port, timeout_ms);
  connection.Close();
  return open;
}

// The recovery resend with state-based sync: the same conditions, the reload the sync makes.
void StateSyncResend(const AclEnvironment& env, const std::array<uint8_t, 4>& address) {
  uint32_t transitions = 0;
  {
    CPvList& registry = PvList();
    CKelListLock hold(registry);
    CPvData* live = registry.FindActiveByAddress(address.data(), 1);
    if (live == nullptr || !live->alive || live->resendPending != 1) return;
    transitions = live->onTransitions;
  }
  if (!StateSyncReload(env, address)) return;  // not there any more, or cut short
  CPvList& registry = PvList();
  CKelListLock hold(registry);
  CPvData* live = registry.FindActiveByAddress(address.data(), 1);
  if (live != nullptr && live->onTransitions == transitions) {
    live->resendPending = 0;
    live->pendingAdd = 0;
  }
  RouterSyncClear(address);
}

}  // namespace

void KeepAliveResetProcess(const AclEnvironment& env, const CPvData& router) {
  if (!QueueReset(router, 1)) return;
  if (!QueueReset(router, 2)) return;
  if (AclEventSend(env) == 0) {
    Syslog(kLogErr, "KeepAliveResetProcess: An error occurred in EventSend.");
  }
}

void KeepAliveResendProcess(const AclEnvironment& env, const std::array<uint8_t, 4>& address) {
  if (StateSyncOn()) {
    StateSyncResend(env, address);
    return;
  }
  PlanningContext ctx(env);
  RegistrySnapshot<CPvList, CPvData>* routers = ctx.Routers();
  if (routers == nullptr) return;
  for (CPvData* r : routers->records) {
    if (ctx.StopNow()) return;
    if (r->pendingDelete || !r->alive || r->resendPending != 1 || r->address != address) continue;
    KeepAliveResetProcess(env, *r);
    RouterReloadWalk(ctx, *r, 1);
    if (ctx.Interrupted()) return;  // not everything went out: the resend stays pending
    CPvList& registry = PvList();
    CKelListLock registryHold(registry);
    CPvData* live = registry.FindActive(*r, 1);
    // A router that went OFF and ON again since the snapshot waits for its own resend.
    if (live != nullptr && live->onTransitions == r->onTransitions) {
      live->resendPending = 0;
      live->pendingAdd = 0;
    }
    RouterSyncClear(address);
  }
}

void KeepAliveStartProcess(const AclEnvironment& env) {
  if (env.startQueue == nullptr) return;
  while (!env.Stopping()) {
    std::unique_ptr<CKelNode> node(env.startQueue->DetachHead());
    if (node == nullptr) break;
    try {
      KeepAliveResendProcess(env, static_cast<const CKeepAliveData*>(node->data)->address);
    } catch (const char* text) {
      Syslog(kLogCrit, "%s", text);
    } catch (const std::exception&) {
      Syslog(kLogCrit, "KeepAliveStartProcess: I failed in securing of memory.");
    }
  }
}

void KeepAliveStopProcess(const AclEnvironment& env) {
  if (env.stopQueue == nullptr) return;
  while (!env.Stopping()) {
    std::unique_ptr<CKelNode> node(env.stopQueue->DetachHead());
    if (node == nullptr) break;
    RouterDown(env, *static_cast<const CKeepAliveData*>(node->data));
  }
}

void KeepAliveRepairProcess(const AclEnvironment& env, const RepairTiming& timing) {
  for (RouterSyncMark mark : RouterSyncMarks()) {
    if (env.Stopping()) return;
    if (!mark.erased) {
      // Whatever still waits for it is carried by the reload it is going to get.
      if (StateSyncOn()) {
        StateSyncForget(mark.address, [&] { EraseQueued(env, mark.address); });
      } else {
        EraseQueued(env, mark.address);
      }
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
