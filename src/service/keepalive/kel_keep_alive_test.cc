// The keepalive on its own, with this test's thread playing the controller: real ICMP against
// loopback "routers" in a private network, the real router registry, syslog read back over UDP.
#include "service/keepalive/kel_keep_alive.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/syslog.h"
#include "netns.h"
#include "platform/message_queue.h"
#include "service/base/messages.h"
#include "service/keepalive/keepalive_testutil.h"
#include "service/keepalive/probe_stats.h"

namespace {

using Clock = std::chrono::steady_clock;

class KelKeepAliveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ENTER_PRIVATE_NETWORK();
    ASSERT_TRUE(katest::MakeRouterNetwork());
    profile_ = std::make_unique<katest::ProfileDir>();
    log_ = std::make_unique<katest::LogCollector>();
    platform::AttachMessageQueue();
  }

  void TearDown() override {
    if (keepalive_) {  // as the controller shuts it down
      keepalive_->StopMessageThread();
      keepalive_.reset();
      EXPECT_TRUE(Pump(1000, [&] { return Count(Msg().keepAliveExit, 0u) > 0; }));
    }
    platform::DetachMessageQueue();
    katest::ClearRouters();
    log_.reset();
    profile_.reset();
  }

  void Register(const std::vector<std::string>& routers, bool up, int64_t interval = 10) {
    for (const std::string& r : routers) {
      if (up) {
        ASSERT_TRUE(testsupport::AddLoopbackAddress(r));
      }
      katest::AddRouter(r.c_str(), interval);
      interval_ = interval;
      probes_[r];
    }
  }

  void StartKeepAlive(const KeepAliveTiming& timing = KeepAliveTiming()) {
    keepalive_ = std::make_unique<CKelKeepAlive>(timing);
    keepalive_->SaveThreadID(platform::CurrentThreadId());
    ASSERT_EQ(keepalive_->Start(), 0);
  }

  // Runs the test thread's message loop until `done` or timeout_ms, noting every message and
  // every new lastProbe of the registered routers.
  bool Pump(int timeout_ms, const std::function<bool()>& done) {
    auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
      if (Clock::now() >= end) return false;
      platform::Message msg;
      if (platform::GetMessageFor(&msg, 20) == 1) messages_.push_back(msg);
      for (auto& [router, seen] : probes_) {
        int64_t last = katest::ReadRouter(router.c_str()).lastProbe;
        if (last != 0 && (seen.empty() || seen.back() != last)) seen.push_back(last);
      }
    }
    return true;
  }
  int Count(uint32_t message, uint32_t wParam) {
    int n = 0;
    for (const platform::Message& m : messages_) n += m.message == message && m.wParam == wParam;
    return n;
  }
  int Count(uint32_t message, const std::string& router) {
    return Count(message, katest::Address(router.c_str()));
  }
  int Sent(const std::string& r) { return log_->Count("I transmitted PING to PV(" + r + ")."); }
  int Answered(const std::string& r) {
    return log_->Count("I received a PING reply of PV(" + r + ").");
  }
  // One request sent per scheduled probe; the last one may still wait in its prober's queue.
  void ExpectOneSendPerProbe(const std::string& r) {
    int scheduled = static_cast<int>(probes_[r].size());
    EXPECT_LE(Sent(r), scheduled) << r;
    EXPECT_GE(Sent(r), scheduled - 1) << r;
  }
  // Probes of one router start at least its interval apart.
  void ExpectProbesSpaced(const std::string& router) {
    const std::vector<int64_t>& seen = probes_[router];
    for (size_t i = 1; i < seen.size(); ++i) EXPECT_GE(seen[i] - seen[i - 1], interval_) << router;
  }
  // Probes every second, answers awaited 200 ms: the same schedule, ten times faster.
  static KeepAliveTiming Quick() {
    KeepAliveTiming timing;
    timing.scanPeriodMs = 20;
    timing.proberPollMs = 20;
    timing.replyWaitMs = 200;
    return timing;
  }

  std::unique_ptr<katest::ProfileDir> profile_;
  std::unique_ptr<katest::LogCollector> log_;
  std::unique_ptr<CKelKeepAlive> keepalive_;
  std::vector<platform::Message> messages_;
  std::map<std::string, std::vector<int64_t>> probes_;  // router -> lastProbe values seen
  int64_t interval_ = 10;
};

