// State-based sync against the real registries: the requests each change queues are replayed
// into the table a router would keep (a reset clears its class, an add inserts one copy, a
// delete removes one), and that table must equal, as a set and without duplicates, the lines a
// full reload would make (router_lines.h) after every change.
#include "service/acl/state_sync.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>

#include "service/acl/out_of_sync_marks.h"
#include "service/acl/planning_testutil.h"
#include "service/acl/router_lines.h"
#include "service/acl/router_recovery.h"
#include "service/acl/router_repair.h"
#include "service/keepalive/keep_alive_data.h"
#include "service/transport/delivery_stats.h"

namespace plantest {
namespace {

const char kMacA[] = "00:0A:95:9D:68:16";

// What each router holds: class ('c' or 'q') and line without its first word, with copies.
using Table = std::map<std::string, int>;

class StateSync : public PlanningTest {
 protected:
  void SetUp() override {
    PlanningTest::SetUp();
    StateSyncEnableForTest(true);
    RouterSyncInstall(true);
  }
  void TearDown() override {
    RouterSyncUninstall();
    StateSyncEnableForTest(false);
    PlanningTest::TearDown();
  }

  // Moves the queued requests into the routers' tables; returns them as StoredRequests does.
  Lines Deliver() {
    Lines requests = StoredRequests();
    HttpDataStore().RemoveAll();
    for (const std::string& r : requests) {
      size_t space = r.find(' ');
      std::string router = r.substr(0, space);
      char cls = r[space + 1];
      std::string line = r.substr(space + 3);
      Table& table = tables_[router];
      if (line == "reset") {
        for (auto it = table.begin(); it != table.end();) {
          it = it->first[0] == cls ? table.erase(it) : std::next(it);
        }
        continue;
      }
      std::string verb = line.substr(0, line.find(' '));
      std::string key = std::string(1, cls) + " " + line.substr(verb.size() + 1);
      if (verb == "add") {
        ++table[key];
      } else {
        EXPECT_EQ(verb, "delete") << r;
        if (--table[key] < 0) ADD_FAILURE() << "delete of a line not held: " << r;
        if (table[key] == 0) table.erase(key);
      }
    }
    return requests;
  }

  // Every ON router's table equals its reload lines as a set, each line held once.
  void ExpectConverged(const std::string& when) {
    CPvList& routers = PvList();
    std::vector<std::string> on;
    {
      CKelListLock hold(routers);
      for (CKelNode* n = routers.GetHead(1); n; n = routers.GetNext(n, 1)) {
        const auto* r = static_cast<const CPvData*>(n->data);
        if (r->alive && !r->pendingDelete) on.push_back(r->addressText);
      }
    }
    for (const std::string& address : on) {
      Table expected;
      RouterLines lines = RouterReloadLines(Ip(address.c_str()), nullptr);
      for (const RouterLine& l : lines.lines) {
        expected[std::string(l.lineClass == LineClass::kClient ? "c " : "q ") + l.text.substr(4)] =
            1;
      }
      EXPECT_EQ(tables_[address], expected) << address << " after " << when;
    }
  }

  void Change(uint32_t family, const std::string& what) {
    Run(family);
    Deliver();
    ExpectConverged(what);
  }

  void ComeOn(CPvData* r) {
    r->alive = 1;
    r->resendPending = 1;
    auto* record = new CKeepAliveData();
    record->address = r->address;
    startQueue_.AddTail(record);
    KeepAliveStartProcess(env_);
  }
  void GoOff(CPvData* r) {
    r->alive = 0;
    auto* record = new CKeepAliveData();
    record->address = r->address;
    stopQueue_.AddTail(record);
    KeepAliveStopProcess(env_);
  }

