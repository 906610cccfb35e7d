// The API's one setting: LISTEN of section STATUS in VoKelMng.ini, "ADDRESS:PORT" with a
// dotted IPv4 address and a port 1..65535. Absent or empty: no API.
#pragma once

#include <cstdint>
#include <string>

struct ApiListen {
  bool enabled = false;
  uint32_t address = 0;  // network order
  uint16_t port = 0;
  std::string text;  // the value as read
};

// Parses "ADDRESS:PORT". false for anything else (a name, a bare port, a bad address or port).
bool ParseApiListen(const std::string& text, ApiListen* out);

// Reads the setting. A value that does not parse is logged at err with the value and leaves
// the API off.
ApiListen LoadApiListen();
