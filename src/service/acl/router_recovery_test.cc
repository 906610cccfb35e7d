// Router events: the reset and reload of a router that came back, and the dropping of what
// waits for a router that went down.
#include "service/acl/router_recovery.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "service/acl/acl_planning.h"
#include "service/acl/acl_request.h"
#include "service/acl/planning_testutil.h"
#include "service/keepalive/keep_alive_data.h"
#include "service/transport/http_client.h"

namespace plantest {
namespace {

const std::string kMac = "00:0A:95:9D:68:16";

void QueueEvent(CKelList& queue, const char* address) {
  auto* record = new CKeepAliveData();
  record->address = Ip(address);
  queue.AddTail(record);
}

void StoreRequest(const char* address, uint16_t port) {
  auto* d = new CHttpData();
  d->SetAddressBytes(Ip(address).data());
  d->port = port;
  HttpDataStore().MakeHttpData(d, "admin", "pomvy", 1, LineClass::kClient, RequestOpcode::kSet, 1,
                               "add access-list x accept", address);
  HttpDataStore().AddTail(d);
}

std::string Body(int index) {
  CKelNode* n = HttpDataStore().GetHead();
  while (index-- > 0) n = HttpDataStore().GetNext(n);
  return static_cast<CHttpData*>(n->data)->body;
}

using RouterRecovery = PlanningTest;

// The resend copies only the PCs behind the router's routes, and queues what the reload walk
// over every PC makes, line for line in its order: PCs of every shape in and out of the routes,
// overlapping routes, a netmask that is not ones then zeros, and a PC marked deleted.
TEST_F(RouterRecovery, TheResendQueuesWhatTheWalkOverEveryPcMakes) {
  CPvData* a = AddRouter("172.16.0.1", true, 1);
  AddRoute(a, "192.168.0.0", "255.255.255.0", "eth1");
  AddRoute(a, "192.168.0.0", "255.255.0.0", "eth2");
  CPvData* b = AddRouter("172.16.0.2", true, 1);
  AddRoute(b, "10.0.0.0", "255.0.255.0", "eth3");
  AddRoute(b, "192.168.0.0", "255.255.255.0", "eth1");
  AddServer("172.17.254.254", "tcp", "4208");
  int k = 0;
  for (const char* source : {"172.20.0.1", "192.168.0.7", "192.168.1.7", "10.5.0.9", "10.0.5.9",
                             "192.169.0.1", "192.168.0.200", "192.168.255.1", "192.168.0.1"}) {
    std::string mac = "00:0A:95:9D:68:1" + std::to_string(k++);
    AddPc(mac.c_str(), source);
    AddEntry(1 + k % 2, source, k % 3 == 0 ? mac.c_str() : "", 0);
  }
  AddPc("", "", "192.168.0.0", "255.255.255.0");
  AddPc("00:0A:95:9D:68:20", "");
  AddEntry(1, "192.168.0.99", "00:0A:95:9D:68:20", 0);
  AddPc("00:0A:95:9D:68:21", "192.168.0.8")->pendingDelete = 1;

  for (CPvData* r : {a, b}) {
    {
      PlanningContext ctx(env_);
      RouterReloadWalk(ctx, *r, LineOpcode::kAdd);  // over the whole PC registry
    }
    Lines walked = StoredRequests();
    HttpDataStore().RemoveAll();
    ASSERT_GT(walked.size(), 10u) << r->addressText;
    QueueEvent(startQueue_, r->addressText.c_str());
    KeepAliveStartProcess(env_);
    Lines resend = StoredRequests();
    HttpDataStore().RemoveAll();
    ASSERT_EQ(resend.size(), walked.size() + 2) << r->addressText;
    EXPECT_EQ(Lines(resend.begin() + 2, resend.end()), walked) << r->addressText;
  }
}

TEST_F(RouterRecovery, ComingBackResetsThenReloadsOnceAndAgainAfterTheNextOutage) {
  CPvData* r = AddRouter("172.16.0.1", true, 1);
  AddRoute(r, "192.168.0.0", "255.255.255.0", "eth1");
  AddPc(kMac.c_str(), "192.168.0.1");
  AddServer("172.17.254.254", "tcp", "4208");
  AddEntry(1, "192.168.0.1", "", 0);
  AddRouter("172.16.0.2", false, 1);
  AddRouter("172.16.0.3", true, 1)->pendingDelete = 1;
  for (const char* a : {"172.16.0.1", "172.16.0.1", "172.16.0.2", "172.16.0.3", "172.16.0.9"}) {
    QueueEvent(startQueue_, a);  // only the first record finds something to send
  }

  KeepAliveStartProcess(env_);
  std::string pc = "172.16.0.1 c add access-list pc accept ";
  std::string kel = "172.16.0.1 q add access-list kel ";
  Lines reload = {
      "172.16.0.1 c reset",
      "172.16.0.1 q reset",
      pc +
          "in eth1 protocol tcp source 192.168.0.1 destination 172.17.254.254 dport 4208 "
          "source-mac " +
          kMac,
      pc + "out eth1 protocol tcp source 172.17.254.254 destination 192.168.0.1 sport 4208",
      kel + "accept in eth1 source 192.168.0.1 source-mac " + kMac,
      kel + "accept out eth1 destination 192.168.0.1"};
  EXPECT_EQ(StoredRequests(), reload);
  EXPECT_EQ(Body(0), "version=1&class=client&opcode=reset&count=0");
  EXPECT_EQ(Body(1), "version=1&class=quarantine&opcode=reset&count=0");
  EXPECT_EQ(r->pendingAdd, 0);
  EXPECT_EQ(r->resendPending, 0);
  EXPECT_EQ(PvList().GetNext(PvList().GetHead())->data->pendingAdd, 1);  // the one that is OFF
  EXPECT_EQ(startQueue_.GetCount(), 0);
  EXPECT_GE(wakes_, 2);  // at once after the resets, and after the last line
  EXPECT_LE(wakes_, 3);

  // An entry added while the router is OFF reaches it when it comes back.
  HttpDataStore().RemoveAll();
  r->alive = 0;
  AddEntry(2, "192.168.0.1", kMac.c_str());
  Run(1);
  EXPECT_TRUE(StoredRequests().empty());
  r->alive = r->resendPending = 1;
  QueueEvent(startQueue_, "172.16.0.1");
  KeepAliveStartProcess(env_);
  reload.push_back(kel + "drop in eth1 source 192.168.0.1 source-mac " + kMac);
  reload.push_back(kel + "drop out eth1 destination 192.168.0.1");
  EXPECT_EQ(StoredRequests(), reload);
}

TEST_F(RouterRecovery, GoingDownDropsQueuedUpRecordsAndStoredRequestsOfThatRouterOnly) {
  AddRouter("172.16.0.1", true, 1);
  for (const char* a : {"172.16.0.1", "172.16.0.2", "172.16.0.1"}) QueueEvent(startQueue_, a);
  StoreRequest("172.16.0.1", 880);
  StoreRequest("172.16.0.2", 880);
  StoreRequest("172.16.0.1", 8080);
  QueueEvent(stopQueue_, "172.16.0.1");

  KeepAliveStopProcess(env_);
  EXPECT_EQ(LogLines(), Lines({"7 I erased an KeepAliveStart data to PV(172.16.0.1).",
                               "7 I erased an KeepAliveStart data to PV(172.16.0.1).",
                               "7 I erased an HTTP data to PV(172.16.0.1:880).",
                               "7 I erased an HTTP data to PV(172.16.0.1:8080)."}));
  EXPECT_EQ(stopQueue_.GetCount(), 0);
  EXPECT_EQ(startQueue_.GetCount(), 1);
  EXPECT_EQ(StoredRequests(), Lines({"172.16.0.2 c add access-list x accept"}));

  KeepAliveStartProcess(env_);  // the up record of the router that went down is gone: no reset
  EXPECT_EQ(StoredRequests().size(), 1u);
}

TEST_F(RouterRecovery, StopFlagLeavesQueuedRecordsAndAnInterruptedResendPending) {
  CPvData* r = AddRouter("172.16.0.1", true, 1);
  AddPc(kMac.c_str(), "");
  AddServer("172.17.254.254", "tcp", "4208");
  QueueEvent(startQueue_, "172.16.0.1");
  QueueEvent(stopQueue_, "172.16.0.1");
  StoreRequest("172.16.0.1", 880);

  stop_ = 1;
  KeepAliveStartProcess(env_);
  KeepAliveStopProcess(env_);
  EXPECT_EQ(startQueue_.GetCount() + stopQueue_.GetCount() + HttpDataStore().GetCount(), 3);

  // Stopping while the resets are sent: the reload is cut short and stays pending.
  stop_ = 0;
  HttpDataStore().RemoveAll();
  env_.eventSend = [this] { return stop_ = 1; };
  KeepAliveResendProcess(env_, Ip("172.16.0.1"));
  EXPECT_EQ(StoredRequests(), Lines({"172.16.0.1 c reset", "172.16.0.1 q reset"}));
  EXPECT_EQ(r->resendPending, 1);
  EXPECT_EQ(r->pendingAdd, 1);
}

// A router that flaps while its resend runs keeps resendPending for the later transition, so
// the up record of that transition reloads it again.
TEST_F(RouterRecovery, FlapDuringResendIsNotForgotten) {
  CPvData* r = AddRouter("172.16.0.1", true, 1);
  AddServer("172.17.254.254", "tcp", "4208");
  AddPc(kMac.c_str(), "");
  bool flapped = false;
  env_.eventSend = [&] {
    if (!flapped) {
      flapped = true;
      for (int i = 0; i < 4; ++i) PvList().DiagnoseOff(Ip("172.16.0.1").data());
      EXPECT_EQ(r->alive, 0);
      EXPECT_EQ(PvList().DiagnoseOn(Ip("172.16.0.1").data()), 1);
    }
    return 1;
  };
  KeepAliveResendProcess(env_, Ip("172.16.0.1"));
  EXPECT_EQ(r->resendPending, 1);
  HttpDataStore().RemoveAll();
  KeepAliveResendProcess(env_, Ip("172.16.0.1"));  // the second up record
  EXPECT_EQ(StoredRequests().front(), "172.16.0.1 c reset");
  EXPECT_EQ(r->resendPending, 0);
}

// A reload queues hundreds of requests: the HTTP client is woken at once, then at most every
// kWakeIntervalMs, and once more after the last request, so none waits for its next poll.
TEST_F(RouterRecovery, ReloadWakesTheHttpClientAtOnceAndAfterItsLastRequest) {
  AddRouter("172.16.0.1", true, 1);
  AddServer("172.17.254.254", "tcp", "4208");
  for (int i = 0; i < 300; ++i) {
    char mac[18];
    std::snprintf(mac, sizeof mac, "02:00:00:00:%02X:%02X", i >> 8, i & 0xFF);
    AddPc(mac, "", "", "", 1);
  }
  std::vector<int> storedAtWake;
  env_.eventSend = [&] {
    storedAtWake.push_back(HttpDataStore().GetCount());
    return 1;
  };
  auto started = std::chrono::steady_clock::now();
  KeepAliveResendProcess(env_, Ip("172.16.0.1"));
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                  started)
                .count();
  ASSERT_GE(storedAtWake.size(), 2u);
  EXPECT_EQ(storedAtWake.front(), 2);  // the resets, at once
  EXPECT_EQ(storedAtWake.back(), 2 + 2 * 300);
  EXPECT_LE(storedAtWake.size(), 2 + ms / AclWakeBatch::kWakeIntervalMs);

