#include "common/syslog.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "log_capture.h"

namespace {

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

// A sink in place of the UDP client gets the severity and the text, within the mask; nothing
// is sent.
TEST(SyslogSinkTest, SinkGetsSeverityAndTextWithinTheMask) {
  testsupport::LogCapture sink;
  SyslogSetSink(&sink);
  int old_mask = SyslogSetMask(kLogNotice);
  EXPECT_EQ(Syslog(kLogErr, "An error occurred in %s.", "PostThreadMessage"), 39);
  Syslog(kLogInfo, "above the mask");
  Syslog(8 | kLogWarning, "low bits count");
  Syslog(kLogNotice, "%s", std::string(3000, 'n').c_str());
  SyslogSetMask(old_mask);
  SyslogSetSink(&testsupport::Logs());
  std::vector<testsupport::LogLine> lines = sink.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].severity, kLogErr);
  EXPECT_EQ(lines[0].text, "An error occurred in PostThreadMessage.");
  EXPECT_EQ(lines[1].severity, kLogWarning);
  EXPECT_EQ(lines[2].text, std::string(1023, 'n')) << "cut as the datagram's text is";
}

}  // namespace
