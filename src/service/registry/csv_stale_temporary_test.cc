// What a save killed between writing "<name>.tmp" and renaming it leaves behind. The next start
// did not remove it: every load (the start loads every file) now does, and touches nothing else.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "service/registry/csv_file.h"
#include "service/registry/pc_csv.h"
#include "service/registry/pc_data.h"
#include "service/registry/pv_csv.h"
#include "service/registry/pv_data.h"
#include "service/registry/pvroute_csv.h"
#include "service/registry/quarantine_csv.h"
#include "service/registry/quarantine_data.h"
#include "service/registry/registry_test_util.h"

namespace {

using registrytest::ReadFile;
using registrytest::TempWorkDir;
using registrytest::WriteFile;

bool Exists(const std::string& name) {
  struct stat st;
  return lstat(name.c_str(), &st) == 0;
}

TEST(CsvStaleTemporaryTest, EveryLoadRemovesTheTemporaryFileOfAKilledSave) {
  TempWorkDir dir;
  const std::string pv = "\"127.0.0.5\",880,\"admin\",\"pomvy\"\r\n";
  const std::string routes = "\"127.0.0.5\",\"eth0\",\"192.168.0.0\",\"255.255.255.0\"\r\n";
  const std::string pcs = "\"00:11:22:33:44:55\",\"192.168.0.1\",\"\",\"\"\r\n";
  const std::string servers = "\"172.17.254.254\",\"tcp\",\"4208\"\r\n";
  WriteFile("pv.csv", pv);
  WriteFile("pvroute.csv", routes);
  WriteFile("pc.csv", pcs);
  WriteFile("quarantine.csv", servers);
  for (const char* name : {"pv.csv", "pvroute.csv", "pc.csv", "quarantine.csv"}) {
    WriteFile(std::string(name) + ".tmp", "\"10.0.0.1\",8");  // cut off mid-line
  }

  CPvList routers;
  ASSERT_EQ(PvLoad(routers), 0);
  ASSERT_EQ(LoadPvrouteFile(routers), PvrouteLoadResult::kLoaded);
  CPcList pcList;
  ASSERT_EQ(LoadPcFile(pcList), 0);
  CQuarantineList serverList;
  ASSERT_EQ(LoadQuarantineFile(serverList), 0);

  for (const char* name : {"pv.csv.tmp", "pvroute.csv.tmp", "pc.csv.tmp", "quarantine.csv.tmp"}) {
    EXPECT_FALSE(Exists(name)) << name;
  }
  EXPECT_EQ(ReadFile("pv.csv"), pv);
  EXPECT_EQ(ReadFile("pvroute.csv"), routes);
  EXPECT_EQ(ReadFile("pc.csv"), pcs);
  EXPECT_EQ(ReadFile("quarantine.csv"), servers);
  EXPECT_EQ(routers.GetCount(), 1);
  EXPECT_EQ(pcList.GetCount(), 1);
  EXPECT_EQ(serverList.GetCount(), 1);
}

TEST(CsvStaleTemporaryTest, OnlyARegularFileOfThatNameIsRemoved) {
  TempWorkDir dir;
  // No file to load: the stale temporary file goes all the same.
  WriteFile("pv.csv.tmp", "\"10.0.0.1\"");
  CPvList routers;
  EXPECT_EQ(PvLoad(routers), -1);
  EXPECT_FALSE(Exists("pv.csv.tmp"));
  EXPECT_FALSE(Exists("pv.csv"));

  // A directory, or a link (even one to the real file), is not a leftover of a save.
  ASSERT_EQ(mkdir("pc.csv.tmp", 0700), 0);
  WriteFile("quarantine.csv", "\"172.17.254.254\",\"udp\",\"53\"\r\n");
  ASSERT_EQ(symlink("quarantine.csv", "quarantine.csv.tmp"), 0);
  WriteFile("other.tmp", "x");
  WriteFile("pc.csv.tmp.1", "x");
  CPcList pcs;
  EXPECT_EQ(LoadPcFile(pcs), -1);
  CQuarantineList servers;
  EXPECT_EQ(LoadQuarantineFile(servers), 0);
  EXPECT_TRUE(Exists("pc.csv.tmp"));
  EXPECT_TRUE(Exists("quarantine.csv.tmp"));
  EXPECT_EQ(ReadFile("quarantine.csv"), "\"172.17.254.254\",\"udp\",\"53\"\r\n");
  EXPECT_TRUE(Exists("other.tmp"));
  EXPECT_TRUE(Exists("pc.csv.tmp.1"));
}

}  // namespace
