// The PC registry's index (by MAC; entries without MAC by netmask and network and by the bare
// network; the rest by netmask and network) answers as the walk of the list does.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/address_util.h"
#include "service/registry/pc_commands.h"
#include "service/registry/pc_csv.h"
#include "service/registry/pc_data.h"
#include "service/registry/registry_index_testutil.h"
#include "service/registry/registry_test_util.h"

namespace {

using registrytest::CommandChannel;
using registrytest::ExpectFindsLikeTheWalk;
using registrytest::Records;
using registrytest::RegistryModel;
using registrytest::RunRandomSteps;
using registrytest::TempWorkDir;
using registrytest::WalkFind;

// The last two MACs are one MAC in two spellings.
const char* const kMacs[] = {"", "00:00:00:00:00:01", "0a:0b:0c:0d:0e:0f", "0A-0B-0C-0D-0E-0F"};
const char* const kSources[] = {"", "10.0.0.1"};
const char* const kNetworks[] = {"", "10.0.0.0", "10.0.0.5", "0.0.0.0"};
const char* const kNetmasks[] = {"", "255.255.255.0", "0.0.0.0"};

// A PC from the texts given (empty: absent), parsed as the command and the file do; no
// default netmask is filled in.
void Fill(CPcData* pc, const char* mac, const char* source, const char* network,
          const char* netmask) {
  pc->macText = mac;
  if (*mac) ParseMacAddress(mac, pc->mac.data());
  pc->sourceText = source;
  if (*source) IsIpAddress(source, pc->source.data());
  pc->networkText = network;
  if (*network) IsIpAddress(network, pc->network.data());
  pc->netmaskText = netmask;
  if (*netmask) ParseNetmask(netmask, &pc->netmask);
}

CPcData* NewPc(const char* mac, const char* source, const char* network, const char* netmask) {
  auto* pc = new CPcData;
  Fill(pc, mac, source, network, netmask);
  return pc;
}

CPcData Key(const char* mac, const char* source, const char* network, const char* netmask) {
  CPcData key;
  Fill(&key, mac, source, network, netmask);
  return key;
}

const std::vector<CKelMatch> kMatches = {PcDuplicateMatch, PcMatch, PcActiveMatch,
                                         PcPendingAddMatch, PcPendingDeleteMatch};

void FillKeys(std::deque<CPcData>* keys) {
  for (const char* mac : kMacs) {
    for (const char* source : kSources) {
      for (const char* network : kNetworks) {
        for (const char* netmask : kNetmasks) {
          keys->emplace_back();
          Fill(&keys->back(), mac, source, network, netmask);
        }
      }
    }
  }
}

// Counts the lookups the index answered, to tell them from those left to the walk.
class CountingPcList : public CPcList {
 public:
  int answered = 0;
  int walked = 0;

 protected:
  bool IndexCandidates(const CKelRecord& key, CKelMatch match, CIndexVisitor& visitor) override {
    bool narrowed = CPcList::IndexCandidates(key, match, visitor);
    (narrowed ? answered : walked)++;
    return narrowed;
  }
};

class PcIndexTest : public ::testing::Test {
 protected:
  void SetUp() override { PcList().RemoveAll(); }
  void TearDown() override { PcList().RemoveAll(); }

