// The routes behind one router: a network, its netmask and optionally the router's interface
// device. Every route lives in the `routes` list of one CPvData record.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "service/registry/indexed_list.h"
#include "service/registry/kel_list.h"

class CPvrouteData : public CKelRecord {
 public:
  CPvrouteData() = default;
  CPvrouteData(const CPvrouteData& other) = default;
  // Copies every field and both flags.
  CPvrouteData& operator=(const CPvrouteData& other) = default;

  std::string devText;               // interface device name, may be empty
  std::string networkText;           // network address as typed
  std::array<uint8_t, 4> network{};  // first octet first
  std::string netmaskText;
  std::array<uint8_t, 4> netmask{};
};

// Match functions over CPvrouteData (candidate first, key second); nonzero on a match.
// Networks match when each, under its own netmask, gives the same value (the masks themselves
// are not compared).
// Duplicate: candidate not pendingDelete, devText equal, networks match.
int PvrouteDuplicateMatch(const CKelRecord* candidate, const CKelRecord* key);
// Route: devText equal when the key's devText is not empty, and networks match.
int PvrouteMatch(const CKelRecord* candidate, const CKelRecord* key);
// Active: not pendingDelete and route match. Pending-add/-delete: that flag set and route match.
int PvrouteActiveMatch(const CKelRecord* candidate, const CKelRecord* key);
int PvroutePendingAddMatch(const CKelRecord* candidate, const CKelRecord* key);
int PvroutePendingDeleteMatch(const CKelRecord* candidate, const CKelRecord* key);

// The route list of one router. Lock order: the router registry before any route list. Indexed
// by the network under its own netmask, which every match function below compares.
class CPvrouteList : public CIndexedList {
 public:
  // Appends unless a live duplicate exists (one hold of the lock). 0: the list owns `route`;
  // -1: duplicate or no node, the caller still owns it.
  int Add(CPvrouteData* route, int locked = 0);
  // Marks every live route that the route match accepts for `key` (a key without dev marks the
  // route on every device).
  void MarkDeleted(const CPvrouteData& key, int locked = 0);
  void MarkAll(int32_t flag, int locked = 0);
  // Lookups: the record or nullptr; valid only while the lock is held.
  CPvrouteData* FindActive(const CPvrouteData& key, int locked = 0);
  CPvrouteData* FindPendingAdd(const CPvrouteData& key, int locked = 0);
  CPvrouteData* FindPendingDelete(const CPvrouteData& key, int locked = 0);
  // Snapshot into `target` (emptied first), marked routes included. Returns the target's count,
  // -1 when `target` is null.
  int CopyTo(CPvrouteList* target, int locked = 0);
  // The same copy without the duplicate check of each route: a router's copy of its routes.
  int CopyAsIs(CPvrouteList* target, int locked = 0);

 protected:
  void IndexInsert(const CKelRecord& record, uint64_t seq, CKelNode* node) override;
  bool IndexErase(const CKelRecord& record, uint64_t seq) override;
  void IndexClear() override;
  bool IndexCandidates(const CKelRecord& key, CKelMatch match, CIndexVisitor& visitor) override;

 private:
  CIndexBuckets<uint32_t> byNetwork_;
};
