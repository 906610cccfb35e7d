// A request given up after its last attempt: the router is marked out of sync, what still waits
// for it is dropped, and once a connection succeeds again it gets the reset and full reload of
// a router that came back. Real senders, a pvsim router that refuses its first connections.
#include "service/acl/router_repair.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <string>

#include "service/acl/out_of_sync_marks.h"
#include "service/acl/planning_testutil.h"
#include "service/acl/router_lines.h"
#include "service/acl/router_recovery.h"
#include "service/acl/state_sync.h"
#include "service/keepalive/keep_alive_data.h"
#include "service/transport/delivery_stats.h"
#include "service/transport/router_harness_testutil.h"

namespace {

using transporttest::RouterTest;

// The lines a reload of 127.0.0.1 would make, as the table pvsim writes them ("CLASS LINE").
std::set<std::string> Expected() {
  std::set<std::string> lines;
  RouterLines reload = RouterReloadLines(plantest::Ip("127.0.0.1"), nullptr);
  for (const RouterLine& l : reload.lines) {
    lines.insert(std::string(l.lineClass == LineClass::kClient ? "client " : "quarantine ") +
                 l.text.substr(4));
  }
  return lines;
}

std::set<std::string> Table(const std::string& path, std::string* header) {
  std::set<std::string> lines;
  std::string text = testsupport::ReadFile(path).value_or("");
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    std::string line = text.substr(start, end - start);
    if (line.rfind("#", 0) == 0) {
      *header = line;
    } else {
      EXPECT_TRUE(lines.insert(line).second) << "held twice: " << line;
    }
    start = end + 1;
  }
  return lines;
}

class RepairTest : public RouterTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    RouterTest::SetUp();
    plantest::ClearRegistries();
    StateSyncEnableForTest(GetParam());
    RouterSyncInstall(GetParam());
  }
  void TearDown() override {
    if (client_) client_->StopMessageThread();
    client_.reset();
    RouterSyncUninstall();
    StateSyncEnableForTest(false);
    plantest::ClearRegistries();
    RouterTest::TearDown();
  }
};

TEST_P(RepairTest, ADroppedRequestMarksTheRouterAndAConnectionBringsItsReload) {
  const std::string table = env_->dir() + "/table";
  // Four refused connections: the first request's four attempts; then it answers.
  auto router = StartRouter("127.0.0.1", {"--refuse", "--times", "4", "--table", table});
  ASSERT_TRUE(router->ok());
  HttpSenderTiming timing;
  timing.retryPauseMs[0] = timing.retryPauseMs[1] = timing.retryPauseMs[2] = 50;
  timing.dropPauseMs = 2000;  // the erase of the mark must end this pause, not its end
  StartClient(timing);

  CPvData* r = plantest::AddRouter("127.0.0.1");
  r->resendPending = 0;
  plantest::AddRoute(r, "192.168.0.0", "255.255.255.0", "eth1");
  plantest::AddPc("00:0A:95:9D:68:16", "192.168.0.1");
  plantest::AddServer("172.17.254.254", "tcp", "4208");
  plantest::AddEntry(1, "192.168.0.1", "", 0);
  std::atomic<int32_t> stop{0};
  CKelList startQueue;
  CKelList stopQueue;
  AclEnvironment env;
  env.stopRequested = &stop;
  env.httpClient = client_.get();
  env.startQueue = &startQueue;
  env.stopQueue = &stopQueue;
  if (GetParam()) {  // with state sync the router is followed from a reload on
    r->resendPending = 1;
    auto* record = new CKeepAliveData();
    record->address = r->address;
    startQueue.AddTail(record);
    KeepAliveStartProcess(env);
  } else {  // a change planned as edits: the PC's two pc lines and its kel lines
    plantest::AddPc("00:0A:95:9D:68:17", "192.168.0.2", "", "", 1);
    AclCommandProcess(env, CommandFamily::kPc, 1);
  }

  ASSERT_TRUE(
      log_->WaitFor("PV(127.0.0.1:880) is out of sync: a request was given up after its "
                    "last attempt. It gets a reset and reload once it answers again.",
                    10000));
  EXPECT_TRUE(RouterSyncIsOut(r->address));
  const int64_t marked = transporttest::NowMs();
  RepairTiming repair{200, 1000};
  while (RouterSyncIsOut(r->address) && transporttest::NowMs() - marked < 10000) {
    KeepAliveRepairProcess(env, repair);
    KeepAliveStartProcess(env);
    usleep(20 * 1000);
  }
  EXPECT_FALSE(RouterSyncIsOut(r->address));
  EXPECT_EQ(log_->Count("PV(127.0.0.1:880) is in sync again: its reset and reload were queued."),
            1u);
  // The reload arrives; what was queued behind the dropped request went with the mark.
  std::string header;
  for (int waited = 0; Table(table, &header) != Expected() && waited < 5000; waited += 20) {
    usleep(20 * 1000);
  }
  EXPECT_EQ(Table(table, &header), Expected());
  EXPECT_EQ(Expected().size(), GetParam() ? 4u : 6u);
  EXPECT_EQ(header, "# deletes of lines not held: 0");
  EXPECT_LT(transporttest::NowMs() - marked, 2000);  // the drop pause did not hold the reload
}

INSTANTIATE_TEST_SUITE_P(EditsAndState, RepairTest, ::testing::Bool());

TEST(RouterSyncMarks, RefusedAnswersCountOnlyWhenAskedAndARouterLeavingLosesItsMark) {
  std::array<uint8_t, 4> a = plantest::Ip("172.16.0.1");
  uint32_t value = 0;
  std::memcpy(&value, a.data(), 4);
  RouterSyncInstall(false);
  ReportDeliveryFailure(value, 880, false);
  EXPECT_FALSE(RouterSyncIsOut(a));
  RouterSyncInstall(true);
  ReportDeliveryFailure(value, 880, false);
  EXPECT_TRUE(RouterSyncIsOut(a));
  EXPECT_EQ(testsupport::Logs().Count("PV(172.16.0.1:880) is out of sync: it refused a line."), 1);
  ReportDeliveryFailure(value, 880, true);  // marked once, logged once
  EXPECT_EQ(testsupport::Logs().Count("PV(172.16.0.1:880) is out of sync"), 1);
  plantest::ClearRegistries();  // no router with that address
  AclEnvironment env;
  KeepAliveRepairProcess(env);
  EXPECT_FALSE(RouterSyncIsOut(a));
  RouterSyncUninstall();
}

}  // namespace
