// The match of access entries and PCs: EntryMayApply never refuses what a route would give
// lines for, and the pairing index gives exactly the entries EntryMayApply accepts, in order.
#include "service/acl/entry_match.h"

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>
#include <vector>

#include "common/address_util.h"
#include "service/acl/acl_client_process.h"
#include "service/acl/acl_request.h"

namespace {

// The walks pass over the PCs (and entries) for which EntryMayApply says no before the route
// loop, so it must never say no where some route gives kel lines. Small value sets make the
// random cases collide: equal and different addresses and MACs, addresses inside and outside a
// PC's network, routes with the PC's netmask and others, no route at all.
TEST(EntryMayApplyTest, NeverRefusesAPairThatSomeRouteGivesLinesFor) {
  const char* addresses[] = {"10.0.0.5", "10.0.0.6", "10.0.1.5", "192.168.0.1"};
  const char* macs[] = {"", "00:00:00:00:00:01", "00:00:00:00:00:02"};
  const char* networks[][2] = {
      {"10.0.0.0", "255.255.255.0"}, {"10.0.0.0", "255.255.0.0"}, {"192.168.0.0", "255.255.255.0"}};
  std::mt19937 rng(7);
  auto pick = [&rng](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  auto quad = [](const char* text) {
    std::array<uint8_t, 4> b{};
    IsIpAddress(text, b.data());
    return b;
  };
  CPvData router;
  router.addressText = "172.16.0.1";
  router.address = quad("172.16.0.1");
  int applied = 0;
  for (int round = 0; round < 4000; ++round) {
    CKelData e;
    e.target = 1;
    e.sourceText = addresses[pick(4)];
    IsIpAddress(e.sourceText.c_str(), e.source);
    e.macText = macs[pick(3)];
    if (!e.macText.empty()) ParseMacAddress(e.macText.c_str(), e.mac);
    CPcData p;
    p.macText = macs[pick(3)];
    if (!p.macText.empty()) ParseMacAddress(p.macText.c_str(), p.mac.data());
    int shape = pick(3);  // address, network, MAC only
    if (shape == 0) {
      p.sourceText = addresses[pick(4)];
      p.source = quad(p.sourceText.c_str());
    } else if (shape == 1) {
      auto& n = networks[pick(3)];
      p.networkText = n[0];
      p.network = quad(n[0]);
      p.netmaskText = n[1];
      p.netmask = quad(n[1]);
    } else if (p.macText.empty()) {
      p.macText = macs[1];
      ParseMacAddress(p.macText.c_str(), p.mac.data());
    }
    CPvrouteData route;
    auto& r = networks[pick(3)];
    route.devText = "eth0";
    route.networkText = r[0];
    route.network = quad(r[0]);
    route.netmaskText = r[1];
    route.netmask = quad(r[1]);
    const CPvrouteData* t = pick(4) == 0 ? nullptr : &route;

    int lines = 0;
    {
      AclLineCapture capture([&lines](const CPvData&, LineClass, const std::string&) { ++lines; });
      AclEnvironment env;
      env.eventSend = [] { return 1; };
      KelCommandAclQuarantineProcess(env, &e, &router, t, &p, LineOpcode::kAdd);
    }
    if (lines > 0) {
      ++applied;
      ASSERT_TRUE(EntryMayApply(e, p))
          << "entry " << e.sourceText << " [" << e.macText << "], pc " << p.sourceText << "/"
          << p.networkText << "/" << p.netmaskText << " [" << p.macText << "], route "
          << (t ? route.networkText + "/" + route.netmaskText : std::string("none"));
    }
  }
  EXPECT_GT(applied, 100);  // the cases did reach the lines
}

// Entries of a few addresses (some repeated, some with a MAC) against PCs known by address, by
// network and by MAC: the index by address must neither lose an entry nor reorder them.
TEST(EntryPairingTest, GivesTheEntriesEntryMayApplyAcceptsInTheirOrder) {
  const char* addresses[] = {"10.0.0.5", "10.0.0.6", "10.0.1.5", "192.168.0.1", "0.0.0.0"};
  const char* macs[] = {"", "00:00:00:00:00:01", "00:00:00:00:00:02"};
  std::mt19937 rng(11);
  auto pick = [&rng](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  for (int round = 0; round < 200; ++round) {
    std::vector<CKelData> owned(static_cast<size_t>(1 + pick(12)));
    std::vector<const CKelData*> entries;
    for (CKelData& e : owned) {
      e.sourceText = addresses[pick(5)];
      IsIpAddress(e.sourceText.c_str(), e.source);
      e.macText = macs[pick(3)];
      if (!e.macText.empty()) ParseMacAddress(e.macText.c_str(), e.mac);
      entries.push_back(&e);
    }
    EntryPairing pairing(entries);
    std::vector<CPcData> pcs(8);
    for (CPcData& p : pcs) {
      p.macText = macs[pick(3)];
      if (!p.macText.empty()) ParseMacAddress(p.macText.c_str(), p.mac.data());
      int shape = pick(3);  // address, network, MAC only
      if (shape == 0) {
        p.sourceText = addresses[pick(4)];
        IsIpAddress(p.sourceText.c_str(), p.source.data());
      } else if (shape == 1) {
        p.networkText = "10.0.0.0";
        IsIpAddress("10.0.0.0", p.network.data());
        p.netmaskText = pick(2) == 0 ? "255.255.255.0" : "255.255.0.0";
        IsIpAddress(p.netmaskText.c_str(), p.netmask.data());
      }
    }
    for (const CPcData& p : pcs) {
      std::vector<const CKelData*> expected;
      for (const CKelData* e : entries) {
        if (EntryMayApply(*e, p)) expected.push_back(e);
      }
      EXPECT_EQ(pairing.EntriesFor(p), expected) << round;
      EXPECT_EQ(&pairing.EntriesFor(p), &pairing.EntriesFor(p));  // kept, not found again
      EXPECT_EQ(pairing.MayPair(p), !expected.empty()) << round;
    }
  }
}

}  // namespace
