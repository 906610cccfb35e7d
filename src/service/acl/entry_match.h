// Which access entries give kel lines for which PC: the match of one entry and one PC behind
// one route, the same without the route, and the pairing of a list of entries with PCs that
// the walks and state sync both use to pass over what cannot match.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "service/registry/kel_data.h"
#include "service/registry/pc_data.h"
#include "service/registry/pvroute_data.h"

// Whether entry E's lines belong to PC P behind route T (T null: a router without routes).
bool EntryAppliesTo(const CKelData& entry, const CPvrouteData* route, const CPcData& pc);

// Whether entry E can give kel lines for PC P behind any route at all: false only when no
// route could make it apply (another address, another MAC, an address outside P's network).
bool EntryMayApply(const CKelData& entry, const CPcData& pc);

// The four bytes of an address as one number, the key EntryPairing indexes entries by.
uint32_t SourceKeyOf(const uint8_t* address);

// A list of access entries, indexed by their address, paired with PCs: for each PC the
// entries of the list that may apply to it (EntryMayApply), in the list's order. A PC with an
// address is only looked up among the entries of that address. The entries and the PCs asked
// about must outlive the pairing.
class EntryPairing {
 public:
  explicit EntryPairing(std::vector<const CKelData*> entries);

  // Found once per PC (by its address in memory) and kept while the pairing lives.
  const std::vector<const CKelData*>& EntriesFor(const CPcData& pc);
  // Whether any entry of the list may apply to the PC; nothing is kept.
  bool MayPair(const CPcData& pc) const;
  // Whether an entry of the list has the source address `key` (its four bytes as one number,
  // as SourceKeyOf gives): a PC with that address has no entry to pair with otherwise.
  bool HasSource(uint32_t key) const;
  // fn(const CKelData*) for each entry that may apply to the PC, in order; nothing is kept.
  template <class Fn>
  void ForEachEntry(const CPcData& pc, Fn&& fn) const {
    for (const CKelData* e : Candidates(pc)) {
      if (EntryMayApply(*e, pc)) fn(e);
    }
  }

 private:
  const std::vector<const CKelData*>& Candidates(const CPcData& pc) const;

  std::vector<const CKelData*> entries_;
  std::unordered_map<uint32_t, std::vector<const CKelData*>> bySource_;
  std::vector<uint32_t> fewSources_;  // the keys of bySource_ while there are a handful
  std::unordered_map<const CPcData*, std::vector<const CKelData*>> found_;
};
