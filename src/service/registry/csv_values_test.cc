// Values the registry files cannot hold. A comma, a double quote or a control character in a
// value was kept by `add`, shown and saved, and then came back changed or not at all: `pv add A
// user a,b` loaded back as user "a" with password "b", a route with `dev eth0,1` made
// `pvroute load` fail. Every family now refuses such a value with its add usage, and whatever
// it keeps survives a save and a load.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/base/command_handler.h"
#include "service/registry/csv_file.h"
#include "service/registry/pc_commands.h"
#include "service/registry/pc_data.h"
#include "service/registry/pv_commands.h"
#include "service/registry/pv_data.h"
#include "service/registry/pvroute_commands.h"
#include "service/registry/quarantine_commands.h"
#include "service/registry/quarantine_data.h"
#include "service/registry/registry_test_util.h"

namespace {

using registrytest::CommandChannel;
using registrytest::TempWorkDir;

class CsvValuesTest : public ::testing::Test {
 protected:
  void SetUp() override { Clear(); }
  void TearDown() override { Clear(); }
  static void Clear() {
    PvList().RemoveAll();
    PcList().RemoveAll();
    QuarantineList().RemoveAll();
  }

  // The family's handler for the first word of `line`.
  CommandHandler Handler(const std::string& line) {
    std::string family = line.substr(0, line.find(' '));
    if (family == "pv") return PvCommand;
    if (family == "pvroute") return PvrouteCommand;
    if (family == "pc") return PcCommand;
    return QuarantineCommand;
  }
  int Run(const std::string& line) { return channel_.Run(Handler(line), line); }
  std::string Reply() { return channel_.Reply(); }
  // What `line` answers, and its result.
  std::string Answer(const std::string& line, int* result = nullptr) {
    int got = Run(line);
    if (result != nullptr) *result = got;
    return Reply();
  }

  TempWorkDir dir_;
  CommandChannel channel_;
};

TEST_F(CsvValuesTest, EveryFamilyRefusesAValueTheFilesCannotHold) {
  ASSERT_EQ(Run("pv add 127.0.0.5"), 1);
  struct Case {
    const char* usage_line;  // too few words: answers the add usage
    std::string line;
  };
  const std::vector<Case> cases = {
      {"pv add", "pv add 10.0.0.1 user a,b"},
      {"pv add", "pv add 10.0.0.1 pass \"secret\""},
      {"pv add", "pv add 10.0.0.1 user ad\tmin"},
      {"pv add", "pv add 10.0.0.1 pass pw\r"},
      {"pv add", std::string("pv add 10.0.0.1 pass pw\x7F")},
      {"pvroute add", "pvroute add 127.0.0.5 network 192.168.0.0 dev eth0,1"},
      {"pvroute add", "pvroute add 127.0.0.5 network 192.168.0.0 dev \"eth0\""},
      {"pvroute add", "pvroute add 127.0.0.5 network 192.168.0.0 dev eth\x01"},
      {"quarantine add", "quarantine add source 172.17.254.254 protocol tcp,x sport 4208"},
      {"quarantine add", "quarantine add source 172.17.254.254 protocol tcp\" sport 4208"},
      {"quarantine add", "quarantine add source 172.17.254.254 protocol udp\t sport 4208"},
      // The file holds only "tcp" and "udp"; "tcp/ip" was kept, saved, and failed the load.
      {"quarantine add", "quarantine add source 172.17.254.254 protocol tcp/ip sport 4208"},
  };
  for (const Case& c : cases) {
    std::string usage = Answer(c.usage_line);
    ASSERT_NE(usage.find("Usage:"), std::string::npos) << c.usage_line;
    int result = -9;
    EXPECT_EQ(Answer(c.line, &result), usage) << c.line;
    EXPECT_EQ(result, 0) << c.line;
  }
  EXPECT_EQ(PvList().GetCount(), 1);
  EXPECT_EQ(QuarantineList().GetCount(), 0);
  // The same commands without the offending characters are kept.
  EXPECT_EQ(Run("pv add 10.0.0.1 user ab pass secret"), 1);
  EXPECT_EQ(Run("pvroute add 127.0.0.5 network 192.168.0.0 dev eth0.1"), 1);
  EXPECT_EQ(Run("quarantine add source 172.17.254.254 protocol tcp sport 4208"), 1);
}

TEST_F(CsvValuesTest, WhatIsKeptIsShownTheSameAfterSaveAndLoad) {
  const char* adds[] = {
      "pv add 10.0.0.1 sport 0880 user ad'min pass p;w=x\xC3\xA9",
      "pv add 127.0.0.5 pass  user guest",
      "pvroute add 127.0.0.5 network 192.168.0.0 netmask 255.255.255.0 dev eth0:1",
      "pvroute add 10.0.0.1 network 10.1.0.0",
      "pc add source 192.168.0.1 source-mac 00-11-22-33-44-55",
      "pc add network 192.168.1.0 netmask 255.255.255.128",
      "quarantine add source 172.17.254.254 protocol udp sport 4208",
  };
  for (const char* add : adds) {
    int result = -9;
    std::string reply = Answer(add, &result);
    ASSERT_EQ(result, 1) << add << ": " << reply;
  }
  const char* families[] = {"pv", "pvroute", "pc", "quarantine"};
  std::vector<std::string> before;
  for (const char* family : families) {
    before.push_back(Answer(std::string(family) + " show"));
    ASSERT_EQ(Run(std::string(family) + " save"), 0) << family;
    EXPECT_EQ(Reply(), "") << family;
  }
  for (const char* family : families) {
    EXPECT_EQ(Answer(std::string(family) + " load"), "") << family;
  }
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(Answer(std::string(families[i]) + " show"), before[i]) << families[i];
  }
}

TEST(CsvCanHoldTest, RefusesOnlyCommasQuotesAndControlCharacters) {
  EXPECT_TRUE(CsvCanHold({}));
  EXPECT_TRUE(CsvCanHold({"", "admin", "p;w='x' =\\ \xC3\xA9~"}));
  for (const char* bad : {",", "a,b", "\"", "a\"b", "\t", "a\rb", "\n", "\x1F", "\x7F"}) {
    EXPECT_FALSE(CsvCanHold({"fine", bad})) << bad;
  }
  EXPECT_FALSE(CsvCanHold({std::string_view("a\0b", 3)}));
}

}  // namespace
