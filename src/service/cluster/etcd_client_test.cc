// The etcd client against real members (etcd_testutil.h) in the test's private network.
#include "service/cluster/etcd_client.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "deadline.h"
#include "netns.h"
#include "service/cluster/etcd_testutil.h"

namespace {

using testsupport::NowMs;

EtcdSettings SettingsFor(const EtcdTestCluster& cluster, int timeoutMs = 5000) {
  EtcdSettings settings;
  settings.endpoints = cluster.ClientUrls();
  settings.timeoutMs = timeoutMs;
  return settings;
}

// Polls condition every 50 ms until it holds or timeoutMs passed.
template <typename F>
bool Eventually(F condition, int timeoutMs) {
  const int64_t deadline = NowMs() + timeoutMs;
  while (!condition()) {
    if (NowMs() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

TEST(EtcdBytesTest, PrefixEndsAndBase64) {
  EXPECT_EQ(EtcdPrefixEnd("a/"), "a0");
  EXPECT_EQ(EtcdPrefixEnd("a\xff"), "b");
  EXPECT_EQ(EtcdPrefixEnd("\xff\xff"), std::string(1, '\0'));
  EXPECT_EQ(EtcdPrefixEnd(""), std::string(1, '\0'));
  std::string bytes;
  EXPECT_TRUE(EtcdBase64Decode(EtcdBase64Encode(std::string("\0\xff", 2)), &bytes));
  EXPECT_EQ(bytes, std::string("\0\xff", 2));
  EXPECT_FALSE(EtcdBase64Decode("abc", &bytes));
  EXPECT_FALSE(EtcdBase64Decode("a*c=", &bytes));
}

class EtcdClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ENTER_PRIVATE_NETWORK();
    std::string error = cluster_.Start();
    ASSERT_EQ(error, "");
  }
  EtcdTestCluster cluster_{1};
};

TEST_F(EtcdClientTest, KeysValuesPrefixesAndRevisions) {
  EtcdClient client(SettingsFor(cluster_));
  EtcdStatus first = client.Put("a/1", "one");
  ASSERT_TRUE(first.ok) << first.error;
  EXPECT_GT(first.revision, 0);
  EXPECT_EQ(client.Put("a/2", "two").revision, first.revision + 1);
  ASSERT_TRUE(client.Put("b", "bee").ok);
  EtcdStatus again = client.Put("a/1", "uno");
  EXPECT_EQ(again.revision, first.revision + 3);

  EtcdRangeResult one = client.Range("a/1");
  ASSERT_TRUE(one.ok) << one.error;
  ASSERT_EQ(one.kvs.size(), 1u);
  EXPECT_EQ(one.kvs[0].value, "uno");
  EXPECT_EQ(one.kvs[0].createRevision, first.revision);
  EXPECT_EQ(one.kvs[0].modRevision, again.revision);
  EXPECT_EQ(one.kvs[0].version, 2);
  EXPECT_EQ(one.revision, again.revision);

  EtcdRangeResult prefix = client.RangePrefix("a/");
  ASSERT_EQ(prefix.kvs.size(), 2u);
  EXPECT_EQ(prefix.kvs[0].key, "a/1");
  EXPECT_EQ(prefix.kvs[1].key, "a/2");

  // Bytes of every kind and length survive the base64 of the gateway.
  for (std::string bytes : {std::string("x"), std::string("xy"), std::string("\0\xff\x01", 3),
                            std::string("\xfe\0", 2), std::string()}) {
    const std::string key = std::string("bin/\xff\0", 6) + bytes;
    ASSERT_TRUE(client.Put(key, bytes).ok);
    EtcdRangeResult read = client.Range(key);
    ASSERT_EQ(read.kvs.size(), 1u);
    EXPECT_EQ(read.kvs[0].key, key);
    EXPECT_EQ(read.kvs[0].value, bytes);
  }

  EtcdDeleteResult deleted = client.DeletePrefix("a/");
  ASSERT_TRUE(deleted.ok) << deleted.error;
  EXPECT_EQ(deleted.deleted, 2);
  EXPECT_TRUE(client.RangePrefix("a/").kvs.empty());
  EXPECT_EQ(client.Range("b").kvs.size(), 1u);
  EtcdRangeResult missing = client.Range("nothing");
  EXPECT_TRUE(missing.ok);
  EXPECT_TRUE(missing.kvs.empty());
  EXPECT_EQ(missing.revision, deleted.revision);
  EXPECT_EQ(client.DeleteRange("nothing").deleted, 0);
}

TEST_F(EtcdClientTest, CreateIfAbsentHasOneWinnerAndUpdatesCompareModRevision) {
  EtcdClient client(SettingsFor(cluster_));
  constexpr int kRacers = 8;
  std::vector<EtcdTxnResult> results(kRacers);
  std::vector<std::thread> racers;
  for (int i = 0; i < kRacers; ++i) {
    racers.emplace_back([&, i] {
      results[i] =
          client.Txn({EtcdCompare::Absent("owner")},
                     {EtcdOp::Put("owner", "racer" + std::to_string(i))}, {EtcdOp::Get("owner")});
    });
  }
  for (std::thread& t : racers) t.join();
  int winners = 0;
  std::string winner;
  for (int i = 0; i < kRacers; ++i) {
    ASSERT_TRUE(results[i].ok) << results[i].error;
    if (results[i].succeeded) {
      ++winners;
      winner = "racer" + std::to_string(i);
    }
  }
  ASSERT_EQ(winners, 1);
  for (const EtcdTxnResult& r : results) {
    if (r.succeeded) continue;
    ASSERT_EQ(r.kvs.size(), 1u);  // the failure branch read the winner's value
    EXPECT_EQ(r.kvs[0].value, winner);
  }

  int64_t seen = client.Range("owner").kvs.at(0).modRevision;
  EtcdTxnResult update =
      client.Txn({EtcdCompare::ModRevisionIs("owner", seen)}, {EtcdOp::Put("owner", "next")});
  ASSERT_TRUE(update.ok);
  EXPECT_TRUE(update.succeeded);
  EXPECT_GT(update.revision, seen);
  EtcdTxnResult stale =
      client.Txn({EtcdCompare::ModRevisionIs("owner", seen)}, {EtcdOp::Put("owner", "lost")});
  ASSERT_TRUE(stale.ok);
  EXPECT_FALSE(stale.succeeded);
  EXPECT_EQ(client.Range("owner").kvs.at(0).value, "next");
}

TEST_F(EtcdClientTest, LeaseKeysLiveAsLongAsTheLeaseIsKeptAlive) {
  EtcdClient client(SettingsFor(cluster_));
  EtcdLeaseResult left = client.LeaseGrant(2);
  EtcdLeaseResult kept = client.LeaseGrant(2);
  ASSERT_TRUE(left.ok && kept.ok) << left.error << kept.error;
  EXPECT_GE(left.ttl, 2);
  ASSERT_TRUE(client.Put("lease/left", "x", left.id).ok);
  ASSERT_TRUE(client.Put("lease/kept", "y", kept.id).ok);
  EXPECT_EQ(client.Range("lease/kept").kvs.at(0).lease, kept.id);

  // A 2 s lease is gone within a few seconds; a change of etcd leader, which a starved
  // machine can cause, gives every lease its whole time again, so the wait allows for some.
  const int64_t start = NowMs();
  bool leftGone = false;
  while (NowMs() - start < 20000 && (!leftGone || NowMs() - start < 3500)) {
    EtcdLeaseResult renewed = client.LeaseKeepAliveOnce(kept.id);
    ASSERT_TRUE(renewed.ok) << renewed.error;
    EXPECT_GT(renewed.ttl, 0);
    leftGone = client.Range("lease/left").kvs.empty();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
  }
  EXPECT_TRUE(leftGone);
  EXPECT_EQ(client.Range("lease/kept").kvs.size(), 1u);

  EtcdLeaseResult expired = client.LeaseKeepAliveOnce(left.id);
  EXPECT_FALSE(expired.ok);
  EXPECT_EQ(expired.ttl, 0);
  ASSERT_TRUE(client.LeaseRevoke(kept.id).ok);
  EXPECT_TRUE(client.Range("lease/kept").kvs.empty());
}

struct Recorder {
  std::mutex mutex;
  std::vector<std::string> lines;  // "PUT key=value@rev" or "DELETE key@rev"
  std::vector<int64_t> compactions;

  EtcdWatch::EventHandler OnEvent() {
    return [this](const EtcdEvent& e) {
      std::lock_guard<std::mutex> lock(mutex);
      lines.push_back(e.type == EtcdEvent::kPut
                          ? "PUT " + e.kv.key + "=" + e.kv.value + "@" +
                                std::to_string(e.kv.modRevision)
                          : "DELETE " + e.kv.key + "@" + std::to_string(e.kv.modRevision));
    };
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(mutex);
    return lines.size();
  }
};

TEST_F(EtcdClientTest, WatchDeliversInOrderAndResumesAfterTheMemberRestarts) {
  EtcdClient client(SettingsFor(cluster_));
  const int64_t start = client.Put("outside", "-").revision + 1;
  Recorder seen;
  auto watch = std::make_unique<EtcdWatch>(SettingsFor(cluster_), "w/", start, seen.OnEvent());

  std::vector<std::string> expected;
  auto put = [&](const std::string& key, const std::string& value) {
    EtcdStatus s = client.Put(key, value);
    ASSERT_TRUE(s.ok) << s.error;
    expected.push_back("PUT " + key + "=" + value + "@" + std::to_string(s.revision));
  };
  put("w/1", "a");
  put("w/2", "b");
  EtcdDeleteResult d = client.DeleteRange("w/1");
  expected.push_back("DELETE w/1@" + std::to_string(d.revision));
  EtcdTxnResult both = client.Txn({}, {EtcdOp::Put("w/3", "c"), EtcdOp::Put("w/4", "d")});
  ASSERT_TRUE(both.ok);
  const std::string rev = std::to_string(both.revision);
  expected.push_back("PUT w/3=c@" + rev);
  expected.push_back("PUT w/4=d@" + rev);
  ASSERT_TRUE(client.Put("outside", "--").ok);
  ASSERT_TRUE(Eventually([&] { return seen.Count() >= expected.size(); }, 5000));
  EXPECT_EQ(watch->Connections(), 1);

  cluster_.Kill(0);
  EXPECT_FALSE(client.Put("w/down", "x").ok);
  ASSERT_EQ(cluster_.Restart(0), "");
  // Made before the watch is back: it must catch up from its revision.
  put("w/5", "e");
  EtcdDeleteResult d2 = client.DeleteRange("w/2");
  expected.push_back("DELETE w/2@" + std::to_string(d2.revision));
  ASSERT_TRUE(Eventually([&] { return seen.Count() >= expected.size(); }, 8000))
      << watch->LastError();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // nothing repeated after
  {
    std::lock_guard<std::mutex> lock(seen.mutex);
    EXPECT_EQ(seen.lines, expected);
  }
  EXPECT_GE(watch->Connections(), 2);
  EXPECT_EQ(watch->NextRevision(), d2.revision + 1);

  const int64_t stopAt = NowMs();
  watch.reset();
  EXPECT_LT(NowMs() - stopAt, 1000);
}

TEST_F(EtcdClientTest, WatchReportsCompactionAndGoesOnFromIt) {
  EtcdClient client(SettingsFor(cluster_));
  const int64_t first = client.Put("c/k", "1").revision;
  client.Put("c/k", "2");
  const int64_t kept = client.Put("c/k", "3").revision;
  ASSERT_TRUE(client.Compact(kept).ok);

  Recorder seen;
  EtcdWatch watch(SettingsFor(cluster_), "c/", first, seen.OnEvent(), [&](int64_t revision) {
    std::lock_guard<std::mutex> lock(seen.mutex);
    seen.compactions.push_back(revision);
  });
  ASSERT_TRUE(Eventually([&] { return seen.Count() >= 1; }, 5000)) << watch.LastError();
  std::lock_guard<std::mutex> lock(seen.mutex);
  EXPECT_EQ(seen.compactions, std::vector<int64_t>{kept});
  EXPECT_EQ(seen.lines, std::vector<std::string>{"PUT c/k=3@" + std::to_string(kept)});
}

// A listener that never accepts: connections complete in its backlog and then stay silent.
TEST(EtcdSilentServerTest, CallsTimeOutAndWatchStopsPromptly) {
  ENTER_PRIVATE_NETWORK();
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(2379);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(fd, 16), 0);

  EtcdSettings settings;
  settings.endpoints = {"http://127.0.0.1:2379"};
  settings.timeoutMs = 800;
  EtcdClient client(settings);
  int64_t start = NowMs();
  EtcdStatus put = client.Put("k", "v");
  EXPECT_FALSE(put.ok);
  EXPECT_FALSE(put.error.empty());
  EXPECT_LT(NowMs() - start, 1500);

  settings.timeoutMs = 60000;  // so only Stop can end the wait below
  auto watch = std::make_unique<EtcdWatch>(settings, "p/", 1, [](const EtcdEvent&) {});
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  start = NowMs();
  watch.reset();
  EXPECT_LT(NowMs() - start, 1000);
  close(fd);

  // Nobody listening: every endpoint refused at once, the reason names the last one.
  settings.endpoints = {"http://127.0.0.2:2379", "http://127.0.0.3:2379"};
  settings.timeoutMs = 5000;
  EtcdClient refused(settings);
  start = NowMs();
  EtcdRangeResult range = refused.Range("k");
  EXPECT_FALSE(range.ok);
  EXPECT_NE(range.error.find("127.0.0.3"), std::string::npos) << range.error;
  EXPECT_LT(NowMs() - start, 1000);
}

TEST(EtcdClusterTest, SurvivesOneMemberLossFailsBoundedWithoutQuorumAndRecovers) {
  ENTER_PRIVATE_NETWORK();
  EtcdTestCluster cluster(3, 21);
  ASSERT_EQ(cluster.Start(), "");
  const int leader = cluster.Leader();
  ASSERT_GE(leader, 0);
  const int follower = (leader + 1) % 3;
  // The client tries the follower first; it is the one that dies.
  EtcdSettings settings = SettingsFor(cluster);
  std::swap(settings.endpoints[0], settings.endpoints[follower]);
  EtcdClient client(settings);
  ASSERT_TRUE(client.Put("k", "0").ok);

  cluster.Kill(follower);
  int64_t start = NowMs();
  for (int i = 1; i <= 3; ++i) {
    EtcdStatus put = client.Put("k", std::to_string(i));
    ASSERT_TRUE(put.ok) << put.error;
  }
  EXPECT_EQ(client.Range("k").kvs.at(0).value, "3");
  EXPECT_LT(NowMs() - start, 1000);

  cluster.Kill(leader);
  start = NowMs();
  EtcdStatus lost = client.Put("k", "lost");
  EXPECT_FALSE(lost.ok);
  EXPECT_FALSE(lost.error.empty());
  EXPECT_LT(NowMs() - start, 6000);

  ASSERT_EQ(cluster.Restart(follower, 0), "");
  EXPECT_TRUE(Eventually([&] { return client.Put("k", "back").ok; }, 15000));
  EXPECT_EQ(client.Range("k").kvs.at(0).value, "back");
}

// https members that demand a client certificate: the client with the CA, its certificate and
// key works; without its certificate, or trusting another CA, it is refused.
TEST(EtcdTlsTest, ClientCertificateAndCaAreUsedAndRequired) {
  ENTER_PRIVATE_NETWORK();
  EtcdTestCluster cluster(1, 31, /*tls=*/true);
  ASSERT_EQ(cluster.Start(), "");
  EtcdSettings settings;
  settings.endpoints = cluster.ClientUrls();
  settings.caFile = cluster.CaFile();
  settings.certFile = cluster.CertFile();
  settings.keyFile = cluster.KeyFile();
  settings.timeoutMs = 2000;
  EtcdClient client(settings);
  EtcdStatus put = client.Put("tls", "yes");
  ASSERT_TRUE(put.ok) << put.error;
  EXPECT_EQ(client.Range("tls").kvs.at(0).value, "yes");

  EtcdSettings anonymous = settings;
  anonymous.certFile.clear();
  anonymous.keyFile.clear();
  EXPECT_FALSE(EtcdClient(anonymous).Range("tls").ok);
  EtcdSettings strangers = settings;
  strangers.caFile = cluster.CertFile();  // a certificate that signed nothing
  EXPECT_FALSE(EtcdClient(strangers).Range("tls").ok);
}

}  // namespace
