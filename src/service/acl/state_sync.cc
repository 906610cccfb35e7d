#include "service/acl/state_sync.h"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/syslog.h"
#include "platform/profile.h"
#include "service/acl/acl_client_process.h"
#include "service/acl/acl_request.h"
#include "service/acl/acl_walks.h"
#include "service/acl/counted_diff.h"
#include "service/acl/entry_match.h"
#include "service/acl/out_of_sync_marks.h"
#include "service/acl/router_line_counts.h"
#include "service/acl/sync_identity.h"

namespace {

using statesync::Account;
using statesync::Counted;
using statesync::Diff;
using statesync::LineKey;
using statesync::LineKeyHash;
using statesync::RouterRun;
using statesync::RouterState;
using statesync::Split;
using statesync::StepIdentity;

// The route steps of a router as the reload walk takes them: one step without route when the
// router has no route at all, else one per route not being deleted.
std::vector<const CPvrouteData*> RouteSteps(CPvData& router) {
  std::vector<const CPvrouteData*> steps;
  if (router.routes.IsEmpty(1)) {
    steps.push_back(nullptr);
    return steps;
  }
  for (CKelNode* n = router.routes.GetHead(1); n != nullptr; n = router.routes.GetNext(n, 1)) {
    const auto* t = static_cast<const CPvrouteData*>(n->data);
    if (!t->pendingDelete) steps.push_back(t);
  }
  return steps;
}

// Whether two copies of a router send to the same place the same way.
bool SameDestination(const CPvData& a, const CPvData& b) {
  return a.addressText == b.addressText && a.address == b.address && a.portText == b.portText &&
         a.port == b.port && a.user == b.user && a.password == b.password;
}

std::vector<LineKey> StepKeys(const std::vector<const CPvrouteData*>& steps) {
  std::vector<LineKey> keys;
  keys.reserve(steps.size());
  for (const CPvrouteData* t : steps) keys.push_back(StepIdentity(t));
  return keys;
}

// Takes `r` as the router's counted copy, with its route steps.
void Follow(RouterState& state, const CPvData& r) {
  state.router = r;
  state.steps = RouteSteps(state.router);
}

// Whether the live router `live` makes the lines its counted copy makes: the same destination
// and the same route steps. The caller holds the router registry's lock.
bool AsCounted(const RouterState& counted, CPvData& live) {
  if (!SameDestination(counted.router, live)) return false;
  const std::vector<const CPvrouteData*>& was = counted.steps;
  CKelListLock hold(live.routes);
  const std::vector<const CPvrouteData*> now = RouteSteps(live);
  if (was.size() != now.size()) return false;
  for (size_t i = 0; i < was.size(); ++i) {
    if (was[i] == nullptr || now[i] == nullptr) {
      if (was[i] != now[i]) return false;
    } else if (!statesync::Same(*was[i], *now[i])) {
      return false;
    }
  }
  return true;
}

// What one run needs of a router it follows, read from the live registry: whether it is ON and,
// when it no longer makes the lines its counted copy makes, a copy of it as it is now.
struct Seen {
  bool alive = false;
  std::unique_ptr<CPvData> changed;
  const CPvData* live = nullptr;  // the record, and its route list's change count
  uint64_t routesChanges = 0;
};

// The members one run works with, before and after, in the order the steps are applied.
struct Sets {
  Split<CPcData> pcs;
  Split<CQuarantineData> servers;
  Split<CKelData> entries;
};

class Sync {
 public:
  std::mutex mutex;
  std::atomic<bool> on{false};

  void Forget(const std::array<uint8_t, 4>& address) { routers_.erase(address); }
  void Clear() {
    routers_.clear();
    pcs_.Clear();
    pcsMark_.reset();
    pcSources_.clear();
    servers_.Clear();
    entries_.Clear();
  }
  // Brings every followed router and the counted records to the registries of `ctx`.
  bool Plan(PlanningContext& ctx, bool* queued);
  // Counts and queues the whole of one router (after Plan on the same snapshots).
  bool Reload(PlanningContext& ctx, CPvData& router, bool* queued);
  StateSyncFootprint Footprint() const;

