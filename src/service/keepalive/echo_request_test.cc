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

// A time-exceeded message quoting the echo request sent to `destination` with `identifier`
// (`quoted_icmp` bytes of it: at least 8 for the router to have quoted enough).
std::vector<uint8_t> TimeExceededQuoting(uint32_t destination, uint16_t identifier,
                                         uint8_t protocol = 1, size_t quoted_icmp = 8) {
  std::vector<uint8_t> p = IcmpPacket(11, 0);
  p.resize(20 + 8);
  std::vector<uint8_t> quoted(20, 0);
  quoted[0] = 0x45;
  quoted[9] = protocol;
  std::memcpy(&quoted[16], &destination, 4);
  std::vector<uint8_t> request(kIcmpPacketBufferSize);
  BuildEchoRequest(request.data(), request.size(), identifier, 7);
  quoted.insert(quoted.end(), request.begin(), request.begin() + quoted_icmp);
  p.insert(p.end(), quoted.begin(), quoted.end());
  return p;
}

// With many probes in flight every answer must go to the probe it names, never to whichever
// probe happens to be waiting.
TEST(EchoRequest, EachAnswerNamesTheProbeItAnswers) {
  const uint32_t router = inet_addr("127.0.0.5");
  const uint32_t other = inet_addr("127.0.0.6");
  auto reply = IcmpPacket(0, 0x1234);
  AnsweredProbe a = ProbeAnswered(reply.data(), reply.size(), router, 0x1234);
  EXPECT_EQ(a.kind, AnsweredProbe::kRouter);
  EXPECT_EQ(a.router, router) << "an echo reply answers the probe of the router it came from";
  EXPECT_EQ(ProbeAnswered(reply.data(), reply.size(), router, 0x1235).kind, AnsweredProbe::kNone)
      << "another prober's identifier";
  auto with_options = IcmpPacket(0, 0x1234, 24);
  EXPECT_EQ(ProbeAnswered(with_options.data(), with_options.size(), other, 0x1234).router, other);

  auto quoting = TimeExceededQuoting(router, 0x1234);
  a = ProbeAnswered(quoting.data(), quoting.size(), other, 0x1234);
  EXPECT_EQ(a.kind, AnsweredProbe::kRouter);
  EXPECT_EQ(a.router, router) << "a time-exceeded message answers the probe it quotes";
  EXPECT_TRUE(IsProbeAnswer(quoting.data(), quoting.size(), other, router, 0x1234));
  auto foreign = TimeExceededQuoting(router, 0x9999);
  EXPECT_EQ(ProbeAnswered(foreign.data(), foreign.size(), other, 0x1234).kind, AnsweredProbe::kNone)
      << "quotes another program's echo request";
  auto udp = TimeExceededQuoting(router, 0x1234, 17);
  EXPECT_EQ(ProbeAnswered(udp.data(), udp.size(), other, 0x1234).kind, AnsweredProbe::kNone);
  for (size_t cut : {size_t{0}, size_t{10}, size_t{20 + 7}}) {
    std::vector<uint8_t> bare = quoting;
    bare.resize(20 + 8 + cut);
    EXPECT_EQ(ProbeAnswered(bare.data(), bare.size(), other, 0x1234).kind,
              AnsweredProbe::kEveryProbe)
        << "quoting " << cut << " bytes: cannot tell which probe, as IsProbeAnswer takes it";
  }

  for (uint8_t type : {3, 8, 5}) {
    auto p = IcmpPacket(type, 0x1234);
    EXPECT_EQ(ProbeAnswered(p.data(), p.size(), router, 0x1234).kind, AnsweredProbe::kNone)
        << int(type);
  }
  EXPECT_EQ(ProbeAnswered(reply.data(), 27, router, 0x1234).kind, AnsweredProbe::kNone);
  auto bad_length = IcmpPacket(0, 0x1234);
  bad_length[0] = 0x4F;
  EXPECT_EQ(ProbeAnswered(bad_length.data(), bad_length.size(), router, 0x1234).kind,
            AnsweredProbe::kNone);
  EXPECT_EQ(ProbeAnswered(nullptr, 0, router, 0x1234).kind, AnsweredProbe::kNone);
}
