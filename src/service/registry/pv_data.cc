#include "service/registry/pv_data.h"

#include "common/syslog.h"
#include "service/registry/registry_ops.h"

namespace {

const CPvData& Router(const CKelRecord* record) { return *static_cast<const CPvData*>(record); }

uint32_t AddressKey(const CKelRecord& record) {
  const auto& a = static_cast<const CPvData&>(record).address;
  return (uint32_t{a[0]} << 24) | (uint32_t{a[1]} << 16) | (uint32_t{a[2]} << 8) | a[3];
}

}  // namespace

CPvData& CPvData::operator=(const CPvData& other) {
  if (this == &other) return *this;
  CKelRecord::operator=(other);
  addressText = other.addressText;
  address = other.address;
  portText = other.portText;
  port = other.port;
  user = other.user;
  password = other.password;
  intervalText = other.intervalText;
  interval = other.interval;
  missLimitText = other.missLimitText;
  missLimit = other.missLimit;
  // Taking the source route list's lock does not change the source's contents. The routes
  // came in through their list's Add, so the copy needs no duplicate check of each.
  const_cast<CPvrouteList&>(other.routes).CopyAsIs(&routes);
  lastProbe = other.lastProbe;
  misses = other.misses;
  alive = other.alive;
  probeOutstanding = other.probeOutstanding;
  resendPending = other.resendPending;
  onTransitions = other.onTransitions;
  return *this;
}

int PvDuplicateMatch(const CKelRecord* candidate, const CKelRecord* key) {
  return !candidate->pendingDelete && Router(candidate).address == Router(key).address;
}

int PvRouterMatch(const CKelRecord* candidate, const CKelRecord* key) {
  const CPvData& c = Router(candidate);
  const CPvData& k = Router(key);
  if (!k.portText.empty() && c.port != k.port) return 0;
  return c.address == k.address;
}

int PvActiveMatch(const CKelRecord* candidate, const CKelRecord* key) {
  return !candidate->pendingDelete && PvRouterMatch(candidate, key);
}

int PvPendingAddMatch(const CKelRecord* candidate, const CKelRecord* key) {
  return candidate->pendingAdd && PvRouterMatch(candidate, key);
}

int PvPendingDeleteMatch(const CKelRecord* candidate, const CKelRecord* key) {
  return candidate->pendingDelete && PvRouterMatch(candidate, key);
}

int CPvList::Add(CPvData* router, int locked) {
  return RegistryAdd(*this, router, PvDuplicateMatch, locked);
}

void CPvList::MarkDeleted(const CPvData& key, int locked) {
  MarkMatching(key, PvActiveMatch, locked);
}

void CPvList::MarkAll(int32_t flag, int locked) { MarkAllNoted(flag, locked); }

CPvData* CPvList::FindActive(const CPvData& key, int locked) {
  return RegistryFind(*this, key, PvActiveMatch, locked);
}

CPvData* CPvList::FindPendingAdd(const CPvData& key, int locked) {
  return RegistryFind(*this, key, PvPendingAddMatch, locked);
}

CPvData* CPvList::FindPendingDelete(const CPvData& key, int locked) {
  return RegistryFind(*this, key, PvPendingDeleteMatch, locked);
}

CPvData* CPvList::FindActiveByAddress(const uint8_t address[4], int locked) {
  CPvData key;
  key.address = {address[0], address[1], address[2], address[3]};
  return RegistryFind(*this, key, PvDuplicateMatch, locked);
}

void CPvList::IndexInsert(const CKelRecord& record, uint64_t seq, CKelNode* node) {
  byAddress_.Insert(AddressKey(record), seq, node);
}

bool CPvList::IndexErase(const CKelRecord& record, uint64_t seq) {
  return byAddress_.Erase(AddressKey(record), seq);
}

void CPvList::IndexClear() { byAddress_.Clear(); }

bool CPvList::IndexCandidates(const CKelRecord& key, CKelMatch match, CIndexVisitor& visitor) {
  if (match != PvDuplicateMatch && match != PvRouterMatch && match != PvActiveMatch &&
      match != PvPendingAddMatch && match != PvPendingDeleteMatch) {
    return false;
  }
  byAddress_.Visit(AddressKey(key), visitor);
  return true;
}

int CPvList::CopyTo(CPvList* target, int locked) {
  return RegistryCopyTo<CPvData>(*this, target, PvDuplicateMatch,
                                 "I was not able to add CPvData data to a queue.",
                                 "I failed in start of CPvData.", locked);
}

namespace {

// The live router at `address` with its probe answered, or nullptr (logged) when there is none.
// The caller holds the list's lock.
CPvData* AnsweredRouter(CPvList& list, const uint8_t address[4]) {
  CPvData* router = list.FindActiveByAddress(address, 1);
  if (router == nullptr) {
    Syslog(kLogErr, "I failed in a search of PV.");
    return nullptr;
  }
  router->probeOutstanding = 0;
  return router;
}

}  // namespace

int CPvList::DiagnoseOn(const uint8_t address[4]) {
  CKelListLock lock(*this);
  CPvData* router = AnsweredRouter(*this, address);
  if (router == nullptr) return 0;
  int changed = 0;
  if (router->alive == 0) {
    router->resendPending = 1;
    ++router->onTransitions;
    Syslog(kLogInfo, "PV(%d.%d.%d.%d) was diagnosed as ON by a keep alive function.", address[0],
           address[1], address[2], address[3]);
    changed = 1;
  }
  router->alive = 1;
  router->misses = 0;
  return changed;
}

int CPvList::DiagnoseOff(const uint8_t address[4]) {
  CKelListLock lock(*this);
  CPvData* router = AnsweredRouter(*this, address);
  if (router == nullptr || router->alive != 1) return 0;
  uint32_t before = router->misses++;
  if (router->missLimit > before) return 0;
  router->alive = 0;
  Syslog(kLogWarning, "PV(%d.%d.%d.%d) was diagnosed as OFF by a keep alive function.", address[0],
         address[1], address[2], address[3]);
  return 1;
}

CPvList& PvList() {
  // Never destroyed: threads may still reach the registry while the process exits.
  static CPvList* list = new CPvList;
  return *list;
}
