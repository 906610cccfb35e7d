// The yardstick: a plain keep-alive HTTP client, one request in flight per connection, that
// writes each request in one piece and reads answers through a buffer; over TLS with a client
// context, on a blocking socket.
#pragma once

#include <cstdint>
#include <string>

namespace tls {
class Context;
}

// Sends `count` copies of header+body to address:port over one connection, each after the
// previous answer was read. With `context`, over TLS (handshake included). false on any failure.
bool PlainClientRun(const std::string& address, uint16_t port, const std::string& request,
                    long count, tls::Context* context = nullptr);
