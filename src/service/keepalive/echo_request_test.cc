#include "service/keepalive/echo_request.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

TEST(EchoRequest, HoldsTheExactBytesTheRouterExpects) {
  std::vector<uint8_t> buf(kIcmpPacketBufferSize, 0xAA);
  ASSERT_EQ(BuildEchoRequest(buf.data(), buf.size(), 0xBEEF, 0x12345678u), 76u);
  EXPECT_EQ(buf[0], 8);  // echo request
  EXPECT_EQ(buf[1], 0);
  EXPECT_EQ(InternetChecksum(buf.data(), 76), 0) << "checksum must verify over all 76 bytes";
  EXPECT_EQ(buf[4], 0xEF);  // identifier, little-endian
  EXPECT_EQ(buf[5], 0xBE);
  EXPECT_EQ(buf[6], 0);  // sequence 0
  EXPECT_EQ(buf[7], 0);
  EXPECT_EQ(std::vector<uint8_t>(buf.begin() + 8, buf.begin() + 12),
            (std::vector<uint8_t>{0x78, 0x56, 0x34, 0x12}));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&buf[12]), 51),
            "Tervane Works Inc. Kel Quarantine Service Payloads.");
  for (size_t i = 63; i < buf.size(); ++i) ASSERT_EQ(buf[i], 0) << "byte " << i;

  EXPECT_EQ(BuildEchoRequest(buf.data(), 75, 1, 1), 0u);
}

// An IPv4 packet with a 20- or 24-byte header carrying an ICMP message of `type`.
std::vector<uint8_t> IcmpPacket(uint8_t type, uint16_t identifier, size_t ip_header = 20) {
  std::vector<uint8_t> p(ip_header + 8 + 8, 0);
  p[0] = static_cast<uint8_t>(0x40 | (ip_header / 4));
  p[ip_header] = type;
  p[ip_header + 4] = static_cast<uint8_t>(identifier & 0xFF);
  p[ip_header + 5] = static_cast<uint8_t>(identifier >> 8);
  return p;
}

TEST(EchoRequest, OnlyTheRoutersOwnReplyOrTimeExceededAnswersTheProbe) {
  const uint32_t router = inet_addr("127.0.0.5");
  const uint32_t other = inet_addr("127.0.0.6");
  auto reply = IcmpPacket(0, 0x1234);
  EXPECT_TRUE(IsProbeAnswer(reply.data(), reply.size(), router, router, 0x1234));
  EXPECT_FALSE(IsProbeAnswer(reply.data(), reply.size(), router, router, 0x1235));
  EXPECT_FALSE(IsProbeAnswer(reply.data(), reply.size(), other, router, 0x1234))
      << "another router's reply with our identifier must not mark this one ON";
  auto with_options = IcmpPacket(0, 0x1234, 24);
  EXPECT_TRUE(IsProbeAnswer(with_options.data(), with_options.size(), router, router, 0x1234));
  auto exceeded = IcmpPacket(11, 0);
  EXPECT_TRUE(IsProbeAnswer(exceeded.data(), exceeded.size(), other, router, 0x1234));
  for (uint8_t type : {3, 8, 5}) {
    auto p = IcmpPacket(type, 0x1234);
    EXPECT_FALSE(IsProbeAnswer(p.data(), p.size(), router, router, 0x1234)) << int(type);
  }
  EXPECT_FALSE(IsProbeAnswer(reply.data(), 27, router, router, 0x1234)) << "cut short";
  auto bad_length = IcmpPacket(0, 0x1234);
  bad_length[0] = 0x4F;  // header length 60 beyond the packet
  EXPECT_FALSE(IsProbeAnswer(bad_length.data(), bad_length.size(), router, router, 0x1234));
}
