#include "service/registry/pc_data.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <utility>
#include <vector>

#include "common/address_util.h"
#include "service/registry/registry_ops.h"

namespace {

const CPcData& AsPc(const CKelRecord* record) { return *static_cast<const CPcData*>(record); }

bool SameUnderMask(const std::array<uint8_t, 4>& a, const std::array<uint8_t, 4>& b,
                   const std::array<uint8_t, 4>& mask) {
  for (int i = 0; i < 4; ++i) {
    if ((a[i] & mask[i]) != (b[i] & mask[i])) return false;
  }
  return true;
}

// Equal netmasks and equal networks under that netmask.
bool SameNetwork(const CPcData& candidate, const CPcData& key) {
  return candidate.netmask == key.netmask &&
         SameUnderMask(candidate.network, key.network, key.netmask);
}

// The network part of PcMatch: a key without network text accepts; a key without netmask text
// wants the very same network; otherwise the network under equal netmasks.
bool NetworkMatches(const CPcData& candidate, const CPcData& key) {
  if (!key.HasNetwork()) return true;
  if (!candidate.HasNetwork()) return false;
  if (key.netmaskText.empty()) return candidate.network == key.network;
  return SameNetwork(candidate, key);
}

uint32_t Quad(const std::array<uint8_t, 4>& bytes) {
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
         bytes[3];
}

// The netmask and the network under it: equal for two entries exactly when SameNetwork holds
// for them (either one the key).
uint64_t NetworkKey(const CPcData& pc) {
  uint32_t mask = Quad(pc.netmask);
  return (uint64_t{mask} << 32) | (Quad(pc.network) & mask);
}

uint64_t MacKey(const CPcData& pc) {
  uint64_t key = 0;
  for (uint8_t byte : pc.mac) key = (key << 8) | byte;
  return key;
}

// Entries without MAC that have a network: the ones a network key finds by PcMatch.
bool IsNetworkEntry(const CPcData& pc) { return !pc.HasMac() && pc.HasNetwork(); }

// The key of bySource_: the address with a bit above it, so that 0.0.0.0 is not "none".
uint64_t SourceKey(uint32_t quad) { return (uint64_t{1} << 32) | quad; }
uint64_t SourceKey(const std::array<uint8_t, 4>& source) { return SourceKey(Quad(source)); }
uint64_t SourceKey(const CPcData& pc) { return pc.HasSource() ? SourceKey(pc.source) : 0; }

// Every record of the buckets offered, with its sequence.
class Gather final : public CIndexVisitor {
 public:
  bool Visit(uint64_t seq, CKelNode* node) override {
    found.emplace_back(seq, node);
    return false;
  }
  // The PCs offered, each once, in list order.
  std::vector<const CPcData*> InListOrder() {
    auto bySeq = [](const auto& a, const auto& b) { return a.first < b.first; };
    auto sameSeq = [](const auto& a, const auto& b) { return a.first == b.first; };
    std::sort(found.begin(), found.end(), bySeq);
    found.erase(std::unique(found.begin(), found.end(), sameSeq), found.end());
    std::vector<const CPcData*> records;
    records.reserve(found.size());
    for (const auto& entry : found) records.push_back(&AsPc(entry.second->data));
    return records;
  }
  std::vector<std::pair<uint64_t, CKelNode*>> found;
};

}  // namespace

bool CPcData::HasValidShape() const {
  if (HasSource() && HasNetwork()) return false;
  if (!HasMac() && (HasSource() || !HasNetwork())) return false;
  return true;
}

int PcDuplicateMatch(const CKelRecord* candidate_record, const CKelRecord* key_record) {
  const CPcData& candidate = AsPc(candidate_record);
  const CPcData& key = AsPc(key_record);
  if (candidate.pendingDelete) return 0;
  if (!key.HasMac()) return SameNetwork(candidate, key);
  if (!candidate.HasMac()) {
    return key.HasNetwork() && candidate.HasNetwork() && SameNetwork(candidate, key);
  }
  if (candidate.mac != key.mac) return 0;
  if (key.HasSource()) return candidate.HasSource() && candidate.source == key.source;
  if (key.HasNetwork()) return candidate.HasNetwork() && SameNetwork(candidate, key);
  return 1;
}

