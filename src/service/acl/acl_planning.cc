#include "service/acl/acl_planning.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <unordered_map>
#include <vector>

#include "service/acl/acl_client_process.h"
#include "service/acl/entry_match.h"

namespace {

constexpr LineOpcode kOpAdd = LineOpcode::kAdd;
constexpr LineOpcode kOpDelete = LineOpcode::kDelete;

// The walks of one access entry: every router that is ON, every route step, every PC. The PCs
// the entry cannot apply to behind any route are passed over once, on the first route step,
// rather than at every step of every router; and the PCs none of the marked entries `marked`
// can apply to are not even copied (PcsFor), so a walk sees the PCs it would have kept from
// the whole registry, in the same order.
void KelEntryWalk(PlanningContext& ctx, const CKelData& entry, LineOpcode opcode,
                  const std::vector<const CKelData*>& marked) {
  EntryPairing pairing({&entry});
  std::vector<const CPcData*> pcs;
  bool pcsTaken = false;
  RouterWalk(ctx, [&](CPvData& r) {
    RouteFanOut(ctx, r, [&](const CPvrouteData* t) {
      if (!pcsTaken) {
        pcsTaken = true;
        WalkSnapshot(
            ctx, ctx.PcsFor(marked), [](const CPcData& p) { return !p.pendingDelete; },
            [&](const CPcData& p) {
              if (pairing.MayPair(p)) pcs.push_back(&p);
            });
      }
      for (const CPcData* p : pcs) {
        if (ctx.StopNow()) return;
        KelCommandAclQuarantineProcess(ctx.env(), &entry, &r, t, p, opcode);
      }
    });
  });
}

// The walks of one route T of router R: every PC, every quarantine server.
void RouteWalk(PlanningContext& ctx, CPvData& r, const CPvrouteData& t, LineOpcode opcode) {
  PcWalk(ctx, [&](const CPcData& p) {
    if (PcOutsideRoute(p, t)) return;
    ServerWalk(ctx, [&](const CQuarantineData& q) {
      KelCommandAclClientProcess(ctx, r, &t, p, q, opcode);
    });
  });
}

// The walks of one PC entry: every router that is ON, every route step, every server.
void PcEntryWalk(PlanningContext& ctx, const CPcData& p, LineOpcode opcode) {
  RouterWalk(ctx, [&](CPvData& r) {
    RouteFanOut(ctx, r, [&](const CPvrouteData* t) {
      if (t != nullptr && PcOutsideRoute(p, *t)) return;
      ServerWalk(ctx, [&](const CQuarantineData& q) {
        KelCommandAclClientProcess(ctx, r, t, p, q, opcode);
      });
    });
  });
}

// The walks of one quarantine server: every PC, every router that is ON, every live route
// (a router without routes gets nothing here). The (router, route) steps are listed once, in
// the walks' order, and indexed by their network under each netmask: a PC with an address and
// no network goes only through the steps whose network holds it, which are the ones the walks
// would not pass over, in the same order. At a campus's 100,000 PCs and 4,000 routes that
// spares 400 million comparisons.
void ServerEntryWalk(PlanningContext& ctx, const CQuarantineData& q, LineOpcode opcode) {
  struct Step {
    CPvData* router;
    const CPvrouteData* route;
  };
  std::vector<Step> steps;
  RouterWalk(ctx, [&](CPvData& r) {
    WalkRoutes(ctx, r, [&](const CPvrouteData& t) { steps.push_back({&r, &t}); });
  });
  if (ctx.Interrupted() || steps.empty()) return;
  auto key = [](const std::array<uint8_t, 4>& bytes) { return SourceKeyOf(bytes.data()); };
  // Netmask -> network under it -> the indices of its steps, ascending.
  std::map<uint32_t, std::unordered_map<uint32_t, std::vector<size_t>>> byNetwork;
  std::vector<size_t> every(steps.size());
  for (size_t i = 0; i < steps.size(); ++i) {
    const uint32_t mask = key(steps[i].route->netmask);
    byNetwork[mask][key(steps[i].route->network) & mask].push_back(i);
    every[i] = i;
  }
  std::vector<size_t> holding;
  PcWalk(ctx, [&](const CPcData& p) {
    const std::vector<size_t>* chosen = &every;
    if (p.HasSource() && !p.HasNetwork()) {  // as PcOutsideRoute tells
      holding.clear();
      const uint32_t source = key(p.source);
      for (const auto& [mask, networks] : byNetwork) {
        auto found = networks.find(source & mask);
        if (found != networks.end()) {
          holding.insert(holding.end(), found->second.begin(), found->second.end());
        }
      }
      if (byNetwork.size() > 1) std::sort(holding.begin(), holding.end());
      chosen = &holding;
    }
    for (size_t i : *chosen) {
      if (ctx.StopNow()) return;
      KelCommandAclClientProcess(ctx, *steps[i].router, steps[i].route, p, q, opcode);
    }
  });
}

// Calls fn(record) for every record of the snapshot in order, reading the stop flag before each.
template <class List, class T, class Fn>
void FamilyLoop(PlanningContext& ctx, RegistrySnapshot<List, T>* snapshot, Fn&& fn) {
  WalkSnapshot(
      ctx, snapshot, [](const T&) { return true; }, fn);
}

// Clears pendingAdd of (add) or removes (delete) the registry record that the pending lookup
// finds with the snapshot copy as key, under the registry's lock.
template <class List, class T>
void SettleMark(List& registry, const T& copy, bool added) {
  CKelListLock hold(registry);
  if (added) {
    if (T* found = registry.FindPendingAdd(copy, 1)) found->pendingAdd = 0;
  } else if (T* found = registry.FindPendingDelete(copy, 1)) {
    registry.RemoveData(found, 1);
  }
}

// The same for a route of router R: the router registry's lock, then the live router's routes.
void SettleRouteMark(const CPvData& r, const CPvrouteData& t, bool added) {
  CPvList& routers = PvList();
  CKelListLock hold(routers);
  CPvData* live = routers.FindActive(r, 1);
  if (live != nullptr) SettleMark(live->routes, t, added);
}

}  // namespace

