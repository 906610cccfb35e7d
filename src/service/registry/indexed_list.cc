#include "service/registry/indexed_list.h"

#include <limits>

#include "service/registry/registry_ops.h"

namespace {

// Takes the list's lock for one operation unless the caller already holds it.
class OptionalLock {
 public:
  OptionalLock(CKelList& list, int locked) : list_(locked ? nullptr : &list) {
    if (list_) list_->Lock();
  }
  ~OptionalLock() {
    if (list_) list_->Unlock();
  }
  OptionalLock(const OptionalLock&) = delete;
  OptionalLock& operator=(const OptionalLock&) = delete;

 private:
  CKelList* list_;
};

// Keeps the accepted record of lowest sequence over all buckets offered.
class FirstMatch final : public CIndexVisitor {
 public:
  FirstMatch(const CKelRecord* key, CKelMatch match) : key_(key), match_(match) {}
  bool Visit(uint64_t seq, CKelNode* node) override {
    if (seq > seq_) return true;  // the rest of the bucket comes later in the list
    if (!match_(node->data, key_)) return false;
    seq_ = seq;
    found_ = node;
    return true;
  }
  CKelNode* found() const { return found_; }

 private:
  const CKelRecord* key_;
  CKelMatch match_;
  uint64_t seq_ = std::numeric_limits<uint64_t>::max();
  CKelNode* found_ = nullptr;
};

// Marks every accepted record.
class MarkMatches final : public CIndexVisitor {
 public:
  MarkMatches(const CKelRecord* key, CKelMatch match) : key_(key), match_(match) {}
  bool Visit(uint64_t, CKelNode* node) override {
    if (match_(node->data, key_)) node->data->pendingDelete = 1;
    return false;
  }

 private:
  const CKelRecord* key_;
  CKelMatch match_;
};

}  // namespace

CKelNode* CIndexedList::Find(const CKelRecord* key, CKelMatch match, int locked) {
  OptionalLock lock(*this, locked);
  if (key != nullptr && IndexReady()) {
    FirstMatch first(key, match);
    if (IndexCandidates(*key, match, first)) return first.found();
  }
  return CKelList::Find(key, match, 1);
}

CKelNode* CIndexedList::InsertAfter(CKelNode* node, CKelRecord* record, int locked) {
  OptionalLock lock(*this, locked);
  bool at_tail = node == head_->prev;
  NoteChange(at_tail && record != nullptr);
  CKelNode* fresh = CKelList::InsertAfter(node, record, 1);
  if (!built_) return fresh;
  if (!at_tail || record == nullptr) {
    DropIndex();  // the sequence no longer follows the list: built again when needed
    return fresh;
  }
  try {
    uint64_t seq = lastSeq_ + 1;
    if (!slots_.emplace(record, Slot{fresh, seq}).second) {
      DropIndex();  // one record twice in the list: only the walk answers for it
      return fresh;
    }
    lastSeq_ = seq;
    IndexInsert(*record, seq, fresh);
  } catch (...) {
    DropIndex();
  }
  return fresh;
}

void CIndexedList::RemoveAll(int locked) {
  OptionalLock lock(*this, locked);
  NoteChange();
  DropIndex();
  CKelList::RemoveAll(1);
}

CKelNode* CIndexedList::Detach(CKelNode* node, int locked) {
  OptionalLock lock(*this, locked);
  NoteChange();
  if (built_ && node != nullptr && node != head_) {
    auto slot = slots_.find(node->data);
    if (slot == slots_.end() || slot->second.node != node) {
      DropIndex();  // not a node of this index
    } else {
      uint64_t seq = slot->second.seq;
      slots_.erase(slot);
      if (!IndexErase(*node->data, seq)) DropIndex();
    }
  }
  return CKelList::Detach(node, 1);
}

CKelNode* CIndexedList::DetachData(const CKelRecord* record, int locked) {
  OptionalLock lock(*this, locked);
  if (!IndexReady()) return CKelList::DetachData(record, 1);
  auto slot = slots_.find(record);
  return Detach(slot == slots_.end() ? nullptr : slot->second.node, 1);
}

void CIndexedList::MarkAllNoted(int32_t flag, int locked) {
  OptionalLock lock(*this, locked);
  NoteChange();
  RegistryMarkAll(*this, flag, 1);
}

void CIndexedList::MarkMatching(const CKelRecord& key, CKelMatch match, int locked) {
  OptionalLock lock(*this, locked);
  NoteChange();
  MarkMatches marks(&key, match);
  if (IndexReady() && IndexCandidates(key, match, marks)) return;
  RegistryMarkDeleted(*this, key, match, 1);
}

std::vector<CKelRecord*> CIndexedList::LastRecords(size_t count) const {
  std::vector<CKelRecord*> records;
  CKelNode* node = head_;
  while (records.size() < count && node->prev != head_) {
    node = node->prev;
    records.push_back(node->data);
  }
  return {records.rbegin(), records.rend()};
}

bool CIndexedList::IndexBuilt(int locked) {
  OptionalLock lock(*this, locked);
  return built_;
}

bool CIndexedList::IndexReady() {
  if (built_) return true;
  DropIndex();
  try {
    uint64_t seq = 0;
    for (CKelNode* node = head_->next; node != head_; node = node->next) {
      if (node->data == nullptr || !slots_.emplace(node->data, Slot{node, ++seq}).second) {
        DropIndex();
        return false;
      }
      IndexInsert(*node->data, seq, node);
    }
    lastSeq_ = seq;
    built_ = true;
  } catch (...) {
    DropIndex();
  }
  return built_;
}

void CIndexedList::DropIndex() {
  NoteChange();  // whatever dropped it may have changed a record
  built_ = false;
  lastSeq_ = 0;
  slots_.clear();
  IndexClear();
}
