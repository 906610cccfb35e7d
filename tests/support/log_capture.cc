#include "log_capture.h"

#include <chrono>

namespace testsupport {

void LogCapture::Write(int severity, std::string_view text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    using namespace std::chrono;
    int64_t now = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    lines_.push_back({severity, std::string(text), now});
  }
  changed_.notify_all();
}

std::vector<LogLine> LogCapture::Lines() {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

int LogCapture::CountLocked(const std::string& text) const {
  int n = 0;
  for (const LogLine& line : lines_) n += line.text.find(text) != std::string::npos ? 1 : 0;
  return n;
}

int LogCapture::Count(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  return CountLocked(text);
}

bool LogCapture::WaitFor(const std::string& text, int timeout_ms) {
  return WaitForCount(text, 1, timeout_ms);
}

bool LogCapture::WaitForCount(const std::string& text, int count, int timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&] { return CountLocked(text) >= count; });
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
}

LogCapture& Logs() {
  static LogCapture* capture = new LogCapture();  // outlives every thread that logs
  return *capture;
}

}  // namespace testsupport
