// The route lists' index by the network under its own netmask answers as the walk of the list.
#include <gtest/gtest.h>

#include <string>

#include "common/address_util.h"
#include "service/registry/pc_data.h"
#include "service/registry/pv_data.h"
#include "service/registry/pvroute_csv.h"
#include "service/registry/registry_index_testutil.h"
#include "service/registry/registry_test_util.h"

namespace {

using registrytest::ExpectFindsLikeTheWalk;
using registrytest::Records;
using registrytest::RegistryModel;
using registrytest::RunRandomSteps;
using registrytest::TempWorkDir;

const char* const kNetworks[] = {"10.0.0.0", "10.0.0.128", "10.0.1.0", "0.0.0.0"};
const char* const kNetmasks[] = {"255.255.255.0", "255.255.255.128", "255.255.0.0", "0.0.0.0"};
const char* const kDevs[] = {"", "eth0", "ETH0"};  // devices compare case sensitively

void Fill(CPvrouteData* route, const char* network, const char* netmask, const char* dev) {
  route->networkText = network;
  IsIpAddress(network, route->network.data());
  route->netmaskText = netmask;
  ParseNetmask(netmask, &route->netmask);
  route->devText = dev;
}

CPvrouteData* NewRoute(const char* network, const char* netmask, const char* dev = "") {
  auto* route = new CPvrouteData;
  Fill(route, network, netmask, dev);
  return route;
}

CPvrouteData Key(const char* network, const char* netmask, const char* dev = "") {
  CPvrouteData key;
  Fill(&key, network, netmask, dev);
  return key;
}

const std::vector<CKelMatch> kMatches = {PvrouteDuplicateMatch, PvrouteMatch, PvrouteActiveMatch,
                                         PvroutePendingAddMatch, PvroutePendingDeleteMatch};

void FillKeys(std::deque<CPvrouteData>* keys) {
  for (const char* network : kNetworks) {
    for (const char* netmask : kNetmasks) {
      for (const char* dev : kDevs) {
        keys->emplace_back();
        Fill(&keys->back(), network, netmask, dev);
      }
    }
  }
}

class PvrouteIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto* router = new CPvData;
    router->addressText = "172.16.0.1";
    IsIpAddress("172.16.0.1", router->address.data());
    ASSERT_EQ(routers_.Add(router), 0);
    router_ = router;
  }

  TempWorkDir dir_;
  CPvList routers_;
  CPvData* router_ = nullptr;
};

TEST_F(PvrouteIndexTest, NetworksCompareUnderTheirOwnMasksAndDevicesExactly) {
  CPvrouteList& routes = router_->routes;
  ASSERT_EQ(routes.Add(NewRoute("10.0.0.0", "255.255.255.0", "eth0")), 0);
  CKelRecord* narrow = routes.GetHead()->data;
  std::unique_ptr<CPvrouteData> wide(NewRoute("10.0.0.0", "255.255.0.0", "eth0"));
  EXPECT_EQ(routes.Add(wide.get()), -1);  // the masks differ, the networks under them do not
  std::unique_ptr<CPvrouteData> host_bits(NewRoute("10.0.0.77", "255.255.255.0", "eth0"));
  EXPECT_EQ(routes.Add(host_bits.get()), -1);
  ASSERT_EQ(routes.Add(NewRoute("10.0.0.0", "255.255.255.0", "ETH0")), 0);  // another device
  ASSERT_EQ(routes.Add(NewRoute("10.0.0.128", "255.255.255.128", "eth0")), 0);

  // A key without device finds the route on any device, first in list order.
  EXPECT_EQ(routes.FindActive(Key("10.0.0.5", "255.255.255.0")), narrow);
  EXPECT_EQ(routes.FindActive(Key("10.0.0.0", "255.255.255.0", "eth1")), nullptr);
  routes.MarkDeleted(Key("10.0.0.5", "255.255.255.0"));
  std::vector<int32_t> marks;
  for (CKelRecord* r : Records(routes)) marks.push_back(r->pendingDelete);
  EXPECT_EQ(marks, (std::vector<int32_t>{1, 1, 0}));  // both devices, not 10.0.0.128/25
  EXPECT_EQ(routes.FindPendingDelete(Key("10.0.0.0", "255.255.0.0", "ETH0")), Records(routes)[1]);
  // Marked routes no longer count as duplicates.
  EXPECT_EQ(routes.Add(wide.release()), 0);
  EXPECT_EQ(routes.FindActive(Key("10.0.0.0", "255.255.255.0")), Records(routes)[3]);
}

