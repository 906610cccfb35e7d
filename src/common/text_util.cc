#include "common/text_util.h"

#include <cstring>
#include <limits>

namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// The terminator is never a member of a set, whatever the set text holds.
bool InSet(char c, const char* set) { return c != '\0' && set != nullptr && std::strchr(set, c); }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads digits of `base` while the value stays at most `max`; past that the rest of the digit
// string is still consumed and the result is `max` with *overflow set.
uint64_t ParseBase(const char* text, size_t n, int base, uint64_t max, bool* overflow) {
  uint64_t value = 0;
  bool over = false;
  if (text != nullptr) {
    for (size_t i = 0; i < n && text[i] != '\0'; ++i) {
      int digit = HexDigit(text[i]);
      if (digit < 0 || digit >= base) break;
      uint64_t d = static_cast<uint64_t>(digit);
      if (over || value > (max - d) / static_cast<uint64_t>(base)) {
        over = true;
        continue;
      }
      value = value * static_cast<uint64_t>(base) + d;
    }
  }
  if (overflow != nullptr) *overflow = over;
  return over ? max : value;
}

template <class T>
T ParseAs(const char* text, size_t n, int base, bool* overflow) {
  return static_cast<T>(ParseBase(text, n, base, std::numeric_limits<T>::max(), overflow));
}

}  // namespace

char* StrLower(char* text) {
  for (; *text != '\0'; ++text) *text = LowerAscii(*text);
  return text;
}

char* StrUpper(char* text) {
  for (; *text != '\0'; ++text) *text = UpperAscii(*text);
  return text;
}

// Compares lower-cased characters one by one, which gives the same order as comparing lower-cased
// copies with strncmp but cannot fail for want of memory.
int StrCaseCompareN(const char* a, const char* b, size_t n) {
  if (a == nullptr || b == nullptr) return -1;
  for (size_t i = 0; i < n; ++i) {
    unsigned char ca = static_cast<unsigned char>(LowerAscii(a[i]));
    unsigned char cb = static_cast<unsigned char>(LowerAscii(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == '\0') break;
  }
  return 0;
}

int StrCaseCompare(const char* a, const char* b) { return StrCaseCompareN(a, b, SIZE_MAX); }

namespace {

inline char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

// Every answer from a router is searched for its header words: a candidate is looked at only
// where its first letter matches.
const char* StrCaseFind(const char* text, const char* word) {
  if (text == nullptr || word == nullptr) return nullptr;
  const size_t length = std::strlen(word);
  if (length == 0) return text;
  const char first = Lower(word[0]);
  for (const char* p = text; *p != '\0'; ++p) {
    if (Lower(*p) != first) continue;
    size_t i = 1;
    while (i < length && p[i] != '\0' && Lower(p[i]) == Lower(word[i])) ++i;
    if (i == length) return p;
    if (p[i] == '\0') return nullptr;  // the text ends before the word could fit
  }
  return nullptr;
}

const char* StrSkipSet(const char* text, const char* set) {
  if (text == nullptr) return nullptr;
  while (InSet(*text, set)) ++text;
  return *text == '\0' ? nullptr : text;
}

char* StrSkipSet(char* text, const char* set) {
  return const_cast<char*>(StrSkipSet(static_cast<const char*>(text), set));
}

const char* StrFindSet(const char* text, const char* set) {
  if (text == nullptr) return nullptr;
  while (*text != '\0' && !InSet(*text, set)) ++text;
  return *text == '\0' ? nullptr : text;
}

char* StrFindSet(char* text, const char* set) {
  return const_cast<char*>(StrFindSet(static_cast<const char*>(text), set));
}

char* StrSplitAt(char* text, const char* set) {
  char* found = StrFindSet(text, set);
  if (found == nullptr) return nullptr;
  *found = '\0';
  return found + 1;
}

char* StrTrimRight(char* text, const char* set) {
  if (text == nullptr || set == nullptr) return nullptr;
  size_t length = std::strlen(text);
  while (length > 0 && InSet(text[length - 1], set)) text[--length] = '\0';
  return text;
}

// Steps: the token starts after the skip characters (none left: no token); it ends at the first
// delimiter, which is overwritten; without a delimiter the continuation is the terminator, so a
// further call finds no token; trailing skip characters are cut from the token.
char* StrNextToken(char* text, const char* skip_set, const char* delimiter_set, char** token) {
  if (text == nullptr || delimiter_set == nullptr || token == nullptr) return nullptr;
  char* start = text;
  if (skip_set != nullptr) {
    start = StrSkipSet(text, skip_set);
    if (start == nullptr) return nullptr;
  }
  char* next = StrSplitAt(start, delimiter_set);
  if (next == nullptr) next = start + std::strlen(start);
  if (skip_set != nullptr) StrTrimRight(start, skip_set);
  *token = start;
  return next;
}

uint16_t ParseDecimal16(const char* text, size_t n, bool* overflow) {
  return ParseAs<uint16_t>(text, n, 10, overflow);
}
uint32_t ParseDecimal32(const char* text, size_t n, bool* overflow) {
  return ParseAs<uint32_t>(text, n, 10, overflow);
}
uint64_t ParseDecimal64(const char* text, size_t n, bool* overflow) {
  return ParseAs<uint64_t>(text, n, 10, overflow);
}
uint8_t ParseHex8(const char* text, size_t n, bool* overflow) {
  return ParseAs<uint8_t>(text, n, 16, overflow);
}
uint16_t ParseHex16(const char* text, size_t n, bool* overflow) {
  return ParseAs<uint16_t>(text, n, 16, overflow);
}
uint32_t ParseHex32(const char* text, size_t n, bool* overflow) {
  return ParseAs<uint32_t>(text, n, 16, overflow);
}
uint64_t ParseHex64(const char* text, size_t n, bool* overflow) {
  return ParseAs<uint64_t>(text, n, 16, overflow);
}

// Rules: a present, non-empty text of decimal digits only; min at least 1 and below max; the value
// within [min, max] and below 65,536. The value is judged on the whole digit string, so a long
// text whose low 32 bits happen to look like a port ("4294967297") is refused, not wrapped.
uint16_t ParsePortNumber(const char* text, uint16_t min, uint16_t max) {
  if (text == nullptr || *text == '\0' || min == 0 || max <= min) return 0;
  uint32_t value = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return 0;
    value = value * 10 + static_cast<uint32_t>(*p - '0');
    if (value >= 65536) return 0;
  }
  if (value < min || value > max) return 0;
  return static_cast<uint16_t>(value);
}
