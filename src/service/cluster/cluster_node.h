// One instance of a cluster: keeps the registries equal to etcd (RegistryMirror), commits the
// registry commands there (RegistryReplica), and takes part in the election of the one leader
// that sends to routers.
//
// Election: every instance holds a lease of LEASE seconds and renews it a few times per lease.
// An instance that sees no leader key puts it, under its lease, in a transaction that requires
// the key to be absent; the winner leads from the revision of that transaction (its term) and
// may send until LEASE - 1 seconds after the last renewal etcd confirmed (see send_gate.h). A
// leader that cannot renew falls silent and gives up; the key goes with its lease, and the
// others campaign as soon as the watch shows the key gone. Stop revokes the lease, so another
// instance leads at once.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "service/cluster/cluster_settings.h"
#include "service/cluster/etcd_client.h"
#include "service/cluster/registry_mirror.h"
#include "service/registry/registry_replica.h"

struct ClusterStatus {
  bool leading = false;
  std::string name;
  std::string leader;  // empty: none known
  int64_t term = 0;
  bool etcdUp = false;
  uint64_t leaderChanges = 0;  // times this instance became leader
};

class ClusterNode : public RegistryReplica {
 public:
  struct Hooks {
    std::function<void(CommandFamily)> changed;  // a family changed: run its processing
    std::function<void()> lead;  // this instance just became leader: reset and reload routers
  };

  ClusterNode(ClusterSettings settings, Hooks hooks);
  ~ClusterNode() override;
  ClusterNode(const ClusterNode&) = delete;
  ClusterNode& operator=(const ClusterNode&) = delete;

  // Takes what the registries hold now (loaded from the files at start) as the seed of an
  // empty cluster, and empties them: from here on they hold what etcd holds.
  void TakeSeed();
  // Starts the sync and election threads; returns at once (etcd may be unreachable).
  void Start();
  // Stops sending, revokes the lease and ends the threads; returns within about two seconds.
  void Stop();

  ClusterStatus Status() const;
  // The controller took the change notice of `family`.
  void Acknowledge(CommandFamily family) { mirror_.Acknowledge(family); }
  const ClusterSettings& settings() const { return settings_; }

  ReplicaOutcome Add(CommandFamily family, const CKelRecord& record,
                     const uint8_t* router) override;
  ReplicaOutcome Delete(CommandFamily family, const CKelRecord& key,
                        const uint8_t* router) override;
  ReplicaOutcome Load(CommandFamily family) override;
  ReplicaOutcome Clear(CommandFamily family) override;

 private:
  using Clock = RegistryMirror::Clock;
  struct Change {
    std::vector<EtcdOp> ops;
    ReplicaOutcome outcome = ReplicaOutcome::kDone;  // what a confirmed empty change answers
  };

  void SyncLoop();
  bool SyncOnce();
  void SeedEmptyCluster(const EtcdRangeResult& snapshot);
  void ElectionLoop();
  // Grants or renews this instance's lease; true when etcd confirmed it just now.
  bool Renew();
  void Campaign();
  void StepDown(const char* why);
  void Wake();

  ReplicaOutcome AddKel(const CKelRecord& record, Clock::time_point deadline);
  ReplicaOutcome DeleteKel(const CKelRecord& key, Clock::time_point deadline);
  // Optimistic change of a family other than kel: `plan` reads the registries (the mirror held
  // still) and says what to write; the transaction holds only while the guarded families'
  // version keys are as read, else it is planned again. `landed` (read with the mirror held
  // still) tells whether an earlier try whose answer was lost wrote the change after all.
  ReplicaOutcome Guarded(CommandFamily family, const std::function<Change()>& plan,
                         Clock::time_point deadline, const std::function<bool()>& landed = nullptr);
  // Writes `ops` in transactions of at most etcd's operation limit; the first may be guarded.
  ReplicaOutcome WriteInChunks(const char* what, std::vector<EtcdOp> head, std::vector<EtcdOp> puts,
                               Clock::time_point deadline);
  ReplicaOutcome Unavailable(const char* what, const std::string& why);
  // One transaction, tried again until the deadline while etcd gives no answer (a member that
  // lost its leader keeps a write until the call times out): each try gets at most 2 s. A
  // write whose answer was lost may have been applied; callers recognise their own records by
  // their request name (see record_codec.h) or are idempotent.
  EtcdTxnResult Commit(const std::vector<EtcdCompare>& compares, const std::vector<EtcdOp>& ops,
                       const std::vector<EtcdOp>& failure, Clock::time_point deadline);
  std::string NextRequest();
  std::vector<CommandFamily> Guards(CommandFamily family) const;
  std::vector<EtcdOp> VersionBumps(CommandFamily family) const;

  const ClusterSettings settings_;
  const ClusterKeys keys_;
  Hooks hooks_;
  EtcdClient client_;    // commands and the sync
  EtcdClient election_;  // lease and campaign, bounded well inside one lease
  RegistryMirror mirror_;
  std::vector<std::pair<std::string, std::string>> seed_;
  std::unique_ptr<EtcdWatch> watch_;  // the sync thread's
  std::mutex familyLocks_[8];         // one change per family at a time from this instance

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  bool resync_ = false;
  bool leaderChanged_ = false;
  std::atomic<bool> synced_{false};
  std::atomic<bool> etcdUp_{false};
  std::atomic<bool> leading_{false};
  std::atomic<int64_t> term_{0};
  std::atomic<uint64_t> leaderChanges_{0};
  std::atomic<uint64_t> requests_{0};
  std::string session_;           // random, per process: request names never repeat across restarts
  int64_t lease_ = 0;             // election thread only
  int64_t leaseConfirmedNs_ = 0;  // when the last confirmed renewal (or grant) was sent
  std::thread sync_;
  std::thread elector_;
};
