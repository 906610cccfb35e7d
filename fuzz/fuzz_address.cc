// The address, netmask, MAC, port and number parsers on one text (the input up to its first
// NUL). What a parser accepts must hold what it claims.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/address_util.h"
#include "common/text_util.h"
#include "fuzz_support.h"

namespace {

void Expect(bool holds, const char* what, const std::string& text) {
  if (holds) return;
  std::fprintf(stderr, "%s for \"%s\"\n", what, text.c_str());
  std::abort();
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The value of the leading digits of `text` in `base`, or false when it passes `max`.
bool SlowValue(const std::string& text, int base, unsigned __int128 max, unsigned __int128* out) {
  unsigned __int128 value = 0;
  for (char c : text) {
    int d = HexValue(c);
    if (d < 0 || d >= base) break;
    value = value * static_cast<unsigned>(base) + static_cast<unsigned>(d);
    if (value > max) return false;
  }
  *out = value;
  return true;
}

template <class T>
void CheckNumber(const std::string& text, int base, T (*read)(const char*, size_t, bool*)) {
  bool overflow = false;
  T got = read(text.c_str(), text.size(), &overflow);
  unsigned __int128 want = 0;
  bool fits = SlowValue(text, base, static_cast<T>(~T{0}), &want);
  Expect(overflow == !fits, "overflow flag", text);
  Expect(fits ? got == static_cast<T>(want) : got == static_cast<T>(~T{0}), "number value", text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::SetUp();
  std::string text(reinterpret_cast<const char*>(data), size);
  text.resize(std::strlen(text.c_str()));

  uint8_t ip[4];
  if (IsIpAddress(text.c_str(), ip)) {
    int dots = 0;
    for (char c : text) {
      Expect(c == '.' || (c >= '0' && c <= '9'), "address of digits and dots", text);
      dots += c == '.';
    }
    Expect(dots == 3, "address of four parts", text);
  }

  int prefix = NetmaskToPrefix(text.c_str());
  Expect(prefix >= -1 && prefix <= 32, "prefix in range", text);

  uint8_t mac[6];
  if (ParseMacAddress(text.c_str(), mac) == 0) {
    Expect(text.size() == 12 || text.size() == 17, "MAC length", text);
    size_t step = text.size() == 17 ? 3 : 2;
    for (size_t i = 0; i < 6; ++i) {
      int hi = HexValue(text[i * step]);
      int lo = HexValue(text[i * step + 1]);
      Expect(hi >= 0 && lo >= 0 && mac[i] == hi * 16 + lo, "MAC bytes", text);
    }
  }

  uint16_t min = size > 0 ? static_cast<uint16_t>(data[0] | 1) : 1;
  for (uint16_t lo : {uint16_t{1}, min}) {
    uint16_t port = ParsePortNumber(text.c_str(), lo, 65535);
    if (port != 0) {
      Expect(port >= lo, "port within its range", text);
      Expect(std::to_string(port) == text.substr(text.find_first_not_of('0') == std::string::npos
                                                     ? text.size() - 1
                                                     : text.find_first_not_of('0')),
             "port is the text's value", text);
    }
  }

  CheckNumber<uint16_t>(text, 10, ParseDecimal16);
  CheckNumber<uint32_t>(text, 10, ParseDecimal32);
  CheckNumber<uint64_t>(text, 10, ParseDecimal64);
  CheckNumber<uint8_t>(text, 16, ParseHex8);
  CheckNumber<uint16_t>(text, 16, ParseHex16);
  CheckNumber<uint32_t>(text, 16, ParseHex32);
  CheckNumber<uint64_t>(text, 16, ParseHex64);
  return 0;
}
