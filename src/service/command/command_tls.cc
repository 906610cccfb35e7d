#include "service/command/command_tls.h"

#include <string>

#include "common/syslog.h"
#include "common/text_util.h"
#include "platform/profile.h"

namespace {

std::string Setting(const char* key) {
  return platform::ReadProfileString("VoKelMng.ini", "SERVICE", key, "", 4096);
}

void NotOpened(const std::string& why) {
  Syslog(kLogErr, "The TLS command port is not opened: %s.", why.c_str());
}

}  // namespace

CommandTlsPort LoadCommandTlsPort(uint16_t plainPort) {
  CommandTlsPort out;
  std::string portText = Setting("TLSPORT");
  if (portText.empty()) return out;
  uint16_t port = ParsePortNumber(portText.c_str(), 1, 65535);
  if (port == 0) {
    NotOpened("TLSPORT=" + portText + " is not a port number");
    return out;
  }
  if (port == plainPort) {
    NotOpened("TLSPORT=" + portText + " is the plain command port");
    return out;
  }
  tls::ServerSettings settings{Setting("TLSCERT"), Setting("TLSKEY"), Setting("TLSCLIENTCA")};
  if (settings.certFile.empty()) {
    NotOpened("TLSCERT is not set");
    return out;
  }
  if (settings.clientCaFile.empty()) {
    NotOpened("TLSCLIENTCA is not set (only clients with a certificate are admitted)");
    return out;
  }
  std::string error;
  std::unique_ptr<tls::Context> context = tls::Context::ForServer(settings, &error);
  if (!context) {
    NotOpened(error);
    return out;
  }
  out.port = port;
  out.context = std::move(context);
  return out;
}
