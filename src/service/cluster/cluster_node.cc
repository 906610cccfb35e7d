#include "service/cluster/cluster_node.h"

#include <algorithm>
#include <random>
#include <set>

#include "common/syslog.h"
#include "service/base/send_gate.h"
#include "service/cluster/record_codec.h"
#include "service/registry/kel_data.h"
#include "service/registry/pc_csv.h"
#include "service/registry/pc_data.h"
#include "service/registry/pv_csv.h"
#include "service/registry/pv_data.h"
#include "service/registry/pvroute_csv.h"
#include "service/registry/quarantine_csv.h"
#include "service/registry/quarantine_data.h"
#include "service/registry/registry_ops.h"

namespace {

constexpr int kCommandBudgetMs = 5000;  // a command is answered within this
constexpr int kCallTimeoutMs = 4500;    // one etcd read of the sync
constexpr int kTryTimeoutMs = 2000;     // one try of a command's write
constexpr size_t kMaxTxnOps = 128;      // etcd's default --max-txn-ops

EtcdSettings ClientSettings(const ClusterSettings& cluster, int timeoutMs) {
  EtcdSettings out;
  out.endpoints = cluster.endpoints;
  out.caFile = cluster.caFile;
  out.certFile = cluster.certFile;
  out.keyFile = cluster.keyFile;
  out.timeoutMs = timeoutMs;
  return out;
}

// Calls of the election are bounded by half a lease, so that a hung member is given up in time
// for the renewal that follows.
int ElectionTimeoutMs(const ClusterSettings& cluster) {
  return std::clamp(cluster.leaseSeconds * 500, 500, kCallTimeoutMs);
}

int64_t Seconds(int64_t s) { return s * 1000000000; }

// The records of `list` that `match` accepts for `key`, by identity.
std::vector<std::string> Matching(CKelList& list, CommandFamily family, CKelMatch match,
                                  const CKelRecord& key, const uint8_t* router) {
  std::vector<std::string> out;
  CKelListLock hold(list);
  for (CKelNode* node = list.GetHead(1); node != nullptr; node = list.GetNext(node, 1)) {
    if (match(node->data, &key)) out.push_back(RecordIdentity(family, *node->data, router));
  }
  return out;
}

// The live records of a loaded scratch list, as values in their order.
template <class T>
void Collect(CKelList& list, CommandFamily family, const ClusterKeys& keys,
             std::vector<EtcdOp>* puts) {
  CKelListLock hold(list);
  for (CKelNode* node = list.GetHead(1); node != nullptr; node = list.GetNext(node, 1)) {
    const T& record = *static_cast<const T*>(node->data);
    if (record.pendingDelete) continue;
    int64_t order = static_cast<int64_t>(puts->size()) + 1;
    puts->push_back(EtcdOp::Put(keys.Record(family, RecordIdentity(family, record, nullptr)),
                                EncodeRecord(family, record, "", order)));
  }
}

// Reads a family's file into a list of its own with `load` and collects its records; false
// when the file could not be read whole.
template <class List, class T, class Load>
bool LoadScratch(Load load, CommandFamily family, const ClusterKeys& keys,
                 std::vector<EtcdOp>* puts) {
  List scratch;
  bool read = load(scratch) == 0;
  Collect<T>(scratch, family, keys, puts);
  return read;
}

// Every live route of `routers` (those flagged pendingAdd only, when `addedOnly`).
void CollectRoutes(CPvList& routers, const ClusterKeys& keys, bool addedOnly,
                   std::vector<EtcdOp>* puts) {
  CKelListLock hold(routers);
  for (CKelNode* n = routers.GetHead(1); n != nullptr; n = routers.GetNext(n, 1)) {
    auto* router = static_cast<CPvData*>(n->data);
    if (router->pendingDelete) continue;
    CKelListLock routes(router->routes);
    for (CKelNode* r = router->routes.GetHead(1); r != nullptr; r = router->routes.GetNext(r, 1)) {
      const auto& route = *static_cast<const CPvrouteData*>(r->data);
      if (route.pendingDelete || (addedOnly && !route.pendingAdd)) continue;
      int64_t order = static_cast<int64_t>(puts->size()) + 1;
      puts->push_back(EtcdOp::Put(
          keys.Record(CommandFamily::kPvroute,
                      RecordIdentity(CommandFamily::kPvroute, route, router->address.data())),
          EncodeRecord(CommandFamily::kPvroute, route, router->addressText, order)));
    }
  }
}

}  // namespace