 private:
  // The quarantine servers that make lines (a source address, not marked deleted).
  bool Servers(PlanningContext& ctx, std::vector<const CQuarantineData*>* servers);
  // The PCs now against the counted ones; the added PCs are copied into `fresh`.
  Split<CPcData> DiffPcs(std::vector<std::unique_ptr<CPcData>>* fresh);
  // Adds (sign +1) or removes (-1) the steps of every combination of the given members.
  void Steps(RouterRun& run, PlanningContext& ctx, const CPvData& r, int sign,
             const std::vector<const CPvrouteData*>& steps, const std::vector<const CPcData*>& pcs,
             const std::vector<const CQuarantineData*>& servers,
             const std::vector<const CKelData*>& entries, bool clientLines, bool kelLines);
  bool PlanRouter(PlanningContext& ctx, RouterState& state, CPvData* live, const Sets& sets,
                  bool* queued);

  // The (PC, entry) pairs that some route could match (EntryPairing), in the walk's order.
  // The same member lists serve every router of one run, so they are found once per run for
  // each pair of lists and kept until the run's snapshots go (ForgetPairs).
  using Pairs = std::vector<std::pair<const CPcData*, const CKelData*>>;
  const Pairs& PairsOf(const std::vector<const CPcData*>& pcs,
                       const std::vector<const CKelData*>& entries);
  // The source of each counted PC, in their order: kHasSource with the address's key
  // (SourceKeyOf) for a PC with an address and no network, whose lines follow that address
  // alone; 0 for the others. Made up to the counted order's length when asked for; Plan drops
  // it when the order changes other than at its tail.
  static constexpr uint64_t kHasSource = uint64_t{1} << 32;
  const std::vector<uint64_t>& PcSources();
  // The counted PCs, in order, less those outside every one of `steps` (PcOutsideRoute), which
  // make no line behind them: kept in `behind`. All of them when a step has no route.
  const std::vector<const CPcData*>& PcsBehind(const std::vector<const CPvrouteData*>& steps,
                                               std::vector<const CPcData*>* behind);
  void ForgetPairs() {
    pairs_.clear();
    pairings_.clear();
  }