TEST_F(KelKeepAliveTest, RouterGoesOnAtOnceOffAtTheFourthMissAndOnAgain) {
  const std::string r = "127.0.0.5";
  Register({r}, true);
  StartKeepAlive();
  ASSERT_TRUE(Pump(2000, [&] { return Count(Msg().keepAliveStart, r) == 1; }));
  EXPECT_TRUE(log_->WaitFor("PV(127.0.0.5) was diagnosed as ON by a keep alive function.", 1000));
  EXPECT_EQ(Sent(r), 1);
  EXPECT_EQ(Answered(r), 1);

  ASSERT_TRUE(testsupport::RemoveLoopbackAddress(r));
  ASSERT_TRUE(Pump(45000, [&] { return Count(Msg().keepAliveStop, r) == 1; }));
  EXPECT_EQ(probes_[r].size(), 5u) << "OFF comes with the fourth failed probe";
  EXPECT_EQ(katest::ReadRouter(r.c_str()).alive, 0);
  EXPECT_TRUE(log_->WaitFor("PV(127.0.0.5) was diagnosed as OFF by a keep alive function.", 1000));
  EXPECT_EQ(log_->CountSeverity(kLogWarning), 1) << "the OFF line is a warning, the only one";

  ASSERT_TRUE(testsupport::AddLoopbackAddress(r));
  ASSERT_TRUE(Pump(12000, [&] { return Count(Msg().keepAliveStart, r) == 2; }));
  EXPECT_EQ(log_->Count("PV(127.0.0.5) was diagnosed as ON by a keep alive function."), 2);
  EXPECT_EQ(Count(Msg().keepAliveStop, r), 1);
  ExpectProbesSpaced(r);
}

// The real schedule, shortened: probes a second apart, answers awaited 200 ms.
TEST_F(KelKeepAliveTest, QuickScheduleGoesOffAtTheFourthMissAndOnAgain) {
  const std::string r = "127.0.0.5";
  Register({r}, true, 1);
  StartKeepAlive(Quick());
  ASSERT_TRUE(Pump(2000, [&] { return Count(Msg().keepAliveStart, r) == 1; }));
  ASSERT_TRUE(testsupport::RemoveLoopbackAddress(r));
  ASSERT_TRUE(Pump(8000, [&] { return Count(Msg().keepAliveStop, r) == 1; }));
  EXPECT_EQ(probes_[r].size(), 5u) << "OFF comes with the fourth failed probe";
  EXPECT_EQ(katest::ReadRouter(r.c_str()).alive, 0);
  EXPECT_TRUE(log_->WaitFor("PV(127.0.0.5) was diagnosed as OFF by a keep alive function.", 1000));
  EXPECT_EQ(log_->CountSeverity(kLogWarning), 1) << "the OFF line is a warning, the only one";
  ASSERT_TRUE(testsupport::AddLoopbackAddress(r));
  ASSERT_TRUE(Pump(4000, [&] { return Count(Msg().keepAliveStart, r) == 2; }));
  EXPECT_EQ(Count(Msg().keepAliveStop, r), 1);
  ExpectProbesSpaced(r);
}

TEST_F(KelKeepAliveTest, TwentyRoutersHalfDownEveryUpRouterOnWithinOneIntervalAndStaysOn) {
  std::vector<std::string> up, unreachable, silent;
  for (int i = 0; i < 10; ++i) up.push_back("127.0.0." + std::to_string(10 + i));
  for (int i = 0; i < 5; ++i) unreachable.push_back("127.0.0." + std::to_string(30 + i));
  for (int i = 0; i < 5; ++i) silent.push_back("127.9.0." + std::to_string(1 + i));
  Register(up, true, 2);
  Register(unreachable, false, 2);
  Register(silent, false, 2);
  StartKeepAlive(Quick());
  auto all_on = [&] {
    for (const std::string& r : up)
      if (Count(Msg().keepAliveStart, r) == 0) return false;
    return true;
  };
  ASSERT_TRUE(Pump(5000, all_on));
  Pump(2500, [] { return false; });  // a second round of probes

  EXPECT_EQ(messages_.size(), 10u)
      << "exactly one START per up router, no STOP, nothing for the down routers";
  for (const std::string& r : up) {
    EXPECT_EQ(Count(Msg().keepAliveStart, r), 1) << r;
    EXPECT_EQ(katest::ReadRouter(r.c_str()).alive, 1) << r;
    EXPECT_GE(probes_[r].size(), 2u) << r;
    // Every request sent to an up router is answered (the last may still be in flight).
    ExpectOneSendPerProbe(r);
    EXPECT_LE(Sent(r) - Answered(r), 1) << r;
    ExpectProbesSpaced(r);
  }
  for (const std::string& r : silent) {
    ExpectOneSendPerProbe(r);
    ExpectProbesSpaced(r);
  }
  for (const std::string& r : unreachable) ExpectProbesSpaced(r);
}

