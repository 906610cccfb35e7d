#include "service/cluster/registry_mirror.h"

#include <algorithm>
#include <memory>

#include "common/syslog.h"
#include "service/cluster/record_codec.h"
#include "service/registry/kel_data.h"
#include "service/registry/pc_data.h"
#include "service/registry/pv_data.h"
#include "service/registry/quarantine_data.h"

namespace {

CKelList* ListOf(CommandFamily family) {
  switch (family) {
    case CommandFamily::kKel:
      return &KelDataList();
    case CommandFamily::kPv:
      return &PvList();
    case CommandFamily::kPc:
      return &PcList();
    case CommandFamily::kQuarantine:
      return &QuarantineList();
    default:
      return nullptr;
  }
}

// Adds a decoded record flagged pendingAdd; false when its registry refuses it.
bool Insert(CommandFamily family, DecodedRecord& decoded) {
  decoded.record->pendingAdd = 1;
  int added = -1;
  switch (family) {
    case CommandFamily::kKel:
      added = KelDataList().Add(static_cast<CKelData*>(decoded.record.get()));
      break;
    case CommandFamily::kPv:
      added = PvList().Add(static_cast<CPvData*>(decoded.record.get()));
      break;
    case CommandFamily::kPc:
      added = PcList().Add(static_cast<CPcData*>(decoded.record.get()));
      break;
    case CommandFamily::kQuarantine:
      added = QuarantineList().Add(static_cast<CQuarantineData*>(decoded.record.get()));
      break;
    case CommandFamily::kPvroute: {
      CKelListLock hold(PvList());
      CPvData* router = PvList().FindActiveByAddress(decoded.router.data(), 1);
      if (router != nullptr) {
        added = router->routes.Add(static_cast<CPvrouteData*>(decoded.record.get()));
      }
      break;
    }
    default:
      break;
  }
  if (added != 0) return false;
  decoded.record.release();  // the registry owns it now
  return true;
}

// Marks the live records of `list` whose identity is `identity` deleted.
void MarkIdentity(CKelList& list, CommandFamily family, const std::string& identity,
                  const uint8_t* router) {
  CKelListLock hold(list);
  for (CKelNode* node = list.GetHead(1); node != nullptr; node = list.GetNext(node, 1)) {
    CKelRecord* record = node->data;
    if (!record->pendingDelete && RecordIdentity(family, *record, router) == identity) {
      record->pendingDelete = 1;
      // The PC registry keeps a note of its marked records for the planning; the others count
      // the change.
      if (family == CommandFamily::kPc) {
        static_cast<CPcList&>(list).NoteMarked(node);
      } else if (auto* indexed = dynamic_cast<CIndexedList*>(&list)) {
        indexed->NoteMarks();
      }
    }
  }
}

}  // namespace

ClusterKeys::ClusterKeys(std::string prefix_)
    : prefix(std::move(prefix_)), leader(prefix + "meta/leader"), seeded(prefix + "meta/seeded") {}

std::string ClusterKeys::Version(CommandFamily family) const {
  return prefix + "meta/version/" + CommandFamilyName(family);
}

std::string ClusterKeys::Record(CommandFamily family, const std::string& identity) const {
  return FamilyPrefix(prefix, family) + identity;
}

RegistryMirror::RegistryMirror(const ClusterKeys& keys, ChangeHandler onChange,
                               LeaderHandler onLeader)
    : keys_(keys), onChange_(std::move(onChange)), onLeader_(std::move(onLeader)) {}

void RegistryMirror::Changed(CommandFamily family) {
  auto index = static_cast<size_t>(family);
  if (index < noticed_.size() && !noticed_[index].exchange(true) && onChange_) onChange_(family);
}

void RegistryMirror::Acknowledge(CommandFamily family) {
  auto index = static_cast<size_t>(family);
  if (index < noticed_.size()) noticed_[index].store(false);
}

void RegistryMirror::MetaLocked(const EtcdKeyValue& kv, bool deleted) {
  if (kv.key == keys_.leader) {
    leaderName_ = deleted ? std::string() : kv.value;
    leaderTerm_ = deleted ? 0 : kv.createRevision;
    if (onLeader_) onLeader_();
    return;
  }
  if (kv.key == keys_.seeded) {
    seeded_ = !deleted;
    return;
  }
  for (CommandFamily f : {CommandFamily::kPv, CommandFamily::kPvroute, CommandFamily::kPc,
                          CommandFamily::kQuarantine}) {
    if (kv.key == keys_.Version(f)) versions_[f] = deleted ? 0 : kv.modRevision;
  }
}

void RegistryMirror::PutLocked(const EtcdKeyValue& kv) {
  CommandFamily family = FamilyOfKey(keys_.prefix, kv.key);
  if (family == CommandFamily::kNone) {
    MetaLocked(kv, false);
    return;
  }
  auto held = records_.find(kv.key);
  if (held != records_.end()) {
    if (held->second.value == kv.value) return;
    DeleteLocked(kv.key);  // rewritten by hand: the new value replaces the old record
  }
  DecodedRecord decoded;
  std::string why;
  if (!DecodeRecord(family, kv.value, &decoded, &why)) {
    Syslog(kLogErr, "The cluster record %s does not parse (%s); it is skipped.", kv.key.c_str(),
           why.c_str());
    return;
  }
  std::string identity = kv.key.substr(FamilyPrefix(keys_.prefix, family).size());
  if (RecordIdentity(family, *decoded.record, decoded.router.data()) != identity) {
    Syslog(kLogErr, "The cluster record %s does not match its key; it is skipped.", kv.key.c_str());
    return;
  }
  if (!Insert(family, decoded)) {
    Syslog(kLogErr,
           "The cluster record %s is refused by its registry (a duplicate, or a route without "
           "its router); it is skipped.",
           kv.key.c_str());
    return;
  }
  records_[kv.key] = Entry{family, kv.value};
  Changed(family);
}

