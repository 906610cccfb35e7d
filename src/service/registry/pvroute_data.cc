#include "service/registry/pvroute_data.h"

#include "service/registry/registry_ops.h"

namespace {

const CPvrouteData& Route(const CKelRecord* record) {
  return *static_cast<const CPvrouteData*>(record);
}

// Each network under its own netmask gives the same value.
bool NetworksMatch(const CPvrouteData& a, const CPvrouteData& b) {
  for (int i = 0; i < 4; ++i) {
    if ((a.network[i] & a.netmask[i]) != (b.network[i] & b.netmask[i])) return false;
  }
  return true;
}

// The network under its own netmask, as one number: equal exactly when NetworksMatch.
uint32_t NetworkKey(const CKelRecord& record) {
  const CPvrouteData& route = Route(&record);
  uint32_t key = 0;
  for (int i = 0; i < 4; ++i) key = (key << 8) | (route.network[i] & route.netmask[i]);
  return key;
}

}  // namespace

int PvrouteDuplicateMatch(const CKelRecord* candidate, const CKelRecord* key) {
  const CPvrouteData& c = Route(candidate);
  const CPvrouteData& k = Route(key);
  return !c.pendingDelete && c.devText == k.devText && NetworksMatch(c, k);
}

int PvrouteMatch(const CKelRecord* candidate, const CKelRecord* key) {
  const CPvrouteData& c = Route(candidate);
  const CPvrouteData& k = Route(key);
  if (!k.devText.empty() && c.devText != k.devText) return 0;
  return NetworksMatch(c, k);
}

int PvrouteActiveMatch(const CKelRecord* candidate, const CKelRecord* key) {
  return !candidate->pendingDelete && PvrouteMatch(candidate, key);
}

int PvroutePendingAddMatch(const CKelRecord* candidate, const CKelRecord* key) {
  return candidate->pendingAdd && PvrouteMatch(candidate, key);
}

int PvroutePendingDeleteMatch(const CKelRecord* candidate, const CKelRecord* key) {
  return candidate->pendingDelete && PvrouteMatch(candidate, key);
}

int CPvrouteList::Add(CPvrouteData* route, int locked) {
  return RegistryAdd(*this, route, PvrouteDuplicateMatch, locked);
}

void CPvrouteList::MarkDeleted(const CPvrouteData& key, int locked) {
  MarkMatching(key, PvrouteActiveMatch, locked);
}

void CPvrouteList::MarkAll(int32_t flag, int locked) { MarkAllNoted(flag, locked); }

CPvrouteData* CPvrouteList::FindActive(const CPvrouteData& key, int locked) {
  return RegistryFind(*this, key, PvrouteActiveMatch, locked);
}

CPvrouteData* CPvrouteList::FindPendingAdd(const CPvrouteData& key, int locked) {
  return RegistryFind(*this, key, PvroutePendingAddMatch, locked);
}

CPvrouteData* CPvrouteList::FindPendingDelete(const CPvrouteData& key, int locked) {
  return RegistryFind(*this, key, PvroutePendingDeleteMatch, locked);
}

void CPvrouteList::IndexInsert(const CKelRecord& record, uint64_t seq, CKelNode* node) {
  byNetwork_.Insert(NetworkKey(record), seq, node);
}

bool CPvrouteList::IndexErase(const CKelRecord& record, uint64_t seq) {
  return byNetwork_.Erase(NetworkKey(record), seq);
}

void CPvrouteList::IndexClear() { byNetwork_.Clear(); }

bool CPvrouteList::IndexCandidates(const CKelRecord& key, CKelMatch match, CIndexVisitor& visitor) {
  if (match != PvrouteDuplicateMatch && match != PvrouteMatch && match != PvrouteActiveMatch &&
      match != PvroutePendingAddMatch && match != PvroutePendingDeleteMatch) {
    return false;
  }
  byNetwork_.Visit(NetworkKey(key), visitor);
  return true;
}

int CPvrouteList::CopyTo(CPvrouteList* target, int locked) {
  return RegistryCopyTo<CPvrouteData>(*this, target, PvrouteDuplicateMatch,
                                      "I was not able to add CPvrouteData data to a queue.",
                                      "I failed in start of CPvrouteData.", locked);
}

int CPvrouteList::CopyAsIs(CPvrouteList* target, int locked) {
  return RegistryCopyTo<CPvrouteData>(*this, target, nullptr,
                                      "I was not able to add CPvrouteData data to a queue.",
                                      "I failed in start of CPvrouteData.", locked);
}