ClusterNode::ClusterNode(ClusterSettings settings, Hooks hooks)
    : settings_(std::move(settings)),
      keys_(settings_.prefix),
      hooks_(std::move(hooks)),
      client_(ClientSettings(settings_, kCallTimeoutMs)),
      election_(ClientSettings(settings_, ElectionTimeoutMs(settings_))),
      mirror_(
          keys_, [this](CommandFamily f) { hooks_.changed(f); },
          [this] {
            {
              std::lock_guard<std::mutex> hold(mutex_);
              leaderChanged_ = true;
            }
            wake_.notify_all();
          }) {
  std::random_device random;
  session_ = std::to_string(random()) + std::to_string(random());
}

ClusterNode::~ClusterNode() { Stop(); }

std::string ClusterNode::NextRequest() {
  return settings_.name + "-" + session_ + "-" + std::to_string(requests_.fetch_add(1) + 1);
}

EtcdTxnResult ClusterNode::Commit(const std::vector<EtcdCompare>& compares,
                                  const std::vector<EtcdOp>& ops,
                                  const std::vector<EtcdOp>& failure, Clock::time_point deadline) {
  EtcdTxnResult result;
  do {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() < 50) break;
    result = client_.Txn(compares, ops, failure,
                         static_cast<int>(std::min<int64_t>(left.count(), kTryTimeoutMs)));
  } while (!result.ok && synced_.load());
  if (!result.ok && result.error.empty()) result.error = "no time left";
  return result;
}

void ClusterNode::TakeSeed() {
  std::vector<EtcdOp> puts;
  Collect<CPvData>(PvList(), CommandFamily::kPv, keys_, &puts);
  CollectRoutes(PvList(), keys_, false, &puts);
  Collect<CPcData>(PcList(), CommandFamily::kPc, keys_, &puts);
  Collect<CQuarantineData>(QuarantineList(), CommandFamily::kQuarantine, keys_, &puts);
  Collect<CKelData>(KelDataList(), CommandFamily::kKel, keys_, &puts);
  seed_.clear();
  for (EtcdOp& op : puts) seed_.emplace_back(std::move(op.key), std::move(op.value));
  PvList().RemoveAll();
  PcList().RemoveAll();
  QuarantineList().RemoveAll();
  KelDataList().RemoveAll();
}

void ClusterNode::Start() {
  sendgate::EnableCluster();
  Syslog(kLogNotice, "Cluster mode: instance %s, prefix %s, lease %d s, %zu etcd endpoint(s).",
         settings_.name.c_str(), settings_.prefix.c_str(), settings_.leaseSeconds,
         settings_.endpoints.size());
  sync_ = std::thread([this] { SyncLoop(); });
  elector_ = std::thread([this] { ElectionLoop(); });
}

void ClusterNode::Stop() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (stopping_ && !sync_.joinable() && !elector_.joinable()) return;
    stopping_ = true;
  }
  synced_.store(false);  // commands from here on answer "cluster error" at once
  mirror_.Close();
  client_.Abort();
  election_.Abort();
  wake_.notify_all();
  if (elector_.joinable()) elector_.join();
  if (sync_.joinable()) sync_.join();
  watch_.reset();
  if (leading_.exchange(false)) sendgate::StepDown();
  if (lease_ != 0) {
    // Another instance may lead at once instead of after the lease.
    EtcdClient quick(ClientSettings(settings_, 1500));
    EtcdStatus revoked = quick.LeaseRevoke(lease_);
    if (!revoked.ok) {
      Syslog(kLogWarning, "The cluster lease could not be revoked (%s); it ends by itself.",
             revoked.error.c_str());
    }
    lease_ = 0;
  }
}

