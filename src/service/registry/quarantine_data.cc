#include "service/registry/quarantine_data.h"

#include "service/registry/registry_ops.h"

int QuarantineServerMatch(const CKelRecord* candidate_record, const CKelRecord* key_record) {
  const auto& candidate = *static_cast<const CQuarantineData*>(candidate_record);
  const auto& key = *static_cast<const CQuarantineData*>(key_record);
  return candidate.source == key.source && candidate.protocolText == key.protocolText &&
         candidate.portText == key.portText;
}

int QuarantineDuplicateMatch(const CKelRecord* candidate, const CKelRecord* key) {
  return !candidate->pendingDelete && QuarantineServerMatch(candidate, key);
}

int QuarantineActiveMatch(const CKelRecord* candidate, const CKelRecord* key) {
  return !candidate->pendingDelete && QuarantineServerMatch(candidate, key);
}

int QuarantinePendingAddMatch(const CKelRecord* candidate, const CKelRecord* key) {
  return candidate->pendingAdd && QuarantineServerMatch(candidate, key);
}

int QuarantinePendingDeleteMatch(const CKelRecord* candidate, const CKelRecord* key) {
  return candidate->pendingDelete && QuarantineServerMatch(candidate, key);
}

int CQuarantineList::Add(CQuarantineData* record, int locked) {
  if (record == nullptr) return -1;
  return RegistryAdd(*this, record, QuarantineDuplicateMatch, locked);
}

void CQuarantineList::MarkDeleted(const CQuarantineData& key, int locked) {
  MarkMatching(key, QuarantineActiveMatch, locked);
}

void CQuarantineList::MarkAll(int32_t flag, int locked) { MarkAllNoted(flag, locked); }

CQuarantineData* CQuarantineList::FindPendingAdd(const CQuarantineData& key, int locked) {
  return RegistryFind(*this, key, QuarantinePendingAddMatch, locked);
}

CQuarantineData* CQuarantineList::FindPendingDelete(const CQuarantineData& key, int locked) {
  return RegistryFind(*this, key, QuarantinePendingDeleteMatch, locked);
}

CQuarantineList::ServerKey CQuarantineList::KeyOf(const CKelRecord& record) {
  const auto& server = static_cast<const CQuarantineData&>(record);
  const auto& a = server.source;
  uint32_t address = (uint32_t{a[0]} << 24) | (uint32_t{a[1]} << 16) | (uint32_t{a[2]} << 8) | a[3];
  return ServerKey(address, server.protocolText, server.portText);
}

void CQuarantineList::IndexInsert(const CKelRecord& record, uint64_t seq, CKelNode* node) {
  byServer_.Insert(KeyOf(record), seq, node);
}

bool CQuarantineList::IndexErase(const CKelRecord& record, uint64_t seq) {
  return byServer_.Erase(KeyOf(record), seq);
}

void CQuarantineList::IndexClear() { byServer_.Clear(); }

bool CQuarantineList::IndexCandidates(const CKelRecord& key, CKelMatch match,
                                      CIndexVisitor& visitor) {
  if (match != QuarantineServerMatch && match != QuarantineDuplicateMatch &&
      match != QuarantineActiveMatch && match != QuarantinePendingAddMatch &&
      match != QuarantinePendingDeleteMatch) {
    return false;
  }
  byServer_.Visit(KeyOf(key), visitor);
  return true;
}

int CQuarantineList::CopyTo(CQuarantineList* target, int locked) {
  return RegistryCopyTo<CQuarantineData>(*this, target, QuarantineDuplicateMatch,
                                         "I was not able to add CQuarantineData data to a queue.",
                                         "I failed in start of CPvData.", locked);
}

CQuarantineList& QuarantineList() {
  static CQuarantineList list;
  return list;
}
