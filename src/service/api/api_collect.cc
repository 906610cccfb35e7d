#include "service/api/api_collect.h"

#include <algorithm>
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

// The registry's own fields of every live router (or of the one with `only`). The registry's
// lock is held only for the plain copies: the command port's shows and edits wait on it, so the
// texts and the out-of-sync marks are added after it is released.
std::vector<RouterView> CopyRouters(const std::array<uint8_t, 4>* only) {
  std::vector<RouterView> routers;
  {
    CPvList& registry = PvList();
    CKelListLock hold(registry);
    if (only == nullptr) routers.reserve(static_cast<size_t>(std::max(registry.GetCount(1), 0)));
    for (CKelNode* n = registry.GetHead(1); n != nullptr; n = registry.GetNext(n, 1)) {
      const auto& r = *static_cast<const CPvData*>(n->data);
      if (r.pendingDelete != 0) continue;  // being deleted: no longer the operator's router
      if (only != nullptr && r.address != *only) continue;
      RouterView& view = routers.emplace_back();
      view.addressValue = AddressValue(r.address);
      view.port = r.port;
      view.user = r.user;
      view.on = r.alive == 1;
      view.pendingAdd = r.pendingAdd != 0;
      view.pendingDelete = r.pendingDelete != 0;
      view.resendPending = r.resendPending != 0;
      if (only != nullptr) break;
    }
  }
  std::vector<uint32_t> out;
  for (const RouterSyncMark& mark : RouterSyncMarks()) out.push_back(AddressValue(mark.address));
  std::sort(out.begin(), out.end());
  for (RouterView& view : routers) {
    std::array<uint8_t, 4> bytes;
    std::memcpy(bytes.data(), &view.addressValue, sizeof view.addressValue);
    view.address = Dotted(bytes);
    view.outOfSync = std::binary_search(out.begin(), out.end(), view.addressValue);
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

uint64_t DeliveryKey(uint32_t address, uint16_t port) { return (uint64_t(address) << 16) | port; }

// Adds what transport and keepalive keep to each router copy. The snapshots come ordered by
// address (and port), so each router's entry is found by a binary search; the senders are
// sorted once, not searched once per router.
void JoinCounts(const ApiSources& sources, std::vector<RouterView>& routers,
                const std::map<uint32_t, int64_t>& stored) {
  const bool sending = sendgate::MaySend();
  for (RouterView& r : routers) r.sending = sending;
  const std::vector<RouterDeliveryCounts> delivery = TransportStats().Snapshot();
  const std::vector<RouterProbeCounts> probes = KeepAliveStats().Snapshot();
  std::vector<CKelHttpClient::SenderState> senders;
  if (sources.httpClient != nullptr) senders = sources.httpClient->Senders();
  // Should two senders name one router, the last of them is shown.
  std::stable_sort(senders.begin(), senders.end(),
                   [](const auto& a, const auto& b) { return a.address < b.address; });

  for (RouterView& r : routers) {
    const uint32_t address = r.addressValue;
    if (auto it = stored.find(address); it != stored.end()) r.waitingInStore = it->second;
    auto sender = std::upper_bound(senders.begin(), senders.end(), address,
                                   [](uint32_t a, const auto& s) { return a < s.address; });
    if (sender != senders.begin() && (--sender)->address == address) {
      r.sender = sender->number;
      r.waitingAtSender = sender->queued;
    }
    const uint64_t key = DeliveryKey(address, r.port);
    auto d = std::lower_bound(delivery.begin(), delivery.end(), key,
                              [](const RouterDeliveryCounts& c, uint64_t k) {
                                return DeliveryKey(c.address, c.port) < k;
                              });
    if (d != delivery.end() && DeliveryKey(d->address, d->port) == key) {
      r.delivered = d->delivered;
      r.attemptsFailed = d->attemptsFailed;
      r.dropped = d->dropped;
      r.lastAnswerStatus = d->lastStatus;
      r.lastDeliveryTime = d->lastTime;
      r.lastDeliveryResult = d->lastResult;
      r.tlsFailures = d->tlsFailures;
    }
    auto p = std::lower_bound(probes.begin(), probes.end(), address,
                              [](const RouterProbeCounts& c, uint32_t a) { return c.address < a; });
    if (p != probes.end() && p->address == address) {
      r.probesSent = p->sent;
      r.probesAnswered = p->answered;
      r.transitions = p->transitions;
      r.lastProbeTime = p->lastTime;
      r.lastProbeAnswered = p->lastAnswered;
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
