// The router registry: the access routers to which access lists are pushed, with their HTTP
// login, keepalive state and the routes behind each of them.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "service/registry/indexed_list.h"
#include "service/registry/kel_list.h"
#include "service/registry/pvroute_data.h"

class CPvData : public CKelRecord {
 public:
  CPvData() = default;
  CPvData(const CPvData&) = delete;
  // Copies every field and both flags; the routes are copied route by route into this record's
  // own list under the lock of other's route list.
  CPvData& operator=(const CPvData& other);

  std::string addressText;           // as typed; the router's identity is `address`
  std::array<uint8_t, 4> address{};  // first octet first
  std::string portText = "880";
  uint16_t port = 880;  // HTTP port of the access-list interface
  std::string user = "admin";
  std::string password = "pomvy";
  std::string intervalText = "10";
  int64_t interval = 10;  // minimum seconds between two probes
  std::string missLimitText = "3";
  uint32_t missLimit = 3;  // failures tolerated while ON before OFF
  CPvrouteList routes;     // owned by the record; lock it inside the registry's lock
  // Keepalive state: changed only under the router registry's lock.
  int64_t lastProbe = 0;  // seconds since 1970 when the last probe was queued
  uint32_t misses = 0;    // failed probes counted while ON
  int32_t alive = 0;      // 1 while diagnosed ON
  int32_t probeOutstanding = 0;
  int32_t resendPending = 1;  // 1 until the recovery resend has run
  // Counts OFF to ON transitions, so that a resend still running when the router flaps does
  // not clear the resendPending of the later transition.
  uint32_t onTransitions = 0;
};

// Match functions over CPvData (candidate first, key second); nonzero on a match.
// Duplicate: candidate not pendingDelete and address equal (the port plays no part).
int PvDuplicateMatch(const CKelRecord* candidate, const CKelRecord* key);
// Router: address equal, and port equal when the key's portText is not empty.
int PvRouterMatch(const CKelRecord* candidate, const CKelRecord* key);
// Active: not pendingDelete and router match. Pending-add/-delete: that flag and router match.
int PvActiveMatch(const CKelRecord* candidate, const CKelRecord* key);
int PvPendingAddMatch(const CKelRecord* candidate, const CKelRecord* key);
int PvPendingDeleteMatch(const CKelRecord* candidate, const CKelRecord* key);

// The routers with an index by address: every match function below compares the address.
class CPvList : public CIndexedList {
 public:
  // Appends unless a live router with the same address exists (one hold of the lock).
  // 0: the list owns `router`; -1: duplicate or no node, the caller still owns it.
  int Add(CPvData* router, int locked = 0);
  // Marks every live router that the router match accepts for `key`.
  void MarkDeleted(const CPvData& key, int locked = 0);
  void MarkAll(int32_t flag, int locked = 0);
  // Lookups: the record or nullptr; valid only while the lock is held.
  CPvData* FindActive(const CPvData& key, int locked = 0);
  CPvData* FindPendingAdd(const CPvData& key, int locked = 0);
  CPvData* FindPendingDelete(const CPvData& key, int locked = 0);
  // The first live router with this address, whatever its port.
  CPvData* FindActiveByAddress(const uint8_t address[4], int locked = 0);
  // Snapshot into `target` (emptied first) with every router's routes, marked routers
  // included. Takes this list's lock, then each router's route list. Returns the target's count,
  // -1 when `target` is null.
  int CopyTo(CPvList* target, int locked = 0);

  // Probe results from the keepalive, by address alone. Each clears probeOutstanding.
  // DiagnoseOn: 1 when the router has just become ON (resendPending set again), else 0.
  int DiagnoseOn(const uint8_t address[4]);
  // DiagnoseOff: 1 when the router has just become OFF (more than missLimit misses while ON).
  int DiagnoseOff(const uint8_t address[4]);

 protected:
  void IndexInsert(const CKelRecord& record, uint64_t seq, CKelNode* node) override;
  bool IndexErase(const CKelRecord& record, uint64_t seq) override;
  void IndexClear() override;
  bool IndexCandidates(const CKelRecord& key, CKelMatch match, CIndexVisitor& visitor) override;

 private:
  CIndexBuckets<uint32_t> byAddress_;
};

// The process-wide router registry.
CPvList& PvList();
