#include "common/socket_io.h"

#include <cstdint>
#include <cstdio>
#include <utility>

#include "common/syslog.h"
#include "platform/clock.h"

namespace {

struct WsaErrorEntry {
  int code;
  const char* name;
};

// Winsock 2 error constants and their values; the empty pair ends the table.
constexpr WsaErrorEntry kWsaErrors[] = {
    {10013, "WSAEACCES"},
    {10048, "WSAEADDRINUSE"},
    {10049, "WSAEADDRNOTAVAIL"},
    {10047, "WSAEAFNOSUPPORT"},
    {10037, "WSAEALREADY"},
    {10009, "WSAEBADF"},
    {10103, "WSAECANCELLED"},
    {10053, "WSAECONNABORTED"},
    {10061, "WSAECONNREFUSED"},
    {10054, "WSAECONNRESET"},
    {10039, "WSAEDESTADDRREQ"},
    {10101, "WSAEDISCON"},
    {10069, "WSAEDQUOT"},
    {10014, "WSAEFAULT"},
    {10064, "WSAEHOSTDOWN"},
    {10065, "WSAEHOSTUNREACH"},
    {10036, "WSAEINPROGRESS"},
    {10004, "WSAEINTR"},
    {10022, "WSAEINVAL"},
    {10104, "WSAEINVALIDPROCTABLE"},
    {10105, "WSAEINVALIDPROVIDER"},
    {10056, "WSAEISCONN"},
    {10062, "WSAELOOP"},
    {10024, "WSAEMFILE"},
    {10040, "WSAEMSGSIZE"},
    {10063, "WSAENAMETOOLONG"},
    {10050, "WSAENETDOWN"},
    {10052, "WSAENETRESET"},
    {10051, "WSAENETUNREACH"},
    {10055, "WSAENOBUFS"},
    {10102, "WSAENOMORE"},
    {10042, "WSAENOPROTOOPT"},
    {10057, "WSAENOTCONN"},
    {10066, "WSAENOTEMPTY"},
    {10038, "WSAENOTSOCK"},
    {10045, "WSAEOPNOTSUPP"},
    {10067, "WSAEPROCLIM"},
    {10043, "WSAEPROTONOSUPPORT"},
    {10041, "WSAEPROTOTYPE"},
    {10106, "WSAEPROVIDERFAILEDINIT"},
    {10112, "WSAEREFUSED"},
    {10071, "WSAEREMOTE"},
    {10058, "WSAESHUTDOWN"},
    {10044, "WSAESOCKTNOSUPPORT"},
    {10070, "WSAESTALE"},
    {10060, "WSAETIMEDOUT"},
    {10059, "WSAETOOMANYREFS"},
    {10068, "WSAEUSERS"},
    {10035, "WSAEWOULDBLOCK"},
    {11001, "WSAHOST_NOT_FOUND"},
    {10093, "WSANOTINITIALISED"},
    {11004, "WSANO_DATA"},
    {11003, "WSANO_RECOVERY"},
    {10108, "WSASERVICE_NOT_FOUND"},
    {10107, "WSASYSCALLFAILURE"},
    {10091, "WSASYSNOTREADY"},
    {11002, "WSATRY_AGAIN"},
    {10109, "WSATYPE_NOT_FOUND"},
    {10092, "WSAVERNOTSUPPORTED"},
    {10111, "WSA_E_CANCELLED"},
    {10110, "WSA_E_NO_MORE"},
    {0, nullptr},
};

void LogSocketError(int code) {
  char buf[32];
  Syslog(kLogErr, "An error occurred. A cause is %s.", WsaErrorNameForLog(code, buf, sizeof buf));
}

// Waits for the socket to take more data; false (error recorded) when it stalled too long.
bool WaitForSendRoom(platform::Socket s, uint64_t last_progress_ms, uint64_t limit_ms) {
  uint64_t stalled = platform::MonotonicMs() - last_progress_ms;
  if (stalled >= limit_ms) {
    platform::SetLastSocketError(platform::kWsaEtimedout);
    return false;
  }
  int ready = platform::SocketWaitWritable(s, static_cast<int>(limit_ms - stalled));
  return ready >= 0;
}

}  // namespace