TEST_F(PvrouteIndexTest, TheLoadAppendsLiveDuplicatesAndEveryLookupFindsTheFirst) {
  auto* other = new CPvData;
  other->addressText = "172.16.0.2";
  IsIpAddress("172.16.0.2", other->address.data());
  ASSERT_EQ(routers_.Add(other), 0);
  // The load does not check for duplicates: the same route twice is loaded twice.
  registrytest::WriteFile("pvroute.csv",
                          "\"172.16.0.1\",\"eth0\",\"10.0.0.0\",\"255.255.255.0\"\r\n"
                          "\"172.16.0.1\",\"eth0\",\"10.0.0.0\",\"255.255.255.0\"\r\n"
                          "\"172.16.0.2\",,\"10.0.0.0\",\"255.255.0.0\"\r\n"
                          "\"172.16.9.9\",,\"10.0.1.0\",\"255.255.255.0\"\r\n");
  ASSERT_EQ(LoadPvrouteFile(routers_), PvrouteLoadResult::kLoaded);
  CPvrouteList& routes = router_->routes;
  ASSERT_EQ(routes.GetCount(), 2);
  ASSERT_EQ(other->routes.GetCount(), 1);
  std::deque<CPvrouteData> keys;
  FillKeys(&keys);
  ExpectFindsLikeTheWalk(routes, keys, kMatches, "after the load");
  ExpectFindsLikeTheWalk(other->routes, keys, kMatches, "after the load (other router)");
  EXPECT_EQ(routes.FindPendingAdd(Key("10.0.0.0", "255.255.255.0", "eth0")),
            routes.GetHead()->data);

  // The planning removes the first copy; the second one is found then.
  routes.RemoveData(routes.GetHead()->data);
  EXPECT_EQ(routes.FindPendingAdd(Key("10.0.0.0", "255.255.255.0", "eth0")),
            routes.GetHead()->data);

  // A reload marks the old routes and appends the file's again.
  ASSERT_EQ(SavePvrouteFile(routers_), 0);
  ASSERT_EQ(LoadPvrouteFile(routers_), PvrouteLoadResult::kLoaded);
  ASSERT_EQ(routes.GetCount(), 2);
  ExpectFindsLikeTheWalk(routes, keys, kMatches, "after the reload");
  EXPECT_EQ(routes.FindActive(Key("10.0.0.0", "255.255.255.0")), Records(routes)[1]);
  EXPECT_EQ(routes.FindPendingDelete(Key("10.0.0.0", "255.255.255.0")), Records(routes)[0]);

  // A snapshot of the routers copies the routes with their index answering as the walk.
  CPvList snapshot;
  ASSERT_EQ(routers_.CopyTo(&snapshot), 2);
  auto* copy = static_cast<CPvData*>(snapshot.GetHead()->data);
  ExpectFindsLikeTheWalk(copy->routes, keys, kMatches, "in the snapshot");

  routes.MarkAll(1);
  ExpectFindsLikeTheWalk(routes, keys, kMatches, "after clear");
  routes.RemoveAll();
  EXPECT_EQ(routes.FindPendingDelete(Key("10.0.0.0", "255.255.255.0")), nullptr);
}

TEST_F(PvrouteIndexTest, RandomRunsAnswerAsTheWalk) {
  RegistryModel<CPvrouteList, CPvrouteData> model;
  FillKeys(&model.keys);
  model.matches = kMatches;
  model.duplicate = PvrouteDuplicateMatch;
  model.active = PvrouteActiveMatch;
  model.make = [](std::mt19937& rng) {
    return NewRoute(kNetworks[rng() % 4], kNetmasks[rng() % 4], kDevs[rng() % 3]);
  };
  model.reload = [this](CPvrouteList&) {
    SavePvrouteFile(routers_);
    LoadPvrouteFile(routers_);
  };
  for (uint32_t seed : {1u, 2u, 3u}) {
    RunRandomSteps<CPvrouteList>(router_->routes, model, 300, seed);
    if (HasFatalFailure()) return;
    router_->routes.RemoveAll();
  }
}

}  // namespace
