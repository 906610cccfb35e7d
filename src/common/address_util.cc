#include "common/address_util.h"

#include <cstring>
#include <string>

#include "common/text_util.h"
#include "platform/socket.h"

namespace {

// Value of one dotted-quad part: digits only, empty counts as 0; -1 when invalid or above 255.
int QuadPart(const char* part) {
  int value = 0;
  for (const char* p = part; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return -1;
    value = value * 10 + (*p - '0');
    if (value > 255) return -1;
  }
  return value;
}

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

// Works on a private copy: the text is cut at its first three dots, so a fourth dot ends up in
// the last part and makes it invalid.
int IsIpAddress(const char* text, uint8_t bytes[4]) {
  if (text == nullptr || bytes == nullptr) return 0;
  std::string copy(text);
  for (char c : copy) {
    if (c != '.' && (c < '0' || c > '9')) return 0;
  }
  char* parts[4];
  parts[0] = copy.data();
  for (int i = 1; i < 4; ++i) {
    parts[i] = StrSplitAt(parts[i - 1], ".");
    if (parts[i] == nullptr) return 0;
  }
  int values[4];
  for (int i = 0; i < 4; ++i) {
    values[i] = QuadPart(parts[i]);
    if (values[i] < 0) return 0;
  }
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(values[i]);
  return 1;
}

// A text that inet_addr cannot convert counts as 255.255.255.255, as the conversion answers.
int NetmaskToPrefix(const char* text) {
  if (text == nullptr) return -1;
  uint32_t network_order = platform::InetAddr(text);
  uint8_t b[4];
  std::memcpy(b, &network_order, sizeof b);
  uint32_t mask = (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
  int zeros = 0;
  while (zeros < 32 && (mask & (uint32_t{1} << zeros)) == 0) ++zeros;
  int bit = zeros;
  while (bit < 32 && (mask & (uint32_t{1} << bit)) != 0) ++bit;
  return bit == 32 ? 32 - zeros : -1;
}

int ParseMacAddress(const char* text, uint8_t bytes[6]) {
  if (text == nullptr || bytes == nullptr) return -1;
  size_t length = std::strlen(text);
  size_t step;
  if (length == 17) {
    char separator = text[2];
    if (separator != ':' && separator != '-') return -1;
    for (size_t pos = 2; pos < 17; pos += 3) {
      if (text[pos] != separator) return -1;
    }
    step = 3;
  } else if (length == 12) {
    step = 2;
  } else {
    return -1;
  }
  uint8_t parsed[6];
  for (size_t i = 0; i < 6; ++i) {
    const char* pair = text + i * step;
    if (!IsHexDigit(pair[0]) || !IsHexDigit(pair[1])) return -1;
    parsed[i] = ParseHex8(pair, 2);
  }
  std::memcpy(bytes, parsed, sizeof parsed);
  return 0;
}
