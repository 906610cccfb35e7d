#include "http_get.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include "deadline.h"

namespace testsupport {

int ConnectTcp(const std::string& address, uint16_t port, const std::string& source) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (!source.empty()) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (inet_pton(AF_INET, source.c_str(), &local.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      close(fd);
      return -1;
    }
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1 ||
      connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string ReadUntilClosed(int fd, int timeout_ms, bool* closed) {
  std::string in;
  int64_t deadline = NowMs() + timeout_ms;
  if (closed != nullptr) *closed = false;
  for (;;) {
    int left = RemainingMs(deadline);
    if (left == 0) return in;
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, left) <= 0) continue;
    char buf[65536];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      if (closed != nullptr) *closed = true;
      return in;
    }
    in.append(buf, static_cast<size_t>(n));
  }
}

HttpReply ParseHttpReply(const std::string& in) {
  HttpReply reply;
  size_t end = in.find("\r\n\r\n");
  if (in.compare(0, 9, "HTTP/1.1 ") != 0 || end == std::string::npos) return reply;
  reply.status = std::atoi(in.c_str() + 9);
  reply.head = in.substr(0, end);
  reply.body = in.substr(end + 4);
  return reply;
}

HttpReply HttpRaw(const std::string& bytes, uint16_t port, const std::string& address,
                  int timeout_ms) {
  int fd = ConnectTcp(address, port);
  if (fd < 0) return HttpReply();
  send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  std::string in = ReadUntilClosed(fd, timeout_ms);
  close(fd);
  return ParseHttpReply(in);
}

HttpReply HttpGet(const std::string& path, uint16_t port, const std::string& address,
                  int timeout_ms) {
  return HttpRaw("GET " + path + " HTTP/1.1\r\nHost: " + address + "\r\nConnection: close\r\n\r\n",
                 port, address, timeout_ms);
}

double MetricSample(const std::string& exposition, const std::string& series) {
  for (size_t at = 0; (at = exposition.find(series + " ", at)) != std::string::npos;
       at += series.size()) {
    if (at == 0 || exposition[at - 1] == '\n') {
      return std::strtod(exposition.c_str() + at + series.size() + 1, nullptr);
    }
  }
  return -1;
}

}  // namespace testsupport
