#include "clients/recording_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace clients_test {

RecordingServer::RecordingServer(ServerScript script, const char* address, uint16_t port)
    : script_(std::move(script)) {
  if (pipe(stop_pipe_) != 0) return;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  sin.sin_addr.s_addr = inet_addr(address);
  if (bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0 || listen(fd, 8) != 0) {
    close(fd);
    return;
  }
  socklen_t length = sizeof sin;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &length);
  port_ = ntohs(sin.sin_port);
  listener_ = fd;
  thread_ = std::thread([this] { Serve(); });
}

RecordingServer::~RecordingServer() {
  if (stop_pipe_[1] >= 0) (void)!write(stop_pipe_[1], "x", 1);
  if (thread_.joinable()) thread_.join();
  if (listener_ >= 0) close(listener_);
  for (int fd : stop_pipe_) {
    if (fd >= 0) close(fd);
  }
}

std::vector<std::string> RecordingServer::lines() {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

int RecordingServer::connections() {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

bool RecordingServer::WaitReadable(int fd) {
  pollfd fds[2] = {{fd, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
  while (poll(fds, 2, -1) < 0) {
  }
  return (fds[1].revents & POLLIN) == 0;
}

bool RecordingServer::ReadLine(int fd, std::string* line) {
  char c = 0;
  while (c != '\n') {
    if (!WaitReadable(fd) || recv(fd, &c, 1, 0) != 1) return false;
    *line += c;
  }
  return true;
}

void RecordingServer::SendAll(int fd, const std::string& data) {
  for (size_t sent = 0; sent < data.size();) {
    ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

void RecordingServer::Converse(int fd, int index) {
  if (index >= script_.silent_connections) {
    SendAll(fd, script_.banner + "$ ");
    std::string line;
    bool got = ReadLine(fd, &line);
    if (got) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(line);
    }
    if (!got || index < script_.silent_connections + script_.cut_connections) return;
    if (script_.trickle_ms > 0) {
      for (char c : script_.reply) {
        SendAll(fd, std::string(1, c));
        std::this_thread::sleep_for(std::chrono::milliseconds(script_.trickle_ms));
      }
    } else {
      SendAll(fd, script_.reply + "$ ");
    }
  }
  char sink[256];  // hold the connection until the client leaves
  while (WaitReadable(fd) && recv(fd, sink, sizeof sink, 0) > 0) {
  }
}

void RecordingServer::Serve() {
  for (int index = 0; WaitReadable(listener_); ++index) {
    int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++connections_;
    }
    Converse(fd, index);
    close(fd);
  }
}

}  // namespace clients_test
