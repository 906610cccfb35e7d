// The service's own retry timing against a router that refuses connections (about 60 s).
#include <string>
#include <vector>

#include "router_harness_testutil.h"

namespace transporttest {
namespace {

using RetryTest = RouterTest;

TEST_F(RetryTest, RefusingRouterGetsFourAttemptsAtZeroTenThirtySixtySeconds) {
  StartClient();  // default timing: pauses of 10, 20 and 30 s
  StoreRequest("127.0.0.9", "add access-list kel accept source 10.0.0.1");
  client_->EventSend();
  const std::string dropped =
      "I failed in setting of quarantine inspection information for PV(127.0.0.9:880).";
  ASSERT_TRUE(log_->WaitFor(dropped, 66000));

  std::vector<int64_t> attempts = log_->Times("Connection error to PV(127.0.0.9:880).");
  ASSERT_EQ(attempts.size(), 4u);
  const int64_t pauses[] = {10000, 20000, 30000};
  for (size_t i = 1; i < attempts.size(); ++i) {
    EXPECT_GE(attempts[i] - attempts[i - 1], pauses[i - 1] - 50) << i;
    EXPECT_LT(attempts[i] - attempts[i - 1], pauses[i - 1] + 1000) << i;
  }
  for (int left = 3; left >= 0; --left) {
    EXPECT_EQ(log_->Count("The remainder re-try number of times for ACL setting for "
                          "PV(127.0.0.9:880) is a " +
                          std::to_string(left) + " time."),
              1u);
  }
  EXPECT_LT(log_->Times(dropped)[0] - attempts[3], 500);  // no pause after the last attempt
}

}  // namespace
}  // namespace transporttest
