#include "service/registry/kel_data.h"

#include <cstdio>
#include <cstring>

#include "common/address_util.h"
#include "service/registry/registry_ops.h"

namespace {

const CKelData& AsKel(const CKelRecord* r) { return *static_cast<const CKelData*>(r); }

int DuplicateMatch(const CKelRecord* candidate, const CKelRecord* key) {
  return !candidate->pendingDelete && KelEntryMatch(AsKel(candidate), AsKel(key));
}

int PendingAddMatch(const CKelRecord* candidate, const CKelRecord* key) {
  return candidate->pendingAdd && KelEntryMatch(AsKel(candidate), AsKel(key));
}

int PendingDeleteMatch(const CKelRecord* candidate, const CKelRecord* key) {
  return candidate->pendingDelete && KelEntryMatch(AsKel(candidate), AsKel(key));
}

void NormalizeMac(CKelData* entry) {
  if (entry->macText.empty()) return;
  uint8_t bytes[6];
  if (ParseMacAddress(entry->macText.c_str(), bytes) != 0) return;
  char text[18];
  snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", bytes[0], bytes[1], bytes[2],
           bytes[3], bytes[4], bytes[5]);
  entry->macText = text;
}

}  // namespace

bool KelEntryMatch(const CKelData& candidate, const CKelData& key) {
  static const uint8_t kNoMac[6] = {0, 0, 0, 0, 0, 0};
  if (memcmp(candidate.source, key.source, 4) != 0 || candidate.target != key.target) {
    return false;
  }
  return memcmp(key.mac, kNoMac, 6) == 0 || memcmp(candidate.mac, key.mac, 6) == 0;
}

int CKelDataList::Add(CKelData* entry) {
  NormalizeMac(entry);
  return RegistryAdd(*this, entry, DuplicateMatch);
}

void CKelDataList::MarkDeleted(const CKelData& key) {
  RegistryMarkDeleted(*this, key, DuplicateMatch);
}

CKelData* CKelDataList::FindPendingAdd(const CKelData& key, int locked) {
  return RegistryFind(*this, key, PendingAddMatch, locked);
}

CKelData* CKelDataList::FindPendingDelete(const CKelData& key, int locked) {
  return RegistryFind(*this, key, PendingDeleteMatch, locked);
}

int CKelDataList::CopyTo(CKelDataList* target, int locked) {
  return RegistryCopyTo<CKelData>(*this, target, DuplicateMatch,
                                  "I was not able to add CKelData data to a queue.",
                                  "I failed in start of CPvData.", locked);
}

CKelDataList& KelDataList() {
  static CKelDataList* list = new CKelDataList();  // lives as long as the process
  return *list;
}
