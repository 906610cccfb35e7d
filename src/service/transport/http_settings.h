// The senders' one setting: SENDERS of section HTTP in VoKelMng.ini, how many routers the HTTP
// client serves at once (a whole number 1..64). Absent or empty: 5, as the service always had.
#pragma once

#include <memory>
#include <string>

#include "common/tls_channel.h"

constexpr int kDefaultHttpSenders = 5;
constexpr int kMaxHttpSenders = 64;

// Parses a whole number 1..kMaxHttpSenders written in decimal digits alone. false for anything
// else (a sign, blanks, other characters, 0, more than kMaxHttpSenders).
bool ParseHttpSenders(const std::string& text, int* out);

// Reads the setting. A value that does not parse is logged at err with the value and gives the
// default.
int LoadHttpSenders();

// Routers over HTTPS: TLS, CAFILE, VERIFY, CERTFILE and KEYFILE of section HTTP. Read once at
// start; one context serves every sender.
struct RouterTls {
  bool enabled = false;  // TLS=enable (any letter case): every router connection is TLS
  // The client context; null while TLS is off, or when its files could not be used (then
  // every TLS attempt fails, and `error` says why).
  std::shared_ptr<tls::Context> context;
  std::string error;
};

// "full", "chain" or "none" in any letter case; false for anything else.
bool ParseRouterVerify(const std::string& text, tls::Verify* out);

// Reads the TLS settings and makes the context. Logs at err a bad VERIFY value (full is used)
// and files that cannot be used, and warns that routers go unchecked with VERIFY=none.
RouterTls LoadRouterTls();