  TempWorkDir dir_;
  CountingPcList list_;
};

TEST_F(PcIndexTest, DuplicateRuleAcrossShapes) {
  ASSERT_EQ(list_.Add(NewPc("00:00:00:00:00:01", "", "", "")), 0);
  // A MAC with a source is another PC than the MAC alone; the MAC alone then is not.
  ASSERT_EQ(list_.Add(NewPc("00:00:00:00:00:01", "10.0.0.1", "", "")), 0);
  std::unique_ptr<CPcData> mac_again(NewPc("00-00-00-00-00-01", "", "", ""));
  EXPECT_EQ(list_.Add(mac_again.get()), -1);
  // Networks: the same network under another netmask is another entry.
  ASSERT_EQ(list_.Add(NewPc("", "", "10.0.0.0", "255.255.255.0")), 0);
  ASSERT_EQ(list_.Add(NewPc("", "", "10.0.0.0", "255.255.0.0")), 0);
  std::unique_ptr<CPcData> host_bits(NewPc("", "", "10.0.0.5", "255.255.255.0"));
  EXPECT_EQ(list_.Add(host_bits.get()), -1);
  // A MAC with a network collides with a network entry of that netmask.
  std::unique_ptr<CPcData> mac_network(NewPc("0a:0b:0c:0d:0e:0f", "", "10.0.0.9", "255.255.255.0"));
  EXPECT_EQ(list_.Add(mac_network.get()), -1);
  Fill(mac_network.get(), "0a:0b:0c:0d:0e:0f", "", "10.0.0.9", "255.255.255.252");
  EXPECT_EQ(list_.Add(mac_network.get()), 0);
  mac_network.release();
  // A network entry under netmask 0.0.0.0 collides with the entries without network, whose
  // netmask bytes are zero, MAC or not.
  std::unique_ptr<CPcData> everything(NewPc("", "", "10.1.2.3", "0.0.0.0"));
  EXPECT_EQ(WalkFind(list_, *everything, PcDuplicateMatch)->data, Records(list_)[0]);
  EXPECT_EQ(list_.Add(everything.get()), -1);
  // Once those are marked, it is accepted.
  CPcData mac = Key("00:00:00:00:00:01", "", "", "");
  list_.MarkDeleted(mac);
  EXPECT_EQ(list_.Add(everything.get()), 0);
  everything.release();
  EXPECT_GT(list_.answered, 0);
  EXPECT_EQ(list_.walked, 0);
}

TEST_F(PcIndexTest, DeleteRuleByMacByBareNetworkAndByNetmask) {
  ASSERT_EQ(list_.Add(NewPc("00:00:00:00:00:01", "", "", "")), 0);
  ASSERT_EQ(list_.Add(NewPc("00:00:00:00:00:01", "10.0.0.1", "", "")), 0);
  ASSERT_EQ(list_.Add(NewPc("00:00:00:00:00:01", "", "10.0.0.0", "255.255.255.128")), 0);
  ASSERT_EQ(list_.Add(NewPc("", "", "10.0.0.0", "255.255.255.0")), 0);
  ASSERT_EQ(list_.Add(NewPc("", "", "10.0.0.0", "255.255.0.0")), 0);
  ASSERT_EQ(list_.Add(NewPc("", "", "10.0.0.0", "255.0.0.0")), 0);
  auto marks = [this] {
    std::string flags;
    for (CKelRecord* r : Records(list_)) flags += r->pendingDelete ? '1' : '0';
    return flags;
  };
  // With a netmask: the entries without MAC equal under it.
  list_.MarkDeleted(Key("", "", "10.0.0.77", "255.255.0.0"));
  EXPECT_EQ(marks(), "000010");
  // Without netmask text: entries without MAC of exactly this network, any netmask.
  CPcData bare = Key("", "", "10.0.0.0", "");
  EXPECT_EQ(list_.FindPendingDelete(bare), Records(list_)[4]);
  list_.MarkDeleted(bare);
  EXPECT_EQ(marks(), "000111");
  // A MAC: every entry of it; with a source only the entries of that source.
  list_.MarkDeleted(Key("00:00:00:00:00:01", "10.0.0.1", "", ""));
  EXPECT_EQ(marks(), "010111");
  list_.MarkDeleted(Key("00-00-00-00-00-01", "", "", ""));
  EXPECT_EQ(marks(), "111111");
  EXPECT_EQ(list_.walked, 0);
  // A key with neither MAC nor network accepts every entry without MAC: left to the walk.
  CPcData nothing;
  EXPECT_EQ(list_.FindPendingDelete(nothing), Records(list_)[3]);
  EXPECT_EQ(list_.walked, 1);
}

TEST_F(PcIndexTest, CommandsLoadsAndClearsAnswerAsTheWalk) {
  CommandChannel channel;
  std::deque<CPcData> keys;
  FillKeys(&keys);
  const char* kDuplicate = "duplication of data\r\n";
  const std::pair<const char*, const char*> lines[] = {
      {"pc add source-mac 00:00:00:00:00:01", ""},
      {"pc add source-mac 00:00:00:00:00:01 source 10.0.0.1", ""},
      {"pc add network 10.0.0.0", ""},  // class default netmask 255.0.0.0
      {"pc add network 10.0.0.0 netmask 255.255.255.0", ""},
      {"pc add source-mac 0a:0b:0c:0d:0e:0f network 10.0.0.5 netmask 0.0.0.0", ""},
      {"pc add network 0.0.0.0", kDuplicate},  // netmask 0.0.0.0, as the MAC-only entry's
      {"pc save", ""},
      {"pc del network 10.0.0.0", ""},  // both netmasks
      {"pc add network 10.0.0.0", ""},
      {"pc load", ""},  // the five of the file again, the six before marked
      {"pc del source-mac 00:00:00:00:00:01", ""},
      {"pc add source-mac 00:00:00:00:00:01", ""},
      {"pc clear", ""},
      {"pc add network 0.0.0.0", ""},  // nothing live any more
      {"pc load", ""},
      {"pc save", ""},
      {"pc load", ""},
  };
  for (const auto& [line, reply] : lines) {
    channel.Run(PcCommand, line);
    EXPECT_EQ(channel.Reply(), reply) << line;
    ExpectFindsLikeTheWalk(PcList(), keys, kMatches, line);
    if (HasFatalFailure()) return;
  }
  EXPECT_EQ(PcList().GetCount(), 23);
  PcList().RemoveAll();
  ExpectFindsLikeTheWalk(PcList(), keys, kMatches, "after RemoveAll");
}

// Two adders of the same PCs, a deleter and a settler at once: each PC is taken once, and the
// index answers as the walk afterwards.
TEST_F(PcIndexTest, ConcurrentAddsDeletesAndSettlingKeepTheIndexWhole) {
  constexpr int kPcs = 300;
  auto mac = [](int i) {
    char text[18];
    std::snprintf(text, sizeof text, "02:00:00:00:%02X:%02X", i >> 8, i & 0xFF);
    return std::string(text);
  };
  int taken[2] = {0, 0};
  auto adder = [&](int index) {
    for (int i = 0; i < kPcs; ++i) {
      CPcData* pc = NewPc(mac(i).c_str(), "", "", "");
      pc->pendingAdd = 1;
      if (list_.Add(pc) == 0) {
        ++taken[index];
      } else {
        delete pc;
      }
    }
  };
  std::thread first(adder, 0);
  std::thread second(adder, 1);
  std::thread deleter([&] {
    for (int i = 0; i < kPcs; i += 3) list_.MarkDeleted(Key(mac(i).c_str(), "", "", ""));
  });
  std::thread settler([&] {
    for (int i = 0; i < kPcs; ++i) {
      CPcData key = Key(mac(i).c_str(), "", "", "");
      CKelListLock hold(list_);
      if (CPcData* found = list_.FindPendingDelete(key, 1)) list_.RemoveData(found, 1);
    }
  });
  first.join();
  second.join();
  deleter.join();
  settler.join();
  // Every PC once; a second time only when it was deleted before the second adder came to it
  // (every third one is deleted).
  EXPECT_GE(taken[0] + taken[1], kPcs);
  EXPECT_LE(taken[0] + taken[1], kPcs + (kPcs + 2) / 3);
  std::deque<CPcData> keys;
  for (int i = 0; i < kPcs; ++i) {
    keys.emplace_back();
    Fill(&keys.back(), mac(i).c_str(), "", "", "");
  }
  ExpectFindsLikeTheWalk(list_, keys, kMatches, "after the threads");
  // No MAC is live twice.
  for (const CPcData& key : keys) {
    int copies = 0;
    for (CKelRecord* r : Records(list_)) copies += PcActiveMatch(r, &key);
    EXPECT_LE(copies, 1);
  }
}

TEST_F(PcIndexTest, RandomRunsAnswerAsTheWalk) {
  RegistryModel<CountingPcList, CPcData> model;
  FillKeys(&model.keys);
  model.matches = kMatches;
  model.duplicate = PcDuplicateMatch;
  model.active = PcActiveMatch;
  // Any combination of the domain: Add refuses the wrong shapes, AddHead takes them all.
  model.make = [](std::mt19937& rng) {
    return NewPc(kMacs[rng() % 4], kSources[rng() % 2], kNetworks[rng() % 4], kNetmasks[rng() % 3]);
  };
  model.acceptable = [](const CPcData& pc) { return pc.HasValidShape(); };
  model.reload = [](CountingPcList& list) {
    SavePcFile(list);
    LoadPcFile(list);
  };
  for (uint32_t seed : {1u, 2u, 3u}) {
    RunRandomSteps<CPcList>(list_, model, 300, seed);
    if (HasFatalFailure()) return;
    list_.RemoveAll();
  }
  // Only the keys with neither MAC nor network under the PcMatch rules go to the walk.
  EXPECT_GT(list_.answered, 10 * list_.walked);
}

// The planning's two questions to the index, the marked entries and the entries at some source
// addresses (or without one), answered as the walk of the list, in its order, through random
// runs that add marked and unmarked entries, mark, settle, remove, mark all and reload.
TEST_F(PcIndexTest, MarkedAndBySourceAnswerAsTheWalk) {
  RegistryModel<CountingPcList, CPcData> model;
  FillKeys(&model.keys);
  model.matches = kMatches;
  model.duplicate = PcDuplicateMatch;
  model.active = PcActiveMatch;
  model.make = [](std::mt19937& rng) {
    CPcData* pc =
        NewPc(kMacs[rng() % 4], kSources[rng() % 2], kNetworks[rng() % 4], kNetmasks[rng() % 3]);
    pc->pendingAdd = static_cast<int32_t>(rng() % 2);
    return pc;
  };
  model.acceptable = [](const CPcData& pc) { return pc.HasValidShape(); };
  model.reload = [](CountingPcList& list) {
    SavePcFile(list);
    LoadPcFile(list);
  };
  std::array<uint8_t, 4> source{};
  IsIpAddress(kSources[1], source.data());
  for (uint32_t seed = 1; seed <= 20; ++seed) {
    RunRandomSteps<CPcList>(list_, model, 25, seed);
    if (HasFatalFailure()) return;
    CKelListLock hold(list_);
    std::vector<const CPcData*> marked, withoutSource, atSource;
    for (CKelRecord* r : Records(list_)) {
      const auto* pc = static_cast<const CPcData*>(r);
      if (pc->pendingAdd || pc->pendingDelete) marked.push_back(pc);
      if (!pc->HasSource()) withoutSource.push_back(pc);
      if (!pc->HasSource() || pc->source == source) atSource.push_back(pc);
    }
    EXPECT_EQ(list_.Marked(), marked) << "seed " << seed;
    EXPECT_EQ(list_.WithoutSourceOrAt({}), withoutSource) << "seed " << seed;
    EXPECT_EQ(list_.WithoutSourceOrAt({source, source}), atSource) << "seed " << seed;
    // A mark set by hand and noted, as the cluster's mirror marks a PC deleted elsewhere.
    for (CKelNode* n = list_.GetHead(1); n != nullptr; n = list_.GetNext(n, 1)) {
      if (n->data->pendingAdd || n->data->pendingDelete) continue;
      n->data->pendingDelete = 1;
      list_.NoteMarked(n);
      marked.clear();
      for (CKelRecord* r : Records(list_)) {
        if (r->pendingAdd || r->pendingDelete) marked.push_back(static_cast<const CPcData*>(r));
      }
      EXPECT_EQ(list_.Marked(), marked) << "seed " << seed << ", marked by hand";
      break;
    }
    if (seed % 5 == 0) list_.RemoveAll(1);
  }
}

// The PCs behind a router's routes, as the walk of the list with the reload's rule finds them:
// through the index by address (one run of addresses per route, overlapping routes, a route
// over everything, an address at either end of a range), and through the walk for a netmask
// that is not ones then zeros; while PCs are added, marked and removed.
TEST_F(PcIndexTest, BehindRoutesAnswersAsTheWalk) {
  const char* const sources[] = {"",         "0.0.0.0",    "9.255.255.255", "10.0.0.0",
                                 "10.0.0.1", "10.0.0.255", "10.0.1.0",      "255.255.255.255"};
  const char* const networks[] = {"10.0.0.0", "0.0.0.0", "255.255.255.255", "10.0.0.0"};
  const char* const netmasks[] = {"255.255.255.0", "0.0.0.0", "255.255.255.255", "255.0.255.0"};
  std::mt19937 rng(7);
  int added = 0;
  for (int round = 0; round < 40; ++round) {
    for (int k = 0; k < 8; ++k, ++added) {
      char mac[18];
      std::snprintf(mac, sizeof mac, "02:00:00:00:%02X:%02X", added >> 8, added & 0xFF);
      const char* source = sources[rng() % 8];
      CPcData* pc = *source != '\0' || rng() % 2
                        ? NewPc(mac, source, "", "")
                        : NewPc(rng() % 2 ? mac : "", "", "10.0.0.0", "255.255.255.0");
      if (list_.Add(pc) != 0) delete pc;
    }
    CKelListLock hold(list_);
    if (round % 3 == 1) list_.MarkDeleted(*static_cast<CPcData*>(list_.GetHead(1)->data), 1);
    if (round % 4 == 2) list_.RemoveData(list_.GetHead(1)->data, 1);
    std::vector<CPcList::Network> routes;
    for (int r = static_cast<int>(rng() % 4); r > 0; --r) {
      CPcList::Network route;
      IsIpAddress(networks[rng() % 4], route.first.data());
      IsIpAddress(netmasks[rng() % 4], route.second.data());
      routes.push_back(route);
    }
    std::vector<const CPcData*> behind;
    for (CKelRecord* r : Records(list_)) {
      const auto* pc = static_cast<const CPcData*>(r);
      bool in = !pc->HasSource() || pc->HasNetwork();
      for (const auto& [network, netmask] : routes) {
        bool same = true;
        for (int i = 0; i < 4; ++i) {
          same = same && (pc->source[i] & netmask[i]) == (network[i] & netmask[i]);
        }
        in = in || same;
      }
      if (in) behind.push_back(pc);
    }
    EXPECT_EQ(list_.BehindRoutes(routes), behind) << "round " << round;
  }
}

}  // namespace
