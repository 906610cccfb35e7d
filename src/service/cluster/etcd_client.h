// A client of an etcd v3 cluster through its JSON gateway (POST /v3/kv/range, /v3/kv/put,
// /v3/kv/deleterange, /v3/kv/txn, /v3/kv/compaction, /v3/lease/*, /v3/watch) over libcurl,
// for the instances of the service that share their state in etcd. Keys and values are bytes;
// the gateway carries them base64-encoded, which this client does (OpenSSL's codec).
//
// Every call is bounded by Settings::timeoutMs and answers ok, or failed with a short reason
// for a log line. A call that cannot reach a member (connection refused, no leader) tries the
// next endpoint within the same time-out, so a cluster that keeps its quorum survives the loss
// of any member. Only reads are also retried after a connection broke with the request sent;
// a write whose answer was lost is reported failed, and it may still have been applied. A write
// sent while the cluster elects a new leader (the old one died) can wait for the whole time-out.

#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct EtcdSettings {
  // "http://127.0.0.1:2379" or "https://host:2379", tried in this order (the last member that
  // answered is tried first).
  std::vector<std::string> endpoints;
  // TLS: the CA bundle that signs the members' certificates (empty: the system's), and the
  // client certificate and key in PEM when the members ask for one.
  std::string caFile;
  std::string certFile;
  std::string keyFile;
  int timeoutMs = 5000;  // the bound of one call, every endpoint tried included
};

// The outcome of a call. revision is the store revision of the answering member's header.
struct EtcdStatus {
  bool ok = false;
  std::string error;  // empty when ok
  int64_t revision = 0;
};

struct EtcdKeyValue {
  std::string key;
  std::string value;
  int64_t createRevision = 0;
  int64_t modRevision = 0;
  int64_t version = 0;
  int64_t lease = 0;
};

struct EtcdRangeResult : EtcdStatus {
  std::vector<EtcdKeyValue> kvs;
};

struct EtcdDeleteResult : EtcdStatus {
  int64_t deleted = 0;
};

// A condition of a Txn on one key. Build it with the helpers.
struct EtcdCompare {
  enum Target { kCreateRevision, kModRevision, kVersion, kValue };
  enum Result { kEqual, kGreater, kLess, kNotEqual };
  std::string key;
  std::string rangeEnd;  // not empty: every key in [key, rangeEnd) must meet the condition
  Target target = kCreateRevision;
  Result result = kEqual;
  int64_t number = 0;  // for the revision and version targets
  std::string value;   // for kValue

  static EtcdCompare Absent(const std::string& key);             // create_revision == 0
  static EtcdCompare NoneWithPrefix(const std::string& prefix);  // no key starts with prefix
  static EtcdCompare ModRevisionIs(const std::string& key, int64_t modRevision);
  static EtcdCompare ValueIs(const std::string& key, const std::string& value);
};

// One operation of a Txn branch.
struct EtcdOp {
  enum Kind { kPut, kDelete, kRange };
  Kind kind = kPut;
  std::string key;
  std::string value;     // kPut
  std::string rangeEnd;  // kDelete, kRange: empty for the key alone
  int64_t lease = 0;     // kPut

  static EtcdOp Put(const std::string& key, const std::string& value, int64_t lease = 0);
  static EtcdOp Delete(const std::string& key, const std::string& rangeEnd = "");
  static EtcdOp Get(const std::string& key, const std::string& rangeEnd = "");
};

struct EtcdTxnResult : EtcdStatus {
  bool succeeded = false;         // whether the compares held (the success branch ran)
  std::vector<EtcdKeyValue> kvs;  // what the branch's kRange operations read, in order
};

// What a member says of itself (POST /v3/maintenance/status).
struct EtcdMemberStatus : EtcdStatus {
  uint64_t memberId = 0;  // the answering member
  uint64_t leader = 0;    // the member it takes for the leader, 0 when it knows none
  uint64_t raftTerm = 0;
};

struct EtcdLeaseResult : EtcdStatus {
  int64_t id = 0;
  int64_t ttl = 0;  // seconds granted, or left after a keep-alive
};

// The end of the range of every key that starts with prefix ("" for every key).
std::string EtcdPrefixEnd(const std::string& prefix);

// Base64 as the gateway carries bytes. Decode fails (false) on text that is not base64.
std::string EtcdBase64Encode(const std::string& bytes);
bool EtcdBase64Decode(const std::string& text, std::string* bytes);

// Thread-safe: the calls may be made from any number of threads at once; each takes its own
// curl handle from a small pool, so calls do not wait for each other.
class EtcdClient {
 public:
  explicit EtcdClient(EtcdSettings settings);
  ~EtcdClient();
  EtcdClient(const EtcdClient&) = delete;
  EtcdClient& operator=(const EtcdClient&) = delete;

  const EtcdSettings& settings() const { return settings_; }

  // Ends every call under way within about a second and fails every later one: for a quick
  // end of the threads that use the client.
  void Abort() { aborted_.store(true); }

