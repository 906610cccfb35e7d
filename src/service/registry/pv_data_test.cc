#include "service/registry/pv_data.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "common/syslog.h"
#include "log_capture.h"
#include "service/registry/registry_test_util.h"

namespace {

CPvData* Router(std::array<uint8_t, 4> address, const char* port = "880") {
  CPvData* router = new CPvData;
  router->address = address;
  router->addressText = std::to_string(address[0]) + "." + std::to_string(address[1]) + "." +
                        std::to_string(address[2]) + "." + std::to_string(address[3]);
  router->portText = port;
  router->port = static_cast<uint16_t>(std::atoi(port));
  return router;
}

CPvrouteData Route(std::array<uint8_t, 4> network, std::array<uint8_t, 4> mask,
                   const char* dev = "") {
  CPvrouteData route;
  route.network = network;
  route.netmask = mask;
  route.devText = dev;
  return route;
}

class PvDataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("VOKELMNG_CONFIG_DIR", dir_.path().c_str(), 1);
    PvList().RemoveAll();
  }
  void TearDown() override { PvList().RemoveAll(); }
  registrytest::TempWorkDir dir_;
};

TEST_F(PvDataTest, MatchRules) {
  std::unique_ptr<CPvData> a(Router({10, 0, 0, 1}, "8080"));
  CPvData key;
  key.address = {10, 0, 0, 1};
  EXPECT_TRUE(PvDuplicateMatch(a.get(), &key));  // the port plays no part
  EXPECT_FALSE(PvActiveMatch(a.get(), &key));    // the key carries 880
  key.portText = "";
  EXPECT_TRUE(PvActiveMatch(a.get(), &key));  // no port in the key: address alone

  // Networks are compared under their own netmasks; the masks themselves are not.
  CPvrouteData wide = Route({192, 168, 0, 0}, {255, 255, 0, 0});
  CPvrouteData narrow = Route({192, 168, 0, 0}, {255, 255, 255, 0});
  CPvrouteData other = Route({192, 168, 1, 0}, {255, 255, 255, 0});
  CPvrouteData on_eth = Route({192, 168, 0, 0}, {255, 255, 255, 0}, "eth0");
  EXPECT_TRUE(PvrouteDuplicateMatch(&wide, &narrow));
  EXPECT_FALSE(PvrouteDuplicateMatch(&narrow, &other));
  EXPECT_FALSE(PvrouteDuplicateMatch(&on_eth, &narrow));  // another device
  EXPECT_TRUE(PvrouteActiveMatch(&on_eth, &narrow));      // a key without dev: any device
  EXPECT_FALSE(PvrouteActiveMatch(&narrow, &on_eth));
}

TEST_F(PvDataTest, SnapshotCopiesEveryFieldAndTheRoutes) {
  CPvData* a = Router({10, 0, 0, 1});
  a->password = "pw";
  a->alive = 1;
  a->misses = 2;
  a->resendPending = 0;
  a->pendingAdd = 1;
  CPvrouteData route = Route({10, 1, 0, 0}, {255, 255, 0, 0}, "lan");
  ASSERT_EQ(a->routes.Add(new CPvrouteData(route)), 0);
  ASSERT_EQ(PvList().Add(a), 0);
  CPvData* gone = Router({10, 0, 0, 2});
  gone->pendingDelete = 1;
  ASSERT_EQ(PvList().Add(gone), 0);

  CPvList snapshot;
  snapshot.AddTail(Router({9, 9, 9, 9}));
  ASSERT_EQ(PvList().CopyTo(&snapshot), 2);
  CPvData& copy = *static_cast<CPvData*>(snapshot.GetHead()->data);
  EXPECT_NE(&copy, a);
  EXPECT_EQ(copy.addressText + copy.password, "10.0.0.1pw");
  EXPECT_EQ(copy.alive + copy.misses + copy.resendPending + copy.pendingAdd, 4u);
  EXPECT_EQ(snapshot.GetNext(snapshot.GetHead())->data->pendingDelete, 1);
  CPvrouteData* copied_route = copy.routes.FindActive(route);
  ASSERT_NE(copied_route, nullptr);
  EXPECT_EQ(copied_route->devText, "lan");
  a->routes.MarkAll(1);  // the snapshot does not follow later changes
  EXPECT_EQ(copy.routes.FindActive(route), copied_route);
}

