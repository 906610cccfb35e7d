#include "service/acl/router_recovery.h"

#include <cstring>
#include <exception>
#include <memory>

#include "common/syslog.h"
#include "service/acl/acl_planning.h"
#include "service/acl/acl_request.h"
#include "service/acl/out_of_sync_marks.h"
#include "service/acl/state_sync.h"
#include "service/keepalive/keep_alive_data.h"
#include "service/transport/http_client.h"
#include "service/transport/http_data.h"

namespace {

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

void DropQueuedRequests(const AclEnvironment& env, const std::array<uint8_t, 4>& address) {
  if (StateSyncOn()) {
    // Under the sync's lock: no planning can queue for it between the erase and the forgetting.
    StateSyncForget(address, [&] { EraseQueued(env, address); });
  } else {
    EraseQueued(env, address);
  }
}

void KeepAliveResendProcess(const AclEnvironment& env, const std::array<uint8_t, 4>& address) {
  AclWakeBatch wakes(env);
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
    RouterReloadWalkAlone(ctx, *r, LineOpcode::kAdd);
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
    const auto& record = *static_cast<const CKeepAliveData*>(node->data);
    EraseStartRecords(env, record.address);
    DropQueuedRequests(env, record.address);
  }
}
