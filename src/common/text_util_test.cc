#include "common/text_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

TEST(TextUtilTest, CaseFoldingAndComparisonIgnoreOnlyAsciiCase) {
  char text[] = "Content-Length: 12\xC4";
  char* end = StrLower(text);
  EXPECT_STREQ(text, "content-length: 12\xC4");
  EXPECT_EQ(end, text + std::strlen(text));
  StrUpper(text);
  EXPECT_STREQ(text, "CONTENT-LENGTH: 12\xC4");

  EXPECT_EQ(StrCaseCompare("Pv", "pV"), 0);
  EXPECT_LT(StrCaseCompare("add", "ADE"), 0);
  EXPECT_GT(StrCaseCompare("Delete", "del"), 0);
  EXPECT_LT(StrCaseCompare("del", "Delete"), 0);
  EXPECT_EQ(StrCaseCompareN("QUARANTINE", "quarantine add", 10), 0);
  EXPECT_NE(StrCaseCompareN("QUARANTINE", "quarantine add", 11), 0);
  EXPECT_EQ(StrCaseCompareN("abc", "xyz", 0), 0);
  // Bytes above 127 order after ASCII, as an unsigned comparison does.
  EXPECT_GT(StrCaseCompare("\xE9", "z"), 0);
}

TEST(TextUtilTest, CaseFindLocatesWordAnywhereUntilTextEnds) {
  const char* header = "HTTP/1.1 200 OK\r\nContent-Length: 12\r\n";
  const char* found = StrCaseFind(header, "content-length");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found, header + 17);
  EXPECT_EQ(StrCaseFind("ab", "abc"), nullptr);   // text ends first
  EXPECT_STREQ(StrCaseFind("xxAB", "ab"), "AB");  // match touching the end
  EXPECT_EQ(StrCaseFind("", "a"), nullptr);
  EXPECT_EQ(StrCaseFind(nullptr, "a"), nullptr);
}

TEST(TextUtilTest, SetFunctionsNeverMatchTheTerminator) {
  char text[] = "  \tkel add\r\n";
  EXPECT_STREQ(StrSkipSet(text, " \t"), "kel add\r\n");
  EXPECT_EQ(StrSkipSet(static_cast<const char*>("   "), " "), nullptr);
  EXPECT_EQ(StrSkipSet(static_cast<const char*>(""), " "), nullptr);
  EXPECT_STREQ(StrFindSet(text, "\r\n"), "\r\n");
  EXPECT_EQ(StrFindSet(static_cast<const char*>("abc"), "xyz"), nullptr);
  EXPECT_EQ(StrFindSet(static_cast<const char*>("abc"), ""), nullptr);

  char split[] = "pv,add,1";
  char* rest = StrSplitAt(split, ",");
  EXPECT_STREQ(split, "pv");
  EXPECT_STREQ(rest, "add,1");
  char none[] = "pv add";
  EXPECT_EQ(StrSplitAt(none, ","), nullptr);
  EXPECT_STREQ(none, "pv add");

  struct TrimCase {
    const char* in;
    const char* set;
    const char* out;
  };
  for (const TrimCase& c : std::vector<TrimCase>{{"line\r\n", "\r\n", "line"},
                                                 {"\r\n\r\n", "\r\n", ""},
                                                 {"a b ", " ", "a b"},
                                                 {"", " ", ""},
                                                 {"abc", "", "abc"}}) {
    std::string buf(c.in);
    EXPECT_STREQ(StrTrimRight(buf.data(), c.set), c.out) << '"' << c.in << '"';
  }
  EXPECT_EQ(StrTrimRight(nullptr, " "), nullptr);
  EXPECT_EQ(StrTrimRight(text, nullptr), nullptr);
}

// Reads every token the way the CSV loaders do: a fixed number of calls on one line.
std::vector<std::string> Tokens(char* line, const char* skip, int count) {
  std::vector<std::string> out;
  char* token = nullptr;
  for (int i = 0; i < count && line != nullptr; ++i) {
    line = StrNextToken(line, skip, ",", &token);
    if (line == nullptr) break;
    out.emplace_back(token);
  }
  return out;
}

TEST(TextUtilTest, NextTokenSplitsCsvLines) {
  const char* skip = "\" \t\r\n";
  char quoted[] = "\"192.168.0.1\", \"pv router\"\r\n";
  EXPECT_EQ(Tokens(quoted, skip, 5), (std::vector<std::string>{"192.168.0.1", "pv router"}));

  char empty_field[] = "a,,\"c\"";
  EXPECT_EQ(Tokens(empty_field, skip, 5), (std::vector<std::string>{"a", "", "c"}));

  char blank[] = " \t\r\n";
  EXPECT_TRUE(Tokens(blank, skip, 3).empty());

  char plain[] = " a ,b";
  char* token = nullptr;
  char* rest = StrNextToken(plain, nullptr, ",", &token);
  EXPECT_STREQ(token, " a ");  // without a skip set nothing is trimmed
  EXPECT_STREQ(rest, "b");
  rest = StrNextToken(rest, nullptr, ",", &token);
  EXPECT_STREQ(token, "b");
  EXPECT_EQ(*rest, '\0');

  EXPECT_EQ(StrNextToken(nullptr, skip, ",", &token), nullptr);
  EXPECT_EQ(StrNextToken(plain, skip, nullptr, &token), nullptr);
  EXPECT_EQ(StrNextToken(plain, skip, ",", nullptr), nullptr);
}

