// The main of every test program: the log capture replaces the UDP syslog client, so tests
// need no syslog server and no private network to log. With CI=true a skipped test fails the
// program: in CI every prerequisite is installed, and nothing may pass by being skipped.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "common/syslog.h"
#include "log_capture.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  SyslogSetSink(&testsupport::Logs());
  int status = RUN_ALL_TESTS();
  const char* ci = std::getenv("CI");
  int skipped = ::testing::UnitTest::GetInstance()->skipped_test_count();
  if (status == 0 && ci != nullptr && std::strcmp(ci, "true") == 0 && skipped > 0) {
    std::fprintf(stderr, "%d test(s) skipped with CI=true: a skip is a failure here\n", skipped);
    return 1;
  }
  return status;
}