void ClusterNode::Wake() { wake_.notify_all(); }

ClusterStatus ClusterNode::Status() const {
  ClusterStatus out;
  out.leading = leading_.load();
  out.name = settings_.name;
  out.leader = mirror_.LeaderName();
  out.term = out.leading ? term_.load() : mirror_.LeaderTerm();
  out.etcdUp = etcdUp_.load();
  out.leaderChanges = leaderChanges_.load();
  return out;
}

// ---- the sync: snapshot, seed, watch ----

void ClusterNode::SyncLoop() {
  std::unique_lock<std::mutex> hold(mutex_);
  while (!stopping_) {
    if (!synced_.load() || resync_) {
      resync_ = false;
      hold.unlock();
      bool done = SyncOnce();
      hold.lock();
      if (!done) {
        wake_.wait_for(hold, std::chrono::seconds(1), [this] { return stopping_; });
        continue;
      }
    }
    wake_.wait(hold, [this] { return stopping_ || resync_; });
  }
}

bool ClusterNode::SyncOnce() {
  watch_.reset();
  EtcdRangeResult snapshot = client_.RangePrefix(keys_.prefix);
  if (snapshot.ok && !std::any_of(snapshot.kvs.begin(), snapshot.kvs.end(),
                                  [&](const EtcdKeyValue& kv) { return kv.key == keys_.seeded; })) {
    SeedEmptyCluster(snapshot);
    snapshot = client_.RangePrefix(keys_.prefix);
  }
  if (!snapshot.ok) {
    if (etcdUp_.exchange(false) || !synced_.load()) {
      Syslog(kLogErr, "The cluster's etcd cannot be read (%s); retrying every second.",
             snapshot.error.c_str());
    }
    return false;
  }
  etcdUp_.store(true);
  mirror_.ApplySnapshot(snapshot.kvs, snapshot.revision);
  watch_ = std::make_unique<EtcdWatch>(
      ClientSettings(settings_, kCallTimeoutMs), keys_.prefix, snapshot.revision + 1,
      [this](const EtcdEvent& event) { mirror_.ApplyEvent(event); },
      [this](int64_t compacted) {
        Syslog(kLogWarning,
               "The cluster's history was compacted at revision %lld; reading it anew.",
               static_cast<long long>(compacted));
        {
          std::lock_guard<std::mutex> hold(mutex_);
          resync_ = true;
        }
        Wake();
      },
      [this](int64_t revision) { mirror_.RevisionDone(revision); });
  if (!synced_.exchange(true)) {
    Syslog(kLogNotice, "The cluster's registries were read at revision %lld (%zu records).",
           static_cast<long long>(snapshot.revision), mirror_.RecordCount());
    Wake();
  }
  return true;
}

void ClusterNode::SeedEmptyCluster(const EtcdRangeResult& snapshot) {
  bool hasRecords = std::any_of(snapshot.kvs.begin(), snapshot.kvs.end(), [&](const auto& kv) {
    return FamilyOfKey(keys_.prefix, kv.key) != CommandFamily::kNone;
  });
  std::vector<EtcdOp> head = {EtcdOp::Put(keys_.seeded, settings_.name)};
  std::vector<EtcdOp> puts;
  if (!hasRecords) {
    for (const auto& [key, value] : seed_) puts.push_back(EtcdOp::Put(key, value));
  }
  // Only the first instance to find the cluster empty writes: the marker is in its first
  // transaction, which requires the marker absent.
  size_t first = std::min(puts.size(), kMaxTxnOps - head.size());
  std::vector<EtcdOp> ops = head;
  ops.insert(ops.end(), puts.begin(), puts.begin() + static_cast<long>(first));
  EtcdTxnResult won = client_.Txn({EtcdCompare::Absent(keys_.seeded)}, ops);
  if (!won.ok || !won.succeeded) return;
  size_t written = first;
  while (written < puts.size()) {
    size_t count = std::min(kMaxTxnOps, puts.size() - written);
    std::vector<EtcdOp> chunk(puts.begin() + static_cast<long>(written),
                              puts.begin() + static_cast<long>(written + count));
    EtcdTxnResult more = client_.Txn({}, chunk);
    if (!more.ok) {
      Syslog(kLogErr, "Seeding the cluster stopped after %zu of %zu records: %s.", written,
             puts.size(), more.error.c_str());
      break;
    }
    written += count;
  }
  Syslog(kLogNotice, "This instance seeded the empty cluster with %zu records from its files.",
         written);
  seed_.clear();
}

