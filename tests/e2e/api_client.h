// The operator API tests' client: the HTTP helpers of tests/support (one request per
// connection, or any bytes at all, read until the server closes) under the names the tests
// use, with the API's port as default. Talks to 127.0.0.x only.
#pragma once

#include <cstdint>
#include <string>

#include "http_get.h"

namespace apitest {

using testsupport::HttpReply;

inline int Connect(const std::string& address, uint16_t port) {
  return testsupport::ConnectTcp(address, port);
}

// A connection to address:port from the address `source`.
inline int ConnectFrom(const std::string& source, const std::string& address, uint16_t port) {
  return testsupport::ConnectTcp(address, port, source);
}

inline std::string ReadAll(int fd, int timeout_ms, bool* closed = nullptr) {
  return testsupport::ReadUntilClosed(fd, timeout_ms, closed);
}

inline HttpReply Raw(const std::string& bytes, uint16_t port = 9100,
                     const std::string& address = "127.0.0.1", int timeout_ms = 5000) {
  return testsupport::HttpRaw(bytes, port, address, timeout_ms);
}

inline HttpReply Request(const std::string& method, const std::string& path,
                         const std::string& extraHeaders = "", uint16_t port = 9100) {
  return Raw(method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHeaders +
                 "Connection: close\r\n\r\n",
             port);
}

inline HttpReply Get(const std::string& path, uint16_t port = 9100) {
  return testsupport::HttpGet(path, port);
}

inline double Sample(const std::string& text, const std::string& series) {
  return testsupport::MetricSample(text, series);
}

inline std::string RouterLabels(const std::string& address, int port = 880) {
  return "{router=\"" + address + "\",port=\"" + std::to_string(port) + "\"}";
}

}  // namespace apitest