const char* WsaErrorName(int code) {
  for (const WsaErrorEntry* e = kWsaErrors; e->name != nullptr; ++e) {
    if (e->code == code) return e->name;
  }
  return nullptr;
}

const char* WsaErrorNameForLog(int code, char* buf, size_t size) {
  const char* name = WsaErrorName(code);
  if (name != nullptr) return name;
  std::snprintf(buf, size, "UNKNOWN(%d)", code);
  return buf;
}

// A would-block is retried at once; when it answers would-block again, the retry waits until
// the socket is writable, so a peer that stops reading costs no busy spin and, after 30 s
// without progress, ends the send with WSAETIMEDOUT instead of holding the thread forever.
namespace {
thread_local SocketSendBatch* tBatch = nullptr;
}  // namespace

SocketSendBatch::SocketSendBatch(platform::Socket s, Writer writer)
    : socket_(s), writer_(std::move(writer)), outer_(tBatch) {
  tBatch = this;
}

SocketSendBatch::~SocketSendBatch() { tBatch = outer_; }

SocketSendBatch* SocketSendBatch::For(platform::Socket s) {
  for (SocketSendBatch* b = tBatch; b != nullptr; b = b->outer_) {
    if (b->socket_ == s) return b;
  }
  return nullptr;
}

void SocketSendBatch::Append(const void* data, size_t length) {
  bytes_.append(static_cast<const char*>(data), length);
}

std::string SocketSendBatch::Take() {
  std::string taken;
  taken.swap(bytes_);
  return taken;
}

int SocketSendAll(platform::Socket s, const void* data, size_t length) {
  return SocketSendAll(s, data, length, kSendStallLimitMs);
}

int SocketSendAll(platform::Socket s, const void* data, size_t length, uint64_t stall_limit_ms) {
  if (SocketSendBatch* batch = SocketSendBatch::For(s)) {
    batch->Append(data, length);
    if (!batch->Full()) return static_cast<int>(length);
    std::string gathered = batch->Take();
    if (batch->writer_) {
      return batch->writer_(gathered.data(), gathered.size()) ? static_cast<int>(length) : -1;
    }
    size_t sent = 0;
    return SocketSendAll(s, gathered.data(), gathered.size(), stall_limit_ms, &sent) < 0
               ? -1
               : static_cast<int>(length);
  }
  size_t sent = 0;
  return SocketSendAll(s, data, length, stall_limit_ms, &sent);
}

int SocketSendAll(platform::Socket s, const void* data, size_t length, uint64_t stall_limit_ms,
                  size_t* progress) {
  const char* bytes = static_cast<const char*>(data);
  size_t& sent = *progress;
  sent = 0;
  uint64_t last_progress = platform::MonotonicMs();
  bool retried_at_once = false;
  while (sent < length) {
    int n = platform::SocketSend(s, bytes + sent, length - sent);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      last_progress = platform::MonotonicMs();
      retried_at_once = false;
      continue;
    }
    if (n < 0 && platform::LastSocketError() != platform::kWsaEwouldblock) {
      LogSocketError(platform::LastSocketError());
      return -1;
    }
    if (!retried_at_once) {
      retried_at_once = true;
      continue;
    }
    if (!WaitForSendRoom(s, last_progress, stall_limit_ms)) {
      LogSocketError(platform::LastSocketError());
      return -1;
    }
  }
  return static_cast<int>(length);
}

int SocketPendingBytes(platform::Socket s, int* count) {
  if (platform::SocketPendingBytes(s, count) != 0) {
    LogSocketError(platform::LastSocketError());
    return -1;
  }
  return 0;
}

int SocketReceive(platform::Socket s, void* buffer, size_t length) {
  int n = platform::SocketRecv(s, buffer, length);
  if (n < 0) {
    LogSocketError(platform::LastSocketError());
    return -1;
  }
  return n;
}
