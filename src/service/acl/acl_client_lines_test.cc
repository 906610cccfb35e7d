// The pc lines and the kel lines that follow them, as the PC, route, router and quarantine
// server families make them; the stop flag and failed wake-ups.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/address_util.h"
#include "service/acl/acl_client_process.h"
#include "service/acl/acl_request.h"
#include "service/acl/planning_testutil.h"

namespace plantest {
namespace {

const std::string kMac = "00:0A:95:9D:68:16";
const std::string kPc = "172.16.0.1 c add access-list pc accept ";
const std::string kKel = "172.16.0.1 q add access-list kel accept ";

int PcPendingAdd(int index) {
  CKelNode* n = PcList().GetHead();
  while (n != nullptr && index-- > 0) n = PcList().GetNext(n);
  return n ? n->data->pendingAdd : -1;
}

using PcLines = PlanningTest;

TEST_F(PcLines, MacOnlyPcBehindRouterWithoutRoutesThenServerAddedGivesNothing) {
  AddRouter("172.16.0.1");
  AddServer("172.17.254.254", "tcp", "4208");
  AddEntry(1, "10.0.0.5", kMac.c_str(), 0);
  AddPc(kMac.c_str(), "", "", "", 1);

  Run(4);
  EXPECT_EQ(StoredRequests(),
            Lines({kPc + "protocol tcp destination 172.17.254.254 dport 4208 source-mac " + kMac,
                   kPc + "protocol tcp source 172.17.254.254 sport 4208",
                   kKel + "source 10.0.0.5 source-mac " + kMac, kKel + "destination 10.0.0.5"}));
  EXPECT_EQ(PcPendingAdd(0), 0);

  HttpDataStore().RemoveAll();
  CQuarantineData* q = AddServer("172.17.254.253", "udp", "53", 1);
  Run(5);  // the server family walks routes only
  EXPECT_TRUE(StoredRequests().empty());
  EXPECT_EQ(q->pendingAdd, 0);
}

TEST_F(PcLines, NetworkPcTakesPcLinesUnderTheRouteNetmaskAndKelLinesOnlyUnderItsOwn) {
  AddRoute(AddRouter("172.16.0.1"), "192.168.0.0", "255.255.255.0", "eth1");
  CPvData* b = AddRouter("172.16.0.2");
  AddRoute(b, "192.168.0.0", "255.255.0.0", "eth0");  // wider
  AddRoute(b, "10.0.0.0", "255.0.0.0", "eth9");
  AddRoute(b, "0.0.0.0", "0.0.0.0", "eth7");  // no network: no pc lines
  AddServer("172.17.254.254", "tcp", "4208");
  AddEntry(1, "192.168.0.77", "", 0);
  AddEntry(1, "10.0.0.77", "", 0);
  AddPc("", "", "192.168.0.0", "255.255.255.0", 1);
  AddPc("00:00:00:00:00:07", "", "10.0.0.0", "255.0.255.0", 1);  // not a contiguous mask

  Run(4);
  std::string b_pc = "172.16.0.2 c add access-list pc accept ";
  std::string q = "172.17.254.254";
  EXPECT_EQ(
      StoredRequests(),
      Lines({kPc + "in eth1 protocol tcp source 192.168.0.0/24 destination " + q + " dport 4208",
             kPc + "out eth1 protocol tcp source " + q + " destination 192.168.0.0/24 sport 4208",
             kKel + "in eth1 source 192.168.0.77", kKel + "out eth1 destination 192.168.0.77",
             b_pc + "in eth0 protocol tcp source 192.168.0.0/24 destination " + q + " dport 4208",
             b_pc + "out eth0 protocol tcp source " + q + " destination 192.168.0.0/24 sport 4208",
             b_pc + "in eth9 protocol tcp source 10.0.0.0/-1 destination " + q +
                 " dport 4208 source-mac 00:00:00:00:00:07",
             b_pc + "out eth9 protocol tcp source " + q + " destination 10.0.0.0/-1 sport 4208"}));
  EXPECT_EQ(LogLines(),
            Lines({"6 I started processing to add ACL for 192.168.0.77  to PV of 172.16.0.1."}));
}

TEST_F(PcLines, KelLinesFollowEachServerAndDeletionMirrorsTheAddition) {
  AddRoute(AddRouter("172.16.0.1"), "192.168.0.0", "255.255.255.0");
  AddServer("172.17.254.254", "tcp", "4208");
  AddServer("", "tcp", "80");  // no address: left out of the walk
  AddServer("172.17.254.253", "udp", "53");
  AddEntry(1, "192.168.0.1", "", 0);
  CPcData* p = AddPc(kMac.c_str(), "192.168.0.1", "", "", 1);

  for (std::string op : {"add", "delete"}) {
    HttpDataStore().RemoveAll();
    Run(4);
    std::string pc = "172.16.0.1 c " + op + " access-list pc accept protocol ";
    std::string kel = "172.16.0.1 q " + op + " access-list kel accept ";
    std::string m = " source-mac " + kMac;
    EXPECT_EQ(StoredRequests(),
              Lines({pc + "tcp source 192.168.0.1 destination 172.17.254.254 dport 4208" + m,
                     pc + "tcp source 172.17.254.254 destination 192.168.0.1 sport 4208",
                     kel + "source 192.168.0.1" + m, kel + "destination 192.168.0.1",
                     pc + "udp source 192.168.0.1 destination 172.17.254.253 dport 53" + m,
                     pc + "udp source 172.17.254.253 destination 192.168.0.1 sport 53",
                     kel + "source 192.168.0.1" + m, kel + "destination 192.168.0.1"}));
    if (op == "add") p->pendingDelete = 1;  // removed by the second run
  }
  EXPECT_EQ(PcList().GetCount(), 0);
}

using RegistryChanges = PlanningTest;

TEST_F(RegistryChanges, RouteDeletedWhileOnGoesAtOnceAndWhileOffWaitsForTheRouter) {
  CPvData* on = AddRouter("172.16.0.1");
  CPvrouteData* added = AddRoute(on, "10.0.0.0", "255.0.0.0", "eth2", 1);
  AddRoute(on, "192.168.0.0", "255.255.255.0", "eth1")->pendingDelete = 1;
  CPvData* off = AddRouter("172.16.0.2", false);
  AddRoute(off, "192.168.0.0", "255.255.255.0")->pendingDelete = 1;
  AddServer("172.17.254.254", "tcp", "4208");
  AddPc(kMac.c_str(), "192.168.0.1");

  Run(3);
  std::string del = " c delete access-list pc accept ";
  std::string tail =
      "protocol tcp source 192.168.0.1 destination 172.17.254.254 dport 4208 "
      "source-mac " +
      kMac;
  std::string back = "protocol tcp source 172.17.254.254 destination 192.168.0.1 sport 4208";
  EXPECT_EQ(StoredRequests(), Lines({"172.16.0.1" + del + "in eth1 " + tail,
                                     "172.16.0.1" + del + "out eth1 " + back}));
  EXPECT_EQ(on->routes.GetCount(), 1);
  EXPECT_EQ(added->pendingAdd, 0);
  EXPECT_EQ(off->routes.GetCount(), 1);

  HttpDataStore().RemoveAll();
  off->alive = 1;
  Run(3);
  EXPECT_EQ(StoredRequests(), Lines({"172.16.0.2" + del + tail, "172.16.0.2" + del + back}));
  EXPECT_EQ(off->routes.GetCount(), 0);
}

TEST_F(RegistryChanges, RouterFamilyServesOnlyRoutersThatAreOn) {
  AddRouter("172.16.0.1", true, 1);
  CPvData* off = AddRouter("172.16.0.2", false, 1);
  AddRouter("172.16.0.3")->pendingDelete = 1;
  CPvData* offLeaving = AddRouter("172.16.0.4", false);
  offLeaving->pendingDelete = 1;
  AddServer("172.17.254.254", "tcp", "4208");
  AddPc(kMac.c_str(), "");
  AddPc("00:00:00:00:00:05", "192.168.0.5");  // with an address: nothing without routes

  Run(2);
  std::string del = "172.16.0.3 c delete access-list pc accept ";
  EXPECT_EQ(StoredRequests(),
            Lines({kPc + "protocol tcp destination 172.17.254.254 dport 4208 source-mac " + kMac,
                   kPc + "protocol tcp source 172.17.254.254 sport 4208",
                   del + "protocol tcp destination 172.17.254.254 dport 4208 source-mac " + kMac,
                   del + "protocol tcp source 172.17.254.254 sport 4208"}));
  EXPECT_EQ(PvList().GetCount(), 3);
  EXPECT_EQ(PvList().GetHead()->data->pendingAdd, 0);
  EXPECT_EQ(off->pendingAdd, 1);
  EXPECT_EQ(offLeaving->pendingDelete, 1);
}

TEST_F(RegistryChanges, ServerAddedAndDeletedBeforeProcessingGoesOutBothWaysInOneRun) {
  AddRoute(AddRouter("172.16.0.1"), "192.168.0.0", "255.255.255.0", "eth1");
  AddRouter("172.16.0.2");  // no routes: nothing from the server family
  AddPc(kMac.c_str(), "192.168.0.1");
  AddServer("172.17.254.254", "tcp", "4208", 1)->pendingDelete = 1;

  Run(5);
  Lines got = StoredRequests();
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0].rfind(kPc + "in eth1 protocol tcp source 192.168.0.1", 0), 0u) << got[0];
  EXPECT_EQ(got[1].rfind(kPc + "out eth1", 0), 0u) << got[1];
  EXPECT_EQ(got[2].rfind("172.16.0.1 c delete access-list pc accept in eth1", 0), 0u) << got[2];
  EXPECT_EQ(got[3].rfind("172.16.0.1 c delete access-list pc accept out eth1", 0), 0u) << got[3];
  EXPECT_EQ(QuarantineList().GetCount(), 0);
}