  std::map<std::array<uint8_t, 4>, RouterState> routers_;
  std::map<std::array<const void*, 2>, Pairs> pairs_;
  std::map<const void*, std::unique_ptr<EntryPairing>> pairings_;  // by entry list
  Counted<CPcData> pcs_;
  std::vector<uint64_t> pcSources_;
  // The PC registry when pcs_ was counted from it (Changes(), ChangesBeforeTail() and its
  // count), and the same as DiffPcs read them this run.
  struct ListMark {
    uint64_t changes = 0, beforeTail = 0;
    size_t count = 0;
  };
  std::optional<ListMark> pcsMark_, pcsMarkNow_;
  Counted<CQuarantineData> servers_;
  Counted<CKelData> entries_;
};

bool Sync::Servers(PlanningContext& ctx, std::vector<const CQuarantineData*>* servers) {
  auto* q = ctx.Servers();
  if (q == nullptr) return false;
  for (const CQuarantineData* r : q->records) {
    if (!r->pendingDelete && !r->sourceText.empty()) servers->push_back(r);
  }
  return true;
}

// The records of `list` not marked deleted, against the counted ones, under the list's lock:
// only the records added since are copied (into `fresh`); the others are used through their
// counted copies, so nothing of the live list is read after the lock is let go.
template <class T>
Split<T> DiffLive(CKelList& list, const Counted<T>& counted,
                  std::vector<std::unique_ptr<T>>* fresh) {
  std::vector<const T*> live;
  live.reserve(static_cast<size_t>(list.GetCount(1)));
  for (CKelNode* n = list.GetHead(1); n != nullptr; n = list.GetNext(n, 1)) {
    const auto* record = static_cast<const T*>(n->data);
    if (!record->pendingDelete) live.push_back(record);
  }
  Split<T> s = Diff(counted, live);
  for (const T*& added : s.added) {
    fresh->push_back(std::make_unique<T>(*added));
    added = fresh->back().get();
  }
  return s;
}

// The PCs are the one registry that runs to tens of thousands: rather than copying every one of
// them for every change, the live list is compared with the counted copies under its lock, and
// only the PCs added since are copied. The others are used through their counted copies. A
// registry that has not changed since it was counted (an access entry's change, say) is not
// compared at all.
Split<CPcData> Sync::DiffPcs(std::vector<std::unique_ptr<CPcData>>* fresh) {
  CPcList& list = PcList();
  CKelListLock hold(list);
  pcsMarkNow_ =
      ListMark{list.Changes(), list.ChangesBeforeTail(), static_cast<size_t>(list.GetCount(1))};
  if (pcsMark_ && pcsMark_->changes == pcsMarkNow_->changes) {
    Split<CPcData> same;
    same.tailOf = &pcs_.order;
    return same;
  }
  // Only insertions at the tail since (a pc add): the PCs counted are the first ones still, and
  // only the new ones at the end are read.
  if (pcsMark_ && pcsMark_->beforeTail == pcsMarkNow_->beforeTail &&
      pcsMark_->count <= pcsMarkNow_->count) {
    Split<CPcData> grown;
    grown.tailOf = &pcs_.order;
    for (CKelRecord* record : list.LastRecords(pcsMarkNow_->count - pcsMark_->count)) {
      const auto* pc = static_cast<const CPcData*>(record);
      if (pc->pendingDelete) continue;
      fresh->push_back(std::make_unique<CPcData>(*pc));
      grown.added.push_back(fresh->back().get());
    }
    return grown;
  }
  return DiffLive(list, pcs_, fresh);
}

const Sync::Pairs& Sync::PairsOf(const std::vector<const CPcData*>& pcs,
                                 const std::vector<const CKelData*>& entries) {
  auto [at, made] = pairs_.try_emplace({&pcs, &entries});
  if (made) {
    std::unique_ptr<EntryPairing>& pairing = pairings_[&entries];
    if (pairing == nullptr) pairing = std::make_unique<EntryPairing>(entries);
    Pairs& pairs = at->second;
    auto pair = [&pairs](const CPcData* p) {
      return [&pairs, p](const CKelData* e) { pairs.emplace_back(p, e); };
    };
    if (&pcs == &pcs_.order) {
      // The counted PCs: their addresses are at hand, and a PC whose address no entry has is
      // passed over without reading it.
      const std::vector<uint64_t>& sources = PcSources();
      for (size_t i = 0; i < pcs.size(); ++i) {
        const uint64_t source = sources[i];
        if (source != 0 && !pairing->HasSource(static_cast<uint32_t>(source))) continue;
        pairing->ForEachEntry(*pcs[i], pair(pcs[i]));
      }
    } else {
      for (const CPcData* p : pcs) pairing->ForEachEntry(*p, pair(p));
    }
  }
  return at->second;
}

const std::vector<uint64_t>& Sync::PcSources() {
  if (pcSources_.size() > pcs_.order.size()) pcSources_.clear();
  pcSources_.reserve(pcs_.order.size());
  for (size_t i = pcSources_.size(); i < pcs_.order.size(); ++i) {
    const CPcData& p = *pcs_.order[i];
    const bool byAddress = p.HasSource() && !p.HasNetwork();
    pcSources_.push_back(byAddress ? kHasSource | SourceKeyOf(p.source.data()) : 0);
  }
  return pcSources_;
}

const std::vector<const CPcData*>& Sync::PcsBehind(const std::vector<const CPvrouteData*>& steps,
                                                   std::vector<const CPcData*>* behind) {
  std::vector<std::pair<uint32_t, uint32_t>> networks;  // network and netmask, as keys
  for (const CPvrouteData* t : steps) {
    if (t == nullptr) return pcs_.order;
    const uint32_t mask = SourceKeyOf(t->netmask.data());
    networks.emplace_back(SourceKeyOf(t->network.data()) & mask, mask);
  }
  const std::vector<uint64_t>& sources = PcSources();
  for (size_t i = 0; i < sources.size(); ++i) {
    const uint64_t source = sources[i];
    bool in = source == 0;
    for (size_t k = 0; k < networks.size() && !in; ++k) {
      in = (static_cast<uint32_t>(source) & networks[k].second) == networks[k].first;
    }
    if (in) behind->push_back(pcs_.order[i]);
  }
  return *behind;
}

void Sync::Steps(RouterRun& run, PlanningContext& ctx, const CPvData& r, int sign,
                 const std::vector<const CPvrouteData*>& steps,
                 const std::vector<const CPcData*>& pcs,
                 const std::vector<const CQuarantineData*>& servers,
                 const std::vector<const CKelData*>& entries, bool clientLines, bool kelLines) {
  if (steps.empty() || pcs.empty()) return;
  // The walks' own environment would wake the HTTP client for every combination: nothing is
  // queued while counting, so nobody needs waking.
  static const AclEnvironment kCounting = [] {
    AclEnvironment env;
    env.eventSend = [] { return 1; };
    return env;
  }();
  AclLineCapture capture = run.Capture(sign);
  // A PC with a source address outside a route has no line of either kind there (as the walks
  // of the edits pass over it): a router's reload would otherwise try every PC of the site.
  if (clientLines && !servers.empty()) {
    run.MakingKel(nullptr, nullptr);
    for (const CPvrouteData* t : steps) {
      for (const CPcData* p : pcs) {
        if (t != nullptr && PcOutsideRoute(*p, *t)) continue;
        for (const CQuarantineData* q : servers) run.Client(r, t, *p, *q);
      }
    }
  }
  if (!kelLines || entries.empty()) return;
  const Pairs& pairs = PairsOf(pcs, entries);
  for (const CPvrouteData* t : steps) {
    if (ctx.StopNow()) return;
    for (const auto& [p, e] : pairs) {
      if (t != nullptr && PcOutsideRoute(*p, *t)) continue;
      run.MakingKel(e, p);
      KelCommandAclQuarantineProcess(kCounting, e, &r, t, p, LineOpcode::kAdd);
    }
  }
  run.MakingKel(nullptr, nullptr);
}

bool Sync::PlanRouter(PlanningContext& ctx, RouterState& state, CPvData* live, const Sets& sets,
                      bool* queued) {
  const bool serversBefore = !sets.servers.Before().empty();
  const bool serversAfter = !sets.servers.After().empty();
  RouterRun run(state, serversBefore, live != nullptr && serversAfter);
  CPvData& old = state.router;
  const std::vector<const CPvrouteData*>& oldSteps = state.steps;
  if (live == nullptr) {  // the router left the registry while ON: everything it holds goes
    Steps(run, ctx, old, -1, oldSteps, sets.pcs.Before(), sets.servers.Before(),
          sets.entries.Before(), true, true);
    *queued = run.Send(old) || *queued;
    return true;
  }
  // The steps of the router's routes, split as the registries' records are. A router that is
  // as counted (`live` is its counted copy) keeps every step.
  std::vector<const CPvrouteData*> keptSteps, addedSteps, removedSteps;
  const bool asCounted = live == &old;
  if (asCounted) {
    keptSteps = oldSteps;
  } else {
    std::vector<const CPvrouteData*> newSteps = RouteSteps(*live);
    std::vector<LineKey> oldKeys = StepKeys(oldSteps), newKeys = StepKeys(newSteps);
    std::unordered_map<LineKey, int, LineKeyHash> left;
    for (const LineKey& key : oldKeys) ++left[key];
    for (size_t i = 0; i < newSteps.size(); ++i) {
      auto at = left.find(newKeys[i]);
      if (at != left.end() && at->second > 0) {
        --at->second;
        keptSteps.push_back(newSteps[i]);
      } else {
        addedSteps.push_back(newSteps[i]);
      }
    }
    for (size_t i = 0; i < oldSteps.size(); ++i) {
      auto at = left.find(oldKeys[i]);
      if (at != left.end() && at->second > 0) {
        --at->second;
        removedSteps.push_back(oldSteps[i]);
      }
    }
  }
  // Kel lines switch on and off with the first and the last server: name them all then.
  if (serversBefore != serversAfter) {
    Steps(run, ctx, old, 0, oldSteps, sets.pcs.Before(), {}, sets.entries.Before(), false, true);
  }
  // Removals, then additions, each against the members as they stand at that point, so that
  // every combination is counted exactly once.
  const std::vector<const CKelData*>& entriesKept = sets.entries.Kept();
  const std::vector<const CQuarantineData*>& serversKept = sets.servers.Kept();
  const std::vector<const CPcData*>& pcsKept = sets.pcs.Kept();
  Steps(run, ctx, old, -1, oldSteps, sets.pcs.Before(), {}, sets.entries.removed, false, true);
  Steps(run, ctx, old, -1, oldSteps, sets.pcs.Before(), sets.servers.removed, {}, true, false);
  Steps(run, ctx, old, -1, oldSteps, sets.pcs.removed, serversKept, entriesKept, true, true);
  Steps(run, ctx, old, -1, removedSteps, pcsKept, serversKept, entriesKept, true, true);
  std::vector<const CPvrouteData*> stepsNow = keptSteps;
  Steps(run, ctx, *live, 1, addedSteps, pcsKept, serversKept, entriesKept, true, true);
  stepsNow.insert(stepsNow.end(), addedSteps.begin(), addedSteps.end());
  Steps(run, ctx, *live, 1, stepsNow, sets.pcs.added, serversKept, entriesKept, true, true);
  Steps(run, ctx, *live, 1, stepsNow, sets.pcs.After(), sets.servers.added, {}, true, false);
  Steps(run, ctx, *live, 1, stepsNow, sets.pcs.After(), {}, sets.entries.added, false, true);
  if (serversBefore != serversAfter) {
    Steps(run, ctx, *live, 0, stepsNow, sets.pcs.After(), {}, sets.entries.After(), false, true);
  }
  *queued = run.Send(*live) || *queued;
  // The copy is read for the lines it makes and where they go: its connection fields and its
  // route steps. Plan hands over a copy of the router only when one of those changed.
  if (!asCounted) Follow(state, *live);
  return !ctx.Interrupted();
}

// Forgets the pairs found during one run when it ends: they point into its member lists.
class PairsScope {
 public:
  explicit PairsScope(std::function<void()> forget) : forget_(std::move(forget)) { forget_(); }
  ~PairsScope() { forget_(); }
  PairsScope(const PairsScope&) = delete;
  PairsScope& operator=(const PairsScope&) = delete;

