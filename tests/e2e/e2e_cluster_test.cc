// Cluster mode end to end: three instances sharing their registries through three etcd
// members, one leader talking to the pvsim routers. Changes made on one instance are listed by
// the others; the leader's death, pause or stop hands the routers to another instance, which
// resets and reloads them under a higher term; losing etcd's quorum refuses changes without
// losing acknowledged ones. Every router's journal is checked after each test: each request
// carries a term, and no term is lower than one before it.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cluster_site.h"
#include "deadline.h"
#include "http_get.h"
#include "netns.h"
#include "service/cluster/etcd_client.h"

namespace {

using cluster::ClusterView;
using cluster::kInstances;
using cluster::kLeaseSeconds;
using cluster::Site;
using testsupport::NowMs;

const char kDuplicate[] = "duplication of data\r\n";
const char kClusterError[] = "cluster error\r\n";

struct LoadStep {
  std::string command, family, row;  // the row it leaves in FAMILY show
};

// Both routers with a route, the quarantine server, two PCs and their access entries: lines for
// each router.
const std::vector<LoadStep> kLoad = {
    {"pv add 127.0.1.1", "pv", "127.0.1.1"},
    {"pv add 127.0.1.2", "pv", "127.0.1.2"},
    {"pvroute add 127.0.1.1 network 10.1.0.0 netmask 255.255.255.0", "pvroute",
     "127.0.1.1 10.1.0.0 255.255.255.0"},
    {"pvroute add 127.0.1.2 network 10.2.0.0 netmask 255.255.255.0", "pvroute",
     "127.0.1.2 10.2.0.0 255.255.255.0"},
    {"quarantine add source 172.17.254.254 protocol tcp sport 4208", "quarantine",
     "172.17.254.254 TCP 4208"},
    {"pc add source 10.1.0.10 source-mac 02:00:00:00:00:0A", "pc", "02:00:00:00:00:0A 10.1.0.10"},
    {"pc add source 10.2.0.20 source-mac 02:00:00:00:00:14", "pc", "02:00:00:00:00:14 10.2.0.20"},
    {"kel add accept source 10.1.0.10", "kel", "ACCEPT 10.1.0.10"},
    {"kel add drop source 10.2.0.20", "kel", "DROP 10.2.0.20"}};

class ClusterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ENTER_PRIVATE_NETWORK();
    site_ = std::make_unique<Site>(2);
    std::string error = site_->Start();
    ASSERT_EQ(error, "");
    leader_ = site_->WaitLeader(5000);
    ASSERT_GE(leader_, 0);
  }

  void TearDown() override {
    if (site_ == nullptr) return;
    for (int r = 1; r <= site_->routers(); ++r) {
      EXPECT_EQ(site_->TermProblems(r), "") << "journal of router " << r;
    }
  }

  // A changing command that instance i acknowledges with its bare prompt.
  void Change(int i, const std::string& line) {
    EXPECT_EQ(site_->Command(i, line), std::optional<std::string>("")) << line << " on " << i;
  }

  // Loads kLoad through the instances in turn, each change listed everywhere before the next
  // (which may build on it), and waits until the leader's routers hold it.
  void Load() {
    for (size_t k = 0; k < kLoad.size(); ++k) {
      Change(static_cast<int>(k % kInstances), kLoad[k].command);
      ASSERT_TRUE(site_->WaitListed(kLoad[k].family, kLoad[k].row, true, 2000)) << kLoad[k].command;
      // Each change delivered before the next: a pc edit still queued when the entry for the
      // same address arrives sends that entry's lines as the entry's own edit does (the
      // planning's race, standalone as well), which would leave a line twice.
      site_->WaitTablesEqual(leader_, 5000);
    }
    ExpectTablesEqual(leader_);
    EXPECT_GE(site_->Compare(leader_, 1).expected, 4u);  // pc and kel lines
  }

  // Waits until every router's table equals its lines on instance i; else fails, showing how
  // they differ.
  void ExpectTablesEqual(int i, int timeoutMs = 5000) {
    if (site_->WaitTablesEqual(i, timeoutMs)) return;
    for (int r = 1; r <= site_->routers(); ++r) {
      chaos::Comparison c = site_->Compare(i, r);
      if (!c.Equal()) {
        ADD_FAILURE() << "router " << r << " against its lines on " << site_->Name(i) << ":\n"
                      << c.differences << "journal:\n"
                      << site_->JournalText(r);
      }
    }
  }

  // Polls instance i's /healthz until it answers `status`; the last status it answered.
  int WaitHealth(int i, int status, int timeoutMs) {
    int got = 0;
    for (int64_t deadline = NowMs() + timeoutMs; got != status && NowMs() < deadline;) {
      got = site_->Api(i, "/healthz").status;
      if (got != status) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return got;
  }

  // A sample of instance i's /metrics; -1 when it is missing.
  double Metric(int i, const std::string& series) {
    return testsupport::MetricSample(site_->Api(i, "/metrics").body, series);
  }

  std::unique_ptr<Site> site_;
  int leader_ = -1;
};

