#include "service/cluster/etcd_testutil.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "deadline.h"
#include "service/cluster/etcd_client.h"

EtcdTestCluster::EtcdTestCluster(int members, int firstHost, bool tls)
    : dir_("vokel-etcd"), tls_(tls) {
  token_ = "vokel-test-" + std::to_string(getpid()) + "-" + std::to_string(firstHost);
  for (int i = 0; i < members; ++i) {
    Member member;
    member.name = "member" + std::to_string(i);
    member.address = "127.0.0." + std::to_string(firstHost + i);
    if (!initialCluster_.empty()) initialCluster_ += ",";
    initialCluster_ += member.name + "=http://" + member.address + ":2380";
    members_.push_back(std::move(member));
  }
}

EtcdTestCluster::~EtcdTestCluster() {
  for (int i = 0; i < size(); ++i) Kill(i);
}

std::string EtcdTestCluster::ClientUrl(int member) const {
  return (tls_ ? "https://" : "http://") + members_[member].address + ":2379";
}

// A CA, a server certificate for every member's address and a client certificate, with the
// openssl program, valid for a day.
std::string EtcdTestCluster::MakeCertificates() const {
  std::string names;
  for (const Member& m : members_) names += (names.empty() ? "IP:" : ",IP:") + m.address;
  std::ofstream(dir_.File("server.ext")) << "subjectAltName=" << names << "\n";
  std::ofstream(dir_.File("client.ext")) << "extendedKeyUsage=clientAuth\n";
  const std::string d = dir_.path() + "/";
  const std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
  const std::string steps[] = {
      "openssl req -x509" + key + " -keyout " + d + "ca.key -out " + d +
          "ca.pem -days 1 -subj /CN=vokel-test-ca",
      "openssl req" + key + " -keyout " + d + "server.key -out " + d + "server.csr -subj /CN=etcd",
      "openssl x509 -req -in " + d + "server.csr -CA " + d + "ca.pem -CAkey " + d +
          "ca.key -CAcreateserial -days 1 -out " + d + "server.pem -extfile " + d + "server.ext",
      "openssl req" + key + " -keyout " + d + "client.key -out " + d + "client.csr -subj /CN=vokel",
      "openssl x509 -req -in " + d + "client.csr -CA " + d + "ca.pem -CAkey " + d +
          "ca.key -CAcreateserial -days 1 -out " + d + "client.pem -extfile " + d + "client.ext"};
  for (const std::string& step : steps) {
    if (std::system((step + " >/dev/null 2>&1").c_str()) != 0) return "failed: " + step;
  }
  return "";
}

std::vector<std::string> EtcdTestCluster::ClientUrls() const {
  std::vector<std::string> urls;
  for (int i = 0; i < size(); ++i) urls.push_back(ClientUrl(i));
  return urls;
}

bool EtcdTestCluster::Spawn(Member& member) {
  const std::string client = (tls_ ? "https://" : "http://") + member.address + ":2379";
  const std::string peer = "http://" + member.address + ":2380";
  const std::string data = dir_.File(member.name);
  const std::string log = dir_.File(member.name + ".log");
  std::vector<std::string> args = {
      kEtcdPath, "--name=" + member.name, "--data-dir=" + data, "--listen-client-urls=" + client,
      "--advertise-client-urls=" + client, "--listen-peer-urls=" + peer,
      "--initial-advertise-peer-urls=" + peer, "--initial-cluster=" + initialCluster_,
      "--initial-cluster-state=new", "--initial-cluster-token=" + token_,
      // Quick elections keep the failover tests short.
      "--heartbeat-interval=50", "--election-timeout=500", "--logger=zap", "--log-level=warn"};
  if (tls_) {
    for (std::string flag :
         {"--cert-file=" + dir_.File("server.pem"), "--key-file=" + dir_.File("server.key"),
          std::string("--client-cert-auth=true"), "--trusted-ca-file=" + CaFile()}) {
      args.push_back(flag);
    }
  }
  testsupport::ChildOptions options;
  options.output = log;
  options.die_with_parent = true;  // never outlives a crashed test
  auto process = std::make_unique<testsupport::ChildProcess>();
  if (!process->Start(args, options)) return false;
  member.process = std::move(process);
  return true;
}

bool EtcdTestCluster::WaitReady(Member& member, int timeoutMs) const {
  EtcdSettings settings;
  settings.endpoints = {(tls_ ? "https://" : "http://") + member.address + ":2379"};
  if (tls_) {
    settings.caFile = CaFile();
    settings.certFile = CertFile();
    settings.keyFile = KeyFile();
  }
  settings.timeoutMs = 500;
  EtcdClient client(settings);
  const int64_t deadline = testsupport::NowMs() + timeoutMs;
  while (testsupport::RemainingMs(deadline) > 0) {
    if (member.process == nullptr || !member.process->Running()) return false;  // died
    if (client.Range("vokel-test-ready").ok) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

std::string EtcdTestCluster::LogTail(const Member& member) const {
  auto text = testsupport::ReadFile(dir_.File(member.name + ".log"));
  if (!text) return member.name + ": no log\n";
  return member.name + ": " + text->substr(text->size() > 2000 ? text->size() - 2000 : 0) + "\n";
}

std::string EtcdTestCluster::Start(int timeoutMs) {
  if (access(kEtcdPath, X_OK) != 0) return std::string(kEtcdPath) + " is not installed";
  if (tls_) {
    std::string failed = MakeCertificates();
    if (!failed.empty()) return failed;
  }
  for (Member& member : members_) {
    if (!Spawn(member)) return "cannot start " + member.name;
  }
  const int64_t deadline = testsupport::NowMs() + timeoutMs;
  for (Member& member : members_) {
    if (!WaitReady(member, testsupport::RemainingMs(deadline))) {
      std::string logs;
      for (const Member& m : members_) logs += LogTail(m);
      return member.name + " did not answer in time\n" + logs;
    }
  }
  return "";
}

void EtcdTestCluster::Kill(int member) {
  Member& m = members_[member];
  if (m.process == nullptr) return;
  m.process->Kill();
  m.process.reset();
}

std::string EtcdTestCluster::Restart(int member, int waitMs) {
  Member& m = members_[member];
  if (m.process != nullptr) return m.name + " is running";
  if (!Spawn(m)) return "cannot start " + m.name;
  if (waitMs > 0 && !WaitReady(m, waitMs)) return m.name + " did not answer in time\n" + LogTail(m);
  return "";
}

int EtcdTestCluster::Leader() const {
  for (int i = 0; i < size(); ++i) {
    if (!Running(i)) continue;
    EtcdSettings settings;
    settings.endpoints = {ClientUrl(i)};
    settings.timeoutMs = 1000;
    EtcdMemberStatus status = EtcdClient(settings).Status();
    if (status.ok && status.leader != 0 && status.leader == status.memberId) return i;
  }
  return -1;
}