int PcMatch(const CKelRecord* candidate_record, const CKelRecord* key_record) {
  const CPcData& candidate = AsPc(candidate_record);
  const CPcData& key = AsPc(key_record);
  if (!key.HasMac()) return !candidate.HasMac() && NetworkMatches(candidate, key);
  if (!candidate.HasMac() || candidate.mac != key.mac) return 0;
  if (key.HasSource() && (!candidate.HasSource() || candidate.source != key.source)) return 0;
  return NetworkMatches(candidate, key);
}

int PcActiveMatch(const CKelRecord* candidate, const CKelRecord* key) {
  return !candidate->pendingDelete && PcMatch(candidate, key);
}

int PcPendingAddMatch(const CKelRecord* candidate, const CKelRecord* key) {
  return candidate->pendingAdd && PcMatch(candidate, key);
}

int PcPendingDeleteMatch(const CKelRecord* candidate, const CKelRecord* key) {
  return candidate->pendingDelete && PcMatch(candidate, key);
}

int CPcList::Add(CPcData* record, int locked) {
  if (record == nullptr || !record->HasValidShape()) return -1;
  if (record->HasMac()) {
    // Every registered MAC reads "XX:XX:XX:XX:XX:XX", whatever form it was typed in.
    uint8_t bytes[6];
    if (ParseMacAddress(record->macText.c_str(), bytes) != 0) return -1;
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", bytes[0], bytes[1], bytes[2],
                  bytes[3], bytes[4], bytes[5]);
    std::copy(bytes, bytes + 6, record->mac.begin());
    record->macText = text;
  }
  return RegistryAdd(*this, record, PcDuplicateMatch, locked);
}

void CPcList::MarkDeleted(const CPcData& key, int locked) {
  (void)locked;  // the lock is re-entrant
  CKelListLock hold(*this);
  NoteChange();
  // MarkMatching, each record marked also noted among the marked.
  class MarkAndNote final : public CIndexVisitor {
   public:
    MarkAndNote(const CPcData& key, CIndexBuckets<uint8_t>& marked) : key_(key), marked_(marked) {}
    bool Visit(uint64_t seq, CKelNode* node) override {
      if (PcActiveMatch(node->data, &key_)) {
        node->data->pendingDelete = 1;
        marked_.Insert(0, seq, node);
      }
      return false;
    }

   private:
    const CPcData& key_;
    CIndexBuckets<uint8_t>& marked_;
  };
  try {
    MarkAndNote marks(key, marked_);
    if (IndexReady() && IndexCandidates(key, PcActiveMatch, marks)) return;
  } catch (...) {
    // a mark not noted: the walk below marks again, and the index goes
  }
  RegistryMarkDeleted(*this, key, PcActiveMatch, 1);
  DropIndex();
}

void CPcList::MarkAll(int32_t flag, int locked) {
  (void)locked;
  CKelListLock hold(*this);
  NoteChange();
  RegistryMarkAll(*this, flag, 1);
  DropIndex();
}

std::vector<const CPcData*> CPcList::Marked() {
  std::vector<const CPcData*> records;
  if (!IndexReady()) {
    for (CKelNode* n = GetHead(1); n != nullptr; n = GetNext(n, 1)) {
      const CPcData& pc = AsPc(n->data);
      if (pc.pendingAdd || pc.pendingDelete) records.push_back(&pc);
    }
    return records;
  }
  Gather gather;
  marked_.Visit(0, gather);
  for (const auto& [seq, node] : gather.found) {
    const CPcData& pc = AsPc(node->data);
    if (pc.pendingAdd || pc.pendingDelete) {
      records.push_back(&pc);
    } else {
      marked_.Erase(0, seq);
    }
  }
  return records;
}

CPcData* CPcList::FindPendingAdd(const CPcData& key, int locked) {
  return RegistryFind(*this, key, PcPendingAddMatch, locked);
}

CPcData* CPcList::FindPendingDelete(const CPcData& key, int locked) {
  return RegistryFind(*this, key, PcPendingDeleteMatch, locked);
}

