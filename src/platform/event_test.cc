#include "platform/event.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/clock.h"

namespace platform {
namespace {

TEST(EventTest, AutoResetAndSetTwiceIsOneSignal) {
  Event e;
  ASSERT_TRUE(e.ok());
  EXPECT_FALSE(e.TryConsume());
  e.Set();
  e.Set();
  EXPECT_TRUE(WaitOne(e, 0));
  EXPECT_FALSE(WaitOne(e, 0)) << "a wait must consume the whole signal";
  e.Set();
  e.Reset();
  EXPECT_FALSE(e.TryConsume());
}

TEST(EventTest, WaitAnyPicksLowestSignalledAndConsumesOnlyIt) {
  Event a, b, c;
  b.Set();
  c.Set();
  EXPECT_EQ(WaitAny({&a, &b, &c}, 0), 1);
  EXPECT_EQ(WaitAny({&a, &b, &c}, 0), 2) << "c must still be signalled";
  EXPECT_EQ(WaitAny({&a, &b, &c}, 0), kWaitTimeout);
  a.Set();
  c.Set();
  EXPECT_EQ(WaitAny({&a, &b, &c}, kInfinite), 0);
  EXPECT_TRUE(c.TryConsume());
}

TEST(EventTest, TimeoutsAndWakeUpFromAnotherThread) {
  Event e;
  uint64_t start = MonotonicMs();
  EXPECT_EQ(WaitAny({&e}, 120), kWaitTimeout);
  uint64_t waited = MonotonicMs() - start;
  EXPECT_GE(waited, 115u);
  EXPECT_LT(waited, 2000u);

  std::thread setter([&e] {
    SleepMs(50);
    e.Set();
  });
  EXPECT_EQ(WaitAny({&e}, kInfinite), 0);
  setter.join();
}

// A handle whose fd is readable but whose first signals are spurious.
class FlakyWaitable : public Waitable {
 public:
  explicit FlakyWaitable(int refusals) : refusals_(refusals) { inner_.Set(); }
  int fd() const override { return inner_.fd(); }
  bool Consume() override {
    ++calls_;
    if (refusals_ > 0) {
      --refusals_;
      return false;
    }
    return inner_.TryConsume();
  }
  int calls() const { return calls_; }

 private:
  Event inner_;
  int refusals_;
  int calls_ = 0;
};

TEST(EventTest, SpuriousSignalsKeepWaitingAndFallThroughToLaterHandles) {
  FlakyWaitable flaky(2);
  EXPECT_EQ(WaitAny({&flaky}, 1000), 0);
  EXPECT_EQ(flaky.calls(), 3);

  FlakyWaitable refusing(1000000);
  Event later;
  later.Set();
  EXPECT_EQ(WaitAny({&refusing, &later}, 1000), 1);

  uint64_t start = MonotonicMs();
  EXPECT_EQ(WaitAny({&refusing}, 60), kWaitTimeout) << "a refused signal must not end the wait";
  EXPECT_GE(MonotonicMs() - start, 55u);
}

}  // namespace
}  // namespace platform
