// The ICMP echo request a prober sends on its raw socket, and the judgement of what comes back.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kEchoRequestLength = 76;  // 8 header bytes, 4 tick bytes, 64 payload bytes
constexpr size_t kIcmpPacketBufferSize = 1514;
constexpr int kEchoTimeToLive = 32;
extern const char kEchoPayloadText[];  // 51 characters, at offset 12

// Internet checksum (RFC 1071) over `len` bytes taken as little-endian 16-bit words: the one's
// complement of the folded sum. Over a packet holding its own checksum the result is 0.
uint16_t InternetChecksum(const uint8_t* data, size_t len);

// Writes the echo request into `buf` (zeroed first, `size` >= kEchoRequestLength): type 8,
// code 0, checksum, `identifier`, sequence 0 and `tick` (little-endian), the payload text and
// zero fill. Returns kEchoRequestLength, or 0 when `buf` is too small.
size_t BuildEchoRequest(uint8_t* buf, size_t size, uint16_t identifier, uint32_t tick);

// Whether a packet read from the raw socket (IP header included) answers the probe of `router`
// (network order) made with `identifier`: an echo reply from the router carrying the identifier,
// or a time-exceeded message from anyone. Everything else, short packets included, is ignored.
bool IsProbeAnswer(const uint8_t* packet, size_t len, uint32_t from, uint32_t router,
                   uint16_t identifier);

// Which of a prober's probes in flight (all its echo requests made with `identifier`) a packet
// read from the raw socket answers. An echo reply carrying the identifier answers the probe of
// the router it came from (`from`, network order). A time-exceeded message answers the probe
// whose request it quotes (the quoted destination), and none when it quotes another packet; one
// too short to quote a request cannot be told apart and answers every probe in flight, as
// IsProbeAnswer takes it for the single probe it judges. Everything else answers nothing.
struct AnsweredProbe {
  enum Kind { kNone, kRouter, kEveryProbe };
  Kind kind = kNone;
  uint32_t router = 0;  // network order; for kRouter
};
AnsweredProbe ProbeAnswered(const uint8_t* packet, size_t len, uint32_t from, uint16_t identifier);
