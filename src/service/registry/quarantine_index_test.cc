// The quarantine server registry's index by address, protocol text and port text answers as
// the walk of the list does.
#include <gtest/gtest.h>

#include <string>

#include "common/address_util.h"
#include "common/text_util.h"
#include "service/registry/quarantine_csv.h"
#include "service/registry/quarantine_data.h"
#include "service/registry/registry_index_testutil.h"
#include "service/registry/registry_test_util.h"

namespace {

using registrytest::ExpectFindsLikeTheWalk;
using registrytest::Records;
using registrytest::RegistryModel;
using registrytest::RunRandomSteps;
using registrytest::TempWorkDir;

const char* const kSources[] = {"172.17.0.1", "172.17.0.2"};
// Texts compare as they are: "TCP" is not "tcp" (a load refuses it), "080" is not "80".
const char* const kProtocols[] = {"tcp", "udp", "TCP"};
const char* const kPorts[] = {"80", "080", "81"};

void Fill(CQuarantineData* server, const char* source, const char* protocol, const char* port) {
  server->sourceText = source;
  IsIpAddress(source, server->source.data());
  server->protocolText = protocol;
  server->portText = port;
  server->port = ParsePortNumber(port, 1, 65535);
}

CQuarantineData* NewServer(const char* source, const char* protocol, const char* port) {
  auto* server = new CQuarantineData;
  Fill(server, source, protocol, port);
  return server;
}

CQuarantineData Key(const char* source, const char* protocol, const char* port) {
  CQuarantineData key;
  Fill(&key, source, protocol, port);
  return key;
}

const std::vector<CKelMatch> kMatches = {QuarantineServerMatch, QuarantineDuplicateMatch,
                                         QuarantineActiveMatch, QuarantinePendingAddMatch,
                                         QuarantinePendingDeleteMatch};

void FillKeys(std::deque<CQuarantineData>* keys) {
  for (const char* source : kSources) {
    for (const char* protocol : kProtocols) {
      for (const char* port : kPorts) {
        keys->emplace_back();
        Fill(&keys->back(), source, protocol, port);
      }
    }
  }
}

class QuarantineIndexTest : public ::testing::Test {
 protected:
  TempWorkDir dir_;
  CQuarantineList list_;
};

TEST_F(QuarantineIndexTest, EveryTextIsComparedAsWritten) {
  ASSERT_EQ(list_.Add(NewServer("172.17.0.1", "tcp", "80")), 0);
  ASSERT_EQ(list_.Add(NewServer("172.17.0.1", "tcp", "080")), 0);  // the same port number
  ASSERT_EQ(list_.Add(NewServer("172.17.0.1", "TCP", "80")), 0);
  ASSERT_EQ(list_.Add(NewServer("172.17.0.2", "tcp", "80")), 0);
  std::unique_ptr<CQuarantineData> again(NewServer("172.17.0.1", "tcp", "80"));
  EXPECT_EQ(list_.Add(again.get()), -1);
  std::vector<CKelRecord*> records = Records(list_);
  EXPECT_EQ(list_.Find(&*again, QuarantineActiveMatch)->data, records[0]);
  CQuarantineData zero_port = Key("172.17.0.1", "tcp", "080");
  EXPECT_EQ(list_.Find(&zero_port, QuarantineActiveMatch)->data, records[1]);

  list_.MarkDeleted(Key("172.17.0.1", "tcp", "80"));
  std::vector<int32_t> marks;
  for (CKelRecord* r : records) marks.push_back(r->pendingDelete);
  EXPECT_EQ(marks, (std::vector<int32_t>{1, 0, 0, 0}));
  EXPECT_EQ(list_.Add(again.get()), 0);  // the marked one no longer counts
  CQuarantineData* readded = again.release();
  EXPECT_EQ(list_.FindPendingDelete(Key("172.17.0.1", "tcp", "80")), records[0]);
  EXPECT_EQ(list_.FindPendingAdd(Key("172.17.0.1", "tcp", "80")), nullptr);  // flags not set
  readded->pendingAdd = 1;
  EXPECT_EQ(list_.FindPendingAdd(Key("172.17.0.1", "tcp", "80")), readded);
}

TEST_F(QuarantineIndexTest, ReloadAndClearAnswerAsTheWalk) {
  std::deque<CQuarantineData> keys;
  FillKeys(&keys);
  registrytest::WriteFile(kQuarantineFileName,
                          "\"172.17.0.1\",\"tcp\",\"80\"\r\n\"172.17.0.1\",\"udp\",\"080\"\r\n"
                          "\"172.17.0.2\",\"tcp\",\"81\"\r\n");
  ASSERT_EQ(LoadQuarantineFile(list_), 0);
  ExpectFindsLikeTheWalk(list_, keys, kMatches, "after the load");
  ASSERT_EQ(LoadQuarantineFile(list_), 0);  // again: old ones marked, the same ones live again
  ASSERT_EQ(list_.GetCount(), 6);
  ExpectFindsLikeTheWalk(list_, keys, kMatches, "after the reload");
  CQuarantineData key = Key("172.17.0.1", "udp", "080");
  EXPECT_EQ(list_.Find(&key, QuarantineActiveMatch)->data, Records(list_)[4]);
  EXPECT_EQ(list_.FindPendingDelete(key), Records(list_)[1]);
  // A line with "TCP" stops the load there.
  registrytest::WriteFile(kQuarantineFileName,
                          "\"172.17.0.2\",\"udp\",\"81\"\r\n\"172.17.0.2\",\"TCP\",\"81\"\r\n");
  EXPECT_EQ(LoadQuarantineFile(list_), -1);
  ASSERT_EQ(list_.GetCount(), 7);
  ExpectFindsLikeTheWalk(list_, keys, kMatches, "after the failed load");
  list_.MarkAll(1);
  ExpectFindsLikeTheWalk(list_, keys, kMatches, "after clear");
  list_.RemoveAll();
  EXPECT_EQ(list_.FindPendingDelete(key), nullptr);
}

TEST_F(QuarantineIndexTest, RandomRunsAnswerAsTheWalk) {
  RegistryModel<CQuarantineList, CQuarantineData> model;
  FillKeys(&model.keys);
  model.matches = kMatches;
  model.duplicate = QuarantineDuplicateMatch;
  model.active = QuarantineActiveMatch;
  model.make = [](std::mt19937& rng) {
    return NewServer(kSources[rng() % 2], kProtocols[rng() % 3], kPorts[rng() % 3]);
  };
  model.reload = [](CQuarantineList& list) {
    SaveQuarantineFile(list);
    LoadQuarantineFile(list);
  };
  for (uint32_t seed : {1u, 2u, 3u}) {
    RunRandomSteps<CQuarantineList>(list_, model, 300, seed);
    if (HasFatalFailure()) return;
    list_.RemoveAll();
  }
}

}  // namespace
