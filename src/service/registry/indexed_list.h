// The base of the four registries: a CKelList that keeps an index of its records beside the
// list, so that the duplicate checks and the lookups of the registry's match functions do not
// walk the whole list.
//
// The list stays the truth: its order is the order of the files and of `show`, and every answer
// is the one a walk of the list would give. The index only narrows the walk: a registry names,
// for a match function and a key, the buckets that hold every record the match could accept;
// each bucket lists its records in list order, and the match function itself still decides. A
// Find answers the first accepted record in list order; a match function or a key the registry
// cannot narrow is answered by the walk of the list.
//
// The index is built at the first lookup and kept up to date by every insertion at the tail and
// every removal. Anything else (an insertion elsewhere, a failure to allocate, RemoveAll) drops
// it, and the next lookup builds it again from the list. Snapshot lists that are only walked
// thus never build one. Everything happens under the list's lock.
//
// A registry must not change a field its buckets are keyed by while the record is in the list
// (the registries set only the pending flags and the keepalive state of listed records).
#pragma once

#include <cstdint>
#include <map>
#include <unordered_map>
#include <utility>
#include <vector>

#include "service/registry/kel_list.h"

// Receives the records of one bucket, in list order: (sequence, node); the sequence grows with
// the list order across all buckets of one list. Returns true when the rest of this bucket is
// not wanted.
class CIndexVisitor {
 public:
  virtual bool Visit(uint64_t seq, CKelNode* node) = 0;

 protected:
  ~CIndexVisitor() = default;
};

// One bucket family: records under a key K, each bucket in list order.
template <class K>
class CIndexBuckets {
 public:
  void Insert(const K& key, uint64_t seq, CKelNode* node) {
    entries_.emplace(Entry(key, seq), node);
  }
  // False when (key, seq) was not indexed.
  bool Erase(const K& key, uint64_t seq) { return entries_.erase(Entry(key, seq)) == 1; }
  void Clear() { entries_.clear(); }
  // Offers the bucket of `key` to `visitor` until it has had enough.
  void Visit(const K& key, CIndexVisitor& visitor) const {
    for (auto it = entries_.lower_bound(Entry(key, 0));
         it != entries_.end() && it->first.first == key; ++it) {
      if (visitor.Visit(it->first.second, it->second)) return;
    }
  }
  // Offers the buckets of the keys from `low` to `high`, key by key, until it has had enough.
  void VisitRange(const K& low, const K& high, CIndexVisitor& visitor) const {
    for (auto it = entries_.lower_bound(Entry(low, 0));
         it != entries_.end() && it->first.first <= high; ++it) {
      if (visitor.Visit(it->first.second, it->second)) return;
    }
  }
  size_t Size() const { return entries_.size(); }

 private:
  using Entry = std::pair<K, uint64_t>;
  std::map<Entry, CKelNode*> entries_;
};

class CIndexedList : public CKelList {
 public:
  CIndexedList() = default;
  ~CIndexedList() override = default;

  // The first node in list order that `match` accepts for `key`, as CKelList::Find.
  CKelNode* Find(const CKelRecord* key, CKelMatch match, int locked = 0) override;
  CKelNode* InsertAfter(CKelNode* node, CKelRecord* record, int locked = 0) override;
  void RemoveAll(int locked = 0) override;
  CKelNode* Detach(CKelNode* node, int locked = 0) override;
  CKelNode* DetachData(const CKelRecord* record, int locked = 0) override;

  // Sets pendingDelete on every record that `match` accepts for `key` (as RegistryMarkDeleted).
  void MarkMatching(const CKelRecord& key, CKelMatch match, int locked = 0);

  // True while the index is built (for the tests: after a lookup it is, unless the list holds
  // one record twice or memory ran out).
  bool IndexBuilt(int locked = 0);

  // A count that moves with every insertion, removal and mark made through the list (and with
  // every mark a registry notes): equal counts read under the lock mean the same records with
  // the same marks. Caller holds the lock.
  uint64_t Changes() const { return changes_; }
  // The changes other than an insertion at the tail: while this count stays, the records listed
  // before are still listed, in their order, with their marks, and whatever came since is
  // behind them. Caller holds the lock.
  uint64_t ChangesBeforeTail() const { return changesBeforeTail_; }
  // Notes marks that the holder of the lock set on listed records by hand, so that Changes()
  // and ChangesBeforeTail() move.
  void NoteMarks() { NoteChange(); }
  // The last `count` records of the list (all of them when it holds fewer), in list order.
  // Caller holds the lock.
  std::vector<CKelRecord*> LastRecords(size_t count) const;

 protected:
  // The registry's buckets. IndexInsert may throw std::bad_alloc (the index is then dropped);
  // IndexErase returns false when the record was not indexed under those keys.
  virtual void IndexInsert(const CKelRecord& record, uint64_t seq, CKelNode* node) = 0;
  virtual bool IndexErase(const CKelRecord& record, uint64_t seq) = 0;
  virtual void IndexClear() = 0;
  // Offers `visitor` every bucket that holds all records `match` could accept for `key`; false
  // (nothing offered) when the registry cannot narrow this match or key, and the list is walked.
  virtual bool IndexCandidates(const CKelRecord& key, CKelMatch match, CIndexVisitor& visitor) = 0;
  // Builds the index when it is not; false when it cannot be had. Caller holds the lock.
  bool IndexReady();
  // Forgets the index: the next lookup builds it again from the list. Caller holds the lock.
  void DropIndex();
  // Notes a change that Changes() must show (the list's own operations note theirs); `atTail`
  // when it is an insertion at the tail, which ChangesBeforeTail() leaves out.
  void NoteChange(bool atTail = false) {
    ++changes_;
    if (!atTail) ++changesBeforeTail_;
  }
  // Sets pendingDelete to `flag` on every record, noted as a change.
  void MarkAllNoted(int32_t flag, int locked = 0);
  // The sequence of a listed record while the index is built; false when it has none.
  bool SeqOf(const CKelRecord* record, uint64_t* seq) const {
    auto slot = slots_.find(record);
    if (slot == slots_.end()) return false;
    *seq = slot->second.seq;
    return true;
  }

 private:
  struct Slot {
    CKelNode* node;
    uint64_t seq;
  };

  bool built_ = false;
  uint64_t lastSeq_ = 0;
  uint64_t changes_ = 0;
  uint64_t changesBeforeTail_ = 0;
  std::unordered_map<const CKelRecord*, Slot> slots_;
};
