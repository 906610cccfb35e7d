#include "platform/profile.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace platform {
namespace {

class ProfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/profile_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    dir_ = root_ + "/nested/conf";
    setenv("VOKELMNG_CONFIG_DIR", (dir_ + "/").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("VOKELMNG_CONFIG_DIR");
    std::filesystem::remove_all(root_);
  }
  void WriteFile(const std::string& text) {
    std::filesystem::create_directories(dir_);
    std::ofstream(dir_ + "/t.ini", std::ios::binary) << text;
  }
  std::string ReadFile() {
    std::ifstream in(dir_ + "/t.ini", std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::string Get(const char* section, const char* key, size_t size = 1024) {
    return ReadProfileString("t.ini", section, key, "DEF", size);
  }
  std::string root_, dir_;
};

TEST_F(ProfileTest, DirectoryFromEnvironmentOrDefault) {
  EXPECT_EQ(ProfileDir(), dir_);
  EXPECT_EQ(ProfilePath("x.ini"), dir_ + "/x.ini");
  unsetenv("VOKELMNG_CONFIG_DIR");
  EXPECT_EQ(ProfileDir(), "/etc/vokelmng");
}

TEST_F(ProfileTest, ReadsCaseInsensitivelyWithTrimDefaultsAndCut) {
  EXPECT_EQ(Get("SYSLOG", "DESTINATION"), "DEF") << "missing file";
  WriteFile(
      "; comment\r\n"
      "[other]\r\n"
      "DESTINATION=wrong\r\n"
      "  [ SysLog ]  \r\n"
      "  destination  =  10.1.2.3  \r\n"
      "PriorityMask=\r\n"
      "quoted=\"a b\"\r\n"
      "novalue\r\n"
      "[later]\n"
      "key=x=y\n");
  EXPECT_EQ(Get("SYSLOG", "DESTINATION"), "10.1.2.3");
  EXPECT_EQ(Get("syslog", "prioritymask"), "") << "present but empty is not the default";
  EXPECT_EQ(Get("SYSLOG", "quoted"), "a b");
  EXPECT_EQ(Get("SYSLOG", "novalue"), "DEF");
  EXPECT_EQ(Get("SYSLOG", "missing"), "DEF");
  EXPECT_EQ(Get("nosection", "DESTINATION"), "DEF");
  EXPECT_EQ(Get("LATER", "KEY"), "x=y");
  EXPECT_EQ(Get("SYSLOG", "DESTINATION", 5), "10.1");
  EXPECT_EQ(Get("SYSLOG", "missing", 3), "DE") << "the default is cut the same way";
  EXPECT_EQ(Get("SYSLOG", "DESTINATION", 0), "");
}

TEST_F(ProfileTest, WriteCreatesReplacesRemovesAndKeepsOtherLines) {
  ASSERT_TRUE(WriteProfileString("t.ini", "Main", "Port", "880"));
  EXPECT_EQ(ReadFile(), "[Main]\nPort=880\n");
  WriteFile("; keep me\n[Main]\nPort=880\nName = box\n\n[Other]\nA=1\n");
  ASSERT_TRUE(WriteProfileString("t.ini", "MAIN", "port", "8000"));
  ASSERT_TRUE(WriteProfileString("t.ini", "main", "New", "v"));
  ASSERT_TRUE(WriteProfileString("t.ini", "Third", "B", "2"));
  EXPECT_EQ(ReadFile(),
            "; keep me\n[Main]\nport=8000\nName = box\nNew=v\n\n[Other]\nA=1\n[Third]\nB=2\n");
  EXPECT_EQ(Get("main", "PORT"), "8000");

  ASSERT_TRUE(WriteProfileString("t.ini", "Main", "NAME", nullptr));
  EXPECT_EQ(Get("Main", "Name"), "DEF");
  ASSERT_TRUE(WriteProfileString("t.ini", "Other", nullptr, nullptr));
  EXPECT_EQ(ReadFile(), "; keep me\n[Main]\nport=8000\nNew=v\n\n[Third]\nB=2\n");
  ASSERT_TRUE(WriteProfileString("t.ini", "Absent", "x", nullptr));
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/t.ini.tmp"));
  int entries = 0;
  for (auto& e : std::filesystem::directory_iterator(dir_)) entries += e.is_regular_file();
  EXPECT_EQ(entries, 1) << "no temporary file left behind";
}

TEST_F(ProfileTest, KeepsCrLfFilesInCrLf) {
  WriteFile("[A]\r\nx=1\r\n");
  ASSERT_TRUE(WriteProfileString("t.ini", "A", "y", "2"));
  EXPECT_EQ(ReadFile(), "[A]\r\nx=1\r\ny=2\r\n");
}

std::string KeyName(int writer, int n) {
  char name[32];
  snprintf(name, sizeof name, "k%d_%d", writer, n);
  return name;
}

TEST_F(ProfileTest, ConcurrentWritersLoseNothing) {
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([t] {
      for (int i = 0; i < 25; ++i) {
        std::string key = KeyName(t, i);
        EXPECT_TRUE(WriteProfileString("t.ini", "S", key.c_str(), "v"));
      }
    });
  }
  for (auto& w : writers) w.join();
  for (int t = 0; t < 4; ++t) {
    for (int i = 0; i < 25; ++i) {
      std::string key = KeyName(t, i);
      EXPECT_EQ(Get("S", key.c_str()), "v") << key;
    }
  }
}

}  // namespace
}  // namespace platform
