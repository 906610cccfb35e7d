// The dry run of a router's reload against the reload itself: the same lines, the same copies,
// in the same order, and nothing queued, logged or unmarked by the dry run.
#include "service/acl/router_lines.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "service/acl/planning_testutil.h"
#include "service/acl/router_recovery.h"

namespace plantest {
namespace {

// "c LINE" or "q LINE" once per copy, in order of first appearance, from a dry run.
Lines Expand(const RouterLines& found) {
  Lines out;
  for (const RouterLine& l : found.lines) {
    for (int i = 0; i < l.copies; ++i) {
      out.push_back(std::string(l.lineClass == LineClass::kClient ? "c " : "q ") + l.text);
    }
  }
  return out;
}

// The stored requests of one router without the router and the resets, grouped by first
// appearance the way the dry run groups them.
Lines GroupedReload(const std::string& router) {
  std::vector<std::string> order;
  std::map<std::string, int> copies;
  for (const std::string& request : StoredRequests()) {
    if (request.compare(0, router.size() + 1, router + " ") != 0) continue;
    std::string rest = request.substr(router.size() + 1);
    if (rest == "c reset" || rest == "q reset") continue;
    if (copies[rest]++ == 0) order.push_back(rest);
  }
  Lines out;
  for (const std::string& line : order) out.insert(out.end(), copies[line], line);
  return out;
}

class RouterLinesTest : public PlanningTest {
 protected:
  // Two routers, routes with and without devices, PCs by address, by network and by MAC
  // only, two servers (so kel lines come once per server), entries with and without MAC.
  void Fill() {
    router_ = AddRouter("172.16.0.1", true);
    router_->resendPending = 1;
    AddRoute(router_, "192.168.0.0", "255.255.255.0", "eth1");
    AddRoute(router_, "10.1.0.0", "255.255.0.0");
    CPvData* other = AddRouter("172.16.0.2", true);
    AddRoute(other, "192.168.0.0", "255.255.255.0");
    AddPc("00:0A:95:9D:68:16", "192.168.0.1");
    AddPc("00:0A:95:9D:68:17", "10.1.2.3");
    AddPc("", "", "10.1.0.0", "255.255.0.0");
    AddPc("00:0A:95:9D:68:18", "");
    AddServer("172.17.254.254", "tcp", "4208");
    AddServer("172.17.254.253", "udp", "53");
    AddEntry(1, "192.168.0.1", "", 0);
    AddEntry(2, "10.1.2.3", "00:0A:95:9D:68:17", 0);
    AddEntry(1, "10.1.9.9", "", 0);
  }
  CPvData* router_ = nullptr;
};

TEST_F(RouterLinesTest, EqualsTheReloadLineForLineAndCopyForCopyWithoutSendingOrUnmarking) {
  Fill();
  LogLines();  // what filling logged
  RouterLines dry = RouterReloadLines(Ip("172.16.0.1"), &stop_);
  ASSERT_TRUE(dry.found);
  EXPECT_TRUE(dry.complete);
  EXPECT_TRUE(StoredRequests().empty()) << "the dry run queued requests";
  EXPECT_EQ(wakes_, 0);
  EXPECT_EQ(router_->resendPending, 1);
  EXPECT_TRUE(LogLines().empty()) << "the dry run logged";
  bool someCopied = false;
  for (const RouterLine& l : dry.lines) someCopied = someCopied || l.copies > 1;
  EXPECT_TRUE(someCopied) << "the fill should make a line go out more than once";

  KeepAliveResendProcess(env_, Ip("172.16.0.1"));
  EXPECT_EQ(router_->resendPending, 0);
  Lines reload = GroupedReload("172.16.0.1");
  ASSERT_FALSE(reload.empty());
  EXPECT_EQ(Expand(dry), reload);
}

TEST_F(RouterLinesTest, RouterThatIsOffGetsWhatItWillHaveWhenBackUnknownOrDeletedIsNotFound) {
  Fill();
  router_->alive = 0;
  RouterLines off = RouterReloadLines(Ip("172.16.0.1"), nullptr);
  ASSERT_TRUE(off.found);
  router_->alive = 1;
  RouterLines on = RouterReloadLines(Ip("172.16.0.1"), nullptr);
  EXPECT_EQ(Expand(off), Expand(on));

  EXPECT_FALSE(RouterReloadLines(Ip("172.16.0.9"), nullptr).found);
  router_->pendingDelete = 1;
  EXPECT_FALSE(RouterReloadLines(Ip("172.16.0.1"), nullptr).found);
}

TEST_F(RouterLinesTest, StopFlagCutsTheWalkShort) {
  Fill();
  stop_.store(1);
  RouterLines cut = RouterReloadLines(Ip("172.16.0.1"), &stop_);
  EXPECT_TRUE(cut.found);
  EXPECT_FALSE(cut.complete);
}

}  // namespace
}  // namespace plantest
