#include "loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "deadline.h"

namespace testsupport {

namespace {

using testsupport::NowMs;

int Remaining(int64_t deadline) { return testsupport::RemainingMs(deadline); }

}  // namespace

int ConnectLoopbackTcp(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    close(fd);
    return -1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

bool IsListening(uint16_t port) {
  std::ifstream in("/proc/net/tcp");
  std::string line;
  std::getline(in, line);  // header
  char wanted[8];
  std::snprintf(wanted, sizeof wanted, ":%04X", port);
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (state == "0A" && local.size() > 5 && local.substr(local.size() - 5) == wanted) {
      return true;
    }
  }
  return false;
}

// --- CommandClient ---

CommandClient::~CommandClient() { Close(); }

void CommandClient::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool CommandClient::Connect(uint16_t port, const std::string& source, int timeout_ms) {
  Close();
  pending_.clear();
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  if (!source.empty()) {
    struct sockaddr_in from = {};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &from.sin_addr);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) return false;
  }
  struct sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  struct timeval tv = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  return connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
}

bool CommandClient::Send(const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

int CommandClient::ReadSome(int timeout_ms) {
  struct pollfd p = {fd_, POLLIN, 0};
  int r = poll(&p, 1, timeout_ms);
  if (r <= 0) return -1;
  char buf[65536];
  ssize_t n = recv(fd_, buf, sizeof buf, 0);
  if (n <= 0) return 0;
  pending_.append(buf, static_cast<size_t>(n));
  return 1;
}

std::optional<std::string> CommandClient::ReadReply(int timeout_ms) {
  int64_t deadline = NowMs() + timeout_ms;
  for (;;) {
    size_t at = pending_.find("$ ");
    if (at != std::string::npos) {
      std::string reply = pending_.substr(0, at);
      pending_.erase(0, at + 2);
      return reply;
    }
    if (fd_ < 0 || ReadSome(Remaining(deadline)) != 1) return std::nullopt;
  }
}

std::optional<std::string> CommandClient::Command(const std::string& line, int timeout_ms) {
  if (!Send(line + "\n")) return std::nullopt;
  return ReadReply(timeout_ms);
}

bool CommandClient::WaitClosed(int timeout_ms, std::string* received) {
  int64_t deadline = NowMs() + timeout_ms;
  int r = 1;
  while (fd_ >= 0 && r == 1) r = ReadSome(Remaining(deadline));
  if (received != nullptr) received->append(pending_);
  pending_.clear();
  return r == 0;
}

// --- SyslogListener ---

SyslogListener::~SyslogListener() {
  if (fd_ >= 0) close(fd_);
}

bool SyslogListener::Start(uint16_t port, const char* address, int receive_buffer) {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  int on = 1;
  setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on);
  if (receive_buffer > 0) {
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &receive_buffer, sizeof receive_buffer);
  }
  struct sockaddr_in at = {};
  at.sin_family = AF_INET;
  at.sin_port = htons(port);
  inet_pton(AF_INET, address, &at.sin_addr);
  return bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
}

void SyslogListener::Drain(int timeout_ms) {
  struct pollfd p = {fd_, POLLIN, 0};
  while (fd_ >= 0 && poll(&p, 1, timeout_ms) > 0) {
    char buf[65536];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timeval))];
    iovec io = {buf, sizeof buf};
    msghdr m = {};
    m.msg_iov = &io;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    ssize_t n = recvmsg(fd_, &m, 0);
    if (n < 0) return;
    messages_.emplace_back(buf, static_cast<size_t>(n));
    timeval at = {};
    cmsghdr* c = CMSG_FIRSTHDR(&m);
    if (c != nullptr && c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMP) {
      std::memcpy(&at, CMSG_DATA(c), sizeof at);
    } else {
      gettimeofday(&at, nullptr);
    }
    arrivals_.push_back(static_cast<double>(at.tv_sec) + static_cast<double>(at.tv_usec) / 1e6);
    timeout_ms = 0;
  }
}

std::optional<std::string> SyslogListener::Next(int timeout_ms) {
  if (next_ >= messages_.size()) Drain(timeout_ms);
  if (next_ >= messages_.size()) return std::nullopt;
  return messages_[next_++];
}

const std::vector<std::string>& SyslogListener::Messages() {
  Drain(0);
  return messages_;
}

int SyslogListener::Count(const std::string& text) {
  int n = 0;
  for (const std::string& m : Messages()) n += m.find(text) != std::string::npos ? 1 : 0;
  return n;
}

bool SyslogListener::WaitFor(const std::string& text, int timeout_ms) {
  int64_t deadline = NowMs() + timeout_ms;
  size_t seen = 0;
  for (;;) {
    for (; seen < messages_.size(); ++seen) {
      if (messages_[seen].find(text) != std::string::npos) return true;
    }
    int left = Remaining(deadline);
    if (left == 0) return false;
    Drain(left);
  }
}

}  // namespace testsupport