using Interruptions = PlanningTest;

TEST_F(Interruptions, StopRequestEndsTheWalkBeforeTheNextElementAndKeepsTheMarks) {
  AddRouter("172.16.0.1");
  AddServer("172.17.254.254", "tcp", "4208");
  AddEntry(1, "10.0.0.5", "00:00:00:00:00:01", 0);
  for (const char* mac : {"00:00:00:00:00:01", "00:00:00:00:00:02", "00:00:00:00:00:03"}) {
    AddPc(mac, "", "", "", 1);
  }
  env_.eventSend = [this] { return stop_ = 1; };  // the service stops during the first PC

  Run(4);
  Lines got = StoredRequests();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_NE(got[0].find("source-mac 00:00:00:00:00:01"), std::string::npos);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(PcPendingAdd(i), 1) << i;
}

TEST_F(Interruptions, FailedWakeUpSkipsTheKelLinesOfThatCallOnly) {
  AddRouter("172.16.0.1");
  AddServer("172.17.254.254", "tcp", "4208");
  AddEntry(1, "10.0.0.5", kMac.c_str(), 1);
  AddPc(kMac.c_str(), "", "", "", 1);
  env_.eventSend = nullptr;  // and no HTTP client: it failed to start

  Run(4);
  EXPECT_EQ(StoredRequests().size(), 2u);
  EXPECT_EQ(LogLines(), Lines({"3 KelCommandAclClientProcess: An error occurred in EventSend."}));
  EXPECT_EQ(PcPendingAdd(0), 0);

  Run(1);  // the kel lines still go out, and stay in the store for the client's next poll
  EXPECT_EQ(StoredRequests().size(), 4u);
  EXPECT_EQ(
      LogLines(),
      Lines({"6 I started processing to add ACL for 10.0.0.5 (" + kMac + ") to PV of 172.16.0.1.",
             "3 KelCommandAclQuarantineProcess: An error occurred in EventSend."}));

  AddPc("00:00:00:00:00:09", "", "", "", 1);
  Run(6);  // service settings and unknown families change nothing
  Run(7);
  EXPECT_EQ(StoredRequests().size(), 4u);
  EXPECT_EQ(PcPendingAdd(1), 1);
}

