#include "service/api/api_collect.h"

#include <cstring>
#include <map>

#include "platform/clock.h"
#include "platform/socket.h"
#include "service/acl/acl_process.h"
#include "service/acl/out_of_sync_marks.h"
#include "service/acl/router_lines.h"
#include "service/acl/state_sync.h"
#include "service/base/send_gate.h"
#include "service/command/command_audit.h"
#include "service/command/command_stats.h"
#include "service/keepalive/probe_stats.h"
#include "service/registry/kel_store.h"
#include "service/registry/pv_data.h"
#include "service/transport/delivery_stats.h"
#include "service/transport/http_client.h"
#include "service/transport/http_data.h"

namespace {

uint32_t AddressValue(const std::array<uint8_t, 4>& bytes) {
  uint32_t value;
  std::memcpy(&value, bytes.data(), sizeof value);
  return value;
}

std::string Dotted(const std::array<uint8_t, 4>& b) {
  return std::to_string(b[0]) + '.' + std::to_string(b[1]) + '.' + std::to_string(b[2]) + '.' +
         std::to_string(b[3]);
}

// The registry's own fields of every live router (or of the one with `only`), under its lock.
std::vector<RouterView> CopyRouters(const std::array<uint8_t, 4>* only) {
  std::vector<RouterView> routers;
  CPvList& registry = PvList();
  CKelListLock hold(registry);
  for (CKelNode* n = registry.GetHead(1); n != nullptr; n = registry.GetNext(n, 1)) {
    const auto& r = *static_cast<const CPvData*>(n->data);
    if (r.pendingDelete != 0) continue;  // being deleted: no longer the operator's router
    if (only != nullptr && r.address != *only) continue;
    RouterView view;
    view.address = Dotted(r.address);
    view.addressValue = AddressValue(r.address);
    view.port = r.port;
    view.user = r.user;
    view.on = r.alive == 1;
    view.pendingAdd = r.pendingAdd != 0;
    view.pendingDelete = r.pendingDelete != 0;
    view.resendPending = r.resendPending != 0;
    view.outOfSync = RouterSyncIsOut(r.address);
    routers.push_back(std::move(view));
    if (only != nullptr) break;
  }
  return routers;
}

// Requests in the store per address, and the store's size, under the store's lock.
std::map<uint32_t, int64_t> CountStore(int64_t* size) {
  std::map<uint32_t, int64_t> counts;
  CHttpDataList& store = HttpDataStore();
  CKelListLock hold(store);
  *size = store.GetCount(1);
  for (CKelNode* n = store.GetHead(1); n != nullptr; n = store.GetNext(n, 1)) {
    ++counts[static_cast<const CHttpData*>(n->data)->address];
  }
  return counts;
}

// Adds what transport and keepalive keep to each router copy.
void JoinCounts(const ApiSources& sources, std::vector<RouterView>& routers,
                const std::map<uint32_t, int64_t>& stored) {
  const bool sending = sendgate::MaySend();
  for (RouterView& r : routers) r.sending = sending;
  std::map<uint64_t, RouterDeliveryCounts> delivery;
  for (const RouterDeliveryCounts& d : TransportStats().Snapshot()) {
    delivery[(uint64_t(d.address) << 16) | d.port] = d;
  }
  std::map<uint32_t, RouterProbeCounts> probes;
  for (const RouterProbeCounts& p : KeepAliveStats().Snapshot()) probes[p.address] = p;
  std::vector<CKelHttpClient::SenderState> senders;
  if (sources.httpClient != nullptr) senders = sources.httpClient->Senders();

  for (RouterView& r : routers) {
    const uint32_t address = r.addressValue;
    if (auto it = stored.find(address); it != stored.end()) r.waitingInStore = it->second;
    for (const CKelHttpClient::SenderState& s : senders) {
      if (s.address == address) {
        r.sender = s.number;
        r.waitingAtSender = s.queued;
      }
    }
    if (auto it = delivery.find((uint64_t(address) << 16) | r.port); it != delivery.end()) {
      r.delivered = it->second.delivered;
      r.attemptsFailed = it->second.attemptsFailed;
      r.dropped = it->second.dropped;
      r.lastAnswerStatus = it->second.lastStatus;
      r.lastDeliveryTime = it->second.lastTime;
      r.lastDeliveryResult = it->second.lastResult;
      r.tlsFailures = it->second.tlsFailures;
    }
    if (auto it = probes.find(address); it != probes.end()) {
      r.probesSent = it->second.sent;
      r.probesAnswered = it->second.answered;
      r.transitions = it->second.transitions;
      r.lastProbeTime = it->second.lastTime;
      r.lastProbeAnswered = it->second.lastAnswered;
    }
  }
}

}  // namespace

ServiceView CollectService(const ApiSources& sources) {
  ServiceView view;
  view.version = sources.version.empty() ? VOKELMNG_VERSION : sources.version;
  view.uptimeSeconds = sources.startTime == 0 ? 0 : platform::NowSeconds() - sources.startTime;
  view.controllerStarted = sources.controllerStarted && sources.controllerStarted();
  const CommandStats& commands = CommandPortStats();
  view.commandPortListening = commands.Listening();
  view.routers = CopyRouters(nullptr);
  std::map<uint32_t, int64_t> stored = CountStore(&view.requestStoreSize);
  JoinCounts(sources, view.routers, stored);
  for (const CommandStats::FamilyCounts& c : commands.Commands()) {
    view.commands.push_back({c.family, c.ok, c.refused});
  }
  view.commandConnections = commands.OpenConnections();
  view.commandConnectionsRefused = commands.RefusedConnections();
  const PlanningCounts& planning = PlanningStats();
  view.planningRuns = planning.runs.load(std::memory_order_relaxed);
  view.planningSeconds = double(planning.nanoseconds.load(std::memory_order_relaxed)) / 1e9;
  view.syncMode = StateSyncOn() ? "state" : "edits";
  view.entryStore = KelStoreStateName(KelStoreStateNow());
  const AuditStatus audit = CommandPortAudit().Status();
  view.audit = {audit.syslog, audit.file, audit.fileOk, audit.records, audit.failures};
  view.routerTls = TransportStats().TlsEnabled();
  if (view.routerTls) {
    for (const RouterDeliveryCounts& d : TransportStats().Snapshot()) {
      view.tlsFullHandshakes += d.tlsFullHandshakes;
      view.tlsResumedHandshakes += d.tlsResumedHandshakes;
    }
  }
  if (sources.cluster) {
    view.cluster = sources.cluster();
  } else {
    view.cluster.name = platform::HostName();
  }
  return view;
}

std::optional<RouterView> CollectRouter(const ApiSources& sources,
                                        const std::array<uint8_t, 4>& address) {
  std::vector<RouterView> routers = CopyRouters(&address);
  if (routers.empty()) return std::nullopt;
  int64_t size = 0;
  std::map<uint32_t, int64_t> stored = CountStore(&size);
  JoinCounts(sources, routers, stored);
  return routers.front();
}

std::optional<std::vector<LineView>> CollectLines(const std::array<uint8_t, 4>& address,
                                                  const std::atomic<int32_t>* stop,
                                                  bool* complete) {
  RouterLines found = RouterReloadLines(address, stop);
  if (!found.found) return std::nullopt;
  if (complete != nullptr) *complete = found.complete;
  std::vector<LineView> lines;
  lines.reserve(found.lines.size());
  for (RouterLine& l : found.lines) {
    lines.push_back({LineClassName(l.lineClass), std::move(l.text), l.copies});
  }
  return lines;
}