  // Outside a batch every call wakes it.
  storedAtWake.clear();
  for (int i = 0; i < 3; ++i) AclEventSend(env_);
  EXPECT_EQ(storedAtWake.size(), 3u);
}

TEST_F(RouterRecovery, ResendRunsBesidePlanningWithoutLosingRequests) {
  CPvData* r = AddRouter("172.16.0.1", true, 1);
  AddServer("172.17.254.254", "tcp", "4208");
  constexpr int kPcs = 200;
  for (int i = 0; i < kPcs; ++i) {
    char mac[18];
    std::snprintf(mac, sizeof mac, "02:00:00:00:%02X:%02X", i >> 8, i & 0xFF);
    AddPc(mac, "", "", "", 1);
  }
  QueueEvent(startQueue_, "172.16.0.1");
  AclEnvironment side = env_;
  side.eventSend = [] { return 1; };

  std::thread resend([&side] { KeepAliveStartProcess(side); });
  Run(4);
  resend.join();
  Lines got = StoredRequests();
  EXPECT_EQ(got.size(), 2u + 4u * kPcs);  // two resets, and two pc lines per PC from each side
  auto clientReset = std::find(got.begin(), got.end(), "172.16.0.1 c reset");
  EXPECT_LT(clientReset, std::find(got.begin(), got.end(), "172.16.0.1 q reset"));
  EXPECT_EQ(r->resendPending, 0);
  for (CKelNode* n = PcList().GetHead(); n; n = PcList().GetNext(n)) {
    ASSERT_EQ(n->data->pendingAdd, 0);
  }
}

TEST_F(RouterRecovery, GoingDownAlsoEmptiesTheSenderOfThatRouter) {
  CKelHttpClient client;
  env_.httpClient = &client;
  env_.eventSend = nullptr;
  StoreRequest("127.0.0.2", 880);  // nothing listens there: the sender waits to retry
  ASSERT_NE(AclEventSend(env_), 0);
  for (int i = 0; i < 300 && HttpDataStore().GetCount() > 0; ++i) usleep(10000);
  ASSERT_EQ(HttpDataStore().GetCount(), 0);

  QueueEvent(stopQueue_, "127.0.0.2");
  KeepAliveStopProcess(env_);
  Lines logs = LogLines();
  EXPECT_NE(std::find(logs.begin(), logs.end(),
                      "7 I erased an HTTP transmission of a message queue to PV(127.0.0.2:880)."),
            logs.end());
}

}  // namespace
}  // namespace plantest
