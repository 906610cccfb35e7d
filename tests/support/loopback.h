// Test support: the loopback peers of the service's sockets. A command-port client, a syslog
// server stand-in that keeps every datagram, and a check for a listening TCP port.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// True when a TCP socket listens on `port` (any IPv4 address) in this network.
bool IsListening(uint16_t port);

// One blocking connection attempt to 127.0.0.1:port, with TCP_NODELAY: the socket, or -1.
int ConnectLoopbackTcp(uint16_t port);

// A command-port client: the service writes "$ " after every reply.
class CommandClient {
 public:
  CommandClient() = default;
  ~CommandClient();
  CommandClient(const CommandClient&) = delete;
  CommandClient& operator=(const CommandClient&) = delete;

  // Connects to 127.0.0.1:port, from address `source` when not empty. false on failure.
  bool Connect(uint16_t port = 8000, const std::string& source = "", int timeout_ms = 5000);
  bool Send(const std::string& bytes);
  // The bytes before the next "$ " (which is consumed); nullopt on time-out or when the peer
  // closed first (pending() then holds what came).
  std::optional<std::string> ReadReply(int timeout_ms = 5000);
  // Send(line + "\n"), then ReadReply.
  std::optional<std::string> Command(const std::string& line, int timeout_ms = 5000);
  // Reads until the peer closes (or resets); true when it did within timeout_ms. Everything
  // that arrived, pending() included, is appended to *received.
  bool WaitClosed(int timeout_ms = 5000, std::string* received = nullptr);
  // Bytes received but not yet returned by ReadReply.
  const std::string& pending() const { return pending_; }
  int fd() const { return fd_; }
  void Close();

 private:
  // Reads what arrives within timeout_ms into pending_: 1 data, 0 closed, -1 time-out.
  int ReadSome(int timeout_ms);

  int fd_ = -1;
  std::string pending_;
};

// Collects the syslog datagrams sent to 127.0.0.1:514 (or another port).
class SyslogListener {
 public:
  SyslogListener() = default;
  ~SyslogListener();
  SyslogListener(const SyslogListener&) = delete;
  SyslogListener& operator=(const SyslogListener&) = delete;

  // Binds `address`:`port` (a syslog server's place by default). false when it cannot.
  // `receive_buffer` bytes, when given, hold the datagrams of a burst until they are read.
  bool Start(uint16_t port = 514, const char* address = "127.0.0.1", int receive_buffer = 0);
  // The next datagram not yet returned by Next, byte for byte; nothing after timeout_ms.
  std::optional<std::string> Next(int timeout_ms = 2000);
  // Every datagram received so far, in order.
  const std::vector<std::string>& Messages();
  // When Messages()[index] arrived (the kernel's time, in seconds since 1970), however late it
  // was read.
  double Arrival(size_t index) const { return arrivals_[index]; }
  // Waits until a datagram containing `text` has arrived (earlier ones count).
  bool WaitFor(const std::string& text, int timeout_ms = 5000);
  // Number of datagrams so far that contain `text`.
  int Count(const std::string& text);

 private:
  void Drain(int timeout_ms);

  int fd_ = -1;
  std::vector<std::string> messages_;
  std::vector<double> arrivals_;
  size_t next_ = 0;
};

}  // namespace testsupport
