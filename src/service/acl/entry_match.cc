#include "service/acl/entry_match.h"

#include <cstring>
#include <utility>

namespace {

bool SameUnderMask(const uint8_t* a, const uint8_t* b, const uint8_t* mask) {
  for (int i = 0; i < 4; ++i) {
    if ((a[i] & mask[i]) != (b[i] & mask[i])) return false;
  }
  return true;
}

const std::vector<const CKelData*> kNoEntries;

}  // namespace

uint32_t SourceKeyOf(const uint8_t* address) {
  uint32_t key = 0;
  std::memcpy(&key, address, 4);
  return key;
}

bool EntryAppliesTo(const CKelData& e, const CPvrouteData* t, const CPcData& p) {
  if (!e.macText.empty() && p.HasMac() && std::memcmp(e.mac, p.mac.data(), 6) != 0) return false;
  if (p.HasSource()) {
    return std::memcmp(e.source, p.source.data(), 4) == 0 && t != nullptr &&
           SameUnderMask(p.source.data(), t->network.data(), t->netmask.data());
  }
  if (p.HasNetwork()) {
    if (t == nullptr || p.netmask != t->netmask) return false;
    const uint8_t* m = p.netmask.data();
    return SameUnderMask(p.network.data(), t->network.data(), m) &&
           SameUnderMask(e.source, t->network.data(), m);
  }
  return !e.macText.empty();
}

bool EntryMayApply(const CKelData& e, const CPcData& p) {
  // EntryAppliesTo without the route: each of its conditions that names no route.
  if (!e.macText.empty() && p.HasMac() && std::memcmp(e.mac, p.mac.data(), 6) != 0) return false;
  if (p.HasSource()) return std::memcmp(e.source, p.source.data(), 4) == 0;
  if (p.HasNetwork()) {
    // The route's netmask must be P's, and both P's network and E's address lie under the
    // route's network with it: so E's address lies in P's network.
    return SameUnderMask(e.source, p.network.data(), p.netmask.data());
  }
  return !e.macText.empty();
}

EntryPairing::EntryPairing(std::vector<const CKelData*> entries) : entries_(std::move(entries)) {
  for (const CKelData* e : entries_) bySource_[SourceKeyOf(e->source)].push_back(e);
  if (bySource_.size() <= 8) {
    for (const auto& [key, entries] : bySource_) fewSources_.push_back(key);
  }
}

bool EntryPairing::HasSource(uint32_t key) const {
  if (bySource_.size() <= 8) {
    for (uint32_t k : fewSources_) {
      if (k == key) return true;
    }
    return false;
  }
  return bySource_.count(key) != 0;
}

const std::vector<const CKelData*>& EntryPairing::Candidates(const CPcData& pc) const {
  if (!pc.HasSource()) return entries_;
  auto found = bySource_.find(SourceKeyOf(pc.source.data()));
  return found == bySource_.end() ? kNoEntries : found->second;
}

const std::vector<const CKelData*>& EntryPairing::EntriesFor(const CPcData& pc) {
  auto [at, made] = found_.try_emplace(&pc);
  if (!made) return at->second;
  std::vector<const CKelData*>& entries = at->second;
  ForEachEntry(pc, [&entries](const CKelData* e) { entries.push_back(e); });
  return entries;
}

bool EntryPairing::MayPair(const CPcData& pc) const {
  for (const CKelData* e : Candidates(pc)) {
    if (EntryMayApply(*e, pc)) return true;
  }
  return false;
}