TEST_F(KelKeepAliveTest, LibraryWayWhenModeIsDll) {
  profile_->Write("VoKelMng.ini", "[PING]\nMODE=dll\n");
  ASSERT_TRUE(katest::AllowPingSockets());
  Register({"127.0.0.5"}, true);
  Register({"127.0.0.6", "127.9.0.7"}, false);
  StartKeepAlive();
  ASSERT_TRUE(Pump(3000, [&] { return Count(Msg().keepAliveStart, "127.0.0.5") == 1; }));
  auto reported = [&](const char* r) {
    katest::RouterState s = katest::ReadRouter(r);
    return s.lastProbe != 0 && s.probeOutstanding == 0;
  };
  ASSERT_TRUE(Pump(3000, [&] { return reported("127.0.0.6") && reported("127.9.0.7"); }));
  EXPECT_EQ(messages_.size(), 1u);
  EXPECT_EQ(katest::ReadRouter("127.0.0.6").alive, 0);
  EXPECT_EQ(katest::ReadRouter("127.9.0.7").alive, 0);
  // Only the library way announces a send that the system then refuses.
  EXPECT_EQ(log_->Count("I transmitted PING to PV(127.0.0.6)."), 1);
}

// One prober alone, the test thread as its owner: every request waiting goes out at once, up to
// the bound; once told to end it sends nothing more and ends within one reply wait.
TEST_F(KelKeepAliveTest, ProberSendsItsQueueAtOnceUpToTheBoundAndEndsWithoutStartingMore) {
  const std::vector<std::string> up = {"127.0.0.7", "127.0.0.5", "127.0.0.6"};
  Register(up, true);
  Register({"127.0.0.9"}, false);  // down while OFF: no change to report
  auto prober = std::make_unique<CKelKeepAliveThread>();
  prober->SaveThreadID(platform::CurrentThreadId());
  ASSERT_EQ(prober->Start(2), 0);
  auto queue = [&](const std::string& r) {
    auto* request = new CKeepAliveData;
    request->SetAddressValue(katest::Address(r.c_str()));
    ASSERT_EQ(prober->Queue(request), 0);
  };
  for (const char* r : {"127.0.0.9", "127.0.0.7", "127.0.0.5", "127.0.0.8", "127.0.0.6"}) queue(r);
  ASSERT_TRUE(Pump(3000, [&] { return messages_.size() == 3; }));
  for (const std::string& r : up) EXPECT_EQ(Count(Msg().keepAliveStart, r), 1) << r;

  // More silent routers than may be in flight at once, a second's wait each.
  const int queued = static_cast<int>(CKelKeepAliveThread::kMostProbesInFlight) + 44;
  std::vector<std::string> silent;
  for (int i = 0; i < queued; ++i) {
    silent.push_back("127.9." + std::to_string(1 + i / 250) + "." + std::to_string(1 + i % 250));
  }
  auto sent_silent = [&] {
    int n = 0;
    for (const std::string& r : silent) n += Sent(r);
    return n;
  };
  for (const std::string& r : silent) queue(r);
  Pump(300, [] { return false; });
  EXPECT_EQ(sent_silent(), queued - 44) << "all it may have in flight, at once";
  EXPECT_EQ(prober->Load(), queued) << "the scheduler counts those in flight and those waiting";
  auto start = Clock::now();
  prober->End();
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500))
      << "only the waits in flight, not the 44 requests left";
  EXPECT_EQ(sent_silent(), queued - 44) << "nothing sent once told to end";
  ASSERT_TRUE(Pump(1000, [&] { return Count(Msg().kaThreadExit, 2u) == 1; }));
  EXPECT_EQ(messages_.size(), 4u);
}

// One batch of silent, answering and unreachable routers on one prober: each gets its own
// verdict and its own log lines, and the batch takes about one reply wait, not one per router.
class ProberBatchTest : public KelKeepAliveTest {
 protected:
  void Queue(CKelKeepAliveThread& prober, const std::vector<std::string>& routers) {
    for (const std::string& r : routers) {
      auto* request = new CKeepAliveData;
      request->SetAddressValue(katest::Address(r.c_str()));
      ASSERT_EQ(prober.Queue(request), 0);
    }
  }