// ---- the election ----

void ClusterNode::ElectionLoop() {
  // Four renewals in each window of LEASE - 1 s, so that one slow or lost answer does not
  // silence a healthy leader.
  const auto tick =
      std::chrono::milliseconds(std::clamp((settings_.leaseSeconds - 1) * 1000 / 4, 100, 2500));
  std::unique_lock<std::mutex> hold(mutex_);
  while (!stopping_) {
    leaderChanged_ = false;
    hold.unlock();
    bool renewed = Renew();
    if (leading_.load() && !sendgate::MaySend()) {
      StepDown("its lease was not renewed in time");
    }
    if (leading_.load() && mirror_.Applied() >= term_.load() &&
        mirror_.LeaderName() != settings_.name) {
      StepDown("the leader key is no longer its own");
    }
    // Only on a renewal confirmed just now: the new leader's window starts from it.
    if (renewed && !leading_.load() && synced_.load() && mirror_.LeaderName().empty()) {
      Campaign();
    }
    hold.lock();
    wake_.wait_for(hold, tick, [this] { return stopping_ || leaderChanged_; });
  }
}

bool ClusterNode::Renew() {
  int64_t sent = sendgate::NowNs();
  if (lease_ == 0) {
    EtcdLeaseResult granted = election_.LeaseGrant(settings_.leaseSeconds);
    etcdUp_.store(granted.ok);
    if (granted.ok) {
      lease_ = granted.id;
      leaseConfirmedNs_ = sent;
    }
    return granted.ok;
  }
  EtcdLeaseResult renewed = election_.LeaseKeepAliveOnce(lease_);
  if (renewed.ok && renewed.ttl > 0) {
    etcdUp_.store(true);
    leaseConfirmedNs_ = sent;
    if (leading_.load()) sendgate::Extend(sent + Seconds(settings_.leaseSeconds - 1));
    return true;
  }
  if (renewed.ok || renewed.error.find("expired") != std::string::npos ||
      renewed.error.find("not found") != std::string::npos) {
    etcdUp_.store(true);
    lease_ = 0;  // gone: a new one is asked for on the next tick
    if (leading_.load()) StepDown("its lease expired");
    return false;
  }
  etcdUp_.store(false);
  return false;
}

void ClusterNode::Campaign() {
  // The lease lives at least until LEASE seconds after the last confirmed renewal was sent.
  int64_t confirmed = leaseConfirmedNs_;
  EtcdTxnResult won = election_.Txn({EtcdCompare::Absent(keys_.leader)},
                                    {EtcdOp::Put(keys_.leader, settings_.name, lease_)});
  if (!won.ok || !won.succeeded) return;
  term_.store(won.revision);
  sendgate::Lead(won.revision, confirmed + Seconds(settings_.leaseSeconds - 1));
  leading_.store(true);
  leaderChanges_.fetch_add(1);
  Syslog(kLogNotice, "This instance (%s) leads the cluster from term %lld.", settings_.name.c_str(),
         static_cast<long long>(won.revision));
  if (hooks_.lead) hooks_.lead();
}

