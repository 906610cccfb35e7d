#include "common/syslog.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "common/log_receiver_testutil.h"
#include "netns.h"

namespace {

using commontest::LogReceiver;
using commontest::TempProfileDir;

std::string Header(int priority, std::time_t when, const std::string& tag) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm t{};
  localtime_r(&when, &t);
  char host[256] = "";
  gethostname(host, sizeof host);
  char buf[512];
  std::snprintf(buf, sizeof buf, "<%d>%s %02d %02d:%02d:%02d %s ", priority, kMonths[t.tm_mon],
                t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, host);
  return buf + (tag.empty() ? "" : tag + ": ");
}

// Every case runs in its own network with a log receiver on 127.0.0.1:514, a fresh profile
// directory, an unconnected client and the start mask.
class SyslogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ENTER_PRIVATE_NETWORK();
    SyslogClose();
    SyslogSetMask(kLogDebug);
    profile_.WriteSyslogDestination("127.0.0.1");
    receiver_ = std::make_unique<LogReceiver>();
    ASSERT_TRUE(receiver_->ok());
  }
  void TearDown() override { SyslogClose(); }

  // Sends one message and checks the datagram byte for byte against the local time around it.
  void ExpectDatagram(int severity, const std::string& text, int priority, const std::string& tag) {
    std::time_t before = std::time(nullptr);
    Syslog(severity, "%s", text.c_str());
    std::time_t after = std::time(nullptr);
    auto got = receiver_->Next();
    ASSERT_TRUE(got.has_value()) << text;
    std::string early = Header(priority, before, tag) + text;
    std::string late = Header(priority, after, tag) + text;
    EXPECT_TRUE(*got == early || *got == late) << "got:  " << *got << "\nwant: " << early;
  }

  TempProfileDir profile_;
  std::unique_ptr<LogReceiver> receiver_;
};

TEST_F(SyslogTest, DatagramCarriesPriorityTimeHostAndTag) {
  SyslogOpen("VoKelMng", 32, 24);
  ExpectDatagram(kLogInfo, "service started.", 30, "VoKelMng");
  ExpectDatagram(kLogDebug, "Start processing was finished.", 31, "VoKelMng");
  SyslogOpen("", 0, 8);  // no tag, as the console programs log
  ExpectDatagram(kLogErr, "An error occurred. A cause is WSAECONNRESET.", 11, "");
  SyslogOpen("local7", 0, 184);
  ExpectDatagram(kLogEmerg, "x", 184, "local7");
  SyslogOpen("t", 0, 0);
  ExpectDatagram(kLogWarning, "%d stays as typed", 4, "t");
}

TEST_F(SyslogTest, OpenIgnoresFacilitiesOutsideTheAcceptedList) {
  SyslogOpen("kept", 0, 24);
  for (int facility : {-8, 4, 25, 96, 120, 192, 256}) SyslogOpen("lost", 0, facility);
  ExpectDatagram(kLogInfo, "still daemon", 30, "kept");
  SyslogOpen(nullptr, 0, 128);  // no tag given: the tag stays
  ExpectDatagram(kLogInfo, "local0", 134, "kept");
}

TEST_F(SyslogTest, MaskDropsMessagesAboveItsSeverity) {
  EXPECT_EQ(SyslogSeverityFromName("info"), kLogInfo);
  EXPECT_EQ(SyslogSetMask(SyslogSeverityFromName("info")), kLogDebug);
  EXPECT_EQ(Syslog(kLogDebug, "dropped"), 0);
  SyslogOpen("", 0, 8);
  ExpectDatagram(kLogInfo, "info passes", 14, "");
  ExpectDatagram(kLogErr, "err passes", 11, "");
  EXPECT_EQ(SyslogSetMask(0), kLogInfo) << "0 only reads the mask";
  EXPECT_EQ(Syslog(kLogDebug, "dropped too"), 0);
  // Only the low three bits count against the mask.
  EXPECT_EQ(Syslog(8 | kLogDebug, "dropped as debug"), 0);
  EXPECT_FALSE(receiver_->Next(300).has_value());

  // "emerg" is 0, which leaves the mask alone: debug is sent again after a reset to 7.
  EXPECT_EQ(SyslogSetMask(kLogDebug), kLogInfo);
  EXPECT_EQ(SyslogSetMask(SyslogSeverityFromName("emerg")), kLogDebug);
  ExpectDatagram(kLogDebug, "debug passes", 15, "");
}