void CPcList::IndexInsert(const CKelRecord& record, uint64_t seq, CKelNode* node) {
  const CPcData& pc = AsPc(&record);
  if (pc.HasMac()) byMac_.Insert(MacKey(pc), seq, node);
  if (IsNetworkEntry(pc)) {
    byNetwork_.Insert(NetworkKey(pc), seq, node);
    byBareNetwork_.Insert(Quad(pc.network), seq, node);
  } else {
    byOtherNetwork_.Insert(NetworkKey(pc), seq, node);
  }
  if (bySourceBuilt_) bySource_.Insert(SourceKey(pc), seq, node);
  if (pc.pendingAdd || pc.pendingDelete) marked_.Insert(0, seq, node);
}

bool CPcList::IndexErase(const CKelRecord& record, uint64_t seq) {
  const CPcData& pc = AsPc(&record);
  bool ok = !pc.HasMac() || byMac_.Erase(MacKey(pc), seq);
  if (IsNetworkEntry(pc)) {
    ok = byNetwork_.Erase(NetworkKey(pc), seq) && ok;
    ok = byBareNetwork_.Erase(Quad(pc.network), seq) && ok;
  } else {
    ok = byOtherNetwork_.Erase(NetworkKey(pc), seq) && ok;
  }
  if (bySourceBuilt_) ok = bySource_.Erase(SourceKey(pc), seq) && ok;
  marked_.Erase(0, seq);  // when it is there
  return ok;
}

void CPcList::IndexClear() {
  byMac_.Clear();
  byNetwork_.Clear();
  byBareNetwork_.Clear();
  byOtherNetwork_.Clear();
  bySource_.Clear();
  bySourceBuilt_ = false;
  marked_.Clear();
}

void CPcList::NoteMarked(CKelNode* node) {
  NoteChange();
  uint64_t seq = 0;
  if (!SeqOf(node->data, &seq)) return;  // no index yet: building it notes every mark
  try {
    marked_.Insert(0, seq, node);
  } catch (...) {
    DropIndex();  // Marked() walks the list until the index is built again
  }
}

bool CPcList::SourceIndexReady() {
  if (!IndexReady()) return false;
  if (bySourceBuilt_) return true;
  try {
    uint64_t seq = 0;
    for (CKelNode* n = GetHead(1); n != nullptr; n = GetNext(n, 1)) {
      if (!SeqOf(n->data, &seq)) throw std::bad_alloc();
      bySource_.Insert(SourceKey(AsPc(n->data)), seq, n);
    }
    bySourceBuilt_ = true;
  } catch (...) {
    bySource_.Clear();  // answered by the walk until it can be had
  }
  return bySourceBuilt_;
}

std::vector<const CPcData*> CPcList::WithoutSourceOrAt(
    const std::vector<std::array<uint8_t, 4>>& sources) {
  std::vector<uint64_t> keys{0};
  for (const auto& source : sources) keys.push_back(SourceKey(source));
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  std::vector<const CPcData*> records;
  if (!SourceIndexReady()) {  // the walk gives the same
    for (CKelNode* n = GetHead(1); n != nullptr; n = GetNext(n, 1)) {
      const CPcData& pc = AsPc(n->data);
      if (std::binary_search(keys.begin(), keys.end(), SourceKey(pc))) records.push_back(&pc);
    }
    return records;
  }
  Gather gather;
  for (uint64_t key : keys) bySource_.Visit(key, gather);
  return gather.InListOrder();
}