TEST_F(ClusterTest, OneLeaderWithOneTermTheOthersFollowAndSay) {
  std::vector<ClusterView> views;
  for (int i = 0; i < kInstances; ++i) views.push_back(site_->View(i));
  for (int i = 0; i < kInstances; ++i) {
    SCOPED_TRACE("instance " + site_->Name(i));
    ASSERT_TRUE(views[i].answered);
    EXPECT_EQ(views[i].role, i == leader_ ? "leader" : "follower");
    EXPECT_EQ(views[i].name, site_->Name(i));
    EXPECT_EQ(views[i].leader, site_->Name(leader_));
    EXPECT_EQ(views[i].term, views[leader_].term);
    EXPECT_EQ(views[i].etcd, "ok");
    EXPECT_EQ(Metric(i, "vokelmng_cluster_leader"), i == leader_ ? 1 : 0);
    EXPECT_EQ(Metric(i, "vokelmng_cluster_etcd_up"), 1);
    EXPECT_GE(Metric(i, "vokelmng_cluster_leader_changes_total"), 0);
    EXPECT_EQ(site_->Api(i, "/healthz").status, 200);
  }
  EXPECT_GT(views[leader_].term, 0);

  // Only the leader talks to the routers: each is reset once, under its term.
  ASSERT_NO_FATAL_FAILURE(Load());
  for (int r = 1; r <= site_->routers(); ++r) {
    int resets = 0;
    for (const e2e::RouterRequest& q : site_->Journal(r)) {
      EXPECT_EQ(q.term, views[leader_].term) << q.Text();
      resets += q.Text() == "client reset" ? 1 : 0;
    }
    EXPECT_EQ(resets, 1) << "router " << r;
  }
  // /routers says which instance sends.
  for (int i = 0; i < kInstances; ++i) {
    auto routers = nlohmann::json::parse(site_->Api(i, "/routers").body, nullptr, false);
    ASSERT_TRUE(routers.is_array()) << site_->Name(i);
    ASSERT_EQ(routers.size(), 2u) << site_->Name(i);
    for (const auto& router : routers) {
      EXPECT_EQ(router.value("sending", i != leader_), i == leader_) << site_->Name(i);
    }
  }
}

// save writes this instance's copy to its files; clear and load change the whole family in
// etcd, seen by every instance (pv taking its routes with it).
TEST_F(ClusterTest, SaveClearAndLoadChangeTheWholeFamilyEverywhere) {
  ASSERT_NO_FATAL_FAILURE(Load());
  for (const char* family : {"pv", "pvroute", "pc"}) {
    Change(1, std::string(family) + " save");
  }
  Change(2, "pc clear");
  Change(0, "pv clear");
  for (const LoadStep& step : kLoad) {
    if (step.family == "pv" || step.family == "pvroute" || step.family == "pc") {
      EXPECT_TRUE(site_->WaitListed(step.family, step.row, false, 1000)) << step.command;
    }
  }
  Change(1, "pv load");
  Change(1, "pvroute load");
  Change(1, "pc load");
  for (const LoadStep& step : kLoad) {
    if (step.family == "pv" || step.family == "pvroute" || step.family == "pc") {
      EXPECT_TRUE(site_->WaitListed(step.family, step.row, true, 1000)) << step.command;
    }
  }
  EXPECT_EQ(site_->Command(0, "pc load"), std::optional<std::string>("load error\r\n"))
      << "instance a saved nothing";
}

