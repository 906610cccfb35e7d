// The service's main job end to end: registry changes and access entries become access-list
// lines on the routers that are ON, in the order the walks make them; a router that comes up is
// reset and reloaded; requests waiting for a router that goes down are dropped.
//
// Routers are pvsim instances on loopback addresses of the test's own network; an address that
// is on lo answers ICMP (router up), a removed one does not (router down). What a router got is
// read from its pvsim journal.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "main_job_fixture.h"
#include "netns.h"

namespace {

using e2e::PvsimProcess;
using mainjob::Concat;
using mainjob::KelPair;
using mainjob::kResets;
using mainjob::kServer;
using mainjob::Lines;
using mainjob::MainJobTest;
using mainjob::PcPair;

// One router's route has the PC's netmask, the other's is wider and carries a device name.
TEST_F(MainJobTest, EntriesPcsServersAndRoutesGiveTheirLinesInWalkOrder) {
  PvsimProcess& narrow = Router("127.0.0.5");
  PvsimProcess& wide = Router("127.0.0.6");
  Register(narrow);
  Register(wide);
  Command("pvroute add 127.0.0.5 network 192.168.0.0 netmask 255.255.255.0");
  Command("pvroute add 127.0.0.6 network 192.168.0.0 netmask 255.255.0.0 dev eth1");
  Command("pc add source-mac 00:00:00:00:00:00 source 192.168.0.1");  // no server: no lines

  // A PC with MAC and address behind a route: two kel lines, added and then deleted. An entry
  // for another address matches nothing, neither when added nor when deleted.
  Command("kel add accept source 192.168.0.1 source-mac 00:00:00:00:00:00");
  Command("kel add drop source 192.168.0.2");
  Command("kel del drop source 192.168.0.2");
  Command("kel del accept source 192.168.0.1 source-mac 00:00:00:00:00:00");
  Lines entry = {"add access-list kel accept source 192.168.0.1 source-mac 00:00:00:00:00:00",
                 "add access-list kel accept destination 192.168.0.1",
                 "delete access-list kel accept source 192.168.0.1 source-mac 00:00:00:00:00:00",
                 "delete access-list kel accept destination 192.168.0.1"};
  EXPECT_EQ(Await(narrow, 6), Concat({kResets, entry}));
  Lines entryOnEth1 =
      Concat({KelPair("add", "accept", "192.168.0.1", "00:00:00:00:00:00", "eth1"),
              KelPair("delete", "accept", "192.168.0.1", "00:00:00:00:00:00", "eth1")});
  EXPECT_EQ(Await(wide, 6), Concat({kResets, entryOnEth1}));
  ExpectLogged("I started processing to add ACL for 192.168.0.1 (00:00:00:00:00:00) to PV of " +
               std::string("127.0.0.5."));
  ExpectLogged("I started processing to delete ACL for 192.168.0.1 (00:00:00:00:00:00) to PV of " +
               std::string("127.0.0.6."));
  EXPECT_EQ(syslog_.Count("ACL for 192.168.0.2"), 0);

  // A network PC: the entry's lines reach only the router whose route has the PC's netmask.
  Command("pc add network 192.168.0.0 netmask 255.255.255.0");
  Command("kel add accept source 192.168.0.77");
  Lines inNetwork = KelPair("add", "accept", "192.168.0.77");
  EXPECT_EQ(Await(narrow, 8), Concat({kResets, entry, inNetwork}));
  ExpectLogged("I started processing to add ACL for 192.168.0.77  to PV of 127.0.0.5.");

  // The server: per PC its pc lines, then the kel lines of the entries for that PC. The wider
  // route still gets the network PC's pc lines, but no kel lines.
  Command(kServer);
  Lines served = Concat({PcPair("add", "192.168.0.1", "00:00:00:00:00:00"),
                         PcPair("add", "192.168.0.0/24"), inNetwork});
  EXPECT_EQ(Await(narrow, 14), Concat({kResets, entry, inNetwork, served}));
  Lines servedOnEth1 = Concat({PcPair("add", "192.168.0.1", "00:00:00:00:00:00", "eth1"),
                               PcPair("add", "192.168.0.0/24", "", "eth1")});
  EXPECT_EQ(Await(wide, 10), Concat({kResets, entryOnEth1, servedOnEth1}));

  // The route deleted while its router is ON: the same lines with delete, then the route is
  // gone: the entry added last reaches only the other router.
  Command("pvroute del 127.0.0.5 network 192.168.0.0 netmask 255.255.255.0");
  Lines unserved =
      Concat({PcPair("delete", "192.168.0.1", "00:00:00:00:00:00"),
              PcPair("delete", "192.168.0.0/24"), KelPair("delete", "accept", "192.168.0.77")});
  EXPECT_EQ(Await(narrow, 20), Concat({kResets, entry, inNetwork, served, unserved}));
  Command("kel add accept source 192.168.0.1 source-mac 00:00:00:00:00:00");
  Lines again = KelPair("add", "accept", "192.168.0.1", "00:00:00:00:00:00", "eth1");
  EXPECT_EQ(Await(wide, 12), Concat({kResets, entryOnEth1, servedOnEth1, again}));
  ExpectJournal(narrow, Concat({kResets, entry, inNetwork, served, unserved}));
  ExpectJournal(wide, Concat({kResets, entryOnEth1, servedOnEth1, again}));
}

// A router without routes: pc lines only for PCs known by MAC alone, and none from adding a
// server (that walk follows routes); with two servers a PC's kel lines come once per server.
TEST_F(MainJobTest, MacOnlyPcsOnARouterWithoutRoutes) {
  PvsimProcess& router = Router("127.0.0.5");
  Register(router);
  Command("pc add source-mac 00:00:00:00:00:0A");
  Settle();
  Command(kServer);
  Command("pc add source-mac 00:00:00:00:00:0C");
  Lines macOnlyC = {
      "add access-list pc accept protocol tcp destination 172.17.254.254 dport 4208 source-mac "
      "00:00:00:00:00:0C",
      "add access-list pc accept protocol tcp source 172.17.254.254 sport 4208"};
  EXPECT_EQ(Await(router, 4), Concat({kResets, macOnlyC}));

  Command("kel add accept source 10.0.0.10 source-mac 00:00:00:00:00:0A");
  Lines entryA = KelPair("add", "accept", "10.0.0.10", "00:00:00:00:00:0A");
  EXPECT_EQ(Await(router, 6), Concat({kResets, macOnlyC, entryA}));
  ExpectLogged("I started processing to add ACL for 10.0.0.10 (00:00:00:00:00:0A) to PV of " +
               std::string("127.0.0.5."));

  // Nothing from: a second server, an entry without its PC, a PC with an address (it needs a
  // route) and that PC's entry.
  Command("quarantine add source 172.17.254.253 protocol udp sport 4209");
  Command("kel add accept source 10.0.0.11 source-mac 00:00:00:00:00:0B");
  Command("pc add source-mac 00:00:00:00:00:0D source 10.0.0.13");
  Command("kel add drop source 10.0.0.13 source-mac 00:00:00:00:00:0D");
  Settle();
  Command("pc add source-mac 00:00:00:00:00:0B");
  Lines entryB = KelPair("add", "accept", "10.0.0.11", "00:00:00:00:00:0B");
  Lines pcB = Concat(
      {{"add access-list pc accept protocol tcp destination 172.17.254.254 dport 4208 source-mac "
        "00:00:00:00:00:0B",
        "add access-list pc accept protocol tcp source 172.17.254.254 sport 4208"},
       entryB,
       {"add access-list pc accept protocol udp destination 172.17.254.253 dport 4209 source-mac "
        "00:00:00:00:00:0B",
        "add access-list pc accept protocol udp source 172.17.254.253 sport 4209"},
       entryB});
  EXPECT_EQ(Await(router, 14), Concat({kResets, macOnlyC, entryA, pcB}));
  ExpectJournal(router, Concat({kResets, macOnlyC, entryA, pcB}));
}

// Everything registered while the router is down reaches it when it comes up: the client reset,
// the quarantine reset, then its pc and kel lines with add. The marks of what was carried out
// meanwhile stay cleared: later runs do not send it again.
TEST_F(MainJobTest, RouterThatComesUpAfterRegistrationIsResetThenLoaded) {
  PvsimProcess& router = Router("127.0.0.8", false);
  Command("pv add 127.0.0.8");
  Command("pvroute add 127.0.0.8 network 192.168.0.0 netmask 255.255.255.0");
  Command(kServer);
  Command("pc add source-mac 00:00:00:00:00:01 source 192.168.0.1");
  Command("pc add source-mac 00:00:00:00:00:0A");
  Command("kel add accept source 192.168.0.1 source-mac 00:00:00:00:00:01");
  Command("kel add drop source 10.0.0.10 source-mac 00:00:00:00:00:0A");
  Pause(500);
  EXPECT_EQ(syslog_.Count("to PV of 127.0.0.8."), 0);  // OFF: nothing was made for it

  ASSERT_TRUE(testsupport::AddLoopbackAddress("127.0.0.8"));
  ExpectLogged("PV(127.0.0.8) was diagnosed as ON by a keep alive function.", 12000);
  ExpectLogged("KeepAlive start event addition of PV(127.0.0.8).");
  Lines loaded =
      Concat({kResets,
              PcPair("add", "192.168.0.1", "00:00:00:00:00:01"),
              KelPair("add", "accept", "192.168.0.1", "00:00:00:00:00:01"),
              {"add access-list pc accept protocol tcp destination 172.17.254.254 "
               "dport 4208 source-mac 00:00:00:00:00:0A",
               "add access-list pc accept protocol tcp source 172.17.254.254 sport 4208"},
              KelPair("add", "drop", "10.0.0.10", "00:00:00:00:00:0A")});
  EXPECT_EQ(Await(router, loaded.size()), loaded);

  // A router run and an entry run that must not resend the router or the entries, then a PC
  // whose two lines show that nothing else came before them.
  Command("pv add 127.0.0.9");
  Command("kel add accept source 192.168.0.9");
  Command("pc add source-mac 00:00:00:00:00:0B");
  Lines pcB = {
      "add access-list pc accept protocol tcp destination 172.17.254.254 dport 4208 source-mac "
      "00:00:00:00:00:0B",
      "add access-list pc accept protocol tcp source 172.17.254.254 sport 4208"};
  EXPECT_EQ(Await(router, loaded.size() + 2), Concat({loaded, pcB}));
  ExpectJournal(router, Concat({loaded, pcB}));
}

// A router goes down while requests for it wait in the request store: they are dropped with a
// debug line each when it goes OFF. Back up, it is reset and reloaded with what changed while it
// was down, and its route deleted while it was OFF is carried out at the next route run.
//
// Requests stay in the store only while every sender is bound to another router, so five slow
// routers (each answer delayed 2 s, twenty requests each: about 40 s) hold the five senders of
// the default [HTTP] SENDERS from their first probe until after the router under test has gone
// OFF.
TEST_F(MainJobTest, RouterDownDropsWaitingRequestsAndIsReloadedWhenBack) {
  const std::vector<std::string> slow = {"127.0.0.11", "127.0.0.12", "127.0.0.13", "127.0.0.14",
                                         "127.0.0.15"};
  std::vector<PvsimProcess*> slowRouters;
  for (const std::string& a : slow) {
    slowRouters.push_back(&Router(a, false, {"--delay", "2000", "--times", "20"}));
  }
  PvsimProcess& router = Router("127.0.0.7");
  Command(kServer);
  for (int k = 1; k <= 9; ++k) {
    std::string n = std::to_string(k);
    Command("pc add source-mac 00:00:00:00:99:0" + n + " source 10.99.0." + n);
  }
  Command("pc add source-mac 00:00:00:00:07:01 source 10.7.0.1");
  Command("pc add source-mac 00:00:00:00:07:02 source 10.7.0.2");
  Command("pc add source-mac 00:00:00:00:08:01 source 10.8.0.1");
  Command("kel add accept source 10.7.0.1 source-mac 00:00:00:00:07:01");
  for (const std::string& a : slow) {
    Command("pv add " + a);
    Command("pvroute add " + a + " network 10.99.0.0 netmask 255.255.0.0");
  }
  Pause(600);  // their first probes fail; they come up at the next ones, 10 s later
  for (const std::string& a : slow) ASSERT_TRUE(testsupport::AddLoopbackAddress(a));

  Register(router);
  Command("pvroute add 127.0.0.7 network 10.7.0.0 netmask 255.255.0.0");
  Command("pvroute add 127.0.0.7 network 10.8.0.0 netmask 255.255.0.0");
  Lines pc1 = Concat({PcPair("add", "10.7.0.1", "00:00:00:00:07:01"),
                      KelPair("add", "accept", "10.7.0.1", "00:00:00:00:07:01")});
  Lines pc2 = Concat({PcPair("add", "10.7.0.2", "00:00:00:00:07:02")});
  Lines pc3 = PcPair("add", "10.8.0.1", "00:00:00:00:08:01");
  Lines before = Concat({kResets, pc1, pc2, pc3});
  ASSERT_EQ(Await(router, before.size()), before);
  Pause(300);  // its sender goes free
  ASSERT_TRUE(testsupport::RemoveLoopbackAddress("127.0.0.7"));

  for (const std::string& a : slow) {
    ExpectLogged("I added HTTP data to new queue of " + a + ".", 15000);
  }
  Command("kel add accept source 10.7.0.2 source-mac 00:00:00:00:07:02");  // waits in the store
  ExpectLogged("PV(127.0.0.7) was diagnosed as OFF by a keep alive function.", 45000);
  ExpectLogged("KeepAlive stop event addition of PV(127.0.0.7).");
  ExpectLogged("I erased an HTTP data to PV(127.0.0.7:880).");
  Pause(200);
  EXPECT_EQ(syslog_.Count("I erased an HTTP data to PV(127.0.0.7:880)."), 2);
  ASSERT_EQ(syslog_.Count("ACL setting was completed in PV(127.0.0.11:880)."), 0)
      << "the slow routers released their senders too early for this test";

  // While it is OFF: nothing is made for it.
  Command("pvroute del 127.0.0.7 network 10.8.0.0 netmask 255.255.0.0");
  Command("pc add source-mac 00:00:00:00:07:04 source 10.7.0.4");
  Command("kel add accept source 10.7.0.4 source-mac 00:00:00:00:07:04");
  Pause(300);
  // Only the two entries carried out while it was ON: the first delivered, the second dropped.
  EXPECT_EQ(syslog_.Count("to PV of 127.0.0.7."), 2);
  ASSERT_TRUE(testsupport::AddLoopbackAddress("127.0.0.7"));

  // Reset and reloaded once the slow routers let a sender go: the deleted route left out, the
  // dropped entry now included.
  Lines reloaded =
      Concat({kResets, pc1, pc2, KelPair("add", "accept", "10.7.0.2", "00:00:00:00:07:02"),
              PcPair("add", "10.7.0.4", "00:00:00:00:07:04"),
              KelPair("add", "accept", "10.7.0.4", "00:00:00:00:07:04")});
  EXPECT_EQ(Await(router, before.size() + reloaded.size(), 25000), Concat({before, reloaded}));
  EXPECT_EQ(syslog_.Count("KeepAlive start event addition of PV(127.0.0.7)."), 2);

  // The next route run finds the router ON and carries the deletion out.
  Command("pvroute add 127.0.0.7 network 10.9.0.0 netmask 255.255.0.0");
  Lines routeGone = PcPair("delete", "10.8.0.1", "00:00:00:00:08:01");
  EXPECT_EQ(Await(router, before.size() + reloaded.size() + 2),
            Concat({before, reloaded, routeGone}));
  ExpectJournal(router, Concat({before, reloaded, routeGone}));

  // Each slow router, up after registration, got its resets and then its lines. Its route,
  // added while it was OFF, kept its mark: the first route run that found the router ON (the
  // deletion above) sent the route's lines once more.
  Lines routeLines;
  for (int k = 1; k <= 9; ++k) {
    std::string n = std::to_string(k);
    Lines pair = PcPair("add", "10.99.0." + n, "00:00:00:00:99:0" + n);
    routeLines.insert(routeLines.end(), pair.begin(), pair.end());
  }
  Lines slowLoad = Concat({kResets, routeLines, routeLines});
  EXPECT_EQ(Await(*slowRouters[0], slowLoad.size()), slowLoad);
  ExpectJournal(*slowRouters[4], slowLoad);
}

}  // namespace
