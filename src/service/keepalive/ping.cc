#include "service/keepalive/ping.h"

#include <cstring>
#include <functional>
#include <memory>
#include <new>

#include "common/syslog.h"
#include "platform/clock.h"
#include "platform/dynlib.h"
#include "platform/event.h"
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

// At most this many answers are taken at one look, so that a flood of them cannot hold a prober.
constexpr int kMostAnswersTaken = 4096;

// The raw way for many probes: one socket, every request with the prober's identifier.
class RawProbeWay : public ProbeWay {
 public:
  explicit RawProbeWay(uint16_t identifier) : identifier_(identifier), readable_(socket_.get()) {}

  bool Prepare(int reply_wait_ms) {
    return socket_.get() != platform::kInvalidSocket &&
           PrepareProbeSocket(socket_.get(), reply_wait_ms) == 0;
  }

  bool Send(uint32_t router, uint32_t* key) override {
    uint8_t request[kIcmpPacketBufferSize];
    size_t length = BuildEchoRequest(request, sizeof request, identifier_, platform::TickCount());
    if (platform::SocketSendTo(socket_.get(), request, length, router, 0) < 0) return false;
    LogPingTransmitted(router);
    *key = 0;
    return true;
  }

  // The socket stays blocking (a send may wait up to its time-out, as PingRaw's does), so each
  // packet is read only once the socket shows one waiting.
  void TakeAnswers(const std::function<void(const ProbeAnswer&)>& take) override {
    uint8_t packet[kIcmpPacketBufferSize];
    for (int i = 0; i < kMostAnswersTaken; ++i) {
      if (platform::WaitAny({&readable_}, 0) != 0) return;
      uint32_t from = 0;
      int n = platform::SocketRecvFrom(socket_.get(), packet, sizeof packet, &from);
      if (n < 0) return;  // an error the socket held, now cleared; it names no probe
      AnsweredProbe answered = ProbeAnswered(packet, static_cast<size_t>(n), from, identifier_);
      if (answered.kind == AnsweredProbe::kNone) continue;
      ProbeAnswer answer;
      answer.router = answered.router;
      answer.everyProbe = answered.kind == AnsweredProbe::kEveryProbe;
      take(answer);
    }
  }

  platform::Waitable& Readable() override { return readable_; }

 private:
  const uint16_t identifier_;
  RawSocket socket_;
  ReadableDescriptor readable_;
};

// The library way for many probes: one handle of the library, loaded for the session.
class LibraryProbeWay : public ProbeWay {
 public:
  explicit LibraryProbeWay(const char* library) : lib_(library) {}
  ~LibraryProbeWay() override {
    if (handle_ != nullptr) close_handle_(handle_);
  }

  bool Open() {
    if (lib_.get() == nullptr) return false;
    create_ = LookUp<IcmpCreateFileFn>(lib_.get(), "IcmpCreateFile");
    close_handle_ = LookUp<IcmpCloseHandleFn>(lib_.get(), "IcmpCloseHandle");
    send_ = LookUp<IcmpSendEchoAsyncFn>(lib_.get(), "IcmpSendEchoAsync");
    receive_ = LookUp<IcmpReceiveEchoFn>(lib_.get(), "IcmpReceiveEcho");
    descriptor_ = LookUp<IcmpHandleDescriptorFn>(lib_.get(), "IcmpHandleDescriptor");
    if (create_ == nullptr || close_handle_ == nullptr || send_ == nullptr || receive_ == nullptr ||
        descriptor_ == nullptr) {
      return false;
    }
    handle_ = create_();
    if (handle_ == nullptr) return false;
    readable_ = std::make_unique<ReadableDescriptor>(descriptor_(handle_));
    return true;
  }

  // As PingDll, the line is logged before the library is asked to send.
  bool Send(uint32_t router, uint32_t* key) override {
    LogPingTransmitted(router);
    uint32_t sequence = send_(handle_, router, kEchoPayloadText, kDllRequestSize, nullptr);
    if (sequence == 0) return false;
    *key = sequence;
    return true;
  }

  void TakeAnswers(const std::function<void(const ProbeAnswer&)>& take) override {
    uint8_t reply[kDllReplySize];
    uint32_t sequence = 0;
    for (int i = 0; i < kMostAnswersTaken; ++i) {
      if (receive_(handle_, &sequence, reply, sizeof reply, 0) == 0) return;
      IcmpEchoReply header;
      std::memcpy(&header, reply, sizeof header);
      ProbeAnswer answer;
      answer.router = header.address;
      answer.key = sequence;
      take(answer);
    }
  }

  platform::Waitable& Readable() override { return *readable_; }

 private:
  LoadedLibrary lib_;
  IcmpCreateFileFn create_ = nullptr;
  IcmpCloseHandleFn close_handle_ = nullptr;
  IcmpSendEchoAsyncFn send_ = nullptr;
  IcmpReceiveEchoFn receive_ = nullptr;
  IcmpHandleDescriptorFn descriptor_ = nullptr;
  void* handle_ = nullptr;
  std::unique_ptr<ReadableDescriptor> readable_;
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
  LogPingTransmitted(router);
  if (AwaitAnswer(s, router, identifier, reply_wait_ms) != 0) return -1;
  LogPingReceived(router);
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
  LogPingTransmitted(router);
  uint32_t replies = send_echo(handle, router, kEchoPayloadText, kDllRequestSize, nullptr,
                               reply.get(), kDllReplySize, static_cast<uint32_t>(reply_wait_ms));
  if (replies != 0) LogPingReceived(router);
  close_handle(handle);
  return replies != 0 ? 0 : -1;
}

std::unique_ptr<ProbeWay> OpenRawProbeWay(uint16_t identifier, int reply_wait_ms) {
  auto way = std::make_unique<RawProbeWay>(identifier);
  if (!way->Prepare(reply_wait_ms)) return nullptr;
  return way;
}

std::unique_ptr<ProbeWay> OpenLibraryProbeWay(const char* library) {
  auto way = std::make_unique<LibraryProbeWay>(library);
  if (!way->Open()) return nullptr;
  return way;
}
