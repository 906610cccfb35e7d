// Test support: a private network namespace per test process, so that ports 514, 880 and 8000
// and every 127.x address a test uses belong to that test alone.
#pragma once

#include <string>

namespace testsupport {

// Moves the calling process (it must still be single-threaded) into a new network namespace
// with the loopback interface up. Returns an empty string on success, else the reason.
std::string EnterPrivateNetwork();

// Runs a shell command; returns its exit status (-1 when it could not run).
int Shell(const std::string& command);

// Makes 127.0.0.1 the only address answering on lo (127.0.0.1/8 replaced by /32), so that
// other 127.x addresses answer only after AddLoopbackAddress. Requires EnterPrivateNetwork().
bool NarrowLoopback();
bool AddLoopbackAddress(const std::string& addr);
bool RemoveLoopbackAddress(const std::string& addr);

}  // namespace testsupport

// In a test body or fixture SetUp: enter a private network or fail the test.
#define ENTER_PRIVATE_NETWORK()                                     \
  do {                                                              \
    std::string netns_error_ = testsupport::EnterPrivateNetwork();  \
    ASSERT_EQ(netns_error_, "") << "cannot make a private network"; \
  } while (0)
