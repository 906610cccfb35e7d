#include "service/keepalive/echo_request.h"

#include <cstring>

const char kEchoPayloadText[] = "Tervane Works Inc. Kel Quarantine Service Payloads.";
static_assert(sizeof kEchoPayloadText - 1 == 51, "the payload text fills bytes 12 to 62");

namespace {

constexpr uint8_t kTypeEchoReply = 0;
constexpr uint8_t kTypeEchoRequest = 8;
constexpr uint8_t kTypeTimeExceeded = 11;
constexpr size_t kIcmpHeaderLength = 8;

constexpr size_t kIpHeaderLength = 20;  // without options
constexpr uint8_t kProtocolIcmp = 1;

uint16_t Little16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | (at[1] << 8)); }

void PutLittle16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value & 0xFF);
  at[1] = static_cast<uint8_t>(value >> 8);
}

}  // namespace

uint16_t InternetChecksum(const uint8_t* data, size_t len) {
  uint32_t sum = 0;
  size_t i = 0;
  for (; i + 1 < len; i += 2) sum += static_cast<uint32_t>(data[i] | (data[i + 1] << 8));
  if (i < len) sum += data[i];
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum & 0xFFFF);
}

size_t BuildEchoRequest(uint8_t* buf, size_t size, uint16_t identifier, uint32_t tick) {
  if (buf == nullptr || size < kEchoRequestLength) return 0;
  std::memset(buf, 0, size);
  buf[0] = kTypeEchoRequest;
  buf[1] = 0;
  PutLittle16(buf + 4, identifier);
  PutLittle16(buf + 6, 0);
  PutLittle16(buf + 8, static_cast<uint16_t>(tick & 0xFFFF));
  PutLittle16(buf + 10, static_cast<uint16_t>(tick >> 16));
  std::memcpy(buf + 12, kEchoPayloadText, sizeof kEchoPayloadText - 1);
  PutLittle16(buf + 2, InternetChecksum(buf, kEchoRequestLength));
  return kEchoRequestLength;
}

bool IsProbeAnswer(const uint8_t* packet, size_t len, uint32_t from, uint32_t router,
                   uint16_t identifier) {
  if (packet == nullptr || len == 0) return false;
  size_t ip_header_length = static_cast<size_t>(packet[0] & 0x0F) * 4;
  if (len < ip_header_length + kIcmpHeaderLength) return false;
  const uint8_t* icmp = packet + ip_header_length;
  if (icmp[0] == kTypeTimeExceeded) return true;
  if (icmp[0] != kTypeEchoReply) return false;
  return Little16(icmp + 4) == identifier && from == router;
}

AnsweredProbe ProbeAnswered(const uint8_t* packet, size_t len, uint32_t from, uint16_t identifier) {
  AnsweredProbe none;
  if (packet == nullptr || len == 0) return none;
  size_t ip_header_length = static_cast<size_t>(packet[0] & 0x0F) * 4;
  if (len < ip_header_length + kIcmpHeaderLength) return none;
  const uint8_t* icmp = packet + ip_header_length;
  size_t icmp_length = len - ip_header_length;
  if (icmp[0] == kTypeEchoReply) {
    if (Little16(icmp + 4) != identifier) return none;
    return {AnsweredProbe::kRouter, from};
  }
  if (icmp[0] != kTypeTimeExceeded) return none;
  // The quoted packet: its IP header, then at least the first 8 bytes of its ICMP message.
  const uint8_t* quoted = icmp + kIcmpHeaderLength;
  size_t quoted_length = icmp_length - kIcmpHeaderLength;
  if (quoted_length < kIpHeaderLength) return {AnsweredProbe::kEveryProbe, 0};
  size_t quoted_header_length = static_cast<size_t>(quoted[0] & 0x0F) * 4;
  if (quoted_header_length < kIpHeaderLength ||
      quoted_length < quoted_header_length + kIcmpHeaderLength) {
    return {AnsweredProbe::kEveryProbe, 0};
  }
  const uint8_t* request = quoted + quoted_header_length;
  if (quoted[9] != kProtocolIcmp || request[0] != kTypeEchoRequest ||
      Little16(request + 4) != identifier) {
    return none;
  }
  uint32_t destination;
  std::memcpy(&destination, quoted + 16, sizeof destination);
  return {AnsweredProbe::kRouter, destination};
}
