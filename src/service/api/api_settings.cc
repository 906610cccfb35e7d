#include "service/api/api_settings.h"

#include <cstring>

#include "common/address_util.h"
#include "common/syslog.h"
#include "platform/profile.h"

bool ParseApiListen(const std::string& text, ApiListen* out) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size()) return false;
  std::string host = text.substr(0, colon);
  std::string port = text.substr(colon + 1);
  uint8_t bytes[4];
  if (IsIpAddress(host.c_str(), bytes) != 1) return false;
  if (port.size() > 5) return false;
  unsigned long value = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  if (value == 0 || value > 65535) return false;
  out->enabled = true;
  std::memcpy(&out->address, bytes, 4);
  out->port = static_cast<uint16_t>(value);
  out->text = text;
  return true;
}

ApiListen LoadApiListen() {
  ApiListen listen;
  listen.text = platform::ReadProfileString("VoKelMng.ini", "STATUS", "LISTEN", "", 256);
  if (listen.text.empty()) return listen;
  ApiListen parsed;
  if (!ParseApiListen(listen.text, &parsed)) {
    Syslog(kLogErr, "The STATUS LISTEN value %s is not ADDRESS:PORT; the status API stays off.",
           listen.text.c_str());
    return listen;
  }
  return parsed;
}
