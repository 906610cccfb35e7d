// Test support: HTTP/1.1 to a server on 127.0.0.x, one request per connection, the answer read
// until the server closes; and the value of one sample of a Prometheus text exposition.
#pragma once

#include <cstdint>
#include <string>

namespace testsupport {

struct HttpReply {
  int status = 0;  // 0: no answer (closed without one, or time-out)
  std::string head;
  std::string body;
};

// A blocking connection to address:port, from address `source` when not empty; the socket,
// or -1.
int ConnectTcp(const std::string& address, uint16_t port, const std::string& source = "");
// Everything the peer sends until it closes, at most timeout_ms; *closed tells which ended it.
std::string ReadUntilClosed(int fd, int timeout_ms, bool* closed = nullptr);
// Status line, head and body of an answer; status 0 when it is not one.
HttpReply ParseHttpReply(const std::string& in);

// Sends `bytes` as they are and reads the answer until the server closes.
HttpReply HttpRaw(const std::string& bytes, uint16_t port, const std::string& address = "127.0.0.1",
                  int timeout_ms = 5000);
// GET `path` with "Connection: close".
HttpReply HttpGet(const std::string& path, uint16_t port, const std::string& address = "127.0.0.1",
                  int timeout_ms = 5000);

// The value of the sample `series` (name and labels exactly as exposed) at the start of a line
// of `exposition`; -1 when there is none.
double MetricSample(const std::string& exposition, const std::string& series);

}  // namespace testsupport