void ClusterNode::StepDown(const char* why) {
  if (!leading_.exchange(false)) return;
  sendgate::StepDown();
  Syslog(kLogWarning, "This instance (%s) stops leading the cluster: %s.", settings_.name.c_str(),
         why);
  // A fresh lease for the next campaign: the old one may still hold the key for a while.
  if (lease_ != 0) {
    (void)election_.LeaseRevoke(lease_);
    lease_ = 0;
  }
}

// ---- registry changes ----

ReplicaOutcome ClusterNode::Unavailable(const char* what, const std::string& why) {
  Syslog(kLogErr, "The cluster did not commit %s: %s.", what, why.c_str());
  return ReplicaOutcome::kUnavailable;
}

std::vector<CommandFamily> ClusterNode::Guards(CommandFamily family) const {
  // A route depends on its router; a router's removal takes its routes.
  if (family == CommandFamily::kPv || family == CommandFamily::kPvroute) {
    return {CommandFamily::kPv, CommandFamily::kPvroute};
  }
  return {family};
}

std::vector<EtcdOp> ClusterNode::VersionBumps(CommandFamily family) const {
  std::vector<EtcdOp> out;
  for (CommandFamily f : Guards(family))
    out.push_back(EtcdOp::Put(keys_.Version(f), settings_.name));
  return out;
}

ReplicaOutcome ClusterNode::Add(CommandFamily family, const CKelRecord& record,
                                const uint8_t* router) {
  auto deadline = Clock::now() + std::chrono::milliseconds(kCommandBudgetMs);
  if (!synced_.load()) return Unavailable("an add", "the registries were not read from etcd yet");
  if (family == CommandFamily::kKel) return AddKel(record, deadline);
  std::string identity = RecordIdentity(family, record, router);
  std::string request = NextRequest();
  std::string key = keys_.Record(family, identity);
  return Guarded(
      family,
      [&]() {
        Change change;
        bool duplicate = false;
        std::string routerText;
        switch (family) {
          case CommandFamily::kPv:
            duplicate = RegistryFind(PvList(), static_cast<const CPvData&>(record),
                                     PvDuplicateMatch) != nullptr;
            break;
          case CommandFamily::kPc:
            duplicate = RegistryFind(PcList(), static_cast<const CPcData&>(record),
                                     PcDuplicateMatch) != nullptr;
            break;
          case CommandFamily::kQuarantine:
            duplicate = RegistryFind(QuarantineList(), static_cast<const CQuarantineData&>(record),
                                     QuarantineDuplicateMatch) != nullptr;
            break;
          case CommandFamily::kPvroute: {
            CKelListLock hold(PvList());
            CPvData* owner = PvList().FindActiveByAddress(router, 1);
            if (owner == nullptr) {
              change.outcome = ReplicaOutcome::kNotRegistered;
              return change;
            }
            routerText = owner->addressText;
            duplicate = RegistryFind(owner->routes, static_cast<const CPvrouteData&>(record),
                                     PvrouteDuplicateMatch) != nullptr;
            break;
          }
          default:
            break;
        }
        if (duplicate) {
          change.outcome = ReplicaOutcome::kDuplicate;
          return change;
        }
        change.ops = VersionBumps(family);
        change.ops.push_back(
            EtcdOp::Put(key, EncodeRecord(family, record, routerText, 0, request)));
        return change;
      },
      deadline, [&] { return WrittenBy(mirror_.ValueLocked(key), request); });
}

