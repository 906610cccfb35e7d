// The bookkeeping of many probes in flight, against a way that only pretends to send: which
// probe an answer goes to, each probe's own wait, the bound, the lines logged.
#include "service/keepalive/probe_session.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/syslog.h"
#include "service/keepalive/keepalive_testutil.h"

namespace {

using Clock = std::chrono::steady_clock;

uint32_t A(const char* text) { return inet_addr(text); }

// Gives every probe the key 100 + its number and hands out the answers the test put in.
class FakeWay : public ProbeWay {
 public:
  bool Send(uint32_t router, uint32_t* key) override {
    sent.push_back(router);
    if (refuse.count(router) != 0) return false;
    *key = 100 + static_cast<uint32_t>(sent.size());
    return true;
  }
  void TakeAnswers(const std::function<void(const ProbeAnswer&)>& take) override {
    while (!waiting.empty()) {
      ProbeAnswer answer = waiting.front();
      waiting.pop_front();
      take(answer);
    }
  }
  platform::Waitable& Readable() override { return readable; }

  void Answer(uint32_t router, uint32_t key, bool every = false) {
    ProbeAnswer answer;
    answer.router = router;
    answer.key = key;
    answer.everyProbe = every;
    waiting.push_back(answer);
    readable.Set();
  }

  std::vector<uint32_t> sent;
  std::set<uint32_t> refuse;
  std::deque<ProbeAnswer> waiting;
  platform::Event readable;
};

struct Verdicts {
  ProbeSession::Verdict Sink() {
    return [this](uint32_t router, bool answered) {
      order.push_back(router);
      answeredOf[router] = answered;
      at[router] = Clock::now();
    };
  }
  std::vector<uint32_t> order;
  std::map<uint32_t, bool> answeredOf;
  std::map<uint32_t, Clock::time_point> at;
};

// Collects until nothing is in flight, waiting as the prober does.
void RunOut(ProbeSession& session, FakeWay& way) {
  for (session.Collect(); session.InFlight() > 0; session.Collect()) {
    platform::WaitAny({&way.Readable()}, session.NextWaitEndsInMs());
  }
}

std::string Received(const char* router) {
  return std::string("I received a PING reply of PV(") + router + ").";
}

TEST(ProbeSession, AnAnswerGoesToTheProbeItNamesWhateverProbeIsWaiting) {
  katest::LogCollector log;
  FakeWay way;
  Verdicts verdicts;
  ProbeSession session(way, 300, 16, verdicts.Sink());
  session.Send(A("127.9.0.1"));  // key 101, never answered
  session.Send(A("127.0.0.5"));  // key 102
  session.Send(A("127.0.0.6"));  // key 103
  session.Send(A("127.0.0.7"));  // key 104
  EXPECT_EQ(session.InFlight(), 4u);
  way.Answer(A("127.0.0.6"), 103);  // while 127.9.0.1 is the oldest in flight
  way.Answer(A("127.0.0.5"), 104);  // the key of another probe: a stranger's answer
  way.Answer(A("127.0.0.8"), 102);  // the key of 127.0.0.5's probe, another router
  way.Answer(A("127.0.0.6"), 103);  // the same answer again: that probe is judged already
  way.Answer(A("127.0.0.7"), 104);
  session.Collect();
  EXPECT_EQ(verdicts.order, (std::vector<uint32_t>{A("127.0.0.6"), A("127.0.0.7")}));
  EXPECT_EQ(session.InFlight(), 2u);
  way.Answer(A("127.0.0.5"), 102);
  RunOut(session, way);
  EXPECT_EQ(verdicts.order, (std::vector<uint32_t>{A("127.0.0.6"), A("127.0.0.7"), A("127.0.0.5"),
                                                   A("127.9.0.1")}));
  EXPECT_TRUE(verdicts.answeredOf[A("127.0.0.5")]);
  EXPECT_FALSE(verdicts.answeredOf[A("127.9.0.1")]);
  for (const char* r : {"127.0.0.5", "127.0.0.6", "127.0.0.7"}) {
    EXPECT_EQ(log.Count(Received(r)), 1) << r;
  }
  EXPECT_EQ(log.Count(Received("127.9.0.1")), 0);
  EXPECT_EQ(log.Count(Received("127.0.0.8")), 0);
  EXPECT_EQ(log.CountSeverity(kLogDebug), 3) << "one received line per answered probe, no other";
  EXPECT_EQ(
      log.CountSeverity(kLogInfo) + log.CountSeverity(kLogWarning) + log.CountSeverity(kLogErr), 0);
}

// Probes sent 150 ms apart each wait their own 300 ms; a probe that cannot be sent is judged at
// once and takes no place in flight.
TEST(ProbeSession, EachProbeWaitsFromItsOwnSend) {
  FakeWay way;
  Verdicts verdicts;
  ProbeSession session(way, 300, 16, verdicts.Sink());
  way.refuse.insert(A("127.0.0.30"));
  auto start = Clock::now();
  session.Send(A("127.9.0.1"));
  session.Send(A("127.0.0.30"));
  EXPECT_EQ(verdicts.order, std::vector<uint32_t>{A("127.0.0.30")});
  EXPECT_FALSE(verdicts.answeredOf[A("127.0.0.30")]);
  EXPECT_EQ(session.InFlight(), 1u);
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  auto second = Clock::now();
  session.Send(A("127.9.0.2"));
  int next = session.NextWaitEndsInMs();
  EXPECT_GT(next, 0);
  EXPECT_LE(next, 150) << "the first probe's wait ends first";
  RunOut(session, way);
  ASSERT_EQ(verdicts.order.size(), 3u);
  auto first_ended = verdicts.at[A("127.9.0.1")] - start;
  auto second_ended = verdicts.at[A("127.9.0.2")] - second;
  // The clock counts whole milliseconds: a wait may end up to one of them early.
  EXPECT_GE(first_ended, std::chrono::milliseconds(299));
  EXPECT_GE(second_ended, std::chrono::milliseconds(299));
  EXPECT_LT(second_ended, std::chrono::milliseconds(1300)) << "generous for a loaded machine";
  EXPECT_GE(verdicts.at[A("127.9.0.2")] - verdicts.at[A("127.9.0.1")],
            std::chrono::milliseconds(100))
      << "the second probe must not be cut short when the first one's wait ends";
  EXPECT_EQ(session.NextWaitEndsInMs(), -1);
}

TEST(ProbeSession, AnAnswerThatNamesNoProbeAnswersEveryProbeInFlight) {
  FakeWay way;
  Verdicts verdicts;
  ProbeSession session(way, 5000, 3, verdicts.Sink());
  session.Send(A("127.9.0.1"));
  session.Send(A("127.9.0.2"));
  EXPECT_FALSE(session.Full());
  session.Send(A("127.9.0.3"));
  EXPECT_TRUE(session.Full()) << "three in flight is the bound";
  way.Answer(0, 0, true);
  session.Collect();
  EXPECT_EQ(session.InFlight(), 0u);
  EXPECT_EQ(verdicts.order.size(), 3u);
  for (const auto& [router, answered] : verdicts.answeredOf) EXPECT_TRUE(answered);
  way.Answer(0, 0, true);
  session.Collect();
  EXPECT_EQ(verdicts.order.size(), 3u) << "nothing in flight: nothing to answer";
}

}  // namespace