namespace {

void ReloadWalk(PlanningContext& ctx, CPvData& r, LineOpcode opcode,
                RegistrySnapshot<CPcList, CPcData>* pcs) {
  RouteFanOut(ctx, r, [&](const CPvrouteData* t) {
    WalkSnapshot(
        ctx, pcs, [](const CPcData& p) { return !p.pendingDelete; },
        [&](const CPcData& p) {
          if (t != nullptr && PcOutsideRoute(p, *t)) return;
          ServerWalk(ctx, [&](const CQuarantineData& q) {
            KelCommandAclClientProcess(ctx, r, t, p, q, opcode);
          });
        });
  });
}

}  // namespace

void RouterReloadWalk(PlanningContext& ctx, CPvData& r, LineOpcode opcode) {
  ReloadWalk(ctx, r, opcode, ctx.Pcs());
}

void RouterReloadWalkAlone(PlanningContext& ctx, CPvData& r, LineOpcode opcode) {
  ReloadWalk(ctx, r, opcode, ctx.PcsBehind(r));
}

namespace {

// True when some access entry carries a mark. Commands that arrive together queue one
// notification each, and the first run plans the marks of all of them: the later runs then find
// nothing to do, and this walk of the list spares them a copy of it (a copy costs an allocation
// per entry, under the registry's lock).
bool AnyEntryMarked() {
  CKelDataList& list = KelDataList();
  CKelListLock hold(list);
  for (CKelNode* n = list.GetHead(1); n != nullptr; n = list.GetNext(n, 1)) {
    const auto& e = *static_cast<const CKelData*>(n->data);
    if (e.pendingAdd || e.pendingDelete) return true;
  }
  return false;
}

}  // namespace

void KelFamilyProcess(PlanningContext& ctx) {
  if (!AnyEntryMarked()) return;
  std::vector<const CKelData*> marked;
  if (auto* entries = ctx.Entries()) {
    for (const CKelData* e : entries->records) {
      if (e->pendingAdd || e->pendingDelete) marked.push_back(e);
    }
  }
  FamilyLoop(ctx, ctx.Entries(), [&](const CKelData& e) {
    if (!e.pendingAdd && !e.pendingDelete) return;
    KelEntryWalk(ctx, e, e.pendingAdd ? kOpAdd : kOpDelete, marked);
    if (!ctx.Interrupted()) SettleMark(KelDataList(), e, e.pendingAdd != 0);
  });
}