TEST(SyslogHeaderTest, FixedFieldsAreZeroPadded) {
  struct HeaderCase {
    int month, day, hour, minute, second, priority;
    const char* tag;
    const char* expected;
  };
  const std::vector<HeaderCase> cases = {
      {11, 6, 19, 57, 43, 30, "VoKelMng", "<30>Dec 06 19:57:43 pc01 VoKelMng: "},
      {0, 1, 0, 0, 0, 11, "", "<11>Jan 01 00:00:00 pc01 "},
      {4, 31, 9, 5, 7, 191, "t", "<191>May 31 09:05:07 pc01 t: "},
      {8, 15, 23, 59, 60, 0, "", "<0>Sep 15 23:59:60 pc01 "},
  };
  for (const HeaderCase& c : cases) {
    std::tm t{};
    t.tm_mon = c.month;
    t.tm_mday = c.day;
    t.tm_hour = c.hour;
    t.tm_min = c.minute;
    t.tm_sec = c.second;
    char buf[64];
    size_t n = FormatSyslogHeader(buf, sizeof buf, c.priority, t, "pc01", c.tag);
    EXPECT_EQ(std::string(buf, n), c.expected);
  }
  std::string long_host(2000, 'h');
  char area[1024];
  std::tm t{};
  EXPECT_EQ(FormatSyslogHeader(area, sizeof area, 8, t, long_host.c_str(), "x"), 1023u);
  EXPECT_EQ(area[1023], '\0');
}

TEST(SyslogSeverityTest, NamesAreMatchedInFullAndWithCase) {
  const char* names[] = {"emerg", "alert", "crit", "err", "warning", "notice", "info", "debug"};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(SyslogSeverityFromName(names[i]), i) << names[i];
  for (const char* bad : {"INFO", "inf", "infos", "", "error", "warn"}) {
    EXPECT_EQ(SyslogSeverityFromName(bad), -1) << bad;
  }
  EXPECT_EQ(SyslogSeverityFromName(nullptr), -1);
}

TEST_F(SyslogTest, LongTextIsCutAndNothingIsAppended) {
  SyslogOpen("VoKelMng", 32, 24);
  std::string text(3000, 'a');
  text[1022] = 'b';
  Syslog(kLogInfo, "%s", text.c_str());
  auto got = receiver_->Next();
  ASSERT_TRUE(got.has_value());
  size_t start = got->find("VoKelMng: ") + 10;
  EXPECT_EQ(got->substr(start), text.substr(0, 1023));
  EXPECT_EQ(got->back(), 'b');
}

TEST_F(SyslogTest, DestinationIsReadAtEveryConnect) {
  SyslogOpen("", 0, 8);
  ExpectDatagram(kLogInfo, "first", 14, "");
  LogReceiver second("127.0.0.2");
  ASSERT_TRUE(second.ok());
  profile_.WriteSyslogDestination("127.0.0.2");
  Syslog(kLogInfo, "still the first server");
  EXPECT_TRUE(receiver_->Next().has_value());
  SyslogClose();
  Syslog(kLogInfo, "second");
  auto got = second.Next();
  ASSERT_TRUE(got.has_value());
  EXPECT_NE(got->find(" second"), std::string::npos);
  EXPECT_FALSE(receiver_->Next(200).has_value());
}

TEST_F(SyslogTest, OptionEightConnectsAtOnce) {
  SyslogOpen("now", 8, 24);
  profile_.WriteSyslogDestination("127.0.0.2");  // too late: already connected
  ExpectDatagram(kLogInfo, "to the first", 30, "now");
}

TEST_F(SyslogTest, DestinationThatIsNoAddressSendsNothing) {
  SyslogOpen("", 0, 8);
  for (const char* bad : {"syslog.example", "", "1.2.3.4.5"}) {
    profile_.WriteSyslogDestination(bad);
    EXPECT_LT(Syslog(kLogErr, "lost"), 0) << bad;
  }
  EXPECT_FALSE(receiver_->Next(300).has_value());
  profile_.WriteSyslogDestination("127.0.0.1");  // the next message connects again
  ExpectDatagram(kLogErr, "found", 11, "");
}

TEST_F(SyslogTest, ThreadsLoggingAtOnceEachSendWholeDatagrams) {
  SyslogOpen("VoKelMng", 32, 24);
  constexpr int kThreads = 4;
  constexpr int kMessages = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kMessages; ++i) Syslog(kLogInfo, "thread %d message %d.", t, i);
    });
  }
  for (std::thread& t : threads) t.join();
  int count = 0;
  while (auto got = receiver_->Next(500)) {
    EXPECT_EQ(got->rfind("<30>", 0), 0u);
    EXPECT_NE(got->find(" VoKelMng: thread "), std::string::npos) << *got;
    EXPECT_EQ(got->back(), '.');
    ++count;
  }
  EXPECT_EQ(count, kThreads * kMessages);
}

}  // namespace
