// The ping library: echo requests over Linux's ICMP datagram ("ping") socket, which needs no
// privilege when net.ipv4.ping_group_range admits the caller's group. The kernel sets the
// identifier and checksum and hands each socket only the replies to its own requests.
#include <netinet/in.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "service/keepalive/icmplib/icmp_api.h"

namespace {

constexpr size_t kMaxData = 1472;  // what fits one 1500-byte packet
constexpr size_t kPacketSize = sizeof(icmphdr) + kMaxData;

struct PingHandle {
  int fd = -1;
  uint16_t sequence = 0;
};

uint64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

bool SendRequest(PingHandle* h, uint32_t destination, const void* data, uint16_t size) {
  unsigned char packet[kPacketSize] = {};
  icmphdr header{};
  header.type = ICMP_ECHO;
  header.un.echo.sequence = htons(++h->sequence);
  std::memcpy(packet, &header, sizeof header);
  if (size > 0) std::memcpy(packet + sizeof header, data, size);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = destination;
  ssize_t n = sendto(h->fd, packet, sizeof header + size, MSG_NOSIGNAL,
                     reinterpret_cast<sockaddr*>(&to), sizeof to);
  return n == static_cast<ssize_t>(sizeof header + size);
}

// Waits until `deadline` for the echo reply from `destination` with this handle's sequence.
// Returns the echoed data's length, or -1.
int AwaitReply(PingHandle* h, uint32_t destination, uint64_t deadline, unsigned char* packet) {
  for (;;) {
    uint64_t now = NowMs();
    if (now >= deadline) return -1;
    pollfd pfd = {h->fd, POLLIN, 0};
    int ready = poll(&pfd, 1, static_cast<int>(deadline - now));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return -1;
    sockaddr_in from{};
    socklen_t from_length = sizeof from;
    ssize_t n = recvfrom(h->fd, packet, kPacketSize, MSG_DONTWAIT,
                         reinterpret_cast<sockaddr*>(&from), &from_length);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return -1;  // an ICMP error about the request (unreachable and the like)
    }
    icmphdr reply{};
    if (static_cast<size_t>(n) < sizeof reply) continue;
    std::memcpy(&reply, packet, sizeof reply);
    if (reply.type != ICMP_ECHOREPLY || from.sin_addr.s_addr != destination) continue;
    if (ntohs(reply.un.echo.sequence) != h->sequence) continue;
    return static_cast<int>(n - static_cast<ssize_t>(sizeof reply));
  }
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void* IcmpCreateFile() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd < 0) return nullptr;
  PingHandle* h = new (std::nothrow) PingHandle;
  if (h == nullptr) {
    close(fd);
    return nullptr;
  }
  h->fd = fd;
  return h;
}

__attribute__((visibility("default"))) int IcmpCloseHandle(void* handle) {
  if (handle == nullptr) return 0;
  PingHandle* h = static_cast<PingHandle*>(handle);
  close(h->fd);
  delete h;
  return 1;
}

__attribute__((visibility("default"))) uint32_t IcmpSendEcho(
    void* handle, uint32_t destination, const void* requestData, uint16_t requestSize,
    const void* requestOptions, void* replyBuffer, uint32_t replySize, uint32_t timeoutMs) {
  if (handle == nullptr || replyBuffer == nullptr || replySize < sizeof(IcmpEchoReply) ||
      requestSize > kMaxData || (requestSize > 0 && requestData == nullptr) ||
      requestOptions != nullptr) {
    return 0;
  }
  PingHandle* h = static_cast<PingHandle*>(handle);
  uint64_t start = NowMs();
  if (!SendRequest(h, destination, requestData, requestSize)) return 0;
  unsigned char packet[kPacketSize];
  int data_length = AwaitReply(h, destination, start + timeoutMs, packet);
  if (data_length < 0) return 0;
  IcmpEchoReply reply{};
  reply.address = destination;
  reply.roundTripTime = static_cast<uint32_t>(NowMs() - start);
  size_t room = replySize - sizeof reply;
  size_t copied = static_cast<size_t>(data_length) < room ? static_cast<size_t>(data_length) : room;
  reply.dataSize = static_cast<uint16_t>(copied);
  std::memcpy(replyBuffer, &reply, sizeof reply);
  std::memcpy(static_cast<unsigned char*>(replyBuffer) + sizeof reply, packet + sizeof(icmphdr),
              copied);
  return 1;
}

}  // extern "C"