// A record written into etcd by hand that does not parse is logged at err with its key and
// skipped; the registry around it and the commands go on. show lists records in the order the
// cluster created them, whichever instance made them.
TEST_F(ClusterTest, ARecordThatDoesNotParseIsSkippedAndShowKeepsTheClustersOrder) {
  Change(0, "kel add accept source 10.1.0.30");
  EtcdSettings settings;
  settings.endpoints = site_->etcd().ClientUrls();
  EtcdClient etcd(settings);
  const std::string bad = "/vokelmng/kel/accept/10.1.0.40/-";
  ASSERT_TRUE(etcd.Put(bad, "{\"target\":\"accept\",\"source\":\"ten\"}").ok);
  Change(1, "kel add drop source 10.1.0.20");
  Change(2, "kel add accept source 10.1.0.25");
  ASSERT_TRUE(site_->WaitListed("kel", "ACCEPT 10.1.0.25", true, 2000));
  for (int i = 0; i < kInstances; ++i) {
    std::optional<std::string> show = site_->Command(i, "kel show");
    ASSERT_TRUE(show.has_value());
    size_t first = show->find("10.1.0.30"), second = show->find("10.1.0.20"),
           third = show->find("10.1.0.25");
    EXPECT_TRUE(first < second && second < third) << site_->Name(i) << ":\n" << *show;
    EXPECT_EQ(show->find("ten"), std::string::npos);
  }
  EXPECT_NE(site_->LogTail(400).find("The cluster record " + bad + " does not parse"),
            std::string::npos);
}

TEST_F(ClusterTest, AChangeOnOneInstanceIsListedByTheOthersWithinASecond) {
  struct Case {
    int instance;
    std::string command, family, row;
    bool present;
  };
  const std::vector<Case> cases = {
      {0, "pv add 127.0.1.1", "pv", "127.0.1.1", true},
      {1, "pvroute add 127.0.1.1 network 10.1.0.0 netmask 255.255.255.0", "pvroute",
       "127.0.1.1 10.1.0.0 255.255.255.0", true},
      {2, "quarantine add source 172.17.254.254 protocol tcp sport 4208", "quarantine",
       "172.17.254.254 TCP 4208", true},
      {0, "pc add source 10.1.0.10 source-mac 02:00:00:00:00:0A", "pc",
       "02:00:00:00:00:0A 10.1.0.10", true},
      {1, "kel add accept source 192.168.0.1", "kel", "ACCEPT 192.168.0.1", true},
      {2, "kel del accept source 192.168.0.1", "kel", "ACCEPT 192.168.0.1", false},
      {1, "pc del source 10.1.0.10 source-mac 02:00:00:00:00:0A", "pc",
       "02:00:00:00:00:0A 10.1.0.10", false},
      {0, "pvroute del 127.0.1.1 network 10.1.0.0 netmask 255.255.255.0", "pvroute",
       "127.0.1.1 10.1.0.0 255.255.255.0", false},
  };
  for (const Case& c : cases) {
    Change(c.instance, c.command);
    EXPECT_TRUE(site_->WaitListed(c.family, c.row, c.present, 1000))
        << c.command << " on " << site_->Name(c.instance);
  }

  // The same record added on two instances at once: one of them gets it.
  for (int round = 0; round < 6; ++round) {
    std::string line = "kel add accept source 10.9.0." + std::to_string(round + 1);
    int first = round % kInstances, second = (round + 1) % kInstances;
    std::atomic<int> ready{0};
    std::optional<std::string> replies[2];
    auto send = [&](int slot, int instance) {
      ready.fetch_add(1);
      while (ready.load() < 2) std::this_thread::yield();
      replies[slot] = site_->Command(instance, line);
    };
    std::thread other(send, 1, second);
    send(0, first);
    other.join();
    ASSERT_TRUE(replies[0] && replies[1]) << line;
    EXPECT_TRUE((*replies[0] == "" && *replies[1] == kDuplicate) ||
                (*replies[0] == kDuplicate && *replies[1] == ""))
        << line << ": " << *replies[0] << " / " << *replies[1];
  }
}

