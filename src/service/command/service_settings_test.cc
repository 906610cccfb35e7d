#include "service/command/service_settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "command_channel.h"

namespace {

class ServiceCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vokel-settings-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    setenv("VOKELMNG_CONFIG_DIR", dir_.c_str(), 1);
    SetServiceSettings(ServiceSettings());
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  // Runs one command; its result, and its reply in *reply.
  int Run(std::vector<std::string> words, std::string* reply = nullptr) {
    int result = channel_.Run(ServiceCommand, std::move(words));
    std::string text = channel_.Reply();
    if (reply != nullptr) *reply = text;
    return result;
  }
  void WriteIni(const std::string& text) { std::ofstream(dir_ + "/VoKelMng.ini") << text; }

  std::string dir_;
  testsupport::CommandChannel channel_;
};

TEST_F(ServiceCommandTest, ResultsTellTheControllerWhatChanged) {
  std::string reply;
  EXPECT_EQ(Run({"service", "set", "sport", "08080"}, &reply), 1);
  EXPECT_EQ(reply, "");
  EXPECT_EQ(CurrentServiceSettings().portText, "08080");
  EXPECT_EQ(CurrentServiceSettings().port, 8080);
  EXPECT_EQ(Run({"service", "save"}, &reply), 0);
  EXPECT_EQ(reply, "");
  EXPECT_EQ(Run({"service", "clear"}, &reply), 4);
  EXPECT_EQ(CurrentServiceSettings().port, 8000);
  EXPECT_EQ(Run({"service", "load"}, &reply), 3);
  EXPECT_EQ(reply, "");
  EXPECT_EQ(CurrentServiceSettings().portText, "08080");
  EXPECT_EQ(Run({"service"}, &reply), 0);
  EXPECT_EQ(reply, "PORT\r\n08080\r\n");
}

TEST_F(ServiceCommandTest, StartUpLoadReportsTheNumber) {
  EXPECT_EQ(LoadServiceSettings(), 8000);  // no file: the default
  WriteIni("[service]\nport = 0\n");
  EXPECT_EQ(LoadServiceSettings(), 0);
  EXPECT_EQ(CurrentServiceSettings().portText, "0");
  WriteIni("[SERVICE]\nREMOTE=enable\nPORT=65535\n");
  EXPECT_EQ(LoadServiceSettings(), 65535);
  // A failed set leaves the loaded settings alone.
  EXPECT_EQ(Run({"service", "set", "sport", "99999"}), 0);
  EXPECT_EQ(CurrentServiceSettings().port, 65535);
}

TEST_F(ServiceCommandTest, SaveErrorIsAnsweredAndNothingChanges) {
  std::filesystem::remove_all(dir_);
  std::ofstream(dir_) << "a file where the profile folder should be";
  std::string reply;
  EXPECT_EQ(Run({"service", "save"}, &reply), 0);
  EXPECT_EQ(reply, "save error\r\n");
  std::filesystem::remove(dir_);
  std::filesystem::create_directory(dir_);
}

TEST_F(ServiceCommandTest, FailedReplyIsNegative) {
  channel_.ClosePeer();
  EXPECT_LT(Run({"service"}), 0);
  EXPECT_LT(Run({"service", "show"}), 0);
  EXPECT_LT(Run({"service", "set", "sport", "0"}), 0);
  EXPECT_EQ(Run({"service", "set", "sport", "1"}), 1);  // nothing to send: still done
}

}  // namespace