 private:
  std::function<void()> forget_;
};

bool Sync::Plan(PlanningContext& ctx, bool* queued) {
  PairsScope pairs([this] { ForgetPairs(); });
  std::vector<const CQuarantineData*> servers;
  if (!Servers(ctx, &servers)) return false;
  std::vector<std::unique_ptr<CPcData>> freshPcs;  // until Account has copied them
  std::vector<std::unique_ptr<CKelData>> freshEntries;
  Sets sets;
  sets.pcs = DiffPcs(&freshPcs);
  sets.servers = Diff(servers_, servers);
  {
    CKelDataList& list = KelDataList();
    CKelListLock hold(list);
    sets.entries = DiffLive(list, entries_, &freshEntries);
  }
  // The routers followed, as they are now. Most are as counted: their counted copies serve, and
  // only a router whose destination or routes changed is copied (a thousand routers' copies
  // cost more than the rest of a run).
  std::map<std::array<uint8_t, 4>, Seen> seen;
  uint64_t routersChanges = 0;
  {
    CPvList& list = PvList();
    CKelListLock hold(list);
    routersChanges = list.Changes();
    for (CKelNode* n = list.GetHead(1); n != nullptr; n = list.GetNext(n, 1)) {
      auto* r = static_cast<CPvData*>(n->data);
      auto followed = routers_.find(r->address);
      if (r->pendingDelete || followed == routers_.end()) continue;
      Seen& now = seen[r->address];  // the last record of an address counts, as in a walk
      now.alive = r->alive != 0;
      now.changed.reset();
      now.live = r;
      CKelListLock holdRoutes(r->routes);
      now.routesChanges = r->routes.Changes();
      const RouterState& counted = followed->second;
      const bool unchanged = counted.live == r && counted.routersChanges == routersChanges &&
                             counted.routesChanges == now.routesChanges;
      if (now.alive && !unchanged && !AsCounted(counted, *r)) {
        now.changed = std::make_unique<CPvData>();
        *now.changed = *r;
      }
    }
  }
  for (auto it = routers_.begin(); it != routers_.end();) {
    if (ctx.StopNow()) return false;
    auto found = seen.find(it->first);
    CPvData* live = nullptr;
    if (found != seen.end()) {
      if (!found->second.alive || RouterSyncIsOut(it->first)) {
        it = routers_.erase(it);  // its reload will count it again
        continue;
      }
      live = found->second.changed ? found->second.changed.get() : &it->second.router;
    }
    PlanRouter(ctx, it->second, live, sets, queued);
    if (live == nullptr) {
      it = routers_.erase(it);
      continue;
    }
    // The counted copy is now as this record: later runs need not compare them while nothing
    // of the registry changes.
    it->second.live = found->second.live;
    it->second.routersChanges = routersChanges;
    it->second.routesChanges = found->second.routesChanges;
    ++it;
  }
  if (sets.pcs.tailOf == nullptr) pcSources_.clear();
  Account(pcs_, sets.pcs);
  pcsMark_ = pcsMarkNow_;
  Account(servers_, sets.servers);
  Account(entries_, sets.entries);
  return true;
}

bool Sync::Reload(PlanningContext& ctx, CPvData& router, bool* queued) {
  PairsScope pairs([this] { ForgetPairs(); });
  RouterState& state = routers_[router.address];
  state = RouterState();
  Follow(state, router);
  // Plan has just brought the counted records to the registries: they are the ones to load.
  const std::vector<const CQuarantineData*>& servers = servers_.order;
  const std::vector<const CKelData*>& entries = entries_.order;
  KeepAliveResetProcess(ctx.env(), router);
  RouterRun run(state, false, !servers.empty());
  // A PC outside every route of the router makes no line there: a campus's other routers' PCs
  // are not gone through for each router that comes back.
  const std::vector<const CPvrouteData*> steps = RouteSteps(router);
  std::vector<const CPcData*> behind;
  Steps(run, ctx, router, 1, steps, PcsBehind(steps, &behind), servers, entries, true, true);
  if (ctx.Interrupted()) {
    routers_.erase(router.address);
    return false;
  }
  run.Send(router);
  *queued = true;
  return true;
}

StateSyncFootprint Sync::Footprint() const {
  StateSyncFootprint f;
  f.routers = routers_.size();
  for (const auto& [address, state] : routers_) {
    size_t lines = state.client.size() + state.kel.size();
    f.lines += lines;
    // A node of an unordered_map<LineKey, uint32_t>: key, value, next pointer, cached hash;
    // plus one bucket pointer each.
    f.bytes += lines * (sizeof(LineKey) + sizeof(uint32_t) + 2 * sizeof(void*) + sizeof(void*)) +
               sizeof(RouterState);
  }
  return f;
}

Sync& TheSync() {
  static Sync* sync = new Sync();  // lives as long as the process
  return *sync;
}

}  // namespace

