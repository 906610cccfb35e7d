#include "service/keepalive/ping.h"

#include <cstring>
#include <memory>
#include <new>

#include "common/syslog.h"
#include "platform/clock.h"
#include "platform/dynlib.h"
#include "platform/socket.h"
#include "service/keepalive/echo_request.h"
#include "service/keepalive/icmplib/icmp_api.h"

namespace {

constexpr uint32_t kDllReplySize = 32;
constexpr uint16_t kDllRequestSize = 4;
// Echo reply (type 0) and time exceeded (type 11): all a prober's socket needs to see. Without
// the filter every raw socket gets a copy of every ICMP packet reaching the host.
constexpr uint32_t kAnswerTypes = (1u << 0) | (1u << 11);
constexpr int kSendTimeoutMs = 1000;

void LogAddress(const char* format, uint32_t router) {
  uint8_t b[4];
  std::memcpy(b, &router, sizeof b);
  Syslog(kLogDebug, format, b[0], b[1], b[2], b[3]);
}

void LogTransmitted(uint32_t router) {
  LogAddress("I transmitted PING to PV(%d.%d.%d.%d).", router);
}
void LogReceived(uint32_t router) {
  LogAddress("I received a PING reply of PV(%d.%d.%d.%d).", router);
}

class RawSocket {
 public:
  RawSocket() : s_(platform::SocketRawIcmp()) {}
  ~RawSocket() {
    if (s_ != platform::kInvalidSocket) platform::SocketClose(s_);
  }
  RawSocket(const RawSocket&) = delete;
  RawSocket& operator=(const RawSocket&) = delete;
  platform::Socket get() const { return s_; }

 private:
  platform::Socket s_;
};

// Reads until the answer arrives or 1,000 ms after the send have passed. Foreign packets do not
// restart the wait, and any receive error ends it: the probe then counts as unanswered.
int AwaitAnswer(platform::Socket s, uint32_t router, uint16_t identifier, int reply_wait_ms) {
  uint64_t deadline = platform::MonotonicMs() + static_cast<uint64_t>(reply_wait_ms);
  uint8_t packet[kIcmpPacketBufferSize];
  for (;;) {
    uint64_t now = platform::MonotonicMs();
    if (now >= deadline) return -1;
    if (platform::SocketSetRecvTimeout(s, static_cast<int>(deadline - now)) != 0) return -1;
    uint32_t from = 0;
    int n = platform::SocketRecvFrom(s, packet, sizeof packet, &from);
    if (n < 0) return -1;
    if (IsProbeAnswer(packet, static_cast<size_t>(n), from, router, identifier)) return 0;
  }
}

template <class Fn>
Fn LookUp(platform::DynLib lib, const char* name) {
  return reinterpret_cast<Fn>(platform::DynLibSymbol(lib, name));
}

class LoadedLibrary {
 public:
  explicit LoadedLibrary(const char* name) : lib_(platform::DynLibOpen(name)) {}
  ~LoadedLibrary() { platform::DynLibClose(lib_); }
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;
  platform::DynLib get() const { return lib_; }

 private:
  platform::DynLib lib_;
};

}  // namespace

int PrepareProbeSocket(platform::Socket s, int reply_wait_ms) {
  if (platform::SocketSetRecvTimeout(s, reply_wait_ms) != 0) return -1;
  if (platform::SocketSetSendTimeout(s, kSendTimeoutMs) != 0) return -1;
  platform::SocketSetIcmpFilter(s, kAnswerTypes);  // only an optimisation: go on without it
  if (platform::SocketSetTtl(s, kEchoTimeToLive) != 0) return -1;
  return 0;
}

int PingRaw(uint32_t router, uint16_t identifier, int reply_wait_ms) {
  RawSocket socket;
  platform::Socket s = socket.get();
  if (s == platform::kInvalidSocket) return -1;
  if (PrepareProbeSocket(s, reply_wait_ms) != 0) return -1;
  uint8_t request[kIcmpPacketBufferSize];
  size_t length = BuildEchoRequest(request, sizeof request, identifier, platform::TickCount());
  if (platform::SocketSendTo(s, request, length, router, 0) < 0) return -1;
  LogTransmitted(router);
  if (AwaitAnswer(s, router, identifier, reply_wait_ms) != 0) return -1;
  LogReceived(router);
  return 0;
}

int PingDll(uint32_t router, const char* library, int reply_wait_ms) {
  LoadedLibrary lib(library);
  if (lib.get() == nullptr) {
    Syslog(kLogDebug, "I failed in load of an ICMP.DLL library.");
    return -1;
  }
  auto create = LookUp<IcmpCreateFileFn>(lib.get(), "IcmpCreateFile");
  auto close_handle = LookUp<IcmpCloseHandleFn>(lib.get(), "IcmpCloseHandle");
  auto send_echo = LookUp<IcmpSendEchoFn>(lib.get(), "IcmpSendEcho");
  if (create == nullptr || close_handle == nullptr || send_echo == nullptr) return -1;
  void* handle = create();
  if (handle == nullptr) return -1;
  std::unique_ptr<uint8_t[]> reply(new (std::nothrow) uint8_t[kDllReplySize]);
  if (!reply) {
    close_handle(handle);
    return -1;
  }
  LogTransmitted(router);
  uint32_t replies = send_echo(handle, router, kEchoPayloadText, kDllRequestSize, nullptr,
                               reply.get(), kDllReplySize, static_cast<uint32_t>(reply_wait_ms));
  if (replies != 0) LogReceived(router);
  close_handle(handle);
  return replies != 0 ? 0 : -1;
}
