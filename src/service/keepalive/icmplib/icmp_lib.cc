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
#include <climits>
#include <cstring>
#include <new>

#include "service/keepalive/icmplib/icmp_api.h"

namespace {

constexpr size_t kMaxData = 1472;  // what fits one 1500-byte packet
constexpr size_t kPacketSize = sizeof(icmphdr) + kMaxData;

// What a handle remembers of an asynchronous request, in the slot of its sequence number.
struct SentRequest {
  bool used = false;
  uint16_t sequence = 0;
  uint32_t destination = 0;
  uint64_t sentMs = 0;
};

struct PingHandle {
  int fd = -1;
  uint16_t sequence = 0;
  SentRequest sent[kIcmpRememberedRequests];  // by sequence modulo their number
};

uint64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

bool SendRequest(PingHandle* h, uint32_t destination, const void* data, uint16_t size,
                 uint16_t sequence) {
  unsigned char packet[kPacketSize] = {};
  icmphdr header{};
  header.type = ICMP_ECHO;
  header.un.echo.sequence = htons(sequence);
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

bool ValidRequest(void* handle, uint16_t requestSize, const void* requestData,
                  const void* requestOptions) {
  return handle != nullptr && requestSize <= kMaxData &&
         (requestSize == 0 || requestData != nullptr) && requestOptions == nullptr;
}

// Writes the reply record and as much of the echoed data as fits.
void WriteReply(void* replyBuffer, uint32_t replySize, uint32_t address, uint32_t roundTrip,
                const unsigned char* data, size_t data_length) {
  IcmpEchoReply reply{};
  reply.address = address;
  reply.roundTripTime = roundTrip;
  size_t room = replySize - sizeof reply;
  size_t copied = data_length < room ? data_length : room;
  reply.dataSize = static_cast<uint16_t>(copied);
  std::memcpy(replyBuffer, &reply, sizeof reply);
  std::memcpy(static_cast<unsigned char*>(replyBuffer) + sizeof reply, data, copied);
}

// Reads one waiting packet without blocking: 1 when it is the reply to a remembered request
// (its slot is then freed and copied to `*taken`), 0 when it was passed over, -1 when nothing
// is waiting.
int TakeOne(PingHandle* h, unsigned char* packet, size_t* length, SentRequest* taken) {
  sockaddr_in from{};
  socklen_t from_length = sizeof from;
  ssize_t n = recvfrom(h->fd, packet, kPacketSize, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                       &from_length);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return -1;
    return 0;  // an error queued on the socket: it names no request, so it is passed over
  }
  icmphdr reply{};
  if (static_cast<size_t>(n) < sizeof reply) return 0;
  std::memcpy(&reply, packet, sizeof reply);
  if (reply.type != ICMP_ECHOREPLY) return 0;
  uint16_t sequence = ntohs(reply.un.echo.sequence);
  SentRequest& slot = h->sent[sequence % kIcmpRememberedRequests];
  if (!slot.used || slot.sequence != sequence || slot.destination != from.sin_addr.s_addr) {
    return 0;
  }
  *taken = slot;
  slot.used = false;
  *length = static_cast<size_t>(n);
  return 1;
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
  if (!ValidRequest(handle, requestSize, requestData, requestOptions) || replyBuffer == nullptr ||
      replySize < sizeof(IcmpEchoReply)) {
    return 0;
  }
  PingHandle* h = static_cast<PingHandle*>(handle);
  uint64_t start = NowMs();
  if (!SendRequest(h, destination, requestData, requestSize, ++h->sequence)) return 0;
  unsigned char packet[kPacketSize];
  int data_length = AwaitReply(h, destination, start + timeoutMs, packet);
  if (data_length < 0) return 0;
  WriteReply(replyBuffer, replySize, destination, static_cast<uint32_t>(NowMs() - start),
             packet + sizeof(icmphdr), static_cast<size_t>(data_length));
  return 1;
}

__attribute__((visibility("default"))) uint32_t IcmpSendEchoAsync(void* handle,
                                                                  uint32_t destination,
                                                                  const void* requestData,
                                                                  uint16_t requestSize,
                                                                  const void* requestOptions) {
  if (!ValidRequest(handle, requestSize, requestData, requestOptions)) return 0;
  PingHandle* h = static_cast<PingHandle*>(handle);
  do {
    ++h->sequence;
  } while (h->sequence == 0);  // 0 is the failure answer
  uint16_t sequence = h->sequence;
  SentRequest& slot = h->sent[sequence % kIcmpRememberedRequests];
  slot.used = false;  // a reply to the request this slot held is no longer recognised
  uint64_t now = NowMs();
  if (!SendRequest(h, destination, requestData, requestSize, sequence)) return 0;
  slot.used = true;
  slot.sequence = sequence;
  slot.destination = destination;
  slot.sentMs = now;
  return sequence;
}

__attribute__((visibility("default"))) uint32_t IcmpReceiveEcho(void* handle, uint32_t* sequence,
                                                                void* replyBuffer,
                                                                uint32_t replySize,
                                                                uint32_t timeoutMs) {
  if (handle == nullptr || sequence == nullptr || replyBuffer == nullptr ||
      replySize < sizeof(IcmpEchoReply)) {
    return 0;
  }
  PingHandle* h = static_cast<PingHandle*>(handle);
  uint64_t deadline = NowMs() + timeoutMs;
  unsigned char packet[kPacketSize];
  for (;;) {
    size_t length = 0;
    SentRequest request;
    int taken = TakeOne(h, packet, &length, &request);
    if (taken == 1) {
      *sequence = request.sequence;
      WriteReply(replyBuffer, replySize, request.destination,
                 static_cast<uint32_t>(NowMs() - request.sentMs), packet + sizeof(icmphdr),
                 length - sizeof(icmphdr));
      return 1;
    }
    if (taken == 0) continue;  // passed over: look at the next packet
    uint64_t now = NowMs();
    if (now >= deadline) return 0;
    pollfd pfd = {h->fd, POLLIN, 0};
    uint64_t left = deadline - now;
    int ready = poll(&pfd, 1, left > INT_MAX ? INT_MAX : static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return 0;
  }
}

__attribute__((visibility("default"))) int IcmpHandleDescriptor(void* handle) {
  if (handle == nullptr) return -1;
  return static_cast<PingHandle*>(handle)->fd;
}

}  // extern "C"