TEST_F(PvDataTest, DiagnosisByAddressOnAnyPort) {
  testsupport::Logs().Clear();
  CPvData* router = Router({127, 0, 0, 9}, "8080");
  router->resendPending = 0;
  router->probeOutstanding = 1;
  ASSERT_EQ(PvList().Add(router), 0);
  const uint8_t address[4] = {127, 0, 0, 9};

  EXPECT_EQ(PvList().DiagnoseOn(address), 1);
  EXPECT_TRUE(
      testsupport::Logs().WaitFor("PV(127.0.0.9) was diagnosed as ON by a keep alive function."));
  EXPECT_EQ(router->alive, 1);
  EXPECT_EQ(router->resendPending, 1);
  EXPECT_EQ(router->probeOutstanding, 0);
  EXPECT_EQ(PvList().DiagnoseOn(address), 0);  // already ON

  // The default limit of 3 tolerates three failures in a row; the fourth turns it OFF.
  EXPECT_EQ(PvList().DiagnoseOff(address), 0);
  EXPECT_EQ(PvList().DiagnoseOn(address), 0);  // a success starts the count again
  for (int i = 0; i < 3; ++i) EXPECT_EQ(PvList().DiagnoseOff(address), 0);
  router->probeOutstanding = 1;
  EXPECT_EQ(PvList().DiagnoseOff(address), 1);
  EXPECT_TRUE(
      testsupport::Logs().WaitFor("PV(127.0.0.9) was diagnosed as OFF by a keep alive function."));
  EXPECT_EQ(router->alive, 0);
  EXPECT_EQ(router->probeOutstanding, 0);
  EXPECT_EQ(PvList().DiagnoseOff(address), 0);  // OFF stays OFF
  EXPECT_EQ(PvList().DiagnoseOn(address), 1);

  router->pendingDelete = 1;  // a deleted router is not found
  EXPECT_EQ(PvList().DiagnoseOn(address), 0);
  EXPECT_TRUE(testsupport::Logs().WaitFor("I failed in a search of PV."));
}

// Adds, deletes, snapshots and diagnoses the same few routers from several threads; at no time
// may two live routers share an address.
TEST_F(PvDataTest, ConcurrentUseNeverLeavesTwoLiveRoutersWithOneAddress) {
  SyslogSetMask(kLogCrit);  // the diagnosis lines are not the point here
  std::atomic<bool> duplicate_seen{false};
  auto live_addresses_unique = [](CPvList& list) {
    std::set<std::array<uint8_t, 4>> seen;
    for (CKelNode* n = list.GetHead(1); n; n = list.GetNext(n, 1)) {
      const CPvData& r = *static_cast<const CPvData*>(n->data);
      if (!r.pendingDelete && !seen.insert(r.address).second) return false;
    }
    return true;
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &duplicate_seen, &live_addresses_unique] {
      for (int i = 0; i < 300; ++i) {
        uint8_t last = static_cast<uint8_t>(1 + (i + t) % 4);
        CPvData* router = Router({127, 0, 0, last});
        router->pendingAdd = 1;
        if (PvList().Add(router) != 0) delete router;
        if (i % 3 == t % 3) {
          CPvData key;
          key.address = {127, 0, 0, last};
          PvList().MarkDeleted(key);
          CKelListLock lock(PvList());  // as the controller does once a deletion is done
          PvList().RemoveData(PvList().FindPendingDelete(key, 1), 1);
        }
        const uint8_t address[4] = {127, 0, 0, last};
        (i % 2 ? PvList().DiagnoseOn(address) : PvList().DiagnoseOff(address));
        CPvList snapshot;
        PvList().CopyTo(&snapshot);
        if (!live_addresses_unique(snapshot)) duplicate_seen = true;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_FALSE(duplicate_seen);
  CKelListLock lock(PvList());
  EXPECT_TRUE(live_addresses_unique(PvList()));
  SyslogSetMask(kLogDebug);
}

}  // namespace
