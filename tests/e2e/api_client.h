// A bare HTTP/1.1 client for the operator API tests: one request per connection, or any bytes
// at all, read until the server closes. Talks to 127.0.0.x only.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace apitest {

struct HttpReply {
  int status = 0;  // 0: no answer (closed without one, or time-out)
  std::string head;
  std::string body;
};

// A connected socket to address:port from address `source` (any when empty), or -1.
inline int ConnectFrom(const std::string& source, const std::string& address, uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (!source.empty()) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &local.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      close(fd);
      return -1;
    }
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// A connected socket to address:port, or -1.
inline int Connect(const std::string& address, uint16_t port) {
  return ConnectFrom("", address, port);
}

// Everything the peer sends until it closes, at most timeout_ms; *closed tells which ended it.
inline std::string ReadAll(int fd, int timeout_ms, bool* closed = nullptr) {
  std::string in;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  if (closed != nullptr) *closed = false;
  for (;;) {
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    end - std::chrono::steady_clock::now())
                                    .count());
    if (left <= 0) return in;
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, left) <= 0) continue;
    char buf[16384];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      if (closed != nullptr) *closed = true;
      return in;
    }
    in.append(buf, static_cast<size_t>(n));
  }
}

inline HttpReply Parse(const std::string& in) {
  HttpReply reply;
  size_t end = in.find("\r\n\r\n");
  if (in.compare(0, 9, "HTTP/1.1 ") != 0 || end == std::string::npos) return reply;
  reply.status = std::atoi(in.c_str() + 9);
  reply.head = in.substr(0, end);
  reply.body = in.substr(end + 4);
  return reply;
}

// Sends `bytes` as they are and reads the answer until the server closes.
inline HttpReply Raw(const std::string& bytes, uint16_t port = 9100,
                     const std::string& address = "127.0.0.1", int timeout_ms = 5000) {
  int fd = Connect(address, port);
  if (fd < 0) return HttpReply();
  send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  std::string in = ReadAll(fd, timeout_ms);
  close(fd);
  return Parse(in);
}

inline HttpReply Request(const std::string& method, const std::string& path,
                         const std::string& extraHeaders = "", uint16_t port = 9100) {
  return Raw(method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHeaders +
                 "Connection: close\r\n\r\n",
             port);
}

inline HttpReply Get(const std::string& path, uint16_t port = 9100) {
  return Request("GET", path, "", port);
}

// The value of the sample `series` (name and labels exactly) in an exposition; -1 when absent.
inline double Sample(const std::string& text, const std::string& series) {
  size_t at = 0;
  while ((at = text.find(series + " ", at)) != std::string::npos) {
    if (at == 0 || text[at - 1] == '\n') return std::stod(text.substr(at + series.size() + 1));
    at += series.size();
  }
  return -1;
}

inline std::string RouterLabels(const std::string& address, int port = 880) {
  return "{router=\"" + address + "\",port=\"" + std::to_string(port) + "\"}";
}

}  // namespace apitest
