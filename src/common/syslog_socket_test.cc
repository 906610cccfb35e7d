// The real UDP client: datagrams byte for byte at a listener on 127.0.0.1:514, inside the
// test's own network.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/syslog.h"
#include "log_capture.h"
#include "loopback.h"
#include "netns.h"
#include "scratch_dir.h"

namespace {

using testsupport::ScratchDir;
using testsupport::SyslogListener;

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
    SyslogSetSink(nullptr);  // the UDP client, not the capture
    SyslogClose();
    SyslogSetMask(kLogDebug);
    WriteDestination("127.0.0.1");
    receiver_ = std::make_unique<SyslogListener>();
    ASSERT_TRUE(receiver_->Start());
  }
  void TearDown() override {
    SyslogClose();
    SyslogSetCopy(nullptr);
    SyslogSetSink(&testsupport::Logs());
  }
  void WriteDestination(const std::string& destination) {
    profile_.Write("syslog.ini", "[SYSLOG]\nDESTINATION=" + destination + "\n");
  }

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

  ScratchDir profile_{"vokel-syslog", ScratchDir::kProfileDir};
  std::unique_ptr<SyslogListener> receiver_;
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
  SyslogListener second;
  ASSERT_TRUE(second.Start(514, "127.0.0.2"));
  WriteDestination("127.0.0.2");
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
  WriteDestination("127.0.0.2");  // too late: already connected
  ExpectDatagram(kLogInfo, "to the first", 30, "now");
}

TEST_F(SyslogTest, DestinationThatIsNoAddressSendsNothing) {
  SyslogOpen("", 0, 8);
  for (const char* bad : {"syslog.example", "", "1.2.3.4.5"}) {
    WriteDestination(bad);
    EXPECT_LT(Syslog(kLogErr, "lost"), 0) << bad;
  }
  EXPECT_FALSE(receiver_->Next(300).has_value());
  WriteDestination("127.0.0.1");  // the next message connects again
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

// A syslog server of this machine that starts (or restarts) after us must still get its port:
// the client takes port 514 as its source only when the server is elsewhere.
TEST_F(SyslogTest, LocalServerStartedLaterCanBindItsPortAndReceives) {
  receiver_.reset();  // no server yet
  SyslogOpen("VoKelMng", 8, 24);
  EXPECT_LT(Syslog(kLogInfo, "before the server"), 100) << "sent, or refused: either way";
  SyslogListener late;
  ASSERT_TRUE(late.Start()) << "port 514 is taken by the client";
  // The refusal of the first datagram is still pending on the connected socket and fails the
  // next send; the one after that arrives.
  Syslog(kLogInfo, "after the server");
  Syslog(kLogInfo, "after the server");
  auto got = late.Next();
  ASSERT_TRUE(got.has_value());
  EXPECT_NE(got->find("VoKelMng: after the server"), std::string::npos) << *got;
}

// The journal's copy gets each message sent, with its severity and without the header, and
// the datagram does not change.
TEST_F(SyslogTest, CopyGetsEveryMessageTheClientSends) {
  testsupport::LogCapture copy;
  SyslogSetCopy(&copy);
  SyslogOpen("VoKelMng", 32, 24);
  ExpectDatagram(kLogWarning, "to both", 28, "VoKelMng");
  SyslogSetMask(kLogInfo);
  Syslog(kLogDebug, "to neither");
  SyslogSetCopy(nullptr);
  ExpectDatagram(kLogErr, "to the server only", 27, "VoKelMng");
  std::vector<testsupport::LogLine> lines = copy.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].severity, kLogWarning);
  EXPECT_EQ(lines[0].text, "to both");
}

}  // namespace
