// The access-entry family run as the controller runs it, against the real registries; requests
// are read back from the store in order and the log lines from 127.0.0.1:514.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "service/acl/planning_testutil.h"

namespace plantest {
namespace {

const char kZeroMac[] = "00:00:00:00:00:00";

using AccessEntries = PlanningTest;

TEST_F(AccessEntries, EntryAddedAndDeletedIsFirstAddedThenDeletedAtTheNextRun) {
  CPvData* r = AddRouter("172.16.0.1");
  AddRoute(r, "192.168.0.0", "255.255.255.0");
  AddPc(kZeroMac, "192.168.0.1");
  CKelData* e = AddEntry(1, "192.168.0.1", kZeroMac);
  e->pendingDelete = 1;  // deleted before the controller ran

  for (std::string op : {"add", "delete"}) {
    HttpDataStore().RemoveAll();
    Run(1);
    EXPECT_EQ(StoredRequests(),
              Lines({"172.16.0.1 q " + op +
                         " access-list kel accept source 192.168.0.1 source-mac 00:00:00:00:00:00",
                     "172.16.0.1 q " + op + " access-list kel accept destination 192.168.0.1"}));
    EXPECT_EQ(LogLines(), Lines({"6 I started processing to " + op +
                                 " ACL for 192.168.0.1 (00:00:00:00:00:00) to PV of 172.16.0.1."}));
    if (op == "add") {
      EXPECT_EQ(e->pendingAdd, 0);
      auto* request = static_cast<CHttpData*>(HttpDataStore().GetHead()->data);
      EXPECT_EQ(request->port, 880);
      EXPECT_EQ(request->body,
                "version=1&class=quarantine&opcode=set&count=1&acl=add access-list kel accept "
                "source 192.168.0.1 source-mac 00:00:00:00:00:00");
      EXPECT_NE(request->header.find("Authorization: Basic YWRtaW46cG9tdnk=\r\nUser-Agent: "
                                     "VoKelMng/1.0\r\nHost: 172.16.0.1\r\n"),
                std::string::npos);
    }
  }
  EXPECT_EQ(KelDataList().GetCount(), 0);
  EXPECT_EQ(wakes_, 2);
}

TEST_F(AccessEntries, NothingIsSentWhereTheEntryDoesNotApplyButTheMarksAreCleared) {
  CPvData* on = AddRouter("172.16.0.1");
  AddRoute(on, "192.168.0.0", "255.255.255.0");
  AddRoute(AddRouter("172.16.0.2", false), "192.168.0.0", "255.255.255.0");
  AddRouter("172.16.0.3");  // no routes: a PC with an address is never served
  AddPc("00:0A:95:9D:68:16", "192.168.0.1");
  AddEntry(1, "192.168.0.2");                       // another address
  AddEntry(2, "192.168.0.1", "00:00:00:00:00:01");  // another MAC
  AddEntry(1, "10.0.0.1", "00:0A:95:9D:68:16");     // the MAC alone does not do here
  on->alive = 0;
  AddEntry(1, "192.168.0.1");  // applies, but its only router is OFF now

  Run(1);
  EXPECT_TRUE(StoredRequests().empty());
  EXPECT_TRUE(LogLines().empty());
  for (CKelNode* n = KelDataList().GetHead(); n; n = KelDataList().GetNext(n)) {
    EXPECT_EQ(n->data->pendingAdd, 0);
  }
}

TEST_F(AccessEntries, RequestOrderFollowsEntriesThenRoutersThenRoutesThenPcs) {
  CPvData* a = AddRouter("172.16.0.1");
  AddRoute(a, "10.1.0.0", "255.255.0.0", "eth1");
  AddRoute(a, "10.2.0.0", "255.255.0.0", "eth2");
  AddRouter("172.16.0.2", false);
  AddRouter("172.16.0.3");
  AddPc("00:00:00:00:00:01", "");
  AddPc("00:00:00:00:00:02", "");
  AddEntry(1, "10.1.0.1", "00:00:00:00:00:02");
  AddEntry(2, "10.2.0.1", "00:00:00:00:00:01");

  Run(1);
  using Pair = std::pair<std::string, std::string>;
  Lines expected;  // per entry, per router that is ON, per route: the in line, the out line
  for (auto [head, source] : {Pair{"accept", "10.1.0.1"}, Pair{"drop", "10.2.0.1"}}) {
    std::string mac = head == "accept" ? "00:00:00:00:00:02" : "00:00:00:00:00:01";
    for (auto [router, dev] :
         {Pair{"172.16.0.1", " eth1"}, Pair{"172.16.0.1", " eth2"}, Pair{"172.16.0.3", ""}}) {
      std::string line = router + " q add access-list kel " + head;
      expected.push_back(line + (dev.empty() ? "" : " in" + dev) + " source " + source +
                         " source-mac " + mac);
      expected.push_back(line + (dev.empty() ? "" : " out" + dev) + " destination " + source);
    }
  }
  EXPECT_EQ(StoredRequests(), expected);
  EXPECT_GE(wakes_, 2);  // one at once, then at most one each 20 ms, and one at the end
  EXPECT_LE(wakes_, 6);
}

TEST_F(AccessEntries, LineThatCannotBeMadeIsLoggedAndSkipsTheRest) {
  AddRouter("172.16.0.1");
  AddPc("00:0A:95:9D:68:16", "");
  AddEntry(3, "10.0.0.1", "00:0A:95:9D:68:16");  // neither accept nor drop

  Run(1);
  EXPECT_TRUE(StoredRequests().empty());
  EXPECT_EQ(LogLines(),
            Lines({"3 KelCommandKelMake: I failed in making of ACL.",
                   "3 KelCommandAclQuarantineProcess: An error occurred in KelCommandKelMake."}));
  EXPECT_EQ(wakes_, 0);
}

}  // namespace
}  // namespace plantest