void PvFamilyProcess(PlanningContext& ctx) {
  FamilyLoop(ctx, ctx.Routers(), [&](CPvData& r) {
    if (!r.alive || (!r.pendingAdd && !r.pendingDelete)) return;
    RouterReloadWalk(ctx, r, r.pendingAdd ? kOpAdd : kOpDelete);
    if (!ctx.Interrupted()) SettleMark(PvList(), r, r.pendingAdd != 0);
  });
}

void PvrouteFamilyProcess(PlanningContext& ctx) {
  FamilyLoop(ctx, ctx.Routers(), [&](CPvData& r) {
    if (r.pendingDelete || !r.alive) return;
    // The routes of one router are all looked at, even once the stop flag is set; the walks
    // below end at once then and the marks stay.
    for (CKelNode* n = r.routes.GetHead(1); n != nullptr; n = r.routes.GetNext(n, 1)) {
      const CPvrouteData& t = *static_cast<const CPvrouteData*>(n->data);
      if (!t.pendingAdd && !t.pendingDelete) continue;
      RouteWalk(ctx, r, t, t.pendingAdd ? kOpAdd : kOpDelete);
      if (!ctx.Interrupted()) SettleRouteMark(r, t, t.pendingAdd != 0);
    }
  });
}

// Only the marked PCs are copied: the others would be passed over.
void PcFamilyProcess(PlanningContext& ctx) {
  FamilyLoop(ctx, ctx.MarkedPcs(), [&](const CPcData& p) {
    if (!p.pendingAdd && !p.pendingDelete) return;
    PcEntryWalk(ctx, p, p.pendingAdd ? kOpAdd : kOpDelete);
    if (!ctx.Interrupted()) SettleMark(PcList(), p, p.pendingAdd != 0);
  });
}

void QuarantineFamilyProcess(PlanningContext& ctx) {
  FamilyLoop(ctx, ctx.Servers(), [&](const CQuarantineData& q) {
    if (q.pendingAdd) {
      ServerEntryWalk(ctx, q, kOpAdd);
      if (ctx.Interrupted()) return;
      SettleMark(QuarantineList(), q, true);
    }
    if (q.pendingDelete) {
      ServerEntryWalk(ctx, q, kOpDelete);
      if (!ctx.Interrupted()) SettleMark(QuarantineList(), q, false);
    }
  });
}

namespace {

// Clears pendingAdd and removes the records marked pendingDelete, in the live registry.
void SettleAll(CKelList& list) {
  CKelListLock hold(list);
  for (CKelNode* n = list.GetHead(1); n != nullptr;) {
    CKelNode* next = list.GetNext(n, 1);
    if (n->data->pendingDelete) {
      list.Remove(n, 1);
    } else {
      n->data->pendingAdd = 0;
    }
    n = next;
  }
}

}  // namespace

void SettleFamilyMarks(CommandFamily family) {
  switch (family) {
    case CommandFamily::kKel:
      SettleAll(KelDataList());
      break;
    case CommandFamily::kPc: {
      // The same as SettleAll, through the registry's record of marked PCs: a hundred thousand
      // PCs are not walked for the one a command marked.
      CPcList& pcs = PcList();
      CKelListLock hold(pcs);
      for (const CPcData* marked : pcs.Marked()) {
        if (marked->pendingDelete) {
          pcs.RemoveData(marked, 1);
        } else {
          const_cast<CPcData*>(marked)->pendingAdd = 0;
        }
      }
      break;
    }
    case CommandFamily::kQuarantine:
      SettleAll(QuarantineList());
      break;
    case CommandFamily::kPv:
    case CommandFamily::kPvroute: {
      // As the planning of edits does: only routers that are ON settle; a router that is OFF
      // keeps its marks, and so do its routes, until its reload.
      CPvList& routers = PvList();
      CKelListLock hold(routers);
      for (CKelNode* n = routers.GetHead(1); n != nullptr;) {
        CKelNode* next = routers.GetNext(n, 1);
        auto* r = static_cast<CPvData*>(n->data);
        if (r->alive) {
          if (family == CommandFamily::kPv && r->pendingDelete) {
            routers.Remove(n, 1);
          } else if (family == CommandFamily::kPv) {
            r->pendingAdd = 0;
          } else if (!r->pendingDelete) {
            SettleAll(r->routes);
          }
        }
        n = next;
      }
      break;
    }
    default:
      break;
  }
}
