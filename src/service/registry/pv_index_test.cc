// The router registry's index by address answers as the walk of the list does.
#include <gtest/gtest.h>

#include <string>

#include "common/address_util.h"
#include "common/text_util.h"
#include "service/registry/pv_csv.h"
#include "service/registry/pv_data.h"
#include "service/registry/registry_index_testutil.h"
#include "service/registry/registry_test_util.h"

namespace {

using registrytest::ExpectFindsLikeTheWalk;
using registrytest::RegistryModel;
using registrytest::RunRandomSteps;
using registrytest::TempWorkDir;

const char* const kAddresses[] = {"10.0.0.1", "10.0.0.2", "10.0.1.1"};
// An empty port text in a key means any port; a record never has one from a command, but the
// walk and the index must agree on one all the same.
const char* const kPorts[] = {"", "880", "8080"};

void Fill(CPvData* router, const char* address, const char* port) {
  router->addressText = address;
  IsIpAddress(address, router->address.data());
  router->portText = port;
  router->port = *port ? ParsePortNumber(port, 1, 65535) : 880;
}

CPvData* NewRouter(const char* address, const char* port = "880") {
  auto* router = new CPvData;
  Fill(router, address, port);
  return router;
}

const std::vector<CKelMatch> kMatches = {PvDuplicateMatch, PvRouterMatch, PvActiveMatch,
                                         PvPendingAddMatch, PvPendingDeleteMatch};

void FillKeys(std::deque<CPvData>* keys) {
  for (const char* address : kAddresses) {
    for (const char* port : kPorts) {
      keys->emplace_back();
      Fill(&keys->back(), address, port);
    }
  }
}

class PvIndexTest : public ::testing::Test {
 protected:
  TempWorkDir dir_;
  CPvList list_;
};

TEST_F(PvIndexTest, TheAddressDecidesDuplicatesAndThePortNarrowsLookups) {
  ASSERT_EQ(list_.Add(NewRouter("10.0.0.1", "880")), 0);
  CPvData* first = static_cast<CPvData*>(list_.GetHead()->data);
  std::unique_ptr<CPvData> other_port(NewRouter("10.0.0.1", "8080"));
  EXPECT_EQ(list_.Add(other_port.get()), -1);  // same address, another port: a duplicate
  ASSERT_EQ(list_.Add(NewRouter("10.0.0.2", "8080")), 0);

  CPvData key;
  Fill(&key, "10.0.0.1", "8080");
  EXPECT_EQ(list_.FindActive(key), nullptr);  // the port of the key must match
  list_.MarkDeleted(key);
  EXPECT_EQ(first->pendingDelete, 0);
  Fill(&key, "10.0.0.1", "");
  EXPECT_EQ(list_.FindActive(key), first);  // no port in the key: any port
  list_.MarkDeleted(key);
  EXPECT_EQ(first->pendingDelete, 1);

  // The marked router no longer counts: the address can come back, and the lookups tell the
  // two apart although both are in the list under the same address.
  ASSERT_EQ(list_.Add(other_port.get()), 0);
  CPvData* second = other_port.release();
  EXPECT_EQ(list_.FindActive(key), second);
  EXPECT_EQ(list_.FindPendingDelete(key), first);
  EXPECT_EQ(list_.FindActiveByAddress(first->address.data()), second);
  EXPECT_EQ(list_.DiagnoseOn(first->address.data()), 1);
  EXPECT_EQ(second->alive, 1);
  EXPECT_EQ(first->alive, 0);

  list_.RemoveData(first);
  EXPECT_EQ(list_.FindPendingDelete(key), nullptr);
  EXPECT_EQ(list_.FindActive(key), second);

  // An insertion at the head drops the index; the next lookup builds it again, in list order.
  list_.AddHead(NewRouter("10.0.0.1", "9090"));
  EXPECT_FALSE(list_.IndexBuilt());
  EXPECT_EQ(list_.FindActive(key), list_.GetHead()->data);
  EXPECT_TRUE(list_.IndexBuilt());

  std::array<uint8_t, 4> address = second->address;
  list_.RemoveAll();
  EXPECT_EQ(list_.FindActiveByAddress(address.data()), nullptr);
}

TEST_F(PvIndexTest, ReloadKeepsTheOldRoutersMarkedAndFindsTheNewOnes) {
  for (const char* address : kAddresses) ASSERT_EQ(list_.Add(NewRouter(address)), 0);
  std::deque<CPvData> keys;
  FillKeys(&keys);
  ASSERT_EQ(PvSave(list_), 0);
  ASSERT_EQ(PvLoad(list_), 0);
  ASSERT_EQ(list_.GetCount(), 6);
  ExpectFindsLikeTheWalk(list_, keys, kMatches, "after the load");
  // Every address has a marked router first and a live one after it.
  for (const CPvData& key : keys) {
    if (key.portText == "8080") continue;
    CPvData* live = list_.FindActive(key);
    CPvData* marked = list_.FindPendingDelete(key);
    ASSERT_NE(live, nullptr);
    ASSERT_NE(marked, nullptr);
    EXPECT_EQ(live->pendingAdd, 1);
    EXPECT_EQ(marked->pendingDelete, 1);
  }
  // A file with a duplicate address stops the load at that line.
  registrytest::WriteFile("pv.csv", "\"10.0.0.9\",880,,\r\n\"10.0.0.9\",8080,,\r\n");
  EXPECT_EQ(PvLoad(list_), -1);
  ExpectFindsLikeTheWalk(list_, keys, kMatches, "after the failed load");
  CPvData nine;
  Fill(&nine, "10.0.0.9", "");
  ASSERT_NE(list_.FindActive(nine), nullptr);
  EXPECT_EQ(list_.FindActive(nine)->portText, "880");
  list_.MarkAll(1);
  ExpectFindsLikeTheWalk(list_, keys, kMatches, "after clear");
}

TEST_F(PvIndexTest, RandomRunsAnswerAsTheWalk) {
  RegistryModel<CPvList, CPvData> model;
  FillKeys(&model.keys);
  model.matches = kMatches;
  model.duplicate = PvDuplicateMatch;
  model.active = PvActiveMatch;
  model.make = [](std::mt19937& rng) {
    return NewRouter(kAddresses[rng() % 3], kPorts[rng() % 3]);
  };
  model.reload = [](CPvList& list) {
    PvSave(list);
    PvLoad(list);
  };
  for (uint32_t seed : {1u, 2u, 3u}) {
    RunRandomSteps<CPvList>(list_, model, 300, seed);
    if (HasFatalFailure()) return;
    list_.RemoveAll();
  }
}

}  // namespace