std::vector<const CPcData*> CPcList::BehindRoutes(const std::vector<Network>& routes) {
  auto behind = [&routes](const CPcData& pc) {
    if (!pc.HasSource() || pc.HasNetwork()) return true;
    for (const auto& [network, netmask] : routes) {
      if ((Quad(pc.source) & Quad(netmask)) == (Quad(network) & Quad(netmask))) return true;
    }
    return false;
  };
  // A route's addresses are one run of keys when its netmask is ones then zeros; a PC with both
  // a source and a network (a shape Add refuses) is not in the buckets searched.
  bool runs = SourceIndexReady();
  for (const auto& route : routes) {
    const uint32_t mask = Quad(route.second);
    if ((~mask & (~mask + 1)) != 0) runs = false;
  }
  std::vector<const CPcData*> records;
  if (!runs) {  // the walk gives the same
    for (CKelNode* n = GetHead(1); n != nullptr; n = GetNext(n, 1)) {
      const CPcData& pc = AsPc(n->data);
      if (behind(pc)) records.push_back(&pc);
    }
    return records;
  }
  Gather gather;
  bySource_.Visit(0, gather);
  for (const auto& [network, netmask] : routes) {
    const uint32_t low = Quad(network) & Quad(netmask);
    bySource_.VisitRange(SourceKey(low), SourceKey(low | ~Quad(netmask)), gather);
  }
  return gather.InListOrder();  // routes that overlap offer a PC more than once
}

// The buckets follow the rules' branches on the key:
// PcDuplicateMatch: a key without MAC compares every entry by netmask and network under it; a
//   key with MAC takes the entries of that MAC, and with a network also the network entries
//   (no MAC) of that netmask and network.
// PcMatch and its state variants: a key with MAC takes the entries of that MAC; a key without
//   MAC takes network entries only: by bare network when it has no netmask text, else by
//   netmask and network. A key with neither MAC nor network accepts every entry without MAC
//   and is left to the walk.
bool CPcList::IndexCandidates(const CKelRecord& key_record, CKelMatch match,
                              CIndexVisitor& visitor) {
  const CPcData& key = AsPc(&key_record);
  if (match == PcDuplicateMatch) {
    if (!key.HasMac()) {
      byNetwork_.Visit(NetworkKey(key), visitor);
      byOtherNetwork_.Visit(NetworkKey(key), visitor);
      return true;
    }
    if (key.HasNetwork()) byNetwork_.Visit(NetworkKey(key), visitor);
    byMac_.Visit(MacKey(key), visitor);
    return true;
  }
  if (match != PcMatch && match != PcActiveMatch && match != PcPendingAddMatch &&
      match != PcPendingDeleteMatch) {
    return false;
  }
  if (key.HasMac()) {
    byMac_.Visit(MacKey(key), visitor);
  } else if (!key.HasNetwork()) {
    return false;
  } else if (key.netmaskText.empty()) {
    byBareNetwork_.Visit(Quad(key.network), visitor);
  } else {
    byNetwork_.Visit(NetworkKey(key), visitor);
  }
  return true;
}

int CPcList::CopyTo(CPcList* target, int locked) {
  return RegistryCopyTo<CPcData>(*this, target, PcDuplicateMatch,
                                 "I was not able to add CPcData data to a queue.",
                                 "I failed in start of CPvData.", locked);
}

CPcList& PcList() {
  static CPcList list;
  return list;
}

int DefaultClassNetmask(const std::array<uint8_t, 4>& network, std::string* text,
                        std::array<uint8_t, 4>* mask) {
  uint8_t first = network[0];
  std::array<uint8_t, 4> value;
  if (first == 0) {
    value = {0, 0, 0, 0};
  } else if (first < 128) {
    value = {255, 0, 0, 0};
  } else if (first < 192) {
    value = {255, 255, 0, 0};
  } else if (first < 224) {
    value = {255, 255, 255, 0};
  } else if (first < 240) {
    value = {240, 0, 0, 0};
  } else if (first < 248) {
    value = {248, 0, 0, 0};
  } else {
    return -1;
  }
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%u.%u.%u.%u", value[0], value[1], value[2], value[3]);
  *text = buffer;
  *mask = value;
  return 0;
}

bool ParseNetmask(const char* text, std::array<uint8_t, 4>* mask) {
  std::array<uint8_t, 4> bytes;
  if (!IsIpAddress(text, bytes.data())) return false;
  // The check runs on the decimal bytes themselves: the platform's text conversion reads a
  // leading zero as octal and could call a different mask contiguous.
  uint32_t value = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) |
                   (uint32_t{bytes[2]} << 8) | bytes[3];
  uint32_t inverted = ~value;
  if ((inverted & (inverted + 1)) != 0) return false;
  *mask = bytes;
  return true;
}
