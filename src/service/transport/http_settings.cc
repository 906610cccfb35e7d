#include "service/transport/http_settings.h"

#include <cctype>

#include "common/syslog.h"
#include "platform/profile.h"

bool ParseHttpSenders(const std::string& text, int* out) {
  if (text.empty()) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
    if (value > kMaxHttpSenders) return false;  // also keeps a long run of digits from overflowing
  }
  if (value < 1 || value > kMaxHttpSenders) return false;
  *out = value;
  return true;
}

int LoadHttpSenders() {
  std::string text = platform::ReadProfileString("VoKelMng.ini", "HTTP", "SENDERS", "", 256);
  if (text.empty()) return kDefaultHttpSenders;
  int count = kDefaultHttpSenders;
  if (!ParseHttpSenders(text, &count)) {
    Syslog(kLogErr,
           "The HTTP SENDERS value %s is not a whole number from 1 to %d; %d senders are used.",
           text.c_str(), kMaxHttpSenders, kDefaultHttpSenders);
    return kDefaultHttpSenders;
  }
  return count;
}

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string HttpKey(const char* key) {
  return platform::ReadProfileString("VoKelMng.ini", "HTTP", key, "", 4096);
}

}  // namespace

bool ParseRouterVerify(const std::string& text, tls::Verify* out) {
  const std::string word = Lower(text);
  if (word == "full") {
    *out = tls::Verify::kFull;
  } else if (word == "chain") {
    *out = tls::Verify::kChain;
  } else if (word == "none") {
    *out = tls::Verify::kNone;
  } else {
    return false;
  }
  return true;
}

RouterTls LoadRouterTls() {
  RouterTls result;
  result.enabled = Lower(HttpKey("TLS")) == "enable";
  if (!result.enabled) return result;
  tls::ClientSettings settings;
  settings.caFile = HttpKey("CAFILE");
  settings.certFile = HttpKey("CERTFILE");
  settings.keyFile = HttpKey("KEYFILE");
  const std::string verify = HttpKey("VERIFY");
  if (!verify.empty() && !ParseRouterVerify(verify, &settings.verify)) {
    Syslog(kLogErr, "The HTTP VERIFY value %s is not full, chain or none; full is used.",
           verify.c_str());
    settings.verify = tls::Verify::kFull;
  }
  if (settings.verify == tls::Verify::kNone) {
    Syslog(kLogWarning,
           "HTTP VERIFY is none: the routers' certificates are not checked, and anyone on the "
           "way to a router can read and change its access lists.");
  }
  std::shared_ptr<tls::Context> context(tls::Context::ForClient(settings, &result.error).release());
  if (context == nullptr) {
    Syslog(kLogErr, "Routers over TLS cannot be reached: %s.", result.error.c_str());
  }
  result.context = std::move(context);
  return result;
}
