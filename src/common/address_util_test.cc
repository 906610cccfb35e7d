#include "common/address_util.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace {

TEST(AddressUtilTest, DottedQuads) {
  struct QuadCase {
    const char* text;
    int valid;
    std::array<uint8_t, 4> bytes;
  };
  const std::vector<QuadCase> cases = {
      {"192.168.0.1", 1, {192, 168, 0, 1}},
      {"255.255.255.255", 1, {255, 255, 255, 255}},
      {"...", 1, {0, 0, 0, 0}},
      {".1.2.3", 1, {0, 1, 2, 3}},
      {"010.0.0.1", 1, {10, 0, 0, 1}},
      {"192.168.0.256", 0, {}},
      {"192.168.0", 0, {}},
      {"1.2.3.4.5", 0, {}},
      {"192.168.0.1 ", 0, {}},
      {"-1.2.3.4", 0, {}},
      {"1.2.3.99999999999999999999", 0, {}},
      {"a.b.c.d", 0, {}},
      {"", 0, {}},
  };
  for (const QuadCase& c : cases) {
    std::array<uint8_t, 4> bytes = {7, 7, 7, 7};
    EXPECT_EQ(IsIpAddress(c.text, bytes.data()), c.valid) << c.text;
    if (c.valid) {
      EXPECT_EQ(bytes, c.bytes) << c.text;
    }
  }
  uint8_t bytes[4];
  EXPECT_EQ(IsIpAddress(nullptr, bytes), 0);
  EXPECT_EQ(IsIpAddress("1.2.3.4", nullptr), 0);
}

TEST(AddressUtilTest, NetmaskPrefixes) {
  struct MaskCase {
    const char* text;
    int prefix;
  };
  const std::vector<MaskCase> cases = {
      {"255.255.255.0", 24}, {"255.255.254.0", 23},   {"0.0.0.0", 0},      {"255.255.255.255", 32},
      {"128.0.0.0", 1},      {"255.255.255.254", 31}, {"255.0.255.0", -1}, {"0.255.255.255", -1},
      {"255.255.255.1", -1}, {"not a mask", 32},  // inet_addr's answer for a text it cannot convert
  };
  for (const MaskCase& c : cases) EXPECT_EQ(NetmaskToPrefix(c.text), c.prefix) << c.text;
}

TEST(AddressUtilTest, MacAddressForms) {
  const std::array<uint8_t, 6> expected = {0x00, 0x1A, 0x2b, 0xC3, 0xd4, 0xEF};
  for (const char* text : {"00:1a:2B:c3:D4:ef", "00-1A-2B-C3-D4-EF", "001a2bc3d4ef"}) {
    std::array<uint8_t, 6> bytes{};
    EXPECT_EQ(ParseMacAddress(text, bytes.data()), 0) << text;
    EXPECT_EQ(bytes, expected) << text;
  }
  for (const char* text : {
           "00:1a-2b:c3:d4:ef",  // mixed separators
           "0:1a:2b:c3:d4:ef",   // 16 characters, one-digit first pair
           "00:1a:2b:c3:d4:eg",  // not hexadecimal
           "00.1a.2b.c3.d4.ef",  // other separator
           "001a2bc3d4e",        // 11 characters
           "001a2bc3d4ef0",      // 13 characters
           "00:1a:2b:c3:d4:e ",  // space in a pair
           "",
       }) {
    std::array<uint8_t, 6> bytes = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(ParseMacAddress(text, bytes.data()), -1) << text;
    EXPECT_EQ(bytes, (std::array<uint8_t, 6>{1, 2, 3, 4, 5, 6})) << "written on failure: " << text;
  }
  uint8_t bytes[6];
  EXPECT_EQ(ParseMacAddress(nullptr, bytes), -1);
}

}  // namespace
