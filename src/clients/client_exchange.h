// The exchange of one command with the service's command port: wait for the prompt, send the
// line, print every reply line until the next prompt. Single-threaded.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "common/tls_channel.h"

namespace clients {

struct ExchangeSettings {
  uint32_t address = 0;  // network byte order
  uint16_t port = 0;
  std::string_view command;  // without its line end
  int attempts = 4;          // the first try and three retries
  int wait_ms = 3000;        // deadline for one reply line
  int pause_ms = 3000;       // after every failed attempt, the last one too
  int connect_ms = 21000;    // a connect that takes longer fails
  FILE* out = stdout;        // where replies and failures are printed
  // The TLS command port: the exchange runs inside TLS made from this context, the service's
  // certificate checked against `peer` (the address given with --dst). Null: plain.
  tls::Context* tls = nullptr;
  std::string peer;
};

// Runs the exchange up to `attempts` times, stopping at the first that succeeds. True when one
// did; every failure has been printed on `out`.
bool RunExchange(const ExchangeSettings& settings);

// One attempt on a fresh connection; true when the reply ended with the next prompt.
bool ExchangeOnce(const ExchangeSettings& settings);

}  // namespace clients
