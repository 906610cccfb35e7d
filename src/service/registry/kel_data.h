// Access entries: what a router does with the traffic of one PC address (accept or drop),
// optionally only for one MAC address. Kept in memory, and in kel.journal when [KEL] STORE is
// enabled (kel_store.h); otherwise empty at every start.
#pragma once

#include <cstdint>
#include <string>

#include "service/registry/kel_list.h"

constexpr uint16_t kKelTargetAccept = 1;
constexpr uint16_t kKelTargetDrop = 2;

class CKelData : public CKelRecord {
 public:
  CKelData() = default;
  CKelData(const CKelData&) = default;
  CKelData& operator=(const CKelData&) = default;

  uint16_t target = 0;  // kKelTargetAccept or kKelTargetDrop
  std::string macText;  // "00:0A:95:9D:68:16" once added, or empty
  uint8_t mac[6] = {0, 0, 0, 0, 0, 0};
  std::string sourceText;  // the PC's address as typed
  uint8_t source[4] = {0, 0, 0, 0};
};

class CKelDataList : public CKelList {
 public:
  // Normalises the MAC text, then adds unless a live entry is the same (one hold of the lock).
  // 0, or -1 for a duplicate (the caller still owns `entry`).
  int Add(CKelData* entry);
  // Marks every live entry that is the same as `key` pendingDelete.
  void MarkDeleted(const CKelData& key);
  // Entry flagged pendingAdd / pendingDelete that is the same as `key`, or nullptr.
  CKelData* FindPendingAdd(const CKelData& key, int locked = 0);
  CKelData* FindPendingDelete(const CKelData& key, int locked = 0);
  // Snapshot of every entry (marked ones included) into `target`; its count, -1 without target.
  int CopyTo(CKelDataList* target, int locked = 0);
};

// Whether `candidate` is the same entry as `key`: same source and target, and same MAC when
// the key carries one (an all-zero MAC counts as none).
bool KelEntryMatch(const CKelData& candidate, const CKelData& key);

// The process-wide access-entry registry.
CKelDataList& KelDataList();
