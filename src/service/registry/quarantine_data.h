// The quarantine server registry: servers (address, "tcp" or "udp", port) that quarantined PCs
// must still reach. One process-wide CQuarantineList, reached through QuarantineList().
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <tuple>

#include "service/registry/indexed_list.h"
#include "service/registry/kel_list.h"

class CQuarantineData : public CKelRecord {
 public:
  CQuarantineData() = default;
  CQuarantineData(const CQuarantineData& other) = default;
  // Copies the five fields and both flags.
  CQuarantineData& operator=(const CQuarantineData& other) = default;

  std::string sourceText;  // the server's address as typed
  std::array<uint8_t, 4> source{};
  std::string protocolText;  // "tcp" or "udp" (add also keeps longer words beginning so)
  std::string portText;      // as typed: "80" and "080" are different servers
  uint16_t port = 0;
};

// Match functions over CQuarantineData (candidate first, key second). Server: equal address,
// protocol text and port text. Duplicate and active: candidate not pendingDelete and server
// match. Pending-add / pending-delete: that flag set and server match.
int QuarantineServerMatch(const CKelRecord* candidate, const CKelRecord* key);
int QuarantineDuplicateMatch(const CKelRecord* candidate, const CKelRecord* key);
int QuarantineActiveMatch(const CKelRecord* candidate, const CKelRecord* key);
int QuarantinePendingAddMatch(const CKelRecord* candidate, const CKelRecord* key);
int QuarantinePendingDeleteMatch(const CKelRecord* candidate, const CKelRecord* key);

// Indexed by address, protocol text and port text: what every match function below compares.
class CQuarantineList : public CIndexedList {
 public:
  // Appends unless a live duplicate exists (one hold of the lock). 0: the list owns `record`;
  // -1: the caller still owns it.
  int Add(CQuarantineData* record, int locked = 0);
  // Marks every live server equal to `key`.
  void MarkDeleted(const CQuarantineData& key, int locked = 0);
  void MarkAll(int32_t flag, int locked = 0);
  // Lookups: the record or nullptr; valid only while the lock is held.
  CQuarantineData* FindPendingAdd(const CQuarantineData& key, int locked = 0);
  CQuarantineData* FindPendingDelete(const CQuarantineData& key, int locked = 0);
  // Snapshot into `target` (emptied first), marked entries included. Returns the target's
  // count, -1 when `target` is null.
  int CopyTo(CQuarantineList* target, int locked = 0);

 protected:
  void IndexInsert(const CKelRecord& record, uint64_t seq, CKelNode* node) override;
  bool IndexErase(const CKelRecord& record, uint64_t seq) override;
  void IndexClear() override;
  bool IndexCandidates(const CKelRecord& key, CKelMatch match, CIndexVisitor& visitor) override;

 private:
  using ServerKey = std::tuple<uint32_t, std::string, std::string>;
  static ServerKey KeyOf(const CKelRecord& record);
  CIndexBuckets<ServerKey> byServer_;
};

// The process-wide quarantine server registry.
CQuarantineList& QuarantineList();
