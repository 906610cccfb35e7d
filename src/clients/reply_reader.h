// Reads the service's reply line by line from a connected socket, each line within a deadline.
#pragma once

#include <cstddef>
#include <cstdio>

#include "common/tls_channel.h"
#include "platform/socket.h"
#include "platform/socket_event.h"

namespace clients {

class ReplyReader {
 public:
  // A line is complete at "\n", at kMaxLine + 1 bytes, or once it holds the prompt "$ ".
  static constexpr size_t kMaxLine = 4096;
  static constexpr size_t kBufferSize = 4100;

  // REQUIRES: `event` selects kFdRead | kFdClose on `socket`; both outlive the reader, and so
  // does `channel`, through which the bytes are read when it is not null.
  ReplyReader(platform::Socket socket, platform::SocketEvent* event, int wait_ms, FILE* out,
              tls::Channel* channel = nullptr);

  // Gathers one line within wait_ms; its length, or -1 after printing why it failed.
  int ReadLine();
  const char* line() const { return line_; }
  size_t length() const { return length_; }
  bool HasPrompt() const;

 private:
  // Waits for the socket until the line's deadline; false after printing the failure.
  bool WaitReadable(uint64_t deadline);
  // Receives what is pending until the line is complete; -1 on failure, else 0.
  int Gather();
  int GatherTls();
  bool Complete() const;
  void Fail(const char* message);

  platform::Socket socket_;
  platform::SocketEvent* event_;
  tls::Channel* channel_;
  int wait_ms_;
  FILE* out_;
  char line_[kBufferSize];
  size_t length_ = 0;
};

}  // namespace clients
