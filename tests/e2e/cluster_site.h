// A cluster site for black-box tests: three etcd members (127.0.0.11-13), three VoKelMng
// instances sharing their registries through them (names a, b, c; command ports 8001-8003,
// operator APIs on 127.0.0.1:9101-9103) and pvsim routers with tables on 127.0.1.1, .2, ...
// Instances can be stopped, killed, paused and resumed; the leader is found through /status.
//
// Like the rest of the harness this starts no thread; enter the private network first. The
// command helpers of different instances may be used from different threads at once.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "chaos_site.h"
#include "harness.h"
#include "http_get.h"
#include "pvsim_process.h"
#include "service/cluster/etcd_testutil.h"

namespace cluster {

constexpr int kInstances = 3;
constexpr int kLeaseSeconds = 2;  // short, so that failovers stay quick

// The "cluster" object of an instance's /status.
struct ClusterView {
  bool answered = false;  // /status answered with that object
  std::string role;       // "leader", "follower" or "standalone"
  std::string name;
  std::string leader;  // empty for null
  int64_t term = 0;
  std::string etcd;  // "ok" or "unreachable"
};

class Site {
 public:
  explicit Site(int routers);
  ~Site();
  Site(const Site&) = delete;
  Site& operator=(const Site&) = delete;

  // Starts the etcd members, the routers and every instance, then waits for a leader.
  // Returns what went wrong, empty when nothing did.
  std::string Start();

  // --- Instances (0 .. kInstances - 1) ---
  std::string Name(int i) const { return std::string(1, static_cast<char>('a' + i)); }
  uint16_t CommandPort(int i) const { return static_cast<uint16_t>(8001 + i); }
  uint16_t ApiPort(int i) const { return static_cast<uint16_t>(9101 + i); }
  // Starts instance i (again, on the same folders); the reason when it does not come up.
  std::string StartInstance(int i, int timeoutMs = 15000);
  // SIGTERM; the exit status as ServiceProcess::Stop gives it.
  int StopInstance(int i, int timeoutMs = 5000);
  // SIGKILL, and waits until the process is gone.
  void KillInstance(int i);
  // SIGSTOP / SIGCONT.
  void PauseInstance(int i);
  void ResumeInstance(int i);
  bool Running(int i);
  // Running and not paused.
  bool Responsive(int i);
  pid_t Pid(int i) const { return instances_[i]->pid(); }
  std::string Output(int i) const { return instances_[i]->Output(); }

  // The instance's /status "cluster" object; answered is false without one in timeoutMs.
  ClusterView View(int i, int timeoutMs = 1000) const;
  // GET of the instance's operator API.
  testsupport::HttpReply Api(int i, const std::string& path, int timeoutMs = 1000) const;
  // The instance that says it leads and that every other responsive instance names as
  // leader, waited for up to timeoutMs; -1 when there is none by then. `except` (one going
  // away) is left out: neither taken nor asked.
  int WaitLeader(int timeoutMs, int except = -1);

  // One command line to instance i on its own connection (made again after a failure); the
  // reply, nullopt when none came within timeoutMs.
  std::optional<std::string> Command(int i, const std::string& line, int timeoutMs = 7000);
  // The rows of `FAMILY show` on instance i, each with its blanks reduced to one space and in
  // upper case ("ACCEPT 10.1.0.1"); nullopt when the show got no answer.
  std::optional<std::set<std::string>> Rows(int i, const std::string& family);
  // Waits until `row` is (or, with present false, is not) a row of `FAMILY show` on every
  // responsive instance, as HasRow finds it; false when some instance still differs after
  // timeoutMs.
  bool WaitListed(const std::string& family, const std::string& row, bool present, int timeoutMs);

  // --- Routers (1 .. routers) ---
  int routers() const { return static_cast<int>(routers_.size()); }
  std::string RouterAddress(int r) const { return "127.0.1." + std::to_string(r); }
  std::vector<e2e::RouterRequest> Journal(int r) const { return routers_[r - 1]->Requests(); }
  // Router r's table against its lines on instance i.
  chaos::Comparison Compare(int i, int r) const;
  // Waits until every router's table equals its lines on instance i.
  bool WaitTablesEqual(int i, int timeoutMs);
  // Router r's journal, "TERM TEXT" a line, for failure messages.
  std::string JournalText(int r) const;
  // The requests in router r's journal that break the term rule (every request carries a
  // term, and no term is lower than one before it), one a line; empty when none does.
  std::string TermProblems(int r) const;
  // Waits until router r has journaled a client reset with `term`.
  bool WaitReset(int r, int64_t term, int timeoutMs) const;

  EtcdTestCluster& etcd() { return etcd_; }
  // The last `count` syslog messages of all instances, one a line, for failure messages.
  std::string LogTail(size_t count = 40);

 private:
  EtcdTestCluster etcd_;
  e2e::SyslogListener syslog_;
  e2e::TempDir tables_;
  std::vector<std::unique_ptr<e2e::ServiceProcess>> instances_;
  std::vector<std::unique_ptr<e2e::CommandClient>> clients_;
  std::vector<bool> paused_;
  std::vector<std::unique_ptr<e2e::PvsimProcess>> routers_;
};

// The rows of a show reply (the header line left out), as Site::Rows gives them.
std::set<std::string> ShowRows(const std::string& reply);
// True when `row` is one of `rows`, or begins one of them and a blank ("127.0.1.1" finds the
// row of that router whatever its port and user).
bool HasRow(const std::set<std::string>& rows, const std::string& row);

}  // namespace cluster