  std::map<std::string, Table> tables_;
};

TEST_F(StateSync, TheSequenceThatLeavesEditsWrongLeavesEveryLineExactlyOnce) {
  CPvData* r = AddRouter("172.16.0.1", false);
  AddRoute(r, "192.168.0.0", "255.255.255.0", "eth1");
  AddServer("172.17.254.254", "tcp", "4208");
  AddEntry(1, "192.168.0.1", "", 0);
  ComeOn(r);
  Deliver();
  ExpectConverged("the reload");

  AddRoute(r, "10.9.0.0", "255.255.0.0", "eth2", 1);  // a network no PC is in
  Change(3, "pvroute add");
  AddPc(kMacA, "192.168.0.1", "", "", 1);
  Change(4, "pc add");
  CQuarantineData* second = AddServer("172.17.254.253", "udp", "53", 1);
  Change(5, "quarantine add");
  CKelData* other = AddEntry(2, "192.168.0.1", kMacA);
  Change(1, "kel add");
  second->pendingDelete = 1;
  Change(5, "quarantine del");
  // The first entry goes; the kel lines of the other, still wanted, stay.
  for (CKelNode* n = KelDataList().GetHead(); n; n = KelDataList().GetNext(n)) {
    auto* e = static_cast<CKelData*>(n->data);
    if (e != other) e->pendingDelete = 1;
  }
  Change(1, "kel del");
  EXPECT_EQ(tables_["172.16.0.1"].count("q access-list kel accept source 192.168.0.1"), 0u);
  EXPECT_EQ(tables_["172.16.0.1"].count(
                "q access-list kel drop in eth1 source 192.168.0.1 source-mac 00:0A:95:9D:68:16"),
            1u);
}

TEST_F(StateSync, KelLinesFollowTheFirstAndLastServerAndADeletedRouterIsEmptied) {
  CPvData* r = AddRouter("172.16.0.1", false);
  AddRoute(r, "192.168.0.0", "255.255.255.0");
  AddPc(kMacA, "192.168.0.1");
  AddEntry(1, "192.168.0.1", "", 0);
  ComeOn(r);
  EXPECT_EQ(Deliver(), Lines({"172.16.0.1 c reset", "172.16.0.1 q reset"}));  // no server yet

  CQuarantineData* q = AddServer("172.17.254.254", "tcp", "4208", 1);
  Change(5, "the first server");
  EXPECT_EQ(tables_["172.16.0.1"].size(), 4u);  // two pc lines, two kel lines
  LogLines();
  q->pendingDelete = 1;
  Run(5);
  Lines sent = Deliver();
  EXPECT_EQ(sent.size(), 4u);
  for (const std::string& line : sent)
    EXPECT_NE(line.find(" delete access-list "), std::string::npos);
  EXPECT_TRUE(tables_["172.16.0.1"].empty());
  Lines logs = LogLines();
  EXPECT_NE(std::find(logs.begin(), logs.end(),
                      "6 I planned 0 additions and 4 deletions of ACL for PV of 172.16.0.1."),
            logs.end());
  EXPECT_NE(std::find(logs.begin(), logs.end(),
                      "6 I started processing to delete ACL for 192.168.0.1 (" +
                          std::string(kMacA) + ") to PV of 172.16.0.1."),
            logs.end());

  AddServer("172.17.254.254", "tcp", "4208", 1);
  Change(5, "the server again");
  r->pendingDelete = 1;
  Change(2, "pv del");
  EXPECT_TRUE(tables_["172.16.0.1"].empty());
  EXPECT_EQ(PvList().GetCount(), 0);
}

TEST_F(StateSync, AnOffRouterGetsNothingUntilItsReloadAndAnOutOfSyncOneUntilItsRepair) {
  CPvData* a = AddRouter("172.16.0.1", false);
  CPvData* b = AddRouter("172.16.0.2", false);
  for (CPvData* r : {a, b}) AddRoute(r, "192.168.0.0", "255.255.255.0");
  AddServer("172.17.254.254", "tcp", "4208");
  ComeOn(a);
  ComeOn(b);
  Deliver();
  GoOff(b);
  AddPc(kMacA, "192.168.0.1", "", "", 1);
  Run(4);
  for (const std::string& line : Deliver()) EXPECT_EQ(line.rfind("172.16.0.1 ", 0), 0u) << line;
  ComeOn(b);
  Deliver();
  ExpectConverged("b back ON");

  // A request given up: b is out of sync; nothing more is planned for it.
  uint32_t value = 0;
  std::memcpy(&value, b->address.data(), 4);
  ReportDeliveryFailure(value, 880, true);
  EXPECT_TRUE(RouterSyncIsOut(b->address));
  RepairTiming never{3600 * 1000, 100};
  KeepAliveRepairProcess(env_, never);  // drops what waits; tries no connection yet
  AddPc("00:0A:95:9D:68:17", "192.168.0.2", "", "", 1);
  Run(4);
  for (const std::string& line : Deliver()) EXPECT_EQ(line.rfind("172.16.0.1 ", 0), 0u) << line;
  // Its repair is the reload of a router that came back (the connection part is the
  // controller's; here the reload is handed over as the repair would).
  b->resendPending = 1;
  auto* record = new CKeepAliveData();
  record->address = b->address;
  startQueue_.AddTail(record);
  KeepAliveStartProcess(env_);
  EXPECT_FALSE(RouterSyncIsOut(b->address));
  Lines reload = Deliver();
  ASSERT_GE(reload.size(), 2u);
  EXPECT_EQ(reload[0], "172.16.0.2 c reset");
  EXPECT_EQ(reload[1], "172.16.0.2 q reset");
  ExpectConverged("b repaired");
}

// A router whose routes are all marked at once (pvroute clear) is seen to change by a run of
// another family that comes first: a router is only taken for as counted without comparing it
// while its route list's change count stays.
TEST_F(StateSync, ARouteClearIsSeenBeforeItSettles) {
  CPvData* r = AddRouter("172.16.0.1", false);
  AddRoute(r, "192.168.0.0", "255.255.255.0", "eth1");
  AddServer("172.17.254.254", "tcp", "4208");
  AddEntry(1, "192.168.0.1", "", 0);
  AddPc(kMacA, "192.168.0.1", "", "", 0);
  ComeOn(r);
  Deliver();
  AddEntry(1, "192.168.0.2", "", 1);
  Change(1, "kel add");  // compared once: as counted from here on
  ASSERT_FALSE(tables_["172.16.0.1"].empty());
  r->routes.MarkAll(1);
  AddEntry(1, "192.168.0.3", "", 1);
  Change(1, "kel add while the routes are marked");
  EXPECT_TRUE(tables_["172.16.0.1"].empty());
}

// Random changes of every family, routers going OFF and ON, checked after each step.
TEST_F(StateSync, RandomChangesKeepEveryRouterEqualToItsReload) {
  std::mt19937 rng(20261208);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  std::vector<CPvData*> routers;
  for (int i = 0; i < 3; ++i) {
    routers.push_back(AddRouter(("172.16.0." + std::to_string(i + 1)).c_str(), false));
  }
  const char* nets[] = {"192.168.0.0", "192.168.1.0", "10.0.0.0"};
  const char* devs[] = {"", "eth1", "eth2"};
  for (CPvData* r : routers) ComeOn(r);
  Deliver();
  size_t sent = 0;
  for (int step = 0; step < 300; ++step) {
    // Up to three changes land before the planning runs, as when commands arrive together.
    uint32_t family = 0;
    std::string text;
    for (int change = 1 + pick(3); change > 0; --change) {
      int what = pick(11);
      if (what == 0) {  // route add or del on one router
        CPvData* r = routers[pick(3)];
        family = 3;
        int n = pick(3);
        CPvrouteData* found = nullptr;
        for (CKelNode* node = r->routes.GetHead(); node; node = r->routes.GetNext(node)) {
          auto* t = static_cast<CPvrouteData*>(node->data);
          if (!t->pendingDelete && t->networkText == nets[n]) found = t;
        }
        if (found) {
          // As the cluster's mirror marks one: by hand, noted with the route list.
          CKelListLock hold(r->routes);
          found->pendingDelete = 1;
          r->routes.NoteMarks();
          text += " pvroute del";
        } else {
          AddRoute(r, nets[n], n == 2 ? "255.0.0.0" : "255.255.255.0", devs[pick(3)], 1);
          text += " pvroute add";
        }
      } else if (what <= 3) {  // pc add or del
        family = 4;
        std::string source =
            std::string(pick(2) ? "192.168.0." : "192.168.1.") + std::to_string(1 + pick(4));
        bool network = pick(5) == 0;
        std::string mac = "00:0A:95:9D:" + std::string(source[10] == '0' ? "00" : "01") + ":0" +
                          source.substr(source.size() - 1);
        CKelNode* found = nullptr;
        for (CKelNode* node = PcList().GetHead(); node; node = PcList().GetNext(node)) {
          auto* p = static_cast<CPcData*>(node->data);
          if (!p->pendingDelete && (network ? p->HasNetwork() : p->sourceText == source)) {
            found = node;
          }
        }
        if (found) {
          // As the cluster's mirror marks one: by hand, noted with the registry.
          CKelListLock hold(PcList());
          found->data->pendingDelete = 1;
          PcList().NoteMarked(found);
          text += " pc del";
        } else if (network) {
          AddPc("", "", "192.168.1.0", "255.255.255.0", 1);
          text += " pc add network";
        } else {
          AddPc(mac.c_str(), source.c_str(), "", "", 1);
          text += " pc add";
        }
      } else if (what <= 5) {  // quarantine add or del
        family = 5;
        const char* servers[][3] = {{"172.17.254.254", "tcp", "4208"},
                                    {"172.17.254.253", "udp", "53"}};
        int k = pick(2);
        CQuarantineData* found = nullptr;
        for (CKelNode* node = QuarantineList().GetHead(); node;
             node = QuarantineList().GetNext(node)) {
          auto* q = static_cast<CQuarantineData*>(node->data);
          if (!q->pendingDelete && q->sourceText == servers[k][0]) found = q;
        }
        if (found) {
          found->pendingDelete = 1;
          text += " quarantine del";
        } else {
          AddServer(servers[k][0], servers[k][1], servers[k][2], 1);
          text += " quarantine add";
        }
      } else if (what <= 8) {  // kel add or del
        family = 1;
        std::string source =
            std::string(pick(2) ? "192.168.0." : "192.168.1.") + std::to_string(1 + pick(4));
        uint16_t target = static_cast<uint16_t>(1 + pick(2));
        CKelData* found = nullptr;
        for (CKelNode* node = KelDataList().GetHead(); node; node = KelDataList().GetNext(node)) {
          auto* e = static_cast<CKelData*>(node->data);
          if (!e->pendingDelete && e->sourceText == source && e->target == target) found = e;
        }
        if (found) {
          found->pendingDelete = 1;
          text += " kel del";
        } else {
          AddEntry(target, source.c_str(), pick(3) == 0 ? "00:0A:95:9D:68:10" : "");
          text += " kel add";
        }
      } else {  // a router goes OFF or comes back
        CPvData* r = routers[pick(3)];
        if (r->alive) {
          GoOff(r);
          text += " OFF";
        } else {
          ComeOn(r);
          text += " ON";
        }
      }
    }
    if (family != 0) Run(family);
    sent += Deliver().size();
    ExpectConverged("step " + std::to_string(step) + " " + text);
    if (HasFailure()) return;
  }
  EXPECT_GT(sent, 500u);  // the walk went through real work, not 300 empty changes
}

}  // namespace
}  // namespace plantest