TEST_F(ClusterTest, KilledLeaderIsReplacedWhichReloadsEveryRouterUnderAHigherTerm) {
  ASSERT_NO_FATAL_FAILURE(Load());
  const ClusterView before = site_->View(leader_);
  const int64_t killedAt = NowMs();
  site_->KillInstance(leader_);
  const int next = site_->WaitLeader((kLeaseSeconds + 2) * 1000, leader_);
  ASSERT_GE(next, 0) << "no new leader within LEASE + 2 s";
  std::printf("new leader %s %lld ms after the kill\n", site_->Name(next).c_str(),
              static_cast<long long>(NowMs() - killedAt));
  const ClusterView after = site_->View(next);
  EXPECT_GT(after.term, before.term);
  EXPECT_GE(Metric(next, "vokelmng_cluster_leader_changes_total"), 1);
  for (int r = 1; r <= site_->routers(); ++r) {
    EXPECT_TRUE(site_->WaitReset(r, after.term, 10000))
        << "router " << r << " not reset under term " << after.term << ":\n"
        << site_->JournalText(r) << "log:\n"
        << site_->LogTail(15);
  }
  ExpectTablesEqual(next);

  // A change under the new leader reaches the routers; the killed instance comes back as a
  // follower that lists it.
  Change(next, "kel add accept source 10.2.0.21");
  ASSERT_EQ(site_->StartInstance(leader_), "");
  // A sanitizer build on a busy machine starts slowly: these waits only bound a hang.
  EXPECT_TRUE(site_->WaitListed("kel", "ACCEPT 10.2.0.21", true, 10000));
  EXPECT_EQ(site_->WaitLeader(10000), next);
  EXPECT_EQ(site_->View(leader_).role, "follower");
  ExpectTablesEqual(next);
}

