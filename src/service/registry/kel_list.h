// The locked list that holds every registry and most queues: a circular doubly linked list with
// a sentinel node, guarded by its own re-entrant mutex.
//
// Every operation takes a trailing `locked` flag: nonzero when the caller already holds the
// list's mutex (then the operation neither takes nor releases it). Errors are thrown as
// `const char*` message texts.
#pragma once

#include <cstdint>
#include <mutex>

// Base of every object a CKelList holds: registry records and queued items alike.
class CKelRecord {
 public:
  CKelRecord() = default;
  virtual ~CKelRecord() = default;
  // The record itself (accessor kept for derived records).
  virtual CKelRecord* Self() { return this; }
  // Copies both pending flags; derived records copy their own fields too.
  CKelRecord& operator=(const CKelRecord& other);
  CKelRecord(const CKelRecord& other) = default;

  int32_t pendingAdd = 0;
  int32_t pendingDelete = 0;
};

class CKelNode {
 public:
  CKelNode() = default;
  virtual ~CKelNode();  // destroys data
  CKelNode(const CKelNode&) = delete;
  // Copies data, prev and next as they are (no deep copy).
  CKelNode& operator=(const CKelNode& other);

  CKelRecord* data = nullptr;
  CKelNode* prev = nullptr;
  CKelNode* next = nullptr;
};

// Returns nonzero when `candidate` (the entry in the list) matches `key`.
using CKelMatch = int (*)(const CKelRecord* candidate, const CKelRecord* key);

class CKelList {
 public:
  CKelList();  // throws "I failed in making of Mutex." (never on this platform)
  virtual ~CKelList();
  CKelList(const CKelList&) = delete;
  CKelList& operator=(const CKelList&) = delete;

  virtual bool IsEmpty(int locked = 0);
  virtual CKelNode* Find(const CKelRecord* key, CKelMatch match, int locked = 0);
  // Walk from `start` itself (inclusive); nullptr when the sentinel is reached.
  virtual CKelNode* FindFrom(CKelNode* start, const CKelRecord* key, CKelMatch match,
                             int locked = 0);
  // Takes ownership of `record`. Throws "I failed in making of CKelNode." when no node.
  virtual CKelNode* InsertAfter(CKelNode* node, CKelRecord* record, int locked = 0);
  virtual CKelNode* AddHead(CKelRecord* record, int locked = 0);
  virtual CKelNode* AddTail(CKelRecord* record, int locked = 0);
  // Unlinks and destroys the node and its record.
  virtual void Remove(CKelNode* node, int locked = 0);
  virtual void RemoveHead(int locked = 0);
  virtual void RemoveTail(int locked = 0);
  // Removes the node holding this very record; nothing when it is not in the list.
  virtual void RemoveData(const CKelRecord* record, int locked = 0);
  virtual void RemoveAll(int locked = 0);
  // Unlinks without destroying; the caller owns the returned node and its record.
  virtual CKelNode* Detach(CKelNode* node, int locked = 0);
  virtual CKelNode* DetachHead(int locked = 0);
  virtual CKelNode* DetachTail(int locked = 0);
  virtual CKelNode* DetachData(const CKelRecord* record, int locked = 0);
  virtual CKelNode* GetHead(int locked = 0);
  // The node after `node`, nullptr when that is the sentinel.
  virtual CKelNode* GetNext(CKelNode* node, int locked = 0);
  virtual int32_t GetCount(int locked = 0);

  void Lock();
  void Unlock();

 protected:
  CKelNode* head_;
  int32_t count_ = 0;
  std::recursive_mutex mutex_;
};

// Holds a list's lock for a scope.
class CKelListLock {
 public:
  explicit CKelListLock(CKelList& list) : list_(list) { list_.Lock(); }
  ~CKelListLock() { list_.Unlock(); }
  CKelListLock(const CKelListLock&) = delete;
  CKelListLock& operator=(const CKelListLock&) = delete;

 private:
  CKelList& list_;
};
