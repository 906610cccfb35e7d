// The operations every registry builds on its CKelList in the same way: add with a duplicate
// check, mark deleted, mark all, find one record, and copy into a snapshot list.
//
// A match function takes the candidate (the entry in the list) first and the key second. Every
// function here takes the list's lock itself unless `locked` is nonzero (the caller holds it).
#pragma once

#include <new>

#include "common/syslog.h"
#include "service/registry/kel_list.h"

// Appends `record` unless `duplicate` accepts an entry already in the list. The check and the
// insertion happen under one hold of the lock, so two threads cannot both add the same record.
// 0: added, the list owns `record`. -1: a duplicate exists or no node could be made; the caller
// still owns `record`.
int RegistryAdd(CKelList& list, CKelRecord* record, CKelMatch duplicate, int locked = 0);

// Sets pendingDelete on every entry that `match` accepts for `key`. `match` must reject entries
// that are already marked, so each record is marked once. Reports nothing.
void RegistryMarkDeleted(CKelList& list, const CKelRecord& key, CKelMatch match, int locked = 0);

// Sets every entry's pendingDelete to `flag`.
void RegistryMarkAll(CKelList& list, int32_t flag, int locked = 0);

// The record of the first entry that `match` accepts for `key`, or nullptr. The record stays
// owned by the list: use it only while the lock is held (pass locked = 1 under Lock/Unlock).
template <class T>
T* RegistryFind(CKelList& list, const T& key, CKelMatch match, int locked = 0) {
  CKelNode* node = list.Find(&key, match, locked);
  return node ? static_cast<T*>(node->data) : nullptr;
}

// Snapshot: empties `target`, then copies every entry of `source` in order (marked ones
// included) into a new T with T's copy assignment (all fields and both flags) and adds it with
// RegistryAdd(duplicate). A copy the target refuses is logged at warning as `refused_text` and
// destroyed; a copy that cannot be made is logged at crit as `make_text` and skipped.
// Returns the target's count, -1 when `target` is null. T must be default-constructible.
// A null `duplicate` appends every copy without a check: for a source that is itself a
// registry, whose Add checked each record as it came in and whose marks are never taken back,
// so that no copy could fail the check (which would build an index on the copy).
template <class T>
int RegistryCopyTo(CKelList& source, CKelList* target, CKelMatch duplicate,
                   const char* refused_text, const char* make_text, int locked = 0) {
  if (target == nullptr) return -1;
  if (!locked) source.Lock();
  target->RemoveAll();
  for (CKelNode* node = source.GetHead(1); node != nullptr; node = source.GetNext(node, 1)) {
    T* copy = nullptr;
    try {
      copy = new (std::nothrow) T();
    } catch (...) {
      copy = nullptr;
    }
    if (copy == nullptr) {
      Syslog(kLogCrit, "%s", make_text);
      continue;
    }
    *copy = *static_cast<const T*>(node->data);
    if (duplicate == nullptr) {
      try {
        target->AddTail(copy);
        continue;
      } catch (const char*) {
        // no node could be made: refused below
      }
    } else if (RegistryAdd(*target, copy, duplicate) == 0) {
      continue;
    }
    Syslog(kLogWarning, "%s", refused_text);
    delete copy;
  }
  if (!locked) source.Unlock();
  return target->GetCount();
}