void RegistryMirror::DeleteLocked(const std::string& key) {
  auto held = records_.find(key);
  if (held == records_.end()) {
    EtcdKeyValue kv;
    kv.key = key;
    MetaLocked(kv, true);
    return;
  }
  CommandFamily family = held->second.family;
  std::string identity = key.substr(FamilyPrefix(keys_.prefix, family).size());
  if (family == CommandFamily::kPvroute) {
    DecodedRecord decoded;
    std::string why;
    if (DecodeRecord(family, held->second.value, &decoded, &why)) {
      CKelListLock hold(PvList());
      // A route whose router is already going goes with it.
      if (CPvData* router = PvList().FindActiveByAddress(decoded.router.data(), 1)) {
        MarkIdentity(router->routes, family, identity, decoded.router.data());
      }
    }
  } else if (CKelList* list = ListOf(family)) {
    MarkIdentity(*list, family, identity, nullptr);
  }
  records_.erase(held);
  Changed(family);
}

void RegistryMirror::ApplySnapshot(std::vector<EtcdKeyValue> kvs, int64_t revision) {
  // Creation order; the records of one load share a revision and carry their order.
  std::vector<std::pair<int64_t, size_t>> order(kvs.size());
  for (size_t i = 0; i < kvs.size(); ++i) {
    DecodedRecord decoded;
    std::string why;
    CommandFamily family = FamilyOfKey(keys_.prefix, kvs[i].key);
    int64_t within = 0;
    if (family != CommandFamily::kNone && DecodeRecord(family, kvs[i].value, &decoded, &why)) {
      within = decoded.order;
    }
    order[i] = {within, i};
  }
  std::stable_sort(order.begin(), order.end(), [&](const auto& a, const auto& b) {
    const EtcdKeyValue& x = kvs[a.second];
    const EtcdKeyValue& y = kvs[b.second];
    if (x.createRevision != y.createRevision) return x.createRevision < y.createRevision;
    return a.first < b.first;
  });
  std::lock_guard<std::mutex> hold(mutex_);
  std::map<std::string, const EtcdKeyValue*> present;
  for (const EtcdKeyValue& kv : kvs) present[kv.key] = &kv;
  std::vector<std::string> gone;
  for (const auto& [key, entry] : records_) {
    if (present.count(key) == 0) gone.push_back(key);
  }
  for (const std::string& key : gone) DeleteLocked(key);
  // Meta keys absent from the snapshot are gone too.
  for (const std::string& key : {keys_.leader, keys_.seeded}) {
    if (present.count(key) == 0) DeleteLocked(key);
  }
  versions_.clear();
  for (const auto& [within, index] : order) PutLocked(kvs[index]);
  applied_ = std::max(applied_, revision);
  changed_.notify_all();
}

void RegistryMirror::ApplyEvent(const EtcdEvent& event) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (event.type == EtcdEvent::kPut) {
    PutLocked(event.kv);
  } else {
    DeleteLocked(event.kv.key);
  }
}

void RegistryMirror::RevisionDone(int64_t revision) {
  std::lock_guard<std::mutex> hold(mutex_);
  applied_ = std::max(applied_, revision);
  changed_.notify_all();
}

int64_t RegistryMirror::Applied() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return applied_;
}

bool RegistryMirror::WaitApplied(int64_t revision, Clock::time_point deadline) {
  std::unique_lock<std::mutex> hold(mutex_);
  return changed_.wait_until(hold, deadline, [&] { return closed_ || applied_ >= revision; }) &&
         !closed_;
}

bool RegistryMirror::WaitVersionChange(CommandFamily family, int64_t seen,
                                       Clock::time_point deadline) {
  std::unique_lock<std::mutex> hold(mutex_);
  return changed_.wait_until(hold, deadline, [&] {
    return closed_ || VersionLocked(family) != seen;
  }) && !closed_;
}

void RegistryMirror::Close() {
  std::lock_guard<std::mutex> hold(mutex_);
  closed_ = true;
  changed_.notify_all();
}

int64_t RegistryMirror::VersionLocked(CommandFamily family) const {
  auto found = versions_.find(family);
  return found == versions_.end() ? 0 : found->second;
}

std::vector<std::string> RegistryMirror::KeysLocked(CommandFamily family) const {
  std::vector<std::string> keys;
  for (const auto& [key, entry] : records_) {
    if (entry.family == family) keys.push_back(key);
  }
  return keys;
}

std::string RegistryMirror::ValueLocked(const std::string& key) const {
  auto found = records_.find(key);
  return found == records_.end() ? std::string() : found->second.value;
}

std::string RegistryMirror::LeaderName() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return leaderName_;
}

int64_t RegistryMirror::LeaderTerm() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return leaderTerm_;
}

bool RegistryMirror::Seeded() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return seeded_;
}

size_t RegistryMirror::RecordCount() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return records_.size();
}