ReplicaOutcome ClusterNode::Delete(CommandFamily family, const CKelRecord& key,
                                   const uint8_t* router) {
  auto deadline = Clock::now() + std::chrono::milliseconds(kCommandBudgetMs);
  if (!synced_.load()) return Unavailable("a delete", "the registries were not read from etcd yet");
  if (family == CommandFamily::kKel) return DeleteKel(key, deadline);
  return Guarded(
      family,
      [&]() {
        Change change;
        std::vector<std::string> gone;
        switch (family) {
          case CommandFamily::kPv:
            gone = Matching(PvList(), family, PvActiveMatch, key, nullptr);
            break;
          case CommandFamily::kPc:
            gone = Matching(PcList(), family, PcActiveMatch, key, nullptr);
            break;
          case CommandFamily::kQuarantine:
            gone = Matching(QuarantineList(), family, QuarantineActiveMatch, key, nullptr);
            break;
          case CommandFamily::kPvroute: {
            CKelListLock hold(PvList());
            CPvData* owner = PvList().FindActiveByAddress(router, 1);
            if (owner == nullptr) {
              change.outcome = ReplicaOutcome::kNotRegistered;
              return change;
            }
            gone = Matching(owner->routes, family, PvrouteActiveMatch, key, router);
            break;
          }
          default:
            break;
        }
        if (gone.empty()) return change;
        change.ops = VersionBumps(family);
        for (const std::string& identity : gone) {
          if (family == CommandFamily::kPv) {
            // The router's routes go with it (before it, so they are never orphans).
            std::string routes =
                FamilyPrefix(keys_.prefix, CommandFamily::kPvroute) + identity + "/";
            change.ops.push_back(EtcdOp::Delete(routes, EtcdPrefixEnd(routes)));
          }
          change.ops.push_back(EtcdOp::Delete(keys_.Record(family, identity)));
        }
        return change;
      },
      deadline);
}

ReplicaOutcome ClusterNode::Guarded(CommandFamily family, const std::function<Change()>& plan,
                                    Clock::time_point deadline,
                                    const std::function<bool()>& landed) {
  std::lock_guard<std::mutex> one(familyLocks_[static_cast<size_t>(family) % 8]);
  const std::vector<CommandFamily> guards = Guards(family);
  while (true) {
    std::vector<int64_t> seen;
    Change change;
    {
      auto still = mirror_.LockState();
      if (landed && landed()) return ReplicaOutcome::kDone;  // an earlier try was applied
      for (CommandFamily f : guards) seen.push_back(mirror_.VersionLocked(f));
      change = plan();
    }
    // Nothing to change is confirmed by the guard too: a copy behind etcd (a paused instance
    // that just woke, say) may miss a record another instance added, and a delete it answers
    // as done there would leave that record in place.
    std::vector<EtcdCompare> compares;
    for (size_t i = 0; i < guards.size(); ++i) {
      compares.push_back(EtcdCompare::ModRevisionIs(keys_.Version(guards[i]), seen[i]));
    }
    EtcdTxnResult result = Commit(compares, change.ops, {}, deadline);
    if (!result.ok) return Unavailable("a change", result.error);
    if (result.succeeded) {
      if (change.ops.empty()) return change.outcome;
      if (mirror_.WaitApplied(result.revision, deadline)) return ReplicaOutcome::kDone;
      return Unavailable("a change in time",
                         "committed at revision " + std::to_string(result.revision) +
                             ", but this instance's copy did not show it within 5 s");
    }
    // Another instance changed the family meanwhile: plan again once this copy shows it.
    auto moved = [&] {
      auto still = mirror_.LockState();
      for (size_t i = 0; i < guards.size(); ++i) {
        if (mirror_.VersionLocked(guards[i]) != seen[i]) return true;
      }
      return false;
    };
    while (synced_.load() && !moved() && Clock::now() < deadline) {
      mirror_.WaitVersionChange(guards[0], seen[0],
                                std::min(deadline, Clock::now() + std::chrono::milliseconds(50)));
    }
    if (!synced_.load()) return Unavailable("a change", "the instance stops");
    if (Clock::now() >= deadline) return Unavailable("a change", "etcd kept changing for 5 s");
  }
}

