// The walks of the access-list planning over registry snapshots: routers that are ON, the
// route fan-out of one router, PC entries, quarantine servers and access entries. One snapshot
// of each registry is taken on first use and shared by every level of one notification. The
// snapshots belong to the thread that runs the notification alone, so their walks take no lock:
// the only locks taken while walking are the registries' own, one at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "service/acl/acl_environment.h"
#include "service/acl/entry_match.h"
#include "service/registry/kel_data.h"
#include "service/registry/pc_data.h"
#include "service/registry/pv_data.h"
#include "service/registry/pvroute_data.h"
#include "service/registry/quarantine_data.h"

// A private copy of one registry (of type List): the copies, owned, and the same in order.
// One array owns them, made in one allocation: the snapshot needs neither the list's links nor
// its indexes, and a notification copies every PC.
template <class List, class T>
struct RegistrySnapshot {
  std::unique_ptr<T[]> owned;
  std::vector<T*> records;
  bool tried = false;
  bool taken = false;
};

// The state of one notification (or one router resend): the environment, the snapshots and
// whether a walk was ended by the stop flag. Used by one thread only.
class PlanningContext {
 public:
  explicit PlanningContext(const AclEnvironment& env);
  ~PlanningContext();
  PlanningContext(const PlanningContext&) = delete;
  PlanningContext& operator=(const PlanningContext&) = delete;

  const AclEnvironment& env() const { return env_; }
  // Reads the stop flag before an element; once seen set, Interrupted() stays true.
  bool StopNow() {
    if (!interrupted_ && env_.Stopping()) interrupted_ = true;
    return interrupted_;
  }
  bool Interrupted() const { return interrupted_; }

  // The snapshots, taken on first call; null (and "I failed in a list search of ..." logged at
  // err) when one cannot be taken.
  RegistrySnapshot<CPvList, CPvData>* Routers();
  RegistrySnapshot<CPcList, CPcData>* Pcs();
  // Parts of the PC snapshot, for walks that would pass over every other PC: taken the same
  // way (once, on first call, in the registry's order) but copying only what they name. At
  // 100,000 PCs the copy of the whole registry is most of the cost of a kel add or a pc add.
  // MarkedPcs: the PCs that carry a mark (pendingAdd or pendingDelete).
  RegistrySnapshot<CPcList, CPcData>* MarkedPcs();
  // PcsFor: the PCs not being deleted that any of `entries` may apply to (EntryMayApply): those
  // without an address, and those with an entry's address. `entries` counts only at the first
  // call.
  RegistrySnapshot<CPcList, CPcData>* PcsFor(const std::vector<const CKelData*>& entries);
  // PcsBehind: the PCs that may lie behind the routes of router copy `router` not being deleted
  // (CPcList::BehindRoutes): those a walk of its route steps would not pass over. The whole
  // snapshot (Pcs) for a router without routes, whose one step has no route. For a context
  // that serves one router: asked again for another router, it gives Pcs().
  RegistrySnapshot<CPcList, CPcData>* PcsBehind(CPvData& router);
  RegistrySnapshot<CQuarantineList, CQuarantineData>* Servers();
  RegistrySnapshot<CKelDataList, CKelData>* Entries();
  // The access entries of the snapshot not being deleted that may apply to PC `pc` of the PC
  // snapshot (EntryPairing), in the registry's order; found once per PC and kept while the
  // context lives. Null, as Entries(), when the entries cannot be had.
  const std::vector<const CKelData*>* EntriesFor(const CPcData& pc);

 private:
  const AclEnvironment& env_;
  bool interrupted_ = false;
  RegistrySnapshot<CPvList, CPvData> routers_;
  RegistrySnapshot<CPcList, CPcData> pcs_;
  RegistrySnapshot<CPcList, CPcData> markedPcs_;
  RegistrySnapshot<CPcList, CPcData> entryPcs_;
  RegistrySnapshot<CPcList, CPcData> behindPcs_;
  const CPvData* behindRouter_ = nullptr;  // the router behindPcs_ was taken for
  RegistrySnapshot<CQuarantineList, CQuarantineData> servers_;
  RegistrySnapshot<CKelDataList, CKelData> entries_;
  // EntriesFor: the live entries of the snapshot, paired on first use.
  std::unique_ptr<EntryPairing> pairing_;
};

// Calls fn(record) for each record of the snapshot in order that `want` accepts, reading the
// stop flag before each element.
template <class List, class T, class Want, class Fn>
void WalkSnapshot(PlanningContext& ctx, RegistrySnapshot<List, T>* snapshot, Want&& want, Fn&& fn) {
  if (snapshot == nullptr) return;
  for (T* record : snapshot->records) {
    if (ctx.StopNow()) return;
    if (want(*record)) fn(*record);
  }
}

// The same over the routes of a router copy: fn(const CPvrouteData&) for each route not being
// deleted.
template <class Fn>
void WalkRoutes(PlanningContext& ctx, CPvData& router, Fn&& fn) {
  for (CKelNode* n = router.routes.GetHead(1); n != nullptr; n = router.routes.GetNext(n, 1)) {
    if (ctx.StopNow()) return;
    const auto& route = *static_cast<const CPvrouteData*>(n->data);
    if (!route.pendingDelete) fn(route);
  }
}

// Routers of the snapshot that are ON and not being deleted: fn(CPvData&).
template <class Fn>
void RouterWalk(PlanningContext& ctx, Fn&& fn) {
  WalkSnapshot(
      ctx, ctx.Routers(), [](const CPvData& r) { return !r.pendingDelete && r.alive; }, fn);
}

// One step without route (fn(nullptr)) when the router has no route at all; otherwise one step
// per route not being deleted (fn(const CPvrouteData*)).
template <class Fn>
void RouteFanOut(PlanningContext& ctx, CPvData& router, Fn&& fn) {
  if (router.routes.IsEmpty(1)) {
    if (!ctx.StopNow()) fn(static_cast<const CPvrouteData*>(nullptr));
    return;
  }
  WalkRoutes(ctx, router, [&fn](const CPvrouteData& t) { fn(&t); });
}

// PC entries not being deleted: fn(const CPcData&).
template <class Fn>
void PcWalk(PlanningContext& ctx, Fn&& fn) {
  WalkSnapshot(
      ctx, ctx.Pcs(), [](const CPcData& p) { return !p.pendingDelete; }, fn);
}

// Quarantine servers not being deleted that have an address: fn(const CQuarantineData&).
template <class Fn>
void ServerWalk(PlanningContext& ctx, Fn&& fn) {
  WalkSnapshot(
      ctx, ctx.Servers(),
      [](const CQuarantineData& q) { return !q.pendingDelete && !q.sourceText.empty(); }, fn);
}

// Access entries not being deleted: fn(const CKelData&).
template <class Fn>
void EntryWalk(PlanningContext& ctx, Fn&& fn) {
  WalkSnapshot(
      ctx, ctx.Entries(), [](const CKelData& e) { return !e.pendingDelete; }, fn);
}