void StateSyncConfigure() {
  std::string value = platform::ReadProfileString("VoKelMng.ini", "ACL", "SYNC", "", 256);
  StateSyncEnableForTest(value == "state");
}

void StateSyncEnableForTest(bool on) {
  Sync& sync = TheSync();
  std::lock_guard<std::mutex> hold(sync.mutex);
  sync.Clear();
  sync.on = on;
}

bool StateSyncOn() { return TheSync().on.load(); }

void StateSyncPlan(const AclEnvironment& env) {
  Sync& sync = TheSync();
  std::lock_guard<std::mutex> hold(sync.mutex);
  PlanningContext ctx(env);
  bool queued = false;
  try {
    sync.Plan(ctx, &queued);
  } catch (...) {
    // Counts half applied are worth nothing: every router starts over with a reload.
    sync.Clear();
    if (auto* routers = ctx.Routers()) {
      for (CPvData* r : routers->records) {
        if (r->alive && !r->pendingDelete) RouterSyncMarkOut(r->address, r->port, true);
      }
    }
    Syslog(kLogCrit, "StateSyncPlan: I failed in securing of memory.");
  }
  if (queued && AclEventSend(env) == 0) {
    Syslog(kLogErr, "StateSyncPlan: An error occurred in EventSend.");
  }
}