  // The key alone (rangeEnd empty), or the keys in [key, rangeEnd).
  EtcdRangeResult Range(const std::string& key, const std::string& rangeEnd = "");
  EtcdRangeResult RangePrefix(const std::string& prefix) {
    return Range(prefix, EtcdPrefixEnd(prefix));
  }
  // lease 0: the key outlives every lease.
  EtcdStatus Put(const std::string& key, const std::string& value, int64_t lease = 0);
  // timeoutMs > 0: this call's bound instead of Settings::timeoutMs.
  EtcdDeleteResult DeleteRange(const std::string& key, const std::string& rangeEnd = "",
                               int timeoutMs = 0);
  EtcdDeleteResult DeletePrefix(const std::string& prefix) {
    return DeleteRange(prefix, EtcdPrefixEnd(prefix));
  }
  // Runs success when every compare holds, else failure, as one atomic step.
  EtcdTxnResult Txn(const std::vector<EtcdCompare>& compares, const std::vector<EtcdOp>& success,
                    const std::vector<EtcdOp>& failure = {}, int timeoutMs = 0);
  // Drops the history before revision; a watch from an older revision is then refused.
  EtcdStatus Compact(int64_t revision);

  // The first member that answers, in endpoint order.
  EtcdMemberStatus Status();

  // ttl in seconds. The member may grant more than asked (its minimum).
  EtcdLeaseResult LeaseGrant(int64_t ttl);
  // Renews the lease once; failed ("lease expired") when it is gone.
  EtcdLeaseResult LeaseKeepAliveOnce(int64_t id);
  EtcdStatus LeaseRevoke(int64_t id);

 private:
  // POSTs body to path; *json receives the answer's first JSON object (the "result" of a
  // streamed answer). readOnly: also retried on another endpoint after a broken connection.
  EtcdStatus Call(const char* path, const std::string& body, bool readOnly, void* json,
                  int timeoutMs = 0);
  void* TakeHandle();
  void GiveBack(void* handle);

  EtcdSettings settings_;
  std::atomic<size_t> preferred_{0};  // the endpoint that answered last
  std::atomic<bool> aborted_{false};
  std::mutex poolMutex_;
  std::vector<void*> pool_;  // idle CURL easy handles, keeping their connections
};

struct EtcdEvent {
  enum Type { kPut, kDelete };
  Type type = kPut;
  EtcdKeyValue kv;  // kv.modRevision is the event's revision; a delete carries the key alone
};

// Watches every key under a prefix from a start revision (0: from the member's current one)
// on a thread of its own, and calls onEvent for each change, in revision order, on that
// thread. After a broken stream it reconnects (any endpoint, with a pause growing up to 1 s)
// from the revision after the last delivered one, so nothing is lost or repeated. When the
// history it needs was compacted it calls onCompacted(compactRevision) and goes on from there:
// the changes before it are lost, and a caller that keeps a copy re-reads it with Range.
//
// A member that vanishes without closing the connection is noticed by TCP keep-alive (within
// about half a minute); one that never accepts the watch, after Settings::timeoutMs.
//
// Thread-safe: Stop and the accessors may be called from any thread but not from the
// callbacks. Stop (and the destructor) returns within about 100 ms, even on a silent server.
class EtcdWatch {
 public:
  using EventHandler = std::function<void(const EtcdEvent&)>;
  using CompactedHandler = std::function<void(int64_t compactRevision)>;
  using RevisionHandler = std::function<void(int64_t revision)>;

  // onRevisionDone(revision), when given, follows the last event of every answer: all the
  // events up to that revision have been delivered (a Txn's events arrive together).
  EtcdWatch(EtcdSettings settings, std::string prefix, int64_t startRevision, EventHandler onEvent,
            CompactedHandler onCompacted = {}, RevisionHandler onRevisionDone = {});
  ~EtcdWatch();  // Stop()
  EtcdWatch(const EtcdWatch&) = delete;
  EtcdWatch& operator=(const EtcdWatch&) = delete;

  void Stop();
  // The revision the watch would resume from.
  int64_t NextRevision() const { return nextRevision_.load(); }
  // Streams opened so far (1 after the first connection, more after reconnections).
  int Connections() const { return connections_.load(); }
  // The reason the last stream broke, for a log line; empty while none has.
  std::string LastError() const;

 private:
  void Run();
  // One stream, until it breaks or Stop. Returns the reason it ended.
  std::string Stream(const std::string& endpoint);
  void Deliver(const std::string& line, std::string* error);

  const EtcdSettings settings_;
  const std::string prefix_;
  EventHandler onEvent_;
  CompactedHandler onCompacted_;
  RevisionHandler onRevisionDone_;
  std::atomic<int64_t> nextRevision_;
  std::atomic<int> connections_{0};
  std::atomic<bool> stop_{false};
  void* multi_ = nullptr;  // CURLM of the running stream, for curl_multi_wakeup
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::string lastError_;
  bool created_ = false;  // the current stream was accepted by the member
  std::thread thread_;
};