ReplicaOutcome ClusterNode::AddKel(const CKelRecord& record, Clock::time_point deadline) {
  const auto& entry = static_cast<const CKelData&>(record);
  std::string identity = RecordIdentity(CommandFamily::kKel, entry, nullptr);
  std::string key = keys_.Record(CommandFamily::kKel, identity);
  // An entry without a MAC (or with 00:00:00:00:00:00) is the same as any entry of its target
  // and source; one with a MAC only as the entry with that MAC.
  bool anyMac = entry.macText.empty() ||
                std::all_of(entry.mac, entry.mac + 6, [](uint8_t b) { return b == 0; });
  std::string source =
      keys_.Record(CommandFamily::kKel, identity.substr(0, identity.rfind('/') + 1));
  EtcdCompare absent = anyMac ? EtcdCompare::NoneWithPrefix(source) : EtcdCompare::Absent(key);
  std::string request = NextRequest();
  EtcdOp read = anyMac ? EtcdOp::Get(source, EtcdPrefixEnd(source)) : EtcdOp::Get(key);
  EtcdTxnResult result =
      Commit({absent}, {EtcdOp::Put(key, EncodeRecord(CommandFamily::kKel, entry, "", 0, request))},
             {read}, deadline);
  if (!result.ok) return Unavailable("kel add", result.error);
  if (!result.succeeded) {
    // The entry that is in the way may be this command's own, from a try whose answer was lost.
    auto own = std::find_if(result.kvs.begin(), result.kvs.end(),
                            [&](const EtcdKeyValue& kv) { return WrittenBy(kv.value, request); });
    if (own == result.kvs.end()) return ReplicaOutcome::kDuplicate;
    result.revision = own->modRevision;
  }
  if (mirror_.WaitApplied(result.revision, deadline)) return ReplicaOutcome::kDone;
  return Unavailable("kel add in time", "committed at revision " + std::to_string(result.revision) +
                                            ", but this instance's copy did not show it in 5 s");
}

ReplicaOutcome ClusterNode::DeleteKel(const CKelRecord& record, Clock::time_point deadline) {
  const auto& key = static_cast<const CKelData&>(record);
  std::string identity = RecordIdentity(CommandFamily::kKel, key, nullptr);
  bool anyMac =
      key.macText.empty() || std::all_of(key.mac, key.mac + 6, [](uint8_t b) { return b == 0; });
  std::string first = keys_.Record(CommandFamily::kKel,
                                   anyMac ? identity.substr(0, identity.rfind('/') + 1) : identity);
  std::string end = anyMac ? EtcdPrefixEnd(first) : std::string();
  // A delete is the same when repeated: tried again while etcd gives no answer.
  EtcdDeleteResult result;
  do {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() < 50) break;
    result = client_.DeleteRange(first, end,
                                 static_cast<int>(std::min<int64_t>(left.count(), kTryTimeoutMs)));
  } while (!result.ok && synced_.load());
  if (!result.ok) return Unavailable("kel del", result.error);
  if (result.deleted == 0 || mirror_.WaitApplied(result.revision, deadline)) {
    return ReplicaOutcome::kDone;
  }
  return Unavailable("kel del in time", "this instance's copy did not show it in 5 s");
}

