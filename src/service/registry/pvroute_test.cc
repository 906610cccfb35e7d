#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "common/address_util.h"
#include "platform/socket.h"
#include "service/registry/pv_data.h"
#include "service/registry/pvroute_commands.h"
#include "service/registry/registry_test_util.h"

namespace {

using registrytest::CommandChannel;
using registrytest::ReadFile;
using registrytest::TempWorkDir;
using registrytest::WriteFile;

constexpr char kHeader[] = "PV\t\tIFACE\t\tDESTINATION\tGENMASK\r\n";
constexpr char kNotRegistered[] = "TARGET is not registered.\r\n";

CPvData* AddRouter(const char* address, uint16_t port = 880) {
  auto* router = new CPvData();
  router->addressText = address;
  IsIpAddress(address, router->address.data());
  router->portText = std::to_string(port);
  router->port = port;
  if (PvList().Add(router) != 0) {
    delete router;
    return nullptr;
  }
  return router;
}

// (live, marked) routes of one router.
std::pair<int, int> RouteCounts(CPvData* router) {
  int live = 0, marked = 0;
  for (CKelNode* n = router->routes.GetHead(); n; n = router->routes.GetNext(n)) {
    (n->data->pendingDelete ? marked : live)++;
  }
  return {live, marked};
}

class PvrouteTest : public ::testing::Test {
 protected:
  void SetUp() override { PvList().RemoveAll(); }
  void TearDown() override { PvList().RemoveAll(); }

  int Run(const std::string& line) {
    int result = channel_.Run(PvrouteCommand, line);
    reply_ = channel_.Reply();
    return result;
  }
  std::string Show() {
    Run("pvroute show");
    return reply_;
  }

