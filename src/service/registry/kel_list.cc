#include "service/registry/kel_list.h"

#include <new>

#include "common/syslog.h"

namespace {

int IdentityMatch(const CKelRecord* candidate, const CKelRecord* key) { return candidate == key; }

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

}  // namespace

CKelRecord& CKelRecord::operator=(const CKelRecord& other) {
  pendingAdd = other.pendingAdd;
  pendingDelete = other.pendingDelete;
  return *this;
}

CKelNode::~CKelNode() { delete data; }

CKelNode& CKelNode::operator=(const CKelNode& other) {
  data = other.data;
  prev = other.prev;
  next = other.next;
  return *this;
}

CKelList::CKelList() : head_(new CKelNode) {
  head_->next = head_;
  head_->prev = head_;
}

CKelList::~CKelList() {
  RemoveAll();
  delete head_;
}

bool CKelList::IsEmpty(int locked) {
  OptionalLock lock(*this, locked);
  return head_->next == head_;
}

CKelNode* CKelList::Find(const CKelRecord* key, CKelMatch match, int locked) {
  OptionalLock lock(*this, locked);
  return FindFrom(head_->next, key, match, 1);
}

CKelNode* CKelList::FindFrom(CKelNode* start, const CKelRecord* key, CKelMatch match, int locked) {
  OptionalLock lock(*this, locked);
  if (start == nullptr) return nullptr;
  for (CKelNode* node = start; node != head_; node = node->next) {
    if (match(node->data, key)) return node;
  }
  return nullptr;
}

CKelNode* CKelList::InsertAfter(CKelNode* node, CKelRecord* record, int locked) {
  OptionalLock lock(*this, locked);
  CKelNode* fresh = new (std::nothrow) CKelNode;
  if (fresh == nullptr) throw "I failed in making of CKelNode.";
  fresh->data = record;
  fresh->prev = node;
  fresh->next = node->next;
  node->next->prev = fresh;
  node->next = fresh;
  ++count_;
  return fresh;
}

CKelNode* CKelList::AddHead(CKelRecord* record, int locked) {
  OptionalLock lock(*this, locked);
  return InsertAfter(head_, record, 1);
}

CKelNode* CKelList::AddTail(CKelRecord* record, int locked) {
  OptionalLock lock(*this, locked);
  return InsertAfter(head_->prev, record, 1);
}

void CKelList::Remove(CKelNode* node, int locked) {
  OptionalLock lock(*this, locked);
  delete Detach(node, 1);
}

void CKelList::RemoveHead(int locked) {
  OptionalLock lock(*this, locked);
  delete DetachHead(1);
}

void CKelList::RemoveTail(int locked) {
  OptionalLock lock(*this, locked);
  delete DetachTail(1);
}

void CKelList::RemoveData(const CKelRecord* record, int locked) {
  OptionalLock lock(*this, locked);
  delete DetachData(record, 1);
}

void CKelList::RemoveAll(int locked) {
  OptionalLock lock(*this, locked);
  while (head_->next != head_) Remove(head_->next, 1);
}

CKelNode* CKelList::Detach(CKelNode* node, int locked) {
  OptionalLock lock(*this, locked);
  if (node == nullptr || node == head_) return nullptr;
  node->prev->next = node->next;
  node->next->prev = node->prev;
  node->prev = nullptr;
  node->next = nullptr;
  if (--count_ < 0) {
    Syslog(kLogWarning, "Number of the registration abnormality occurred at the time of deletion.");
  }
  return node;
}

CKelNode* CKelList::DetachHead(int locked) {
  OptionalLock lock(*this, locked);
  return Detach(head_->next, 1);
}

CKelNode* CKelList::DetachTail(int locked) {
  OptionalLock lock(*this, locked);
  return Detach(head_->prev, 1);
}

CKelNode* CKelList::DetachData(const CKelRecord* record, int locked) {
  OptionalLock lock(*this, locked);
  return Detach(Find(record, IdentityMatch, 1), 1);
}

CKelNode* CKelList::GetHead(int locked) {
  OptionalLock lock(*this, locked);
  return head_->next == head_ ? nullptr : head_->next;
}

CKelNode* CKelList::GetNext(CKelNode* node, int locked) {
  OptionalLock lock(*this, locked);
  if (node == nullptr || node->next == head_) return nullptr;
  return node->next;
}

int32_t CKelList::GetCount(int locked) {
  OptionalLock lock(*this, locked);
  return count_;
}

void CKelList::Lock() { mutex_.lock(); }

void CKelList::Unlock() { mutex_.unlock(); }
