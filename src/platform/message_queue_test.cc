#include "platform/message_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/thread.h"

namespace platform {
namespace {

TEST(ThreadTest, QueueExistsFromStartUntilTheBodyReturns) {
  Event posted;
  std::vector<uint32_t> got;
  Thread t;
  ASSERT_TRUE(t.Start([&] {
    posted.Set();
    Message m;
    while (GetMessage(&m)) got.push_back(m.message * 1000 + m.wParam * 10 + m.lParam);
    got.push_back(m.message == WM_QUIT ? 0xDEAD : 0);
  }));
  ASSERT_NE(t.id(), 0u);
  EXPECT_NE(t.id(), CurrentThreadId());
  // The queue is in place as soon as Start returns, before the body has run.
  for (uint32_t i = 1; i <= 5; ++i) EXPECT_TRUE(PostThreadMessage(t.id(), 0xC000 + i, i, 1));
  EXPECT_TRUE(PostThreadMessage(t.id(), WM_QUIT, 0, 0));
  EXPECT_TRUE(t.Join());
  ASSERT_EQ(got.size(), 6u);
  for (uint32_t i = 1; i <= 5; ++i) EXPECT_EQ(got[i - 1], (0xC000 + i) * 1000 + i * 10 + 1);
  EXPECT_EQ(got[5], 0xDEADu);
  EXPECT_FALSE(PostThreadMessage(t.id(), 0xC001, 0, 0)) << "the queue ended with its thread";
  EXPECT_FALSE(PostThreadMessage(0, 0xC001, 0, 0));
}

// The kernel soon hands an ended thread's id to a new thread; ours never do, so a post meant
// for a thread that has ended fails instead of reaching a stranger.
TEST(ThreadTest, AnEndedThreadsIdIsNeverGivenAgain) {
  Thread first;
  ASSERT_TRUE(first.Start([] {}));
  ThreadId ended = first.id();
  ASSERT_TRUE(first.Join());
  std::set<ThreadId> seen = {ended, CurrentThreadId()};
  for (int i = 0; i < 40; ++i) {
    Thread t;
    std::atomic<bool> got{false};
    ASSERT_TRUE(t.Start([&] {
      Message m;
      got = GetMessageFor(&m, 20) == 1;
    }));
    EXPECT_TRUE(seen.insert(t.id()).second) << "id " << t.id() << " given twice";
    EXPECT_FALSE(PostThreadMessage(ended, WM_TIMER, 0, 0));
    t.Join();
    EXPECT_FALSE(got) << "a post for the ended thread reached thread " << t.id();
  }
  EXPECT_NE(KernelThreadId(), 0u);
}

// A body that throws ends its thread, not the process, and the text reaches the handler.
TEST(ThreadTest, ABodyThatThrowsEndsOnlyItsThread) {
  static std::atomic<int> reported{0};
  static std::string last;
  SetThreadExceptionHandler([](const char* what) {
    last = what;
    ++reported;
  });
  Thread t;
  ASSERT_TRUE(t.Start([] { throw std::bad_alloc(); }));
  ASSERT_TRUE(t.JoinFor(2000));
  Thread u;
  ASSERT_TRUE(u.Start([] { throw "I failed in allocation of memory."; }));
  ASSERT_TRUE(u.JoinFor(2000));
  SetThreadExceptionHandler(nullptr);
  EXPECT_EQ(reported, 2);
  EXPECT_EQ(last, "I failed in allocation of memory.");
}

TEST(ThreadTest, JoinForTimesOutWhileRunning) {
  Event release;
  Thread t;
  ASSERT_TRUE(t.Start([&] { WaitOne(release, kInfinite); }));
  EXPECT_FALSE(t.JoinFor(50));
  release.Set();
  EXPECT_TRUE(t.JoinFor(5000));
  EXPECT_TRUE(t.Join());
  Thread never;
  EXPECT_TRUE(never.Join());
  EXPECT_FALSE(never.started());
}

TEST(MessageQueueTest, AttachedThreadGetsPostsQuitAndTimeouts) {
  Message m;
  EXPECT_FALSE(GetMessage(&m)) << "no queue yet";
  EXPECT_EQ(m.message, 0u);
  EXPECT_EQ(GetMessageFor(&m, 0), -1);
  EXPECT_FALSE(PostThreadMessage(CurrentThreadId(), 0xC123, 0, 0));

  AttachMessageQueue();
  EXPECT_EQ(GetMessageFor(&m, 30), -1);
  std::thread poster([id = CurrentThreadId()] {
    SleepMs(20);
    EXPECT_TRUE(PostThreadMessage(id, 0xC123, 7, 9));
  });
  EXPECT_EQ(GetMessageFor(&m, 5000), 1);
  poster.join();
  EXPECT_EQ(m.message, 0xC123u);
  EXPECT_EQ(m.wParam, 7u);
  EXPECT_EQ(m.lParam, 9u);

  PostQuitMessage(3);
  EXPECT_EQ(GetMessageFor(&m, 1000), 0);
  EXPECT_EQ(m.message, WM_QUIT);
  EXPECT_EQ(m.wParam, 3u);

  DetachMessageQueue();
  EXPECT_FALSE(PostThreadMessage(CurrentThreadId(), 0xC123, 0, 0));
}

TEST(MessageQueueTest, ManyPostersAllMessagesArriveInPerSenderOrder) {
  AttachMessageQueue();
  const ThreadId me = CurrentThreadId();
  constexpr uint32_t kPerSender = 500;
  std::vector<std::thread> senders;
  for (uint32_t s = 0; s < 4; ++s) {
    senders.emplace_back([me, s] {
      for (uint32_t i = 0; i < kPerSender; ++i) EXPECT_TRUE(PostThreadMessage(me, 0xC000, s, i));
    });
  }
  uint32_t next[4] = {0, 0, 0, 0};
  Message m;
  for (uint32_t n = 0; n < 4 * kPerSender; ++n) {
    ASSERT_EQ(GetMessageFor(&m, 5000), 1);
    ASSERT_LT(m.wParam, 4u);
    EXPECT_EQ(m.lParam, next[m.wParam]++);
  }
  for (auto& t : senders) t.join();
  DetachMessageQueue();
}

TEST(MessageQueueTest, RegisteredNamesShareNumbersFrom0xC000) {
  EXPECT_EQ(RegisterMessage(nullptr), 0u);
  EXPECT_EQ(RegisterMessage(""), 0u);
  uint32_t a = RegisterMessage("TEST:WM_A");
  uint32_t b = RegisterMessage("TEST:WM_B");
  EXPECT_GE(a, 0xC000u);
  EXPECT_LE(a, 0xFFFFu);
  EXPECT_NE(a, b);
  EXPECT_EQ(RegisterMessage("TEST:WM_A"), a);
  std::string copy = "TEST:WM_B";
  EXPECT_EQ(RegisterMessage(copy.c_str()), b);

  // Concurrent registration of the same names hands out one number per name.
  std::vector<std::thread> threads;
  std::vector<std::vector<uint32_t>> seen(4);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &seen] {
      for (int i = 0; i < 50; ++i) {
        seen[t].push_back(RegisterMessage(("TEST:RACE" + std::to_string(i)).c_str()));
      }
    });
  }
  for (auto& t : threads) t.join();
  std::set<uint32_t> distinct(seen[0].begin(), seen[0].end());
  EXPECT_EQ(distinct.size(), 50u);
  for (int t = 1; t < 4; ++t) EXPECT_EQ(seen[t], seen[0]);
}

TEST(ThreadTest, PriorityStepsDown) {
  std::atomic<bool> below{false}, lowest{false};
  Thread t;
  ASSERT_TRUE(t.Start([&] {
    below = SetCurrentThreadPriority(ThreadPriority::kBelowNormal);
    lowest = SetCurrentThreadPriority(ThreadPriority::kLowest);
  }));
  t.Join();
  EXPECT_TRUE(below);
  EXPECT_TRUE(lowest);
}

}  // namespace
}  // namespace platform
