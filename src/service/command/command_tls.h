// The TLS command port: a second command port, off unless TLSPORT of section SERVICE in
// VoKelMng.ini is set, serving the same protocol inside TLS to clients from any address that
// present a certificate signed by TLSCLIENTCA (the service presents TLSCERT with TLSKEY).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/tls_channel.h"

struct CommandTlsPort {
  uint16_t port = 0;                      // 0: no TLS command port
  std::shared_ptr<tls::Context> context;  // set whenever port is
};

// TLSPORT, TLSCERT, TLSKEY and TLSCLIENTCA of section SERVICE, as read.
struct CommandTlsSettings {
  std::string portText;  // empty: no TLS command port
  std::string certFile;
  std::string keyFile;
  std::string clientCaFile;
};
CommandTlsSettings ReadCommandTlsSettings();

// Judges the settings and makes the port's context (reading the files): true with *out set
// (port 0 when TLSPORT is empty), false with *why set when the port cannot be served.
bool MakeCommandTlsPort(const CommandTlsSettings& settings, uint16_t plainPort, CommandTlsPort* out,
                        std::string* why);

// Reads the settings (once, at start). Without TLSPORT there is no TLS port and nothing is
// logged. A TLS port that cannot be served (TLSPORT not a port or the plain port's number,
// TLSCERT or TLSCLIENTCA not set, a file that cannot be used) is logged at err with the reason
// and not opened; the plain port is not affected.
CommandTlsPort LoadCommandTlsPort(uint16_t plainPort);

// How long a client has for its TLS handshake before its connection is closed.
constexpr int kCommandTlsHandshakeMs = 10000;
