// The counted diff of one registry: the records state sync counted its lines from, and the
// split of the registry now against them into kept, removed and added records (by identity,
// copies counted), then taken as the new counted records.
#pragma once

#include <cstddef>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "service/acl/sync_identity.h"

namespace statesync {

// The records of one registry the counts were made from: one copy of each distinct record
// with the number of its copies, and the registry's order then, each copy pointing at its slot.
template <class T>
struct Counted {
  struct Slot {
    T record;
    int copies = 0;
  };
  std::unordered_map<LineKey, Slot, LineKeyHash> byKey;
  std::vector<const T*> order;
  void Clear() {
    order.clear();
    byKey.clear();
  }
};

// Old and new members of one registry, each as a list of records, split into kept, removed
// and added (by identity, copies counted). `order` is what the counted order becomes: for each
// record now, in order, its counted copy (null for an added record until Account).
//
// A registry of tens of thousands of records that only grew at its tail since it was counted
// (or did not change) keeps the counted order itself as its kept records: `tailOf` points at it,
// `kept` and `order` stay empty, and Account appends the added records. Kept(), Before() and
// After() then hand out that order rather than copies of it; the members before and after are
// only made when first asked for, and not at all when they are the kept ones.
template <class T>
struct Split {
  using List = std::vector<const T*>;
  List kept, removed, added;
  List order;
  const List* tailOf = nullptr;

  const List& Kept() const { return tailOf != nullptr ? *tailOf : kept; }
  const List& Before() const { return removed.empty() ? Kept() : Joined(removed, before_); }
  const List& After() const { return added.empty() ? Kept() : Joined(added, after_); }

 private:
  const List& Joined(const List& more, std::optional<List>& made) const {
    if (!made) {
      made.emplace(Kept());
      made->insert(made->end(), more.begin(), more.end());
    }
    return *made;
  }
  mutable std::optional<List> before_, after_;
};

// A registry mostly keeps its order and changes in one place: the records that match the
// counted order from the front and from the back are kept without a lookup; only the middle
// between is matched by identity. Kept and removed records are given as their counted copies,
// added ones as they are in `now`.
template <class T>
Split<T> Diff(const Counted<T>& counted, const std::vector<const T*>& now) {
  Split<T> s;
  const std::vector<const T*>& old = counted.order;
  const size_t n = now.size();
  const size_t m = old.size();
  size_t head = 0;
  while (head < n && head < m && Same(*now[head], *old[head])) ++head;
  size_t tail = 0;
  while (tail < n - head && tail < m - head && Same(*now[n - 1 - tail], *old[m - 1 - tail])) {
    ++tail;
  }
  std::unordered_map<LineKey, size_t, LineKeyHash> left;  // old middle copies not matched yet
  for (size_t j = head; j < m - tail; ++j) ++left[Identity(*old[j])];
  s.order.reserve(n);
  s.kept.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    const T* record = now[i];
    const T* copy = nullptr;
    if (i < head) {
      copy = old[i];
    } else if (i >= n - tail) {
      copy = old[m - (n - i)];
    } else {
      LineKey key = Identity(*record);
      auto at = left.find(key);
      if (at != left.end() && at->second > 0) {
        --at->second;
        copy = &counted.byKey.at(key).record;
      }
    }
    if (copy != nullptr) {
      s.kept.push_back(copy);
    } else {
      s.added.push_back(record);
    }
    s.order.push_back(copy);
  }
  for (size_t j = head; j < m - tail; ++j) {
    auto at = left.find(Identity(*old[j]));
    if (at->second > 0) {
      --at->second;
      s.removed.push_back(old[j]);
    }
  }
  return s;
}

template <class T>
void Account(Counted<T>& counted, Split<T>& s) {
  // The removed records live in the slots themselves: take every key before any slot goes.
  // A slot that a kept copy points at keeps a copy, so it stays.
  std::vector<LineKey> gone;
  gone.reserve(s.removed.size());
  for (const T* record : s.removed) gone.push_back(Identity(*record));
  for (const LineKey& key : gone) {
    auto at = counted.byKey.find(key);
    if (at != counted.byKey.end() && --at->second.copies <= 0) counted.byKey.erase(at);
  }
  if (s.tailOf != nullptr) {  // the counted order, then the added records
    for (const T* record : s.added) {
      auto& slot = counted.byKey[Identity(*record)];
      if (slot.copies++ == 0) slot.record = *record;
      counted.order.push_back(&slot.record);
    }
    return;
  }
  size_t next = 0;
  for (const T*& copy : s.order) {
    if (copy != nullptr) continue;
    const T* record = s.added[next++];
    auto& slot = counted.byKey[Identity(*record)];
    if (slot.copies++ == 0) slot.record = *record;
    copy = &slot.record;
  }
  counted.order = std::move(s.order);
}

}  // namespace statesync
