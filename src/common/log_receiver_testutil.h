// Test helper: a syslog server stand-in on 127.0.0.x:514 and a private profile directory.
// REQUIRES: the calling test entered a private network namespace first.
#pragma once

#include <optional>
#include <string>

namespace commontest {

class LogReceiver {
 public:
  explicit LogReceiver(const char* address = "127.0.0.1");
  ~LogReceiver();
  LogReceiver(const LogReceiver&) = delete;
  LogReceiver& operator=(const LogReceiver&) = delete;

  bool ok() const { return fd_ >= 0; }
  // The next datagram, byte for byte, or nothing after timeout_ms.
  std::optional<std::string> Next(int timeout_ms = 2000);

 private:
  int fd_ = -1;
};

// A fresh directory made the profile directory (VOKELMNG_CONFIG_DIR); removed on destruction.
class TempProfileDir {
 public:
  TempProfileDir();
  ~TempProfileDir();
  // Writes syslog.ini with DESTINATION set to `destination`.
  void WriteSyslogDestination(const std::string& destination);
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace commontest
