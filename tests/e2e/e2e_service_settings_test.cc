// The `service` family over the command port, and the port it saves taking effect at the next
// start of the program.
#include <gtest/gtest.h>

#include <string>

#include "harness.h"
#include "netns.h"

namespace {

const char kFamilyUsage[] =
    "service: invalid option\r\n\r\nUsage: service OPERATION [sport SRC_PORT]\r\n\r\n"
    "Examples:\r\n  service set sport 8000\r\n  service save\r\n  service load\r\n"
    "  service show\r\n\r\nOPERATION:         (set/save/load/show)\r\n"
    "SRC_PORT:          Port number of Service\r\n";
const char kSetUsage[] =
    "service: invalid option\r\n\r\nUsage: service set sport SRC_PORT\r\n\r\n"
    "Examples:\r\n  service set sport 8000\r\n";
const char kSaveUsage[] =
    "service: invalid option\r\n\r\nUsage: service save\r\n\r\nExamples:\r\n  service save\r\n";
const char kLoadUsage[] =
    "service: invalid option\r\n\r\nUsage: service load\r\n\r\nExamples:\r\n  service load\r\n";
const char kClearUsage[] =
    "service: invalid option\r\n\r\nUsage: service clear\r\n\r\nExamples:\r\n"
    "  service clear\r\n";

std::string Shown(const std::string& port) { return "PORT\r\n" + port + "\r\n"; }

class ServiceSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ENTER_PRIVATE_NETWORK();
    ASSERT_TRUE(syslog_.Start());
  }
  void StartAndConnect(uint16_t port = 8000) {
    ASSERT_TRUE(service_.Start({}, port)) << service_.error();
    ASSERT_TRUE(client_.Connect(port));
    ASSERT_EQ(client_.ReadReply(), "");
  }

  e2e::SyslogListener syslog_;
  e2e::ServiceProcess service_;
  e2e::CommandClient client_;
};

TEST_F(ServiceSettingsTest, SetValidatesEveryWordAndKeepsTheLastValue) {
  StartAndConnect();
  EXPECT_EQ(client_.Command("service"), Shown("8000"));
  EXPECT_EQ(client_.Command("service set sport 8080"), "");
  EXPECT_EQ(client_.Command("service"), Shown("8080"));
  for (const char* bad :
       {"service set sport 0", "service set sport 65536", "service set sport 80a",
        "service set port 8080", "service set sport", "service set", "service set sport 8081 sport",
        "service set sport 8081 x", "service set sport -1"}) {
    EXPECT_EQ(client_.Command(bad), kSetUsage) << bad;
  }
  EXPECT_EQ(client_.Command("service"), Shown("8080"));
  EXPECT_EQ(client_.Command("service set sp 9000"), "");
  EXPECT_EQ(client_.Command("service"), Shown("9000"));
  EXPECT_EQ(client_.Command("service set sport 8080 sport 9001"), "");
  EXPECT_EQ(client_.Command("service"), Shown("9001"));
  EXPECT_EQ(client_.Command("service set s 65535"), "");
  EXPECT_EQ(client_.Command("service"), Shown("65535"));
  EXPECT_EQ(service_.Stop(), 0);
}

TEST_F(ServiceSettingsTest, OtherOperationsAndTheirUsageTexts) {
  StartAndConnect();
  EXPECT_EQ(client_.Command("service show"), kFamilyUsage);
  EXPECT_EQ(client_.Command("service list"), kFamilyUsage);
  EXPECT_EQ(client_.Command("service SET sport 8080"), kFamilyUsage);
  EXPECT_EQ(client_.Command("service save x"), kSaveUsage);
  EXPECT_EQ(client_.Command("service load x"), kLoadUsage);
  EXPECT_EQ(client_.Command("service clear x"), kClearUsage);
  EXPECT_EQ(client_.Command("service set sport 1234"), "");
  EXPECT_EQ(client_.Command("service clear"), "");
  EXPECT_EQ(client_.Command("service"), Shown("8000"));
  EXPECT_FALSE(service_.ReadConfig("VoKelMng.ini").has_value()) << "clear must not write";
  EXPECT_EQ(service_.Stop(), 0);
}

TEST_F(ServiceSettingsTest, LoadErrorKeepsTheTextThatWasRead) {
  StartAndConnect();
  ASSERT_TRUE(service_.WriteConfig("VoKelMng.ini", "[SERVICE]\nPORT=abc\n"));
  EXPECT_EQ(client_.Command("service load"), "load error\r\n");
  EXPECT_EQ(client_.Command("service"), Shown("abc"));
  ASSERT_TRUE(service_.WriteConfig("VoKelMng.ini", "[SERVICE]\nPORT=9000\n"));
  EXPECT_EQ(client_.Command("service load"), "");
  EXPECT_EQ(client_.Command("service"), Shown("9000"));
  ASSERT_TRUE(service_.WriteConfig("VoKelMng.ini", "[SERVICE]\nPORT=\n"));
  EXPECT_EQ(client_.Command("service load"), "load error\r\n");
  EXPECT_EQ(client_.Command("service"), "PORT\r\n");
  EXPECT_EQ(service_.Stop(), 0);
}

TEST_F(ServiceSettingsTest, OnlyASavedPortSurvivesARestart) {
  StartAndConnect();
  EXPECT_EQ(client_.Command("service set sport 8081"), "");
  client_.Close();
  ASSERT_EQ(service_.Stop(), 0);
  StartAndConnect();
  EXPECT_EQ(client_.Command("service"), Shown("8000"));

  EXPECT_EQ(client_.Command("service set sport 08080"), "");
  EXPECT_EQ(client_.Command("service"), Shown("08080"));
  EXPECT_EQ(client_.Command("service save"), "");
  std::optional<std::string> ini = service_.ReadConfig("VoKelMng.ini");
  ASSERT_TRUE(ini.has_value());
  EXPECT_NE(ini->find("[SERVICE]"), std::string::npos) << *ini;
  EXPECT_NE(ini->find("PORT=08080"), std::string::npos) << *ini;
  client_.Close();
  ASSERT_EQ(service_.Stop(), 0);

  StartAndConnect(8080);
  EXPECT_EQ(client_.Command("service"), Shown("08080"));
  EXPECT_EQ(service_.Stop(), 0);
}

}  // namespace
