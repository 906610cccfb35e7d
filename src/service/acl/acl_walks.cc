#include "service/acl/acl_walks.h"

#include <array>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "common/syslog.h"

namespace {

// Copies the records that `gather` names (it fills a vector with them, in order, under the
// registry's lock), both flags included, into the empty snapshot `slot`, which no other thread
// can reach. Throws when the memory cannot be had: a snapshot is whole or not taken at all.
// This is the registry's CopyTo without its duplicate check of each copy: every record came in
// through the registry's Add, whose check and insertion share one hold of the lock, and no mark
// is ever taken back, so no copy could fail that check; it would only cost a number of matches
// that grows with the square of the registry's size (tens of millions for 10,000 PCs).
template <class List, class T, class Gather>
void CopyRecords(CKelList& source, RegistrySnapshot<List, T>& slot, const char* refused,
                 Gather&& gather) {
  CKelListLock hold(source);
  std::vector<const T*> kept;
  try {
    gather(kept);
  } catch (...) {
    Syslog(kLogWarning, "%s", refused);
    throw;
  }
  const size_t count = kept.size();
  slot.owned.reset(new (std::nothrow) T[count]);
  if (slot.owned == nullptr) {
    Syslog(kLogCrit, "I failed in start of CPvData.");
    throw std::bad_alloc();
  }
  try {
    slot.records.reserve(count);
  } catch (...) {
    Syslog(kLogWarning, "%s", refused);
    throw;
  }
  for (size_t i = 0; i < count; ++i) {
    slot.owned[i] = *kept[i];
    slot.records.push_back(&slot.owned[i]);
  }
}

// A gather of the records of `source` that `keep` accepts, by a walk of the list.
template <class T, class Keep>
auto Walked(CKelList& source, Keep keep) {
  return [&source, keep](std::vector<const T*>& kept) {
    kept.reserve(static_cast<size_t>(source.GetCount(1)));
    for (CKelNode* node = source.GetHead(1); node != nullptr; node = source.GetNext(node, 1)) {
      const auto* record = static_cast<const T*>(node->data);
      if (keep(*record)) kept.push_back(record);
    }
  };
}

// Takes the snapshot once; logs `failure` when it cannot be had.
template <class List, class T, class Gather>
RegistrySnapshot<List, T>* Take(RegistrySnapshot<List, T>& slot, CKelList& source,
                                const char* refused, const char* failure, Gather&& gather) {
  if (!slot.tried) {
    slot.tried = true;
    try {
      CopyRecords(source, slot, refused, gather);
      slot.taken = true;
    } catch (...) {
      slot.records.clear();
      slot.owned.reset();
    }
  }
  if (!slot.taken) {
    Syslog(kLogErr, "%s", failure);
    return nullptr;
  }
  return &slot;
}

template <class List, class T>
RegistrySnapshot<List, T>* Take(RegistrySnapshot<List, T>& slot, CKelList& source,
                                const char* refused, const char* failure) {
  return Take(slot, source, refused, failure, Walked<T>(source, [](const T&) { return true; }));
}

constexpr char kPcRefused[] = "I was not able to add CPcData data to a queue.";
constexpr char kPcFailure[] = "I failed in a list search of CPcData.";

}  // namespace

PlanningContext::PlanningContext(const AclEnvironment& env) : env_(env) {}

PlanningContext::~PlanningContext() = default;

RegistrySnapshot<CPvList, CPvData>* PlanningContext::Routers() {
  return Take(routers_, PvList(), "I was not able to add CPvData data to a queue.",
              "I failed in a list search of CPvData.");
}

RegistrySnapshot<CPcList, CPcData>* PlanningContext::Pcs() {
  return Take(pcs_, PcList(), kPcRefused, kPcFailure);
}

RegistrySnapshot<CPcList, CPcData>* PlanningContext::MarkedPcs() {
  // The registry notes the PCs given a mark: no walk of the others.
  return Take(markedPcs_, PcList(), kPcRefused, kPcFailure,
              [](std::vector<const CPcData*>& kept) { kept = PcList().Marked(); });
}

RegistrySnapshot<CPcList, CPcData>* PlanningContext::PcsFor(
    const std::vector<const CKelData*>& entries) {
  // EntryMayApply: a PC with an address takes only the entries of that address. The registry's
  // index by address finds those PCs without walking the others.
  return Take(entryPcs_, PcList(), kPcRefused, kPcFailure,
              [&entries](std::vector<const CPcData*>& kept) {
                std::vector<std::array<uint8_t, 4>> sources;
                for (const CKelData* e : entries) {
                  sources.push_back({e->source[0], e->source[1], e->source[2], e->source[3]});
                }
                for (const CPcData* p : PcList().WithoutSourceOrAt(sources)) {
                  if (!p->pendingDelete) kept.push_back(p);
                }
              });
}

RegistrySnapshot<CPcList, CPcData>* PlanningContext::PcsBehind(CPvData& router) {
  if (router.routes.IsEmpty(1)) return Pcs();
  if (behindRouter_ == nullptr) behindRouter_ = &router;
  if (behindRouter_ != &router) return Pcs();
  return Take(behindPcs_, PcList(), kPcRefused, kPcFailure,
              [&router](std::vector<const CPcData*>& kept) {
                std::vector<CPcList::Network> routes;
                for (CKelNode* n = router.routes.GetHead(1); n != nullptr;
                     n = router.routes.GetNext(n, 1)) {
                  const auto* t = static_cast<const CPvrouteData*>(n->data);
                  if (!t->pendingDelete) routes.emplace_back(t->network, t->netmask);
                }
                for (const CPcData* p : PcList().BehindRoutes(routes)) {
                  if (!p->pendingDelete) kept.push_back(p);
                }
              });
}

RegistrySnapshot<CQuarantineList, CQuarantineData>* PlanningContext::Servers() {
  return Take(servers_, QuarantineList(), "I was not able to add CQuarantineData data to a queue.",
              "I failed in a list search of CQuarantineData.");
}

RegistrySnapshot<CKelDataList, CKelData>* PlanningContext::Entries() {
  return Take(entries_, KelDataList(), "I was not able to add CKelData data to a queue.",
              "I failed in a list search of CKelData.");
}

const std::vector<const CKelData*>* PlanningContext::EntriesFor(const CPcData& pc) {
  RegistrySnapshot<CKelDataList, CKelData>* entries = Entries();
  if (entries == nullptr) return nullptr;
  if (pairing_ == nullptr) {
    std::vector<const CKelData*> live;
    for (const CKelData* e : entries->records) {
      if (!e->pendingDelete) live.push_back(e);
    }
    pairing_ = std::make_unique<EntryPairing>(std::move(live));
  }
  return &pairing_->EntriesFor(pc);
}
