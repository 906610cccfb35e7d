// The PC registry: entries naming a PC by MAC (optionally with its address) or a client network
// (optionally tied to one MAC). One process-wide CPcList, reached through PcList().
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "service/registry/indexed_list.h"
#include "service/registry/kel_list.h"

// One PC entry. Valid shapes: MAC only; MAC and source; network only; MAC and network.
class CPcData : public CKelRecord {
 public:
  CPcData() = default;
  CPcData(const CPcData& other) = default;
  // Copies all eight fields and both flags.
  CPcData& operator=(const CPcData& other) = default;

  bool HasMac() const { return !macText.empty(); }
  bool HasSource() const { return !sourceText.empty(); }
  bool HasNetwork() const { return !networkText.empty(); }
  // True for one of the four valid shapes (see above).
  bool HasValidShape() const;

  std::string macText;  // "XX:XX:XX:XX:XX:XX" once registered, or empty
  std::array<uint8_t, 6> mac{};
  std::string sourceText;  // as typed
  std::array<uint8_t, 4> source{};
  std::string networkText;
  std::array<uint8_t, 4> network{};  // first octet first
  std::string netmaskText;
  std::array<uint8_t, 4> netmask{};
};

// Match functions over CPcData, candidate (the entry in the list) first, key second; they
// compare the parsed fields. Duplicate: the rule of Add. PcMatch: the rule of del and of the
// controller's lookups. Active / pending-add / pending-delete: that state and PcMatch.
int PcDuplicateMatch(const CKelRecord* candidate, const CKelRecord* key);
int PcMatch(const CKelRecord* candidate, const CKelRecord* key);
int PcActiveMatch(const CKelRecord* candidate, const CKelRecord* key);
int PcPendingAddMatch(const CKelRecord* candidate, const CKelRecord* key);
int PcPendingDeleteMatch(const CKelRecord* candidate, const CKelRecord* key);

// Indexed by MAC (entries with a MAC), and by netmask with the network under it and by the bare
// network (entries without MAC that have a network); the remaining entries by netmask and
// network under it too, since a duplicate check with a network key compares them that way.
class CPcList : public CIndexedList {
 public:
  // Shape check, duplicate check, MAC rewritten as upper-case colon text, and insertion, all in
  // one hold of the lock. 0: the list owns `record`; -1: the caller still owns it.
  int Add(CPcData* record, int locked = 0);
  // Marks every live entry that PcMatch accepts for `key`.
  void MarkDeleted(const CPcData& key, int locked = 0);
  void MarkAll(int32_t flag, int locked = 0);
  // Lookups: the record or nullptr; valid only while the lock is held.
  CPcData* FindPendingAdd(const CPcData& key, int locked = 0);
  CPcData* FindPendingDelete(const CPcData& key, int locked = 0);
  // Snapshot into `target` (emptied first), marked entries included. Returns the target's
  // count, -1 when `target` is null.
  int CopyTo(CPcList* target, int locked = 0);
  // The records without a source address and those whose source is one of `sources`, in list
  // order. The caller holds the lock; the nodes are valid while it does.
  std::vector<const CPcData*> WithoutSourceOrAt(const std::vector<std::array<uint8_t, 4>>& sources);
  // The records that may lie behind one of the routes given as (network, netmask): those
  // without a source address, those with a network, and those whose source lies in a route's
  // network under its netmask, in list order. The others are the ones a walk behind these
  // routes passes over. The caller holds the lock; the nodes are valid while it does.
  using Network = std::pair<std::array<uint8_t, 4>, std::array<uint8_t, 4>>;
  std::vector<const CPcData*> BehindRoutes(const std::vector<Network>& routes);
  // The records that carry a mark (pendingAdd or pendingDelete), in list order. The caller holds
  // the lock; the nodes are valid while it does.
  std::vector<const CPcData*> Marked();
  // Notes a mark that the holder of the lock set on the record of `node` by hand (rather than
  // through MarkDeleted), so that Marked() lists it and Changes() moves. The caller holds the
  // lock.
  void NoteMarked(CKelNode* node);

 protected:
  void IndexInsert(const CKelRecord& record, uint64_t seq, CKelNode* node) override;
  bool IndexErase(const CKelRecord& record, uint64_t seq) override;
  void IndexClear() override;
  bool IndexCandidates(const CKelRecord& key, CKelMatch match, CIndexVisitor& visitor) override;

 private:
  CIndexBuckets<uint64_t> byMac_;           // HasMac()
  CIndexBuckets<uint64_t> byNetwork_;       // no MAC, HasNetwork(): netmask and network
  CIndexBuckets<uint32_t> byBareNetwork_;   // no MAC, HasNetwork(): network alone
  CIndexBuckets<uint64_t> byOtherNetwork_;  // the rest: netmask and network
  // Every entry by its source address (0 without one): built at the first WithoutSourceOrAt or
  // BehindRoutes, not with the rest, so that a start-up load does not pay for it; kept up to
  // date after.
  CIndexBuckets<uint64_t> bySource_;
  bool bySourceBuilt_ = false;
  // Builds bySource_ when the index is ready and it is not; false when it cannot be had.
  bool SourceIndexReady();
  // Every entry that was given a mark while listed or was listed with one: Add with a mark,
  // MarkDeleted (MarkAll and a mark the index cannot narrow drop the index, whose rebuild
  // takes the marks as they are). A mark is cleared by a plain write to the record, so entries
  // without a mark any more are left here until Marked() passes them.
  CIndexBuckets<uint8_t> marked_;
};

// The process-wide PC registry.
CPcList& PcList();

// The class default netmask of a network, from its first octet: 0 gives 0.0.0.0, 1-127
// 255.0.0.0, 128-191 255.255.0.0, 192-223 255.255.255.0, 224-239 240.0.0.0, 240-247
// 248.0.0.0. 0 with text and bytes stored; -1 (nothing stored) from 248 up.
int DefaultClassNetmask(const std::array<uint8_t, 4>& network, std::string* text,
                        std::array<uint8_t, 4>* mask);
// True when `text` is a dotted address whose bits are ones followed by zeros (0.0.0.0 and
// 255.255.255.255 included); the bytes are then stored in *mask.
bool ParseNetmask(const char* text, std::array<uint8_t, 4>* mask);