TEST(TextUtilTest, NumberReadersStopAtLimitOrNonDigit) {
  EXPECT_EQ(ParseDecimal32("8000", 4), 8000u);
  EXPECT_EQ(ParseDecimal32("8000", 2), 80u);
  EXPECT_EQ(ParseDecimal32("12a4", 10), 12u);
  EXPECT_EQ(ParseDecimal32("x12", 10), 0u);
  EXPECT_EQ(ParseDecimal32("", 10), 0u);
  EXPECT_EQ(ParseDecimal64("18446744073709551615", 30), UINT64_MAX);
  EXPECT_EQ(ParseHex8("fF", 2), 0xFFu);
  EXPECT_EQ(ParseHex16("0aBc", 4), 0x0ABCu);
  EXPECT_EQ(ParseHex32("1a\r\n", 100), 0x1Au);
  EXPECT_EQ(ParseHex32("g1", 2), 0u);
  EXPECT_EQ(ParseHex64("FFFFFFFFFFFFFFFF", 16), UINT64_MAX);
}

// A value past the type's range used to wrap to its low bits: a chunk size of 2^32 read as 0
// (the last chunk), a Content-Length of 2^64 + 2 as 2, a status of 2^32 + 200 as 200.
TEST(TextUtilTest, NumberReadersReportOverflowInsteadOfWrapping) {
  struct Case {
    uint64_t (*read)(const char*, size_t, bool*);
    const char* text;
    uint64_t value;
    bool overflow;
  };
  auto d16 = [](const char* t, size_t n, bool* o) -> uint64_t { return ParseDecimal16(t, n, o); };
  auto d32 = [](const char* t, size_t n, bool* o) -> uint64_t { return ParseDecimal32(t, n, o); };
  auto d64 = [](const char* t, size_t n, bool* o) -> uint64_t { return ParseDecimal64(t, n, o); };
  auto h8 = [](const char* t, size_t n, bool* o) -> uint64_t { return ParseHex8(t, n, o); };
  auto h16 = [](const char* t, size_t n, bool* o) -> uint64_t { return ParseHex16(t, n, o); };
  auto h32 = [](const char* t, size_t n, bool* o) -> uint64_t { return ParseHex32(t, n, o); };
  auto h64 = [](const char* t, size_t n, bool* o) -> uint64_t { return ParseHex64(t, n, o); };
  const Case cases[] = {
      {d16, "65535", 65535, false},
      {d16, "65537", 65535, true},
      {d32, "4294967295", 4294967295u, false},
      {d32, "4294967296", 4294967295u, true},
      {d32, "4294967496", 4294967295u, true},
      {d32, "4294967297", 4294967295u, true},
      {d32, "00000000000000000000200", 200, false},
      {d64, "18446744073709551616", UINT64_MAX, true},
      {d64, "18446744073709551618", UINT64_MAX, true},
      {d64, "99999999999999999999999999999x5", UINT64_MAX, true},
      {h8, "1ab", 0xFF, true},
      {h16, "10000", 0xFFFF, true},
      {h32, "FFFFFFFF", 0xFFFFFFFFu, false},
      {h32, "100000000", 0xFFFFFFFFu, true},
      {h32, "100000003\r\n", 0xFFFFFFFFu, true},
      {h64, "10000000000000000", UINT64_MAX, true},
      {h64, "00000000000000000001", 1, false},
  };
  for (const Case& c : cases) {
    bool overflow = !c.overflow;
    EXPECT_EQ(c.read(c.text, std::strlen(c.text), &overflow), c.value) << c.text;
    EXPECT_EQ(overflow, c.overflow) << c.text;
  }
  // Without a flag the reader still saturates rather than wraps.
  EXPECT_EQ(ParseHex32("100000000", 9), 0xFFFFFFFFu);
}

TEST(TextUtilTest, PortNumbersAreOneTo65535DigitsOnly) {
  struct PortCase {
    const char* text;
    uint16_t min;
    uint16_t max;
    uint16_t expected;
  };
  const std::vector<PortCase> cases = {
      {"8000", 1, 65535, 8000}, {"1", 1, 65535, 1},     {"65535", 1, 65535, 65535},
      {"0", 1, 65535, 0},       {"65536", 1, 65535, 0}, {"80a", 1, 65535, 0},
      {"", 1, 65535, 0},        {nullptr, 1, 65535, 0}, {" 80", 1, 65535, 0},
      {"-1", 1, 65535, 0},      {"0080", 1, 65535, 80}, {"4294967297", 1, 65535, 0},
      {"80", 0, 65535, 0},      {"80", 100, 100, 0},    {"80", 100, 200, 0},
      {"300", 100, 200, 0},     {"150", 100, 200, 150},
  };
  for (const PortCase& c : cases) {
    EXPECT_EQ(ParsePortNumber(c.text, c.min, c.max), c.expected)
        << (c.text ? c.text : "(null)") << " in " << c.min << ".." << c.max;
  }
}

}  // namespace
