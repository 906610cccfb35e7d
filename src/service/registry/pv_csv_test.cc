#include "service/registry/pv_csv.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "service/registry/csv_file.h"
#include "service/registry/pv_commands.h"
#include "service/registry/registry_test_util.h"

namespace {

using registrytest::FileMode;
using registrytest::ReadFile;
using registrytest::WriteFile;

class PvCsvTest : public ::testing::Test {
 protected:
  void SetUp() override { PvList().RemoveAll(); }
  void TearDown() override { PvList().RemoveAll(); }

  int Run(const std::string& line) { return channel_.Run(PvCommand, line); }
  std::string Reply() { return channel_.Reply(); }
  // Addresses of the routers, in order, each with "-" appended when marked deleted.
  std::string Routers() {
    std::string text;
    CKelListLock lock(PvList());
    for (CKelNode* n = PvList().GetHead(1); n; n = PvList().GetNext(n, 1)) {
      const CPvData& r = *static_cast<const CPvData*>(n->data);
      text += r.addressText + (r.pendingDelete ? "- " : " ");
    }
    return text;
  }

  registrytest::TempWorkDir dir_;
  registrytest::CommandChannel channel_;
};

constexpr const char* kSaved =
    "\"10.0.0.1\",880,\"admin\",\"pomvy\"\r\n"
    "\"10.0.0.2\",8080,\"root\",\r\n";

TEST_F(PvCsvTest, SaveAndLoadRoundTripByteForByte) {
  ASSERT_EQ(Run("pv add 10.0.0.1"), 1);
  ASSERT_EQ(Run("pv add 10.0.0.2 sport 8080 user root pass "), 1);
  ASSERT_EQ(Run("pv add 10.0.0.3"), 1);
  ASSERT_EQ(Run("pv del 10.0.0.3"), 2);  // marked routers are not saved
  EXPECT_EQ(Run("pv save"), 0);
  EXPECT_EQ(Reply(), "");
  EXPECT_EQ(ReadFile("pv.csv"), kSaved);
  EXPECT_EQ(FileMode("pv.csv"), 0600u);

  EXPECT_EQ(Run("pv load"), 3);
  EXPECT_EQ(Reply(), "");
  EXPECT_EQ(Routers(), "10.0.0.1- 10.0.0.2- 10.0.0.3- 10.0.0.1 10.0.0.2 ");
  {
    CKelListLock lock(PvList());
    CPvData key;
    key.address = {10, 0, 0, 2};
    key.portText = "8080";
    key.port = 8080;
    CPvData* router = PvList().FindActive(key, 1);
    ASSERT_NE(router, nullptr);
    EXPECT_EQ(router->user, "root");
    EXPECT_EQ(router->password, "");  // an empty password stays empty
    EXPECT_EQ(router->pendingAdd, 1);
  }
  std::filesystem::remove("pv.csv");
  EXPECT_EQ(Run("pv save"), 0);
  EXPECT_EQ(ReadFile("pv.csv"), kSaved);
  EXPECT_FALSE(std::filesystem::exists("pv.csv.tmp"));
}

TEST_F(PvCsvTest, LoadAcceptsLfShortLinesAndDefaults) {
  WriteFile("pv.csv", "\"10.0.0.1\"\n  10.0.0.2 , 81 ,\"u\" \t\r\n\"10.0.0.3\",82,,\"pw\",extra");
  EXPECT_EQ(PvLoad(), 0);
  std::string seen;
  for (CKelNode* n = PvList().GetHead(); n; n = PvList().GetNext(n)) {
    const CPvData& r = *static_cast<const CPvData*>(n->data);
    seen += r.addressText + "," + r.portText + "," + r.user + "," + r.password + " ";
  }
  EXPECT_EQ(seen, "10.0.0.1,880,admin,pomvy 10.0.0.2,81,u,pomvy 10.0.0.3,82,,pw ");
}

TEST_F(PvCsvTest, BadLinesStopTheLoadAndKeepWhatWasRead) {
  const char* files[] = {
      "\"10.0.0.5\"\r\n\r\n\"10.0.0.6\"\r\n",     // blank line
      "\"10.0.0.5\"\r\n\"10.0.0.6\",,\"a\"\r\n",  // empty port field
      "\"10.0.0.5\"\r\n\"10.0.0.5\",81\r\n",      // duplicate address
      "\"10.0.0.5\"\r\n\"10.0.0.256\"\r\n",       // bad address
      "\"10.0.0.5\"\r\n\"10.0.0.6\",65536\r\n",   // bad port
  };
  for (const char* file : files) {
    PvList().RemoveAll();
    ASSERT_EQ(Run("pv add 10.0.0.1"), 1);
    WriteFile("pv.csv", file);
    EXPECT_EQ(Run("pv load"), 3) << file;
    EXPECT_EQ(Reply(), "load error\r\n") << file;
    EXPECT_EQ(Routers(), "10.0.0.1- 10.0.0.5 ") << file;
  }
  // No file: the registry is left as it is.
  std::filesystem::remove("pv.csv");
  EXPECT_EQ(Run("pv load"), 3);
  EXPECT_EQ(Reply(), "load error\r\n");
  EXPECT_EQ(Routers(), "10.0.0.1- 10.0.0.5 ");
}

TEST_F(PvCsvTest, FailedSaveLeavesTheOldFileIntact) {
  ASSERT_EQ(Run("pv add 10.0.0.1"), 1);
  ASSERT_EQ(Run("pv save"), 0);
  const std::string before = ReadFile("pv.csv");
  ASSERT_EQ(Run("pv add 10.0.0.2"), 1);

  std::filesystem::create_directory("pv.csv.tmp");  // the temporary file cannot be made
  EXPECT_EQ(Run("pv save"), 0);
  EXPECT_EQ(Reply(), "save error\r\n");
  EXPECT_EQ(ReadFile("pv.csv"), before);
  std::filesystem::remove("pv.csv.tmp");

  // A stale temporary file from an interrupted save is replaced.
  WriteFile("pv.csv.tmp", "garbage");
  EXPECT_EQ(Run("pv save"), 0);
  EXPECT_EQ(Reply(), "");
  EXPECT_EQ(ReadFile("pv.csv"), before + "\"10.0.0.2\",880,\"admin\",\"pomvy\"\r\n");

  // A working directory that is gone.
  registrytest::TempWorkDir gone;
  std::filesystem::remove(gone.path());
  EXPECT_EQ(Run("pv save"), 0);
  EXPECT_EQ(Reply(), "save error\r\n");
}

TEST(CsvSplitFieldsTest, FieldsAfterTheLastCommaArePresent) {
  using Fields = std::vector<std::string>;
  EXPECT_EQ(CsvSplitFields(" \t\r\n"), Fields{});
  EXPECT_EQ(CsvSplitFields("\"a\""), Fields{"a"});
  EXPECT_EQ(CsvSplitFields("\"a\",880,\"admin\","), (Fields{"a", "880", "admin", ""}));
  EXPECT_EQ(CsvSplitFields(" \"a b\" ,,\t\"\" "), (Fields{"a b", "", ""}));
}

}  // namespace