  TempWorkDir dir_;
  CommandChannel channel_;
  std::string reply_;
};

TEST_F(PvrouteTest, RouterMustBeRegisteredAndLive) {
  CPvData* gone = AddRouter("172.16.0.2");
  gone->pendingDelete = 1;
  AddRouter("172.16.0.3", 8080);  // found by address whatever its port
  EXPECT_EQ(Run("pvroute add 172.16.0.1 network 192.168.0.0"), 0);
  EXPECT_EQ(reply_, kNotRegistered);
  EXPECT_EQ(Run("pvroute add 172.16.0.2 network 192.168.0.0"), 0);
  EXPECT_EQ(reply_, kNotRegistered);
  EXPECT_EQ(Run("pvroute del 172.16.0.2 network 192.168.0.0"), 0);
  EXPECT_EQ(reply_, kNotRegistered);
  EXPECT_EQ(Run("pvroute add 172.16.0.3 network 192.168.0.0"), 1);
  EXPECT_EQ(reply_, "");
  EXPECT_TRUE(gone->routes.IsEmpty());
  for (const char* line :
       {"pvroute add 172.16.0.3 network", "pvroute add 172.16.0.256 network 1.0.0.0",
        "pvroute add 172.16.0.3 dev eth0 x", "pvroute add 172.16.0.3 network 250.0.0.0",
        "pvroute add 172.16.0.3 network 10.0.0.0 netmask 255.0.0.255"}) {
    EXPECT_EQ(Run(line), 0) << line;
    EXPECT_EQ(reply_.rfind("pvroute: invalid option\r\n\r\nUsage: pvroute add ", 0), 0u) << line;
  }
}

TEST_F(PvrouteTest, DefaultNetmaskDuplicatesAndDelete) {
  CPvData* router = AddRouter("172.16.0.1");
  AddRouter("172.16.0.5");
  EXPECT_EQ(Run("pvroute add 172.16.0.1 network 172.16.0.0"), 1);
  EXPECT_EQ(static_cast<CPvrouteData*>(router->routes.GetHead()->data)->netmaskText, "255.255.0.0");
  EXPECT_EQ(Run("pvroute del 172.16.0.1 network 172.16.0.0"), 2);  // same default: marked
  EXPECT_EQ(RouteCounts(router), std::make_pair(0, 1));

  EXPECT_EQ(Run("pvroute add 172.16.0.1 network 192.168.0.0"), 1);
  EXPECT_EQ(Run("pvroute add 172.16.0.1 network 192.168.0.0 netmask 255.255.0.0"), 0);
  EXPECT_EQ(reply_, "duplication of data\r\n");
  EXPECT_EQ(Run("pvroute add 172.16.0.1 ne 192.168.0.0 netm 255.255.0.0 d eth1"), 1);
  EXPECT_EQ(Run("pvroute add 172.16.0.5 network 192.168.0.0 netmask 255.255.0.0"), 1);
  EXPECT_EQ(Run("pvroute add 172.16.0.1 network 10.0.0.0 dev eth1"), 1);
  EXPECT_EQ(RouteCounts(router), std::make_pair(3, 1));
  // With dev: that device only; without: every device.
  EXPECT_EQ(Run("pvroute del 172.16.0.1 network 192.168.0.0 netmask 255.255.255.0 dev eth1"), 2);
  EXPECT_EQ(RouteCounts(router), std::make_pair(2, 2));
  EXPECT_EQ(Run("pvroute del 172.16.0.1 network 10.0.0.0 dev eth0"), 2);
  EXPECT_EQ(RouteCounts(router), std::make_pair(2, 2));
  EXPECT_EQ(Run("pvroute del 172.16.0.1 network 10.0.0.0"), 2);
  EXPECT_EQ(RouteCounts(router), std::make_pair(1, 3));
  EXPECT_EQ(Run("pvroute del 172.16.0.1 network 192.168.0.0"), 2);
  EXPECT_EQ(RouteCounts(router), std::make_pair(0, 4));
  EXPECT_EQ(Show(), std::string(kHeader) + "172.16.0.5\t\t\t192.168.0.0\t255.255.0.0\r\n");
}

TEST_F(PvrouteTest, ShowDispatchAndClear) {
  CPvData* a = AddRouter("1.2.3.4");
  CPvData* b = AddRouter("172.16.0.10");
  ASSERT_EQ(Run("pvroute add 1.2.3.4 network 10.0.0.0 dev eth0"), 1);
  ASSERT_EQ(Run("pvroute add 172.16.0.10 network 192.168.10.0 dev longdevice0"), 1);
  const std::string table = std::string(kHeader) + "1.2.3.4\t\teth0\t\t10.0.0.0\t255.0.0.0\r\n" +
                            "172.16.0.10\tlongdevice0\t192.168.10.0\t255.255.255.0\r\n";
  EXPECT_EQ(Show(), table);
  EXPECT_EQ(Run("pvroute"), 0);
  EXPECT_EQ(reply_, table);
  for (const char* line : {"pvroute s", "pvroute a 1.2.3.4 network 1.0.0.0", "pvroute "}) {
    EXPECT_EQ(Run(line), 0) << line;
    EXPECT_EQ(reply_.rfind("pvroute: invalid option\r\n\r\nUsage: pvroute OPERATION ", 0), 0u);
  }
  b->pendingDelete = 1;  // routes of a marked router are neither shown nor lost by clear
  EXPECT_EQ(Show(), std::string(kHeader) + "1.2.3.4\t\teth0\t\t10.0.0.0\t255.0.0.0\r\n");
  EXPECT_EQ(Run("pvroute clear x"), 0);
  EXPECT_EQ(Run("pvroute clear"), 4);
  EXPECT_EQ(RouteCounts(a), std::make_pair(0, 1));
  EXPECT_EQ(RouteCounts(b), std::make_pair(0, 1));
  channel_.ClosePeer();
  EXPECT_EQ(Run("pvroute add 9.9.9.9 network 10.0.0.0"), -1);
}

TEST_F(PvrouteTest, SaveAndReload) {
  AddRouter("172.16.0.1");
  CPvData* other_port = AddRouter("172.16.0.2", 8080);
  CPvData* marked = AddRouter("172.16.0.3");
  ASSERT_EQ(Run("pvroute add 172.16.0.1 network 192.168.0.0 dev eth0"), 1);
  ASSERT_EQ(Run("pvroute add 172.16.0.1 network 10.1.0.0 netmask 255.255.0.0"), 1);
  ASSERT_EQ(Run("pvroute add 172.16.0.1 network 10.2.0.0"), 1);
  ASSERT_EQ(Run("pvroute del 172.16.0.1 network 10.2.0.0"), 2);  // not written
  ASSERT_EQ(Run("pvroute add 172.16.0.2 network 10.0.0.0"), 1);
  ASSERT_EQ(Run("pvroute add 172.16.0.3 network 10.3.0.0"), 1);
  marked->pendingDelete = 1;
  ASSERT_EQ(Run("pvroute save"), 0);
  EXPECT_EQ(reply_, "");
  EXPECT_EQ(ReadFile("pvroute.csv"),
            "\"172.16.0.1\",\"eth0\",\"192.168.0.0\",\"255.255.255.0\"\r\n"
            "\"172.16.0.1\",,\"10.1.0.0\",\"255.255.0.0\"\r\n"
            "\"172.16.0.2\",,\"10.0.0.0\",\"255.0.0.0\"\r\n"
            "\"172.16.0.3\",,\"10.3.0.0\",\"255.0.0.0\"\r\n");
  const std::string shown = Show();
  EXPECT_EQ(Run("pvroute load"), 3);
  EXPECT_EQ(reply_, "");
  EXPECT_EQ(Show(), shown);  // the 8080 router kept its route
  EXPECT_EQ(RouteCounts(other_port), std::make_pair(1, 1));
  EXPECT_EQ(RouteCounts(marked), std::make_pair(0, 1));  // its line found no live router

  // The start-up load has no connection and answers nothing.
  EXPECT_EQ(PvrouteLoad(platform::kInvalidSocket), 3);
  EXPECT_EQ(RouteCounts(other_port), std::make_pair(1, 2));
}

TEST_F(PvrouteTest, FailingLoads) {
  CPvData* router = AddRouter("172.16.0.1");
  ASSERT_EQ(Run("pvroute add 172.16.0.1 network 10.0.0.0"), 1);
  // No file: nothing is marked.
  EXPECT_EQ(Run("pvroute load"), 0);
  EXPECT_EQ(reply_, "load error\r\n");
  EXPECT_EQ(RouteCounts(router), std::make_pair(1, 0));
  // A bad line: what was read stays, the old routes stay marked (LF line ends read too).
  WriteFile("pvroute.csv",
            "\"172.16.0.1\",,\"10.9.0.0\",\"255.255.0.0\"\n\"9.9.9.9\",,\"10.8.0.0\",\n"
            "\"172.16.0.1\",,\"10.7.0.x\",\n\"172.16.0.1\",,\"10.6.0.0\",\n");
  EXPECT_EQ(Run("pvroute load"), 3);
  EXPECT_EQ(reply_, "load error\r\n");
  EXPECT_EQ(RouteCounts(router), std::make_pair(1, 1));
  EXPECT_EQ(Show(), std::string(kHeader) + "172.16.0.1\t\t\t10.9.0.0\t255.255.0.0\r\n");
  WriteFile("pvroute.csv", "\"172.16.0.1\",,\"10.0.0.0\",\"255.0.0.255\"\r\n");
  EXPECT_EQ(Run("pvroute load"), 3);
  EXPECT_EQ(reply_, "load error\r\n");
  // A failed save keeps the old file.
  ASSERT_EQ(mkdir("pvroute.csv.tmp", 0700), 0);
  EXPECT_EQ(Run("pvroute save"), 0);
  EXPECT_EQ(reply_, "save error\r\n");
  EXPECT_EQ(ReadFile("pvroute.csv"), "\"172.16.0.1\",,\"10.0.0.0\",\"255.0.0.255\"\r\n");
}

// Route commands on one router from several threads while the router registry is copied:
// the sanitizer build checks for races, and the test ends only when nothing deadlocked.
TEST_F(PvrouteTest, ConcurrentCommandsAndSnapshots) {
  AddRouter("172.16.0.1");
  AddRouter("172.16.0.2");
  constexpr int kRounds = 400;
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([t] {
      CommandChannel channel;
      for (int i = 0; i < kRounds; ++i) {
        std::string network = "10." + std::to_string(i % 20) + ".0.0 netmask 255.255.0.0";
        std::string dev = " dev eth" + std::to_string(t);
        // Odd rounds aim at the router that the controller keeps removing.
        std::string target = i % 2 ? "172.16.1.1" : "172.16.0.1";
        channel.Run(PvrouteCommand, "pvroute add " + target + " network " + network + dev);
        channel.Run(PvrouteCommand, "pvroute del " + target + " network " + network);
        channel.Reply();
      }
    });
  }
  threads.emplace_back([] {
    for (int i = 0; i < kRounds; ++i) {
      CPvList snapshot;
      PvList().CopyTo(&snapshot);
    }
  });
  // What the controller does meanwhile: a router comes and goes, marked routes are removed.
  threads.emplace_back([] {
    const uint8_t churned[4] = {172, 16, 1, 1};
    for (int i = 0; i < kRounds; ++i) {
      if (i % 2 == 0) {
        AddRouter("172.16.1.1");
        std::this_thread::yield();
        continue;
      }
      CKelListLock registry(PvList());
      if (CPvData* router = PvList().FindActiveByAddress(churned, 1)) {
        PvList().RemoveData(router, 1);
      }
      auto* first = static_cast<CPvData*>(PvList().GetHead(1)->data);
      CKelListLock routes(first->routes);
      for (CKelNode* n = first->routes.GetHead(1); n != nullptr;) {
        CKelNode* next = first->routes.GetNext(n, 1);
        if (n->data->pendingDelete) first->routes.Remove(n, 1);
        n = next;
      }
    }
  });
  threads.emplace_back([] {
    CommandChannel channel;
    for (int i = 0; i < kRounds / 3; ++i) {
      channel.Run(PvrouteCommand, "pvroute show");
      channel.Run(PvrouteCommand, "pvroute save");
      channel.Run(PvrouteCommand, "pvroute load");
      channel.Run(PvrouteCommand, "pvroute clear");
      channel.Reply();
    }
  });
  for (std::thread& thread : threads) thread.join();
  CPvList snapshot;
  EXPECT_EQ(PvList().CopyTo(&snapshot), 2);
}

}  // namespace
