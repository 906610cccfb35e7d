#include "service/base/message_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "log_capture.h"
#include "platform/clock.h"
#include "platform/message_queue.h"
#include "service/base/messages.h"

namespace {

constexpr CKelMessageThread::Texts kTexts = {"event", nullptr, "thread",
                                             "Echo: An error occurred in PostThreadMessage."};

// Records what its message thread sees and forwards every message to its main thread.
class Echo : public CKelMessageThread {
 public:
  Echo() : CKelMessageThread(kTexts) { StartMessageThread(); }
  ~Echo() override { StopMessageThread(); }

  std::atomic<bool> started_before_return{false};
  std::atomic<int> quits{0};
  std::vector<uint32_t> seen;  // message thread only, read after it ended
  // Ends the loop from inside, as a stop request does before the owner's stop.
  void QuitFromInside() { platform::PostThreadMessage(MessageThreadId(), platform::WM_QUIT, 0, 0); }

 private:
  void OnStartup() override { started_before_return = true; }
  void OnMessage(const platform::Message& msg) override {
    seen.push_back(msg.message);
    PostMessageMainThread(msg.message, msg.wParam + 1, msg.lParam);
  }
  void OnQuit() override { ++quits; }
};

class MessageThreadTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::AttachMessageQueue(); }
  void TearDown() override { platform::DetachMessageQueue(); }
};

TEST_F(MessageThreadTest, StartsBeforeConstructionReturnsAndEndsOnce) {
  Echo echo;
  EXPECT_TRUE(echo.started_before_return);
  EXPECT_NE(echo.MessageThreadId(), 0u);
  EXPECT_TRUE(echo.StopMessageThread());
  EXPECT_TRUE(echo.StopMessageThread());  // a second stop posts nothing
  EXPECT_EQ(echo.quits, 1);
  EXPECT_FALSE(platform::PostThreadMessage(echo.MessageThreadId(), Msg().protocolSend, 0, 0));
}

// A loop that has quit by itself needs no quit from its owner: the stop is no failure, and
// the error line is kept for a quit that really cannot be posted.
TEST_F(MessageThreadTest, StopAfterTheLoopEndedItselfIsNoError) {
  testsupport::Logs().Clear();
  Echo echo;
  echo.QuitFromInside();
  for (int i = 0; i < 200 && echo.quits == 0; ++i) platform::SleepMs(5);
  ASSERT_EQ(echo.quits, 1);
  EXPECT_TRUE(echo.StopMessageThread());
  EXPECT_EQ(testsupport::Logs().Count("An error occurred in PostThreadMessage"), 0);
}

TEST_F(MessageThreadTest, NotificationsReachOnlyASavedLiveMainThread) {
  Echo echo;
  EXPECT_EQ(echo.LoadThreadID(), 0u);
  EXPECT_FALSE(echo.PostMessageMainThread(Msg().protocolSend, 0, 0));
  echo.SaveThreadID(platform::CurrentThreadId());
  EXPECT_EQ(echo.LoadThreadID(), platform::CurrentThreadId());

  ASSERT_TRUE(platform::PostThreadMessage(echo.MessageThreadId(), platform::WM_TIMER, 0, 0));
  ASSERT_TRUE(platform::PostThreadMessage(echo.MessageThreadId(), Msg().protocolRecv, 6, 1));
  platform::Message m;
  ASSERT_EQ(platform::GetMessageFor(&m, 3000), 1);
  EXPECT_EQ(m.message, Msg().protocolRecv);
  EXPECT_EQ(m.wParam, 7u);
  EXPECT_EQ(m.lParam, 1u);
  echo.StopMessageThread();
  EXPECT_EQ(echo.seen, std::vector<uint32_t>{Msg().protocolRecv}) << "WM_TIMER is not handled";

  // A main thread whose queue has ended makes the post fail, and nothing else happens.
  platform::DetachMessageQueue();
  EXPECT_FALSE(echo.PostMessageMainThread(Msg().protocolSend, 0, 0));
}

TEST_F(MessageThreadTest, SameNameSameNumberFromTheRegisteredRange) {
  EXPECT_EQ(Msg().protocolRecv, platform::RegisterMessage("VOKELCMD:WM_PROTOCOL_RECV"));
  EXPECT_GE(Msg().protocolError, 0xC000u);
  EXPECT_NE(Msg().httpThreadError, Msg().kaThreadError);
  EXPECT_NE(Msg().httpThreadExit, Msg().kaThreadExit);
}

}  // namespace
