// Test helpers for the registries' indexes: the indexed answers are compared with the walk of
// the list (CKelList::Find, what every lookup did before there was an index) over every key of a
// small value domain, through random runs of the operations the service performs on a registry.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "service/registry/indexed_list.h"
#include "service/registry/kel_list.h"

namespace registrytest {

// The walk's answer: the first node in list order that `match` accepts for `key`.
inline CKelNode* WalkFind(CKelList& list, const CKelRecord& key, CKelMatch match) {
  return list.CKelList::Find(&key, match);
}

// The records in list order.
inline std::vector<CKelRecord*> Records(CKelList& list) {
  std::vector<CKelRecord*> records;
  for (CKelNode* n = list.GetHead(); n != nullptr; n = list.GetNext(n)) records.push_back(n->data);
  return records;
}

// Every key under every match: the list's Find gives the node the walk gives, and the index
// is built afterwards (so it answered, unless the registry leaves that key to the walk).
template <class T>
void ExpectFindsLikeTheWalk(CIndexedList& list, const std::deque<T>& keys,
                            const std::vector<CKelMatch>& matches, const std::string& step) {
  for (size_t k = 0; k < keys.size(); ++k) {
    for (size_t m = 0; m < matches.size(); ++m) {
      ASSERT_EQ(list.Find(&keys[k], matches[m]), WalkFind(list, keys[k], matches[m]))
          << step << ": key " << k << ", match " << m << ", " << list.GetCount() << " records";
    }
  }
  ASSERT_TRUE(list.IndexBuilt()) << step;
}

// `mark(key)` (the registry's MarkDeleted) marks exactly the records a walk with `active`
// accepts, and leaves every other flag as it was.
template <class T, class Mark>
void ExpectMarksLikeTheWalk(CKelList& list, const T& key, CKelMatch active, Mark mark,
                            const std::string& step) {
  std::vector<int32_t> expected;
  for (CKelRecord* r : Records(list)) expected.push_back(r->pendingDelete || active(r, &key));
  mark(key);
  std::vector<int32_t> got;
  for (CKelRecord* r : Records(list)) got.push_back(r->pendingDelete);
  ASSERT_EQ(got, expected) << step;
}

// What a random run needs to know of one registry. List is the registry's list class (or one
// derived from it), T its record.
template <class List, class T>
struct RegistryModel {
  std::deque<T> keys;                     // every key of the value domain
  std::vector<CKelMatch> matches;         // every match function of the registry
  CKelMatch duplicate = nullptr;          // the rule of Add
  CKelMatch active = nullptr;             // the rule of MarkDeleted
  std::function<T*(std::mt19937&)> make;  // a fresh record of the domain
  // Whether Add must take `record` beyond the duplicate rule (a shape check); null: always.
  std::function<bool(const T&)> acceptable;
  // Saves the list to its file and loads it back; null when there is no file.
  std::function<void(List&)> reload;
};

// Runs `steps` random operations on `list`, checking every lookup against the walk after each:
// adds (their outcome against the walk's duplicate check), deletions by key, the planning's
// settling (pending add cleared, pending delete removed), removals by node and by record,
// insertions at the head (which drop the index), marking and unmarking all, reloads, clears and
// snapshots (whose own lookups are checked too).
template <class Snapshot, class List, class T>
void RunRandomSteps(List& list, const RegistryModel<List, T>& model, int steps, uint32_t seed) {
  std::mt19937 rng(seed);
  auto pick = [&rng](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
  for (int step = 0; step < steps; ++step) {
    std::string name = "step " + std::to_string(step);
    std::vector<CKelRecord*> records = Records(list);
    size_t op = pick(20);
    if (op < 7) {
      T* record = model.make(rng);
      bool expected = (!model.acceptable || model.acceptable(*record)) &&
                      WalkFind(list, *record, model.duplicate) == nullptr;
      int added = list.Add(record);
      ASSERT_EQ(added, expected ? 0 : -1) << name << " (add)";
      if (added != 0) delete record;
    } else if (op < 10) {
      const T& key = model.keys[pick(model.keys.size())];
      ExpectMarksLikeTheWalk(
          list, key, model.active, [&list](const T& k) { list.MarkDeleted(k); },
          name + " (mark deleted)");
    } else if (op < 14) {
      // The planning's settling with a snapshot copy as key.
      if (records.empty()) continue;
      T copy;
      copy = *static_cast<T*>(records[pick(records.size())]);
      CKelListLock hold(list);
      if (T* found = list.FindPendingAdd(copy, 1)) found->pendingAdd = 0;
      if (T* found = list.FindPendingDelete(copy, 1)) list.RemoveData(found, 1);
    } else if (op == 14) {
      if (records.empty()) continue;
      switch (pick(3)) {
        case 0:
          list.RemoveHead();
          break;
        case 1:
          list.RemoveTail();
          break;
        default: {
          CKelNode* node = list.GetHead();
          for (size_t i = pick(records.size()); i > 0; --i) node = list.GetNext(node);
          list.Remove(node);
        }
      }
    } else if (op == 15) {
      T foreign;
      ASSERT_EQ(list.DetachData(&foreign), nullptr) << name;
      if (records.empty()) continue;
      CKelRecord* record = records[pick(records.size())];
      CKelNode* node = list.DetachData(record);
      ASSERT_NE(node, nullptr) << name;
      ASSERT_EQ(node->data, record) << name;
      delete node;
    } else if (op == 16) {
      list.AddHead(model.make(rng));  // no duplicate check: live duplicates are possible
      if (!records.empty()) {
        ASSERT_FALSE(list.IndexBuilt()) << name << ": an insertion before the tail drops it";
      }
    } else if (op == 17) {
      list.MarkAll(static_cast<int32_t>(pick(2)));
    } else if (op == 18) {
      if (model.reload) model.reload(list);
    } else if (pick(4) == 0) {
      list.RemoveAll();
    } else {
      // The copy refuses what the walk's duplicate check over the copies made so far refuses.
      std::vector<CKelRecord*> kept;
      for (CKelRecord* r : records) {
        bool refused = false;
        for (CKelRecord* k : kept) refused = refused || model.duplicate(k, r);
        if (!refused) kept.push_back(r);
      }
      Snapshot snapshot;
      ASSERT_EQ(list.CopyTo(&snapshot), static_cast<int>(kept.size())) << name;
      ExpectFindsLikeTheWalk(snapshot, model.keys, model.matches, name + " (snapshot)");
    }
    ExpectFindsLikeTheWalk(list, model.keys, model.matches, name);
  }
}

}  // namespace registrytest