ReplicaOutcome ClusterNode::Load(CommandFamily family) {
  auto deadline = Clock::now() + std::chrono::milliseconds(kCommandBudgetMs);
  if (!synced_.load()) return Unavailable("a load", "the registries were not read from etcd yet");
  std::vector<EtcdOp> puts;
  bool read = false;
  switch (family) {
    case CommandFamily::kPv:
      read =
          LoadScratch<CPvList, CPvData>([](CPvList& l) { return PvLoad(l); }, family, keys_, &puts);
      break;
    case CommandFamily::kPc:
      read = LoadScratch<CPcList, CPcData>([](CPcList& l) { return LoadPcFile(l); }, family, keys_,
                                           &puts);
      break;
    case CommandFamily::kQuarantine:
      read = LoadScratch<CQuarantineList, CQuarantineData>(
          [](CQuarantineList& l) { return LoadQuarantineFile(l); }, family, keys_, &puts);
      break;
    case CommandFamily::kPvroute: {
      CPvList scratch;
      {
        auto still = mirror_.LockState();
        PvList().CopyTo(&scratch);
      }
      read = LoadPvrouteFile(scratch) == PvrouteLoadResult::kLoaded;
      CollectRoutes(scratch, keys_, true, &puts);
      break;
    }
    default:
      break;
  }
  if (!read) return ReplicaOutcome::kLoadError;
  std::lock_guard<std::mutex> one(familyLocks_[static_cast<size_t>(family) % 8]);
  // etcd refuses a put inside a range the same transaction deletes: the records the file does
  // not have are deleted one by one, the others written over. A router load takes every route
  // with it, as the routers are new records.
  std::vector<EtcdOp> head = VersionBumps(family);
  if (family == CommandFamily::kPv) {
    std::string routes = FamilyPrefix(keys_.prefix, CommandFamily::kPvroute);
    head.push_back(EtcdOp::Delete(routes, EtcdPrefixEnd(routes)));
  }
  std::set<std::string> incoming;
  for (const EtcdOp& put : puts) incoming.insert(put.key);
  {
    auto still = mirror_.LockState();
    for (const std::string& key : mirror_.KeysLocked(family)) {
      if (incoming.count(key) == 0) head.push_back(EtcdOp::Delete(key));
    }
  }
  return WriteInChunks("a load", std::move(head), std::move(puts), deadline);
}

ReplicaOutcome ClusterNode::Clear(CommandFamily family) {
  auto deadline = Clock::now() + std::chrono::milliseconds(kCommandBudgetMs);
  if (!synced_.load()) return Unavailable("a clear", "the registries were not read from etcd yet");
  std::vector<EtcdOp> head = VersionBumps(family);
  for (CommandFamily f : Guards(family)) {
    if (f == family || family == CommandFamily::kPv) {
      std::string prefix = FamilyPrefix(keys_.prefix, f);
      head.push_back(EtcdOp::Delete(prefix, EtcdPrefixEnd(prefix)));
    }
  }
  std::lock_guard<std::mutex> one(familyLocks_[static_cast<size_t>(family) % 8]);
  return WriteInChunks("a clear", std::move(head), {}, deadline);
}

ReplicaOutcome ClusterNode::WriteInChunks(const char* what, std::vector<EtcdOp> head,
                                          std::vector<EtcdOp> puts, Clock::time_point deadline) {
  std::vector<EtcdOp> ops = std::move(head);
  const size_t records = puts.size();
  const size_t before = ops.size();
  ops.insert(ops.end(), std::make_move_iterator(puts.begin()), std::make_move_iterator(puts.end()));
  size_t done = 0;
  int64_t revision = 0;
  do {
    size_t count = std::min(kMaxTxnOps, ops.size() - done);
    std::vector<EtcdOp> chunk(ops.begin() + static_cast<long>(done),
                              ops.begin() + static_cast<long>(done + count));
    // Puts and deletes are the same when repeated. Each transaction of a long load has its own
    // time: the bound is on etcd's answer, not on the size of the file.
    auto bound = done == 0 ? deadline : Clock::now() + std::chrono::milliseconds(kCommandBudgetMs);
    EtcdTxnResult result = Commit({}, chunk, {}, bound);
    if (!result.ok) {
      if (done == 0) return Unavailable(what, result.error);
      size_t written = done > before ? done - before : 0;
      return Unavailable(what, "stopped after " + std::to_string(written) + " of " +
                                   std::to_string(records) +
                                   " records (run it again): " + result.error);
    }
    revision = result.revision;
    done += count;
  } while (done < ops.size());
  if (mirror_.WaitApplied(revision, Clock::now() + std::chrono::milliseconds(kCommandBudgetMs))) {
    return ReplicaOutcome::kDone;
  }
  return Unavailable(what, "this instance's copy did not show it within 5 s");
}