// The paused leader's lease runs out; once it runs again nothing it still meant to send may
// reach a router after its successor's requests, and it follows.
TEST_F(ClusterTest, PausedLeaderIsFencedOffAndFollowsWhenItRunsAgain) {
  ASSERT_NO_FATAL_FAILURE(Load());
  const int old = leader_;
  const ClusterView before = site_->View(old);
  // Work the paused leader has acknowledged but may not have sent yet.
  Change(old, "pc add source 10.1.0.11 source-mac 02:00:00:00:00:0B");
  Change(old, "kel add accept source 10.1.0.11");
  site_->PauseInstance(old);
  const int64_t pausedAt = NowMs();
  const int next = site_->WaitLeader((kLeaseSeconds + 2) * 1000, old);
  ASSERT_GE(next, 0) << "no new leader while the old one is paused";
  EXPECT_GT(site_->View(next).term, before.term);
  Change(next, "kel add drop source 10.2.0.21");
  Change(next, "pc add source 10.2.0.21 source-mac 02:00:00:00:00:15");
  std::this_thread::sleep_until(
      std::chrono::steady_clock::now() +
      std::chrono::milliseconds(3 * kLeaseSeconds * 1000 - (NowMs() - pausedAt)));
  site_->ResumeInstance(old);

  // It learns of its successor and says so.
  bool follows = false;
  for (int64_t deadline = NowMs() + (kLeaseSeconds + 2) * 1000; !follows && NowMs() < deadline;) {
    ClusterView view = site_->View(old);
    follows = view.role == "follower" && view.leader == site_->Name(next);
    if (!follows) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(follows) << "role " << site_->View(old).role;
  EXPECT_EQ(Metric(old, "vokelmng_cluster_leader"), 0);
  EXPECT_TRUE(site_->WaitListed("pc", "02:00:00:00:00:15 10.2.0.21", true, 2000));
  EXPECT_TRUE(site_->WaitListed("kel", "ACCEPT 10.1.0.11", true, 2000));
  ExpectTablesEqual(next);
  // Time for a late request of the old leader to show in the journals checked by TearDown.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
}

TEST_F(ClusterTest, EtcdMinorityLossIsUnseenQuorumLossRefusesChangesAndLosesNothing) {
  ASSERT_NO_FATAL_FAILURE(Load());
  // One member gone, the etcd leader: nothing changes for the operator.
  int member = std::max(site_->etcd().Leader(), 0);
  site_->etcd().Kill(member);
  std::vector<std::string> acknowledged = {"ACCEPT 10.1.0.10", "DROP 10.2.0.20"};
  std::optional<std::string> reply = site_->Command(1, "kel add accept source 10.1.0.12");
  EXPECT_EQ(reply, std::optional<std::string>("")) << site_->LogTail();
  if (reply == std::optional<std::string>("")) {
    acknowledged.push_back("ACCEPT 10.1.0.12");
    EXPECT_TRUE(site_->WaitListed("kel", "ACCEPT 10.1.0.12", true, 3000));
  }
  for (int i = 0; i < kInstances; ++i) {
    EXPECT_EQ(site_->View(i).etcd, "ok") << site_->Name(i);
    EXPECT_EQ(site_->Api(i, "/healthz").status, 200) << site_->Name(i);
  }

  // Two gone: changes are refused in time, health says so, and nobody exits.
  int second = (member + 1) % site_->etcd().size();
  site_->etcd().Kill(second);
  for (int i = 0; i < kInstances; ++i) {
    const int64_t sent = NowMs();
    std::optional<std::string> reply =
        site_->Command(i, "kel add accept source 10.1.0." + std::to_string(30 + i), 8000);
    EXPECT_EQ(reply, std::optional<std::string>(kClusterError)) << site_->Name(i);
    EXPECT_LE(NowMs() - sent, 6000) << site_->Name(i);
  }
  for (int i = 0; i < kInstances; ++i) {
    EXPECT_EQ(WaitHealth(i, 503, 6000), 503) << site_->Name(i);
    EXPECT_EQ(site_->View(i).etcd, "unreachable") << site_->Name(i);
    EXPECT_EQ(Metric(i, "vokelmng_cluster_etcd_up"), 0) << site_->Name(i);
    EXPECT_TRUE(site_->Running(i)) << site_->Name(i);
  }

  // Quorum back: changes are taken again and what was acknowledged is all there.
  ASSERT_EQ(site_->etcd().Restart(second), "");
  ASSERT_EQ(site_->etcd().Restart(member), "");
  // A refused try may still have been committed once the quorum came back.
  bool refused = false;
  for (int64_t deadline = NowMs() + 15000; NowMs() < deadline;) {
    reply = site_->Command(2, "kel add accept source 10.1.0.13");
    if (reply == std::optional<std::string>("") || (refused && reply == kDuplicate)) break;
    refused = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  EXPECT_TRUE(reply == std::optional<std::string>("") || (refused && reply == kDuplicate))
      << reply.value_or("(none)") << site_->LogTail();
  EXPECT_TRUE(site_->WaitListed("kel", "ACCEPT 10.1.0.13", true, 3000));
  for (const std::string& row : acknowledged) {
    EXPECT_TRUE(site_->WaitListed("kel", row, true, 1000)) << row;
  }
  EXPECT_TRUE(site_->WaitListed("pc", "02:00:00:00:00:14 10.2.0.20", true, 1000));
  for (int i = 0; i < kInstances; ++i) {
    EXPECT_TRUE(site_->Running(i)) << site_->Name(i);
    EXPECT_EQ(WaitHealth(i, 200, 5000), 200) << site_->Name(i);
    EXPECT_EQ(site_->View(i).etcd, "ok") << site_->Name(i);
  }
  const int leader = site_->WaitLeader(5000);
  ASSERT_GE(leader, 0);
  ExpectTablesEqual(leader);
}

TEST_F(ClusterTest, StoppedLeaderHandsOverAtOnceAndEnds) {
  ASSERT_NO_FATAL_FAILURE(Load());
  const pid_t pid = site_->Pid(leader_);
  const int64_t sent = NowMs();
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  // Revoking the lease leaves no wait for it to run out: well under LEASE.
  const int next = site_->WaitLeader(kLeaseSeconds * 1000, leader_);
  const int64_t tookMs = NowMs() - sent;
  ASSERT_GE(next, 0);
  EXPECT_LT(tookMs, kLeaseSeconds * 1000 / 2) << "new leader only after " << tookMs << " ms";
  while (site_->Running(leader_) && NowMs() - sent < 5000) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_FALSE(site_->Running(leader_)) << "not ended within 5 s\n" << site_->Output(leader_);
  EXPECT_EQ(site_->StopInstance(leader_, 1000), 0) << site_->Output(leader_);
  ExpectTablesEqual(next);
}

}  // namespace