// The walks pass over a PC that PcOutsideRoute names for a route: the line maker must give
// nothing for it there, with any server and any entry, whatever kinds of PC and route meet.
TEST_F(PcLines, APcPassedOverOutsideARouteWouldHaveHadNoLineThere) {
  CPvData* r = AddRouter("172.16.0.1");
  AddRoute(r, "192.168.0.0", "255.255.255.0", "eth1");
  AddRoute(r, "192.168.0.0", "255.255.0.0", "eth2");  // wider
  AddRoute(r, "10.0.0.0", "255.0.0.0", "eth3");
  AddRoute(r, "0.0.0.0", "0.0.0.0", "eth4");  // no network
  AddServer("172.17.254.254", "tcp", "4208");
  AddServer("172.17.254.253", "udp", "53");
  const char* sources[] = {"192.168.0.5", "192.168.7.5", "10.1.2.3", "172.20.0.1"};
  int n = 0;
  for (const char* s : sources) {
    std::string mac = "02:00:00:00:00:0" + std::to_string(++n);
    std::string other = "02:00:00:00:01:0" + std::to_string(n);
    std::string next = std::string(s, std::strlen(s) - 1) + "9";  // a neighbour
    AddPc(mac.c_str(), s);
    AddPc(other.c_str(), next.c_str());
    AddEntry(1, s, "", 0);
    AddEntry(2, next.c_str(), other.c_str(), 0);
  }
  AddPc("", "", "192.168.0.0", "255.255.255.0");
  AddPc(kMac.c_str(), "", "10.0.0.0", "255.0.0.0");
  AddPc("00:00:00:00:00:09", "");
  AddEntry(1, "10.9.9.9", "00:00:00:00:00:09", 0);

  PlanningContext ctx(env_);
  int passedOver = 0, withLines = 0;
  WalkRoutes(ctx, *r, [&](const CPvrouteData& t) {
    PcWalk(ctx, [&](const CPcData& p) {
      int lines = 0;
      {
        AclLineCapture capture([&](const CPvData&, LineClass, const std::string&) { ++lines; });
        ServerWalk(ctx, [&](const CQuarantineData& q) {
          KelCommandAclClientProcess(ctx, *r, &t, p, q, LineOpcode::kAdd);
        });
      }
      if (PcOutsideRoute(p, t)) {
        ++passedOver;
        EXPECT_EQ(lines, 0) << p.sourceText << " behind " << t.networkText << "/" << t.netmaskText;
      } else if (lines > 0) {
        ++withLines;
      }
    });
  });
  EXPECT_GE(passedOver, 10);
  EXPECT_GE(withLines, 10);
}

