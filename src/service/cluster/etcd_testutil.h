// Test helper: real etcd members (/usr/bin/etcd) on 127.0.0.x addresses of the test's private
// network, each with client port 2379 and peer port 2380 on its own address and its data in a
// scratch folder. Members can be killed (SIGKILL) and restarted on their data; everything is
// stopped and removed on destruction. Not thread-safe: one test thread drives it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "scratch_dir.h"

class EtcdTestCluster {
 public:
  static constexpr const char* kEtcdPath = "/usr/bin/etcd";

  // members (1 or 3) on 127.0.0.<firstHost>, <firstHost + 1>, ... Nothing runs before Start.
  // With tls the members serve https with certificates of a CA made for the test and demand a
  // client certificate signed by it (CaFile, CertFile and KeyFile are the client's).
  explicit EtcdTestCluster(int members, int firstHost = 11, bool tls = false);
  ~EtcdTestCluster();
  EtcdTestCluster(const EtcdTestCluster&) = delete;
  EtcdTestCluster& operator=(const EtcdTestCluster&) = delete;

  // Starts every member and waits (at most timeoutMs) until each answers a read through its
  // own address, which needs a leader. Returns "" or the reason with the members' log tails.
  std::string Start(int timeoutMs = 15000);

  int size() const { return static_cast<int>(members_.size()); }
  std::string ClientUrl(int member) const;
  std::string CaFile() const { return dir_.File("ca.pem"); }
  std::string CertFile() const { return dir_.File("client.pem"); }
  std::string KeyFile() const { return dir_.File("client.key"); }
  std::vector<std::string> ClientUrls() const;

  // SIGKILL, and waits until the process is gone.
  void Kill(int member);
  // Starts a killed member again on its data; when waitMs > 0 waits until it answers a read.
  std::string Restart(int member, int waitMs = 10000);
  bool Running(int member) const { return members_[member].process != nullptr; }
  // The running member the others follow, -1 when none answers with one.
  int Leader() const;

 private:
  struct Member {
    std::string name;
    std::string address;
    std::unique_ptr<testsupport::ChildProcess> process;  // null while killed
  };
  bool Spawn(Member& member);
  std::string MakeCertificates() const;  // "" or what failed
  bool WaitReady(Member& member, int timeoutMs) const;
  std::string LogTail(const Member& member) const;

  testsupport::ScratchDir dir_;
  std::string token_;
  bool tls_ = false;
  std::string initialCluster_;
  std::vector<Member> members_;
};
