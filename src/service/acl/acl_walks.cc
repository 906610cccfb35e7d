#include "service/acl/acl_walks.h"

#include <memory>
#include <new>
#include <utility>

#include "common/syslog.h"

namespace {

// Copies every record of `source` in order, both flags included, into the empty snapshot `slot`,
// which no other thread can reach. Throws when the memory cannot be had: a snapshot is whole or
// not taken at all.
// This is the registry's CopyTo without its duplicate check of each copy: every record came in
// through the registry's Add, whose check and insertion share one hold of the lock, and no mark
// is ever taken back, so no copy could fail that check; it would only cost a number of matches
// that grows with the square of the registry's size (tens of millions for 10,000 PCs).
template <class List, class T>
void CopyRecords(CKelList& source, RegistrySnapshot<List, T>& slot, const char* refused) {
  CKelListLock hold(source);
  const size_t count = static_cast<size_t>(source.GetCount(1));
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
  size_t i = 0;
  for (CKelNode* node = source.GetHead(1); node != nullptr && i < count;
       node = source.GetNext(node, 1), ++i) {
    slot.owned[i] = *static_cast<const T*>(node->data);
    slot.records.push_back(&slot.owned[i]);
  }
}

// Takes the snapshot once; logs `failure` when it cannot be had.
template <class List, class T>
RegistrySnapshot<List, T>* Take(RegistrySnapshot<List, T>& slot, CKelList& source,
                                const char* refused, const char* failure) {
  if (!slot.tried) {
    slot.tried = true;
    try {
      CopyRecords(source, slot, refused);
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

}  // namespace

PlanningContext::PlanningContext(const AclEnvironment& env) : env_(env) {}

PlanningContext::~PlanningContext() = default;

RegistrySnapshot<CPvList, CPvData>* PlanningContext::Routers() {
  return Take(routers_, PvList(), "I was not able to add CPvData data to a queue.",
              "I failed in a list search of CPvData.");
}

RegistrySnapshot<CPcList, CPcData>* PlanningContext::Pcs() {
  return Take(pcs_, PcList(), "I was not able to add CPcData data to a queue.",
              "I failed in a list search of CPcData.");
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
