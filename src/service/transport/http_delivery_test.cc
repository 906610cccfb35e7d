// Delivery through the request store, the dispatcher and the senders to pvsim routers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "router_harness_testutil.h"
#include "scratch_dir.h"
#include "service/transport/http_settings.h"

namespace transporttest {
namespace {

const char kNewQueue[] =
    "CKelHttpClient::HttpEventSearchHttpClient: I added HTTP data to new queue of ";
const char kQueue[] = "CKelHttpClient::HttpEventSearchHttpClient: I added HTTP data to queue of ";

std::string Line(const std::string& source) {
  return "add access-list kel accept source " + source;
}
std::string Completed(const std::string& address) {
  return "ACL setting was completed in PV(" + address + ":880).";
}
std::string Retries(const std::string& address, int left) {
  return "The remainder re-try number of times for ACL setting for PV(" + address + ":880) is a " +
         std::to_string(left) + " time.";
}

HttpSenderTiming ShortPauses() {
  HttpSenderTiming timing;
  timing.retryPauseMs[0] = 100;
  timing.retryPauseMs[1] = 200;
  timing.retryPauseMs[2] = 300;
  timing.dropPauseMs = 400;
  return timing;
}

using DeliveryTest = RouterTest;

TEST_F(DeliveryTest, OneRouterInOrderOnOneConnectionWhileASecondIsServedBeside) {
  auto a = StartRouter("127.0.0.11", {"--delay", "150", "--user", "admin", "--password", "secret"});
  auto b = StartRouter("127.0.0.12", {"--delay", "150"});
  StartClient();
  const std::vector<std::string> forA = {Line("10.0.0.1"), Line("10.0.0.2"), Line("10.0.0.3"),
                                         Line("10.0.0.4")};
  {
    StoreBatch batch;
    StoreRequest("127.0.0.11", forA[0]);
    StoreRequest("127.0.0.11", forA[1]);
    StoreRequest("127.0.0.12", Line("10.0.1.1"));
    StoreRequest("127.0.0.11", forA[2]);
    StoreRequest("127.0.0.12", Line("10.0.1.2"));
    StoreRequest("127.0.0.11", forA[3]);
  }
  ASSERT_NE(client_->EventSend(), 0);
  ASSERT_TRUE(log_->WaitFor(Completed("127.0.0.11"), 5000));
  ASSERT_TRUE(log_->WaitFor(Completed("127.0.0.12"), 5000));

  std::vector<JournalEntry> ja = a->Journal();
  ASSERT_EQ(ja.size(), 4u);
  for (size_t i = 0; i < ja.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(ja[i].acl, forA[i]);
    EXPECT_EQ(ja[i].conn, ja[0].conn);
    EXPECT_EQ(ja[i].seq, static_cast<long>(i + 1));
    EXPECT_FALSE(ja[i].early);  // nothing written before the previous answer
    EXPECT_EQ(ja[i].auth, "ok");
    EXPECT_EQ(ja[i].host, "127.0.0.11");
    EXPECT_EQ(ja[i].klass, "client");
    EXPECT_EQ(ja[i].status, 200);
    if (i > 0) {
      EXPECT_GE(ja[i].time, ja[i - 1].answered);
    }
  }
  std::vector<JournalEntry> jb = b->Journal();
  ASSERT_EQ(jb.size(), 2u);
  EXPECT_EQ(jb[1].acl, Line("10.0.1.2"));
  // B's first request arrived while A's first was still waiting for its answer.
  EXPECT_LT(jb[0].time, ja[0].answered);

  EXPECT_EQ(log_->Count(kNewQueue + std::string("127.0.0.11.")), 1u);
  EXPECT_EQ(log_->Count(kQueue + std::string("127.0.0.11.")), 3u);
  EXPECT_EQ(log_->Count(kNewQueue + std::string("127.0.0.12.")), 1u);
  EXPECT_EQ(log_->Count(Cord("127.0.0.11", "OK")), 4u);
  EXPECT_EQ(log_->Count(Completed("127.0.0.11")), 1u);
  EXPECT_TRUE(HttpDataStore().IsEmpty());
}

TEST_F(DeliveryTest, SixthRouterWaitsForAFreeSender) {
  std::vector<std::unique_ptr<Pvsim>> routers;
  for (int i = 21; i <= 26; ++i)
    routers.push_back(StartRouter("127.0.0." + std::to_string(i), {"--delay", "400"}));
  StartClient();
  for (int i = 21; i <= 26; ++i) StoreRequest("127.0.0." + std::to_string(i), Line("10.0.0.1"));
  client_->EventSend();
  for (auto& router : routers) ASSERT_TRUE(router->WaitForEntries(1, 5000));
  ASSERT_TRUE(log_->WaitFor(Cord("127.0.0.26", "OK"), 3000));

  double firstAnswer = 1e18;
  for (int i = 0; i < 5; ++i)
    firstAnswer = std::min(firstAnswer, routers[i]->Journal()[0].answered);
  double sixth = routers[5]->Journal()[0].time;
  EXPECT_GE(sixth, firstAnswer);
  EXPECT_LT(sixth, firstAnswer + 0.4);  // picked up by the next 100 ms pass
  int bound = log_->IndexOf(kNewQueue + std::string("127.0.0.26."));
  ASSERT_GE(bound, 0);
  int firstFree = 1 << 30;
  for (int i = 21; i <= 25; ++i) {
    int at = log_->IndexOf(Completed("127.0.0." + std::to_string(i)));
    if (at >= 0) firstFree = std::min(firstFree, at);
  }
  EXPECT_GT(bound, firstFree);
}

// [HTTP] SENDERS=N, read from the profile as the controller reads it: N+1 routers with a slow
// request each keep all N senders busy at once, and the last one waits in the store until the
// first of them is free.
TEST_F(DeliveryTest, ConfiguredSendersServeThatManyRoutersAtOnceAndTheNextWaits) {
  int base = 100;
  for (int senders : {1, 8}) {
    SCOPED_TRACE(senders);
    ASSERT_TRUE(testsupport::WriteFile(env_->dir() + "/VoKelMng.ini",
                                       "[HTTP]\nSENDERS=" + std::to_string(senders) + "\n"));
    std::vector<std::string> addresses;
    std::vector<std::unique_ptr<Pvsim>> routers;
    for (int i = 0; i <= senders; ++i) {
      addresses.push_back("127.0.1." + std::to_string(base + i));
      routers.push_back(StartRouter(addresses.back(), {"--delay", "400"}));
    }
    base += 20;
    StartClient(HttpSenderTiming(), LoadHttpSenders());
    EXPECT_EQ(client_->SenderCount(), senders);
    EXPECT_EQ(client_->Senders().size(), static_cast<size_t>(senders));
    for (const std::string& a : addresses) StoreRequest(a, Line("10.0.0.1"));
    client_->EventSend();
    for (auto& router : routers) ASSERT_TRUE(router->WaitForEntries(1, 5000));
    ASSERT_TRUE(log_->WaitFor(Completed(addresses.back()), 3000));

    double firstAnswer = 1e18;
    double lastStart = 0;
    for (int i = 0; i < senders; ++i) {
      JournalEntry first = routers[i]->Journal()[0];
      firstAnswer = std::min(firstAnswer, first.answered);
      lastStart = std::max(lastStart, first.time);
    }
    EXPECT_LT(lastStart, firstAnswer);  // the first N were all in flight together
    double waiting = routers[senders]->Journal()[0].time;
    EXPECT_GE(waiting, firstAnswer);
    int bound = log_->IndexOf(kNewQueue + addresses.back() + ".");
    ASSERT_GE(bound, 0);
    int firstFree = 1 << 30;
    for (int i = 0; i < senders; ++i) {
      int at = log_->IndexOf(Completed(addresses[i]));
      if (at >= 0) firstFree = std::min(firstFree, at);
    }
    EXPECT_GT(bound, firstFree);
    client_.reset();
    testsupport::Logs().Clear();
  }
}

TEST_F(DeliveryTest, EveryAnswerIsJudgedAndTheRequestRemoved) {
  auto ok = StartRouter("127.0.0.31");
  auto noList = StartRouter("127.0.0.32", {"--body", "no list"});
  auto invalid = StartRouter("127.0.0.33", {"--body", "invalid acl"});
  auto failed = StartRouter("127.0.0.34", {"--status", "500", "--body", "ok"});
  auto chunked = StartRouter("127.0.0.35", {"--chunked"});
  // A machine busy with other tests may hold an answer back for seconds: that is a transport
  // failure, retried, and not what this test is about.
  HttpSenderTiming timing;
  timing.receiveBudgetMs = 20000;
  StartClient(timing);
  {
    StoreBatch batch;
    for (int i = 31; i <= 35; ++i) StoreRequest("127.0.0." + std::to_string(i), Line("10.0.0.1"));
    StoreRequest("127.0.0.35", Line("10.0.0.2"));  // the stream stays aligned after chunks
  }
  client_->EventSend();
  ASSERT_TRUE(log_->WaitFor(Cord("127.0.0.31", "OK"), 25000));
  ASSERT_TRUE(log_->WaitFor(Cord("127.0.0.32", "no list"), 25000));
  ASSERT_TRUE(log_->WaitFor(Cord("127.0.0.33", "invalid acl"), 25000));
  ASSERT_TRUE(log_->WaitFor(Cord("127.0.0.34", "500"), 25000));
  ASSERT_TRUE(log_->WaitFor(Cord("127.0.0.35", "OK"), 25000, 2));
  for (int i = 31; i <= 35; ++i)
    ASSERT_TRUE(log_->WaitFor(Completed("127.0.0." + std::to_string(i)), 10000));
  for (auto* router : {ok.get(), noList.get(), invalid.get(), failed.get()}) {
    EXPECT_EQ(router->Journal().size(), 1u);  // an answer of any kind is never retried
  }
  std::vector<JournalEntry> jc = chunked->Journal();
  ASSERT_EQ(jc.size(), 2u);
  EXPECT_EQ(jc[1].conn, jc[0].conn);
  for (const std::string& line : log_->Lines())
    EXPECT_EQ(line.find("re-try"), std::string::npos) << line;
}

TEST_F(DeliveryTest, TransportFailuresAreRetriedOnANewConnection) {
  auto refusing = StartRouter("127.0.0.51", {"--refuse", "--times", "2"});
  auto cutting = StartRouter("127.0.0.52", {"--close-mid-answer", "--times", "1"});
  auto slow = StartRouter("127.0.0.53", {"--delay", "700", "--times", "1"});
  HttpSenderTiming timing = ShortPauses();
  timing.receiveBudgetMs = 400;
  StartClient(timing);
  for (int i = 51; i <= 53; ++i) StoreRequest("127.0.0." + std::to_string(i), Line("10.0.0.1"));
  client_->EventSend();
  for (int i = 51; i <= 53; ++i)
    ASSERT_TRUE(log_->WaitFor(Cord("127.0.0." + std::to_string(i), "OK"), 5000)) << i;

  std::vector<JournalEntry> jr = refusing->Journal();
  ASSERT_EQ(jr.size(), 3u);
  EXPECT_EQ(jr[0].event, "refused");
  EXPECT_EQ(jr[1].event, "refused");
  EXPECT_EQ(jr[2].acl, Line("10.0.0.1"));
  EXPECT_EQ(log_->Count(Retries("127.0.0.51", 3)), 1u);
  EXPECT_EQ(log_->Count(Retries("127.0.0.51", 2)), 1u);
  EXPECT_EQ(log_->Count(Retries("127.0.0.51", 1)), 0u);

  std::vector<JournalEntry> jc = cutting->Journal();
  ASSERT_EQ(jc.size(), 2u);
  EXPECT_EQ(jc[0].event, "closed-mid-answer");
  EXPECT_NE(jc[1].conn, jc[0].conn);
  EXPECT_EQ(jc[1].acl, jc[0].acl);

  // The first answer came after the 400 ms budget; pvsim journals it when it finally answers.
  ASSERT_TRUE(slow->WaitForEntries(2, 2000));
  std::vector<JournalEntry> js = slow->Journal();
  std::sort(js.begin(), js.end(),
            [](const JournalEntry& x, const JournalEntry& y) { return x.time < y.time; });
  EXPECT_GE(js[1].time - js[0].time, 0.4 + 0.1 - 0.05);
  EXPECT_GE(log_->Count("An error occurred at the time of the HTTP response header reception."),
            2u);
  EXPECT_EQ(log_->Count(Retries("127.0.0.53", 3)), 1u);
}

TEST_F(DeliveryTest, AnAnswerInPiecesCountsAgainstOneReadBudget) {
  auto within = StartRouter("127.0.0.56", {"--drip", "150"});                  // 300 ms in all
  auto beyond = StartRouter("127.0.0.57", {"--drip", "300", "--times", "1"});  // 600 ms
  HttpSenderTiming timing = ShortPauses();
  timing.receiveBudgetMs = 450;
  StartClient(timing);
  {
    StoreBatch batch;
    StoreRequest("127.0.0.56", Line("10.0.0.1"));
    StoreRequest("127.0.0.56", Line("10.0.0.2"));
    StoreRequest("127.0.0.57", Line("10.0.0.1"));
  }
  client_->EventSend();
  ASSERT_TRUE(log_->WaitFor(Cord("127.0.0.56", "OK"), 3000, 2));
  ASSERT_TRUE(log_->WaitFor(Cord("127.0.0.57", "OK"), 3000));
  std::vector<JournalEntry> jw = within->Journal();
  ASSERT_EQ(jw.size(), 2u);
  EXPECT_EQ(jw[1].conn, jw[0].conn);
  EXPECT_EQ(log_->Count(Retries("127.0.0.56", 3)), 0u);
  EXPECT_EQ(log_->Count(Retries("127.0.0.57", 3)), 1u);
  EXPECT_EQ(beyond->Journal().size(), 2u);
}

TEST_F(DeliveryTest, FourthFailureDropsTheRequestAndTheNextOneWaits) {
  auto cutting = StartRouter("127.0.0.54", {"--close-mid-answer"});
  StartClient(ShortPauses());
  StoreRequest("127.0.0.54", Line("10.0.0.1"));
  StoreRequest("127.0.0.54", Line("10.0.0.2"));
  client_->EventSend();
  const std::string dropped =
      "I failed in setting of quarantine inspection information for PV(127.0.0.54:880).";
  ASSERT_TRUE(log_->WaitFor(dropped, 6000, 2));
  std::vector<JournalEntry> j = cutting->Journal();
  ASSERT_EQ(j.size(), 8u);
  for (size_t i = 0; i < 8; ++i) EXPECT_EQ(j[i].acl, Line(i < 4 ? "10.0.0.1" : "10.0.0.2")) << i;
  // Attempts follow the pauses 100, 200, 300 ms; the next request waits the drop pause.
  const double pauses[] = {0.1, 0.2, 0.3, 0.4, 0.1, 0.2, 0.3};
  for (size_t i = 1; i < 8; ++i) {
    double gap = j[i].time - j[i - 1].time;
    EXPECT_GE(gap, pauses[i - 1] - 0.02) << i;
    EXPECT_LT(gap, pauses[i - 1] + 0.25) << i;
  }
  for (int left = 3; left >= 0; --left) EXPECT_EQ(log_->Count(Retries("127.0.0.54", left)), 2u);
  platform::SleepMs(300);
  EXPECT_EQ(cutting->Journal().size(), 8u);
  EXPECT_EQ(log_->Count(Completed("127.0.0.54")), 0u);
}

TEST_F(DeliveryTest, EraseDropsWhatWaitsForARouterAndFreesItsSender) {
  auto down = StartRouter("127.0.0.61", {"--delay", "300"});
  auto other = StartRouter("127.0.0.62");
  StartClient();
  for (int i = 1; i <= 3; ++i) StoreRequest("127.0.0.61", Line("10.0.0." + std::to_string(i)));
  client_->EventSend();
  // The first request is on the wire and pvsim holds its answer back for 300 ms.
  ASSERT_TRUE(log_->WaitFor(
      "HTTP body is version=1&class=client&opcode=set&count=1&acl=" + Line("10.0.0.1"), 3000));
  // The erase drops what waits in the sender's queue; what still waits in the store is the
  // stop processing's to clear. Let the distribution finish first.
  int64_t deadline = NowMs() + 3000;
  while (!HttpDataStore().IsEmpty() && NowMs() < deadline) usleep(1000);
  ASSERT_TRUE(HttpDataStore().IsEmpty()) << "the other two requests were never distributed";
  client_->EraseHttpQueue(Address("127.0.0.99"));  // no sender bound: nothing happens
  client_->EraseHttpQueue(Address("127.0.0.61"));
  EXPECT_TRUE(log_->WaitFor(
      "I erased an HTTP transmission of a message queue to PV(127.0.0.61:880).", 1000));
  ASSERT_TRUE(log_->WaitFor(Completed("127.0.0.61"), 3000));
  StoreRequest("127.0.0.62", Line("10.0.0.9"));
  client_->EventSend();
  ASSERT_TRUE(log_->WaitFor(Cord("127.0.0.62", "OK"), 3000));
  EXPECT_EQ(down->Journal().size(), 1u);
  EXPECT_EQ(log_->Count("I erased an HTTP transmission of a message queue to PV(127.0.0.99:880)."),
            0u);
  // Sender 0 was free again, so it is the one bound anew: the table is walked from 0.
  EXPECT_EQ(log_->Count(kNewQueue + std::string("127.0.0.62.")), 1u);
}

TEST_F(DeliveryTest, RequestForNoAddressIsDroppedInsteadOfBindingASender) {
  StartClient();
  StoreRequest("0.0.0.0", Line("10.0.0.1"));
  client_->EventSend();
  EXPECT_TRUE(log_->WaitFor(
      "I failed in setting of quarantine inspection information for PV(0.0.0.0:880).", 1000));
  EXPECT_TRUE(HttpDataStore().IsEmpty());
  EXPECT_EQ(log_->Count(kNewQueue + std::string("0.0.0.0.")), 0u);
}

}  // namespace
}  // namespace transporttest
