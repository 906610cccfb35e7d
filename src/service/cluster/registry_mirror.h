// This instance's registries kept equal to the records in etcd: a snapshot at start (and after
// the watch's history was compacted), then every change the watch reports, in revision order.
// A record that appears is added to its registry flagged pendingAdd, one that disappears is
// marked pendingDelete, exactly as a command would have done, and the controller is told which
// family changed so that the access-list processing runs (on a follower it plans but sends
// nothing). Besides the records it follows the leader key and each family's version key.
//
// Thread-safe: the watch thread applies, command threads wait for revisions and read under
// LockState.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "service/base/command_handler.h"
#include "service/cluster/etcd_client.h"

// The keys beside the records.
struct ClusterKeys {
  explicit ClusterKeys(std::string prefix);
  std::string prefix;
  std::string leader;  // the leader's name, under its lease
  std::string seeded;  // written once by the instance that filled an empty cluster
  // Bumped by every change of the family except kel's (whose duplicates are judged by key).
  std::string Version(CommandFamily family) const;
  std::string Record(CommandFamily family, const std::string& identity) const;
};

class RegistryMirror {
 public:
  using Clock = std::chrono::steady_clock;
  using ChangeHandler = std::function<void(CommandFamily)>;
  using LeaderHandler = std::function<void()>;

  // onChange(family) is called (on the applying thread) when a family changed and the
  // controller has not yet taken the previous notice (Acknowledge); onLeader when the leader
  // key changed.
  RegistryMirror(const ClusterKeys& keys, ChangeHandler onChange, LeaderHandler onLeader);

  // Makes the registries equal to `kvs` (every key under the prefix) read at `revision`.
  void ApplySnapshot(std::vector<EtcdKeyValue> kvs, int64_t revision);
  void ApplyEvent(const EtcdEvent& event);
  // Every event up to `revision` has been applied.
  void RevisionDone(int64_t revision);

  int64_t Applied() const;
  // Until the registries reflect `revision`; false at the deadline.
  bool WaitApplied(int64_t revision, Clock::time_point deadline);
  // Until the family's version key has another revision than `seen`; false at the deadline.
  bool WaitVersionChange(CommandFamily family, int64_t seen, Clock::time_point deadline);

  // Holds the mirror still: while held no change is applied, so the registries and
  // VersionLocked agree.
  std::unique_lock<std::mutex> LockState() const { return std::unique_lock<std::mutex>(mutex_); }
  int64_t VersionLocked(CommandFamily family) const;
  // The record keys of `family` this copy holds.
  std::vector<std::string> KeysLocked(CommandFamily family) const;
  // The value of a record key this copy holds; empty when it holds none.
  std::string ValueLocked(const std::string& key) const;

  // The leader key: its value (empty when there is none) and the revision it was created at.
  std::string LeaderName() const;
  int64_t LeaderTerm() const;
  bool Seeded() const;
  size_t RecordCount() const;

  // Ends every wait at once (they answer false): the instance stops.
  void Close();

  // The controller took the change notice of `family`: the next change sends a new one.
  void Acknowledge(CommandFamily family);

 private:
  struct Entry {
    CommandFamily family;
    std::string value;
  };
  void PutLocked(const EtcdKeyValue& kv);
  void DeleteLocked(const std::string& key);
  void MetaLocked(const EtcdKeyValue& kv, bool deleted);
  void Changed(CommandFamily family);

  const ClusterKeys keys_;
  ChangeHandler onChange_;
  LeaderHandler onLeader_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, Entry> records_;
  std::map<CommandFamily, int64_t> versions_;
  std::string leaderName_;
  int64_t leaderTerm_ = 0;
  bool seeded_ = false;
  int64_t applied_ = 0;
  bool closed_ = false;
  std::array<std::atomic<bool>, 8> noticed_{};
};