bool StateSyncReload(const AclEnvironment& env, const std::array<uint8_t, 4>& address) {
  Sync& sync = TheSync();
  std::lock_guard<std::mutex> hold(sync.mutex);
  PlanningContext ctx(env);
  bool queued = false;
  bool done = false;
  try {
    // The counts of the other routers first, so that this one is counted from the same records.
    if (sync.Plan(ctx, &queued)) {
      std::unique_ptr<CPvData> router;
      {
        CPvList& list = PvList();
        CKelListLock hold(list);
        const CPvData* last = nullptr;
        for (CKelNode* n = list.GetHead(1); n != nullptr; n = list.GetNext(n, 1)) {
          const auto* r = static_cast<const CPvData*>(n->data);
          if (!r->pendingDelete && r->alive && r->address == address) last = r;
        }
        if (last != nullptr) {
          router = std::make_unique<CPvData>();
          *router = *last;
        }
      }
      if (router != nullptr) done = sync.Reload(ctx, *router, &queued);
    }
  } catch (...) {
    sync.Forget(address);
    Syslog(kLogCrit, "StateSyncReload: I failed in securing of memory.");
  }
  if (queued && AclEventSend(env) == 0) {
    Syslog(kLogErr, "StateSyncReload: An error occurred in EventSend.");
  }
  return done;
}

void StateSyncForget(const std::array<uint8_t, 4>& address, const std::function<void()>& alsoHeld) {
  Sync& sync = TheSync();
  std::lock_guard<std::mutex> hold(sync.mutex);
  sync.Forget(address);
  if (alsoHeld) alsoHeld();
}

StateSyncFootprint StateSyncMemory() {
  Sync& sync = TheSync();
  std::lock_guard<std::mutex> hold(sync.mutex);
  return sync.Footprint();
}