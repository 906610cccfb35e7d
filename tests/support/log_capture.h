// Test support: the log lines of the code under test, caught in memory. Every test program
// starts with the capture installed in place of the UDP syslog client (see test_main.cc), so
// no test sends a datagram unless it restores the client itself.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/syslog.h"

namespace testsupport {

struct LogLine {
  int severity;
  std::string text;
  int64_t at_ms;  // when it was written, steady clock
};

class LogCapture : public SyslogSink {
 public:
  void Write(int severity, std::string_view text) override;

  // Every line since the last Clear, in order.
  std::vector<LogLine> Lines();
  // Lines since the last Clear that contain `text`.
  int Count(const std::string& text);
  // Whether a line containing `text` arrives within timeout_ms (earlier lines count).
  bool WaitFor(const std::string& text, int timeout_ms = 5000);
  // Waits until `count` lines contain `text`.
  bool WaitForCount(const std::string& text, int count, int timeout_ms = 5000);
  void Clear();

 private:
  int CountLocked(const std::string& text) const;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<LogLine> lines_;
};

// The capture every test program installs at start.
LogCapture& Logs();

}  // namespace testsupport
