#include "service/acl/keepalive_resend.h"

#include <exception>
#include <memory>
#include <new>

#include "common/syslog.h"
#include "service/acl/acl_planning.h"
#include "service/acl/acl_request.h"
#include "service/keepalive/keep_alive_data.h"
#include "service/transport/http_client.h"
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

void RouterDown(const AclEnvironment& env, const CKeepAliveData& record) {
  EraseStartRecords(env, record.address);
  EraseStoredRequests(env, record.address);
  if (env.httpClient != nullptr) env.httpClient->EraseHttpQueue(record.AddressValue());
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