  void RunBatch(bool library) {
    if (library) {
      profile_->Write("VoKelMng.ini", "[PING]\nMODE=dll\n");
      ASSERT_TRUE(katest::AllowPingSockets());
    }
    const std::vector<std::string> up = {"127.0.0.5", "127.0.0.6", "127.0.0.7"};
    std::vector<std::string> silent;
    for (int i = 1; i <= 20; ++i) silent.push_back("127.9.0." + std::to_string(i));
    const std::string unreachable = "127.0.0.30";
    Register(up, true);
    Register(silent, false);
    Register({unreachable}, false);
    // The answers come while silent probes are the oldest in flight.
    std::vector<std::string> batch(silent.begin(), silent.begin() + 10);
    batch.insert(batch.end(), up.begin(), up.end());
    batch.push_back(unreachable);
    batch.insert(batch.end(), silent.begin() + 10, silent.end());

    KeepAliveTiming timing;
    timing.proberPollMs = 20;
    timing.replyWaitMs = 500;
    auto prober = std::make_unique<CKelKeepAliveThread>(timing);
    prober->SaveThreadID(platform::CurrentThreadId());
    ASSERT_EQ(prober->Start(1), 0);
    ASSERT_EQ(prober->mode(),
              library ? CKelKeepAliveThread::kModeDll : CKelKeepAliveThread::kModeRaw);
    std::map<uint32_t, uint64_t> before;
    for (const RouterProbeCounts& c : KeepAliveStats().Snapshot()) before[c.address] = c.sent;
    auto judged = [&] {  // the routers of the batch whose probe has been judged, with its counts
      std::map<std::string, RouterProbeCounts> out;
      for (const RouterProbeCounts& c : KeepAliveStats().Snapshot()) {
        for (const std::string& r : batch) {
          if (c.address == katest::Address(r.c_str()) && c.sent > before[c.address]) out[r] = c;
        }
      }
      return out;
    };
    auto start = Clock::now();
    ASSERT_NO_FATAL_FAILURE(Queue(*prober, batch));
    ASSERT_TRUE(Pump(10000, [&] { return judged().size() == batch.size(); }));
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_GT(seconds, 0.45) << "a silent probe waits its whole wait";
    // 20 silent routers one after another would take 10 s; a loaded machine under a sanitizer
    // still does one batch in well under a third of that.
    EXPECT_LT(seconds, 3.0);

    std::map<std::string, RouterProbeCounts> verdicts = judged();
    for (const std::string& r : batch) {
      bool answers = std::find(up.begin(), up.end(), r) != up.end();
      EXPECT_EQ(verdicts[r].sent - before[katest::Address(r.c_str())], 1u) << r;
      EXPECT_EQ(verdicts[r].lastAnswered, answers) << r;
      EXPECT_EQ(Answered(r), answers ? 1 : 0) << r;
      EXPECT_EQ(katest::ReadRouter(r.c_str()).alive, answers ? 1 : 0) << r;
      EXPECT_EQ(katest::ReadRouter(r.c_str()).probeOutstanding, 0) << r;
      if (r != unreachable) {
        EXPECT_EQ(Sent(r), 1) << r;
      }
    }
    EXPECT_EQ(Sent(unreachable), library ? 1 : 0) << "only the library way announces it";
    EXPECT_EQ(messages_.size(), up.size()) << "one START per answering router, nothing else";
    for (const std::string& r : up) {
      EXPECT_EQ(Count(Msg().keepAliveStart, r), 1) << r;
      EXPECT_EQ(log_->Count("PV(" + r + ") was diagnosed as ON by a keep alive function."), 1);
    }
    // The lines and their severities, as one router at a time gave them.
    for (const testsupport::LogLine& line : testsupport::Logs().Lines()) {
      bool probe_line = line.text.rfind("I transmitted PING to PV(", 0) == 0 ||
                        line.text.rfind("I received a PING reply of PV(", 0) == 0;
      bool on_line =
          line.text.find(") was diagnosed as ON by a keep alive function.") != std::string::npos;
      EXPECT_TRUE(probe_line || on_line) << line.text;
      EXPECT_EQ(line.severity, probe_line ? kLogDebug : kLogInfo) << line.text;
    }

    // Told to end while a second batch waits: within one reply wait, and no probe after it.
    ASSERT_NO_FATAL_FAILURE(Queue(*prober, silent));
    Pump(100, [] { return false; });
    auto sent_silent = [&] {
      int n = 0;
      for (const std::string& r : silent) n += Sent(r);
      return n;
    };
    EXPECT_EQ(sent_silent(), 40);
    start = Clock::now();
    prober->End();
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_EQ(sent_silent(), 40);
  }
};

TEST_F(ProberBatchTest, RawWay) { RunBatch(false); }
TEST_F(ProberBatchTest, LibraryWay) { RunBatch(true); }

}  // namespace