// A new server goes through the steps of the walk over every PC, router and route, line for line
// in its order: routes of several netmasks that overlap, PCs of every shape in and out of them,
// a router OFF, a route and a PC marked deleted, a router without routes.
TEST_F(PcLines, AServerAddedSendsWhatTheWalkOverEveryRouteMakes) {
  CPvData* a = AddRouter("172.16.0.1");
  AddRoute(a, "192.168.0.0", "255.255.255.0", "eth1");
  AddRoute(a, "10.0.0.0", "255.0.0.0", "eth2");
  AddRoute(a, "192.168.7.0", "255.255.255.0", "eth3")->pendingDelete = 1;
  CPvData* b = AddRouter("172.16.0.2");
  AddRoute(b, "192.168.0.0", "255.255.0.0", "eth1");
  AddRoute(b, "0.0.0.0", "0.0.0.0", "eth9");
  AddRoute(AddRouter("172.16.0.3", false), "192.168.0.0", "255.255.255.0", "eth1");
  AddRouter("172.16.0.4");
  int n = 0;
  for (const char* s : {"192.168.0.5", "192.168.7.5", "10.1.2.3", "172.20.0.1", "192.168.0.6"}) {
    std::string mac = "02:00:00:00:00:0" + std::to_string(++n);
    AddPc(mac.c_str(), s);
    AddEntry(1, s, n % 2 ? mac.c_str() : "", 0);
  }
  PcList().GetHead()->data->pendingDelete = 1;
  AddPc("", "", "192.168.0.0", "255.255.255.0");
  AddPc("00:00:00:00:00:09", "");
  AddEntry(2, "192.168.0.77", "00:00:00:00:00:09", 0);
  CQuarantineData* q = AddServer("172.17.254.254", "tcp", "4208", 1);

  {
    PlanningContext ctx(env_);
    PcWalk(ctx, [&](const CPcData& p) {
      RouterWalk(ctx, [&](CPvData& r) {
        WalkRoutes(ctx, r, [&](const CPvrouteData& t) {
          if (!PcOutsideRoute(p, t))
            KelCommandAclClientProcess(ctx, r, &t, p, *q, LineOpcode::kAdd);
        });
      });
    });
  }
  Lines walked = StoredRequests();
  HttpDataStore().RemoveAll();
  ASSERT_GT(walked.size(), 20u);
  Run(5);
  EXPECT_EQ(StoredRequests(), walked);
}

}  // namespace
}  // namespace plantest
