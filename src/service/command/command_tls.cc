#include "service/command/command_tls.h"

#include <string>

#include "common/syslog.h"
#include "common/text_util.h"
#include "platform/profile.h"

namespace {

std::string Setting(const char* key) {
  return platform::ReadProfileString("VoKelMng.ini", "SERVICE", key, "", 4096);
}

}  // namespace

CommandTlsSettings ReadCommandTlsSettings() {
  return {Setting("TLSPORT"), Setting("TLSCERT"), Setting("TLSKEY"), Setting("TLSCLIENTCA")};
}

bool MakeCommandTlsPort(const CommandTlsSettings& settings, uint16_t plainPort, CommandTlsPort* out,
                        std::string* why) {
  *out = CommandTlsPort();
  const std::string& portText = settings.portText;
  if (portText.empty()) return true;
  uint16_t port = ParsePortNumber(portText.c_str(), 1, 65535);
  if (port == 0) {
    *why = "TLSPORT=" + portText + " is not a port number";
    return false;
  }
  if (port == plainPort) {
    *why = "TLSPORT=" + portText + " is the plain command port";
    return false;
  }
  if (settings.certFile.empty()) {
    *why = "TLSCERT is not set";
    return false;
  }
  if (settings.clientCaFile.empty()) {
    *why = "TLSCLIENTCA is not set (only clients with a certificate are admitted)";
    return false;
  }
  tls::ServerSettings server{settings.certFile, settings.keyFile, settings.clientCaFile};
  std::unique_ptr<tls::Context> context = tls::Context::ForServer(server, why);
  if (!context) return false;
  out->port = port;
  out->context = std::move(context);
  return true;
}

CommandTlsPort LoadCommandTlsPort(uint16_t plainPort) {
  CommandTlsPort out;
  std::string why;
  if (!MakeCommandTlsPort(ReadCommandTlsSettings(), plainPort, &out, &why)) {
    Syslog(kLogErr, "The TLS command port is not opened: %s.", why.c_str());
  }
  return out;
}
