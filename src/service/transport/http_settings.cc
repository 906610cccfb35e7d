#include "service/transport/http_settings.h"

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
