#include "common/log_receiver_testutil.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace commontest {

LogReceiver::LogReceiver(const char* address) {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  int size = 1 << 20;
  setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(514);
  sa.sin_addr.s_addr = inet_addr(address);
  if (bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    close(fd_);
    fd_ = -1;
  }
}

LogReceiver::~LogReceiver() {
  if (fd_ >= 0) close(fd_);
}

std::optional<std::string> LogReceiver::Next(int timeout_ms) {
  pollfd pfd = {fd_, POLLIN, 0};
  if (poll(&pfd, 1, timeout_ms) <= 0) return std::nullopt;
  char buf[8192];
  ssize_t n = recv(fd_, buf, sizeof buf, 0);
  if (n < 0) return std::nullopt;
  return std::string(buf, static_cast<size_t>(n));
}

TempProfileDir::TempProfileDir() {
  char pattern[] = "/tmp/vokel_common_test.XXXXXX";
  if (mkdtemp(pattern) != nullptr) path_ = pattern;
  setenv("VOKELMNG_CONFIG_DIR", path_.c_str(), 1);
}

TempProfileDir::~TempProfileDir() {
  unsetenv("VOKELMNG_CONFIG_DIR");
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

void TempProfileDir::WriteSyslogDestination(const std::string& destination) {
  std::ofstream out(path_ + "/syslog.ini", std::ios::trunc);
  out << "[SYSLOG]\nDESTINATION=" << destination << "\n";
}

}  // namespace commontest
