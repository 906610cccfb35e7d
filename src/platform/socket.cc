#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/icmp.h>  // also brings IFF_LOOPBACK
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/clock.h"

namespace platform {

namespace {

// Records the Winsock code for the current errno and returns kSocketError.
int Fail() {
  SetLastSocketError(WsaFromErrno(errno));
  return kSocketError;
}

Socket FailSocket() {
  SetLastSocketError(WsaFromErrno(errno));
  return kInvalidSocket;
}

struct sockaddr_in MakeAddr(uint32_t addr, uint16_t port) {
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addr;
  sa.sin_port = htons(port);
  return sa;
}

int SetIntOption(Socket s, int level, int name, int value) {
  if (setsockopt(s, level, name, &value, sizeof value) != 0) return Fail();
  return 0;
}

}  // namespace

Socket SocketTcp() {
  Socket s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  return s < 0 ? FailSocket() : s;
}

Socket SocketUdp() {
  Socket s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  return s < 0 ? FailSocket() : s;
}

Socket SocketRawIcmp() {
  Socket s = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  return s < 0 ? FailSocket() : s;
}

int SocketBind(Socket s, uint32_t addr, uint16_t port) {
  struct sockaddr_in sa = MakeAddr(addr, port);
  if (bind(s, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) != 0) return Fail();
  return 0;
}

int SocketListen(Socket s) {
  if (listen(s, SOMAXCONN) != 0) return Fail();
  return 0;
}

Socket SocketAccept(Socket s, uint32_t* peer_addr, uint16_t* peer_port) {
  struct sockaddr_in sa;
  socklen_t len = sizeof sa;
  memset(&sa, 0, sizeof sa);
  Socket c;
  do {
    c = accept4(s, reinterpret_cast<struct sockaddr*>(&sa), &len, SOCK_CLOEXEC);
  } while (c < 0 && errno == EINTR);
  if (c < 0) return FailSocket();
  if (peer_addr != nullptr) *peer_addr = sa.sin_addr.s_addr;
  if (peer_port != nullptr) *peer_port = ntohs(sa.sin_port);
  return c;
}

int SocketConnect(Socket s, uint32_t addr, uint16_t port) {
  struct sockaddr_in sa = MakeAddr(addr, port);
  if (connect(s, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) == 0) return 0;
  if (errno != EINTR) return Fail();
  // An interrupted blocking connect goes on in the background: wait for its outcome.
  struct pollfd p = {s, POLLOUT, 0};
  while (poll(&p, 1, -1) < 0) {
    if (errno != EINTR) return Fail();
  }
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return Fail();
  if (err != 0) {
    errno = err;
    return Fail();
  }
  return 0;
}

namespace {

// Waits for a non-blocking connect on `s` to finish; 0, or the errno it failed with
// (ETIMEDOUT on time-out, EINTR when cancel_fd became readable).
int AwaitConnect(Socket s, int timeout_ms, int cancel_fd) {
  const uint64_t start = MonotonicMs();
  for (;;) {
    int left = -1;
    if (timeout_ms >= 0) {
      uint64_t elapsed = MonotonicMs() - start;
      left =
          elapsed >= static_cast<uint64_t>(timeout_ms) ? 0 : timeout_ms - static_cast<int>(elapsed);
    }
    struct pollfd p[2] = {{s, POLLOUT, 0}, {cancel_fd, POLLIN, 0}};
    int rc = poll(p, cancel_fd >= 0 ? 2 : 1, left);
    if (rc < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (p[0].revents != 0) {
      int err = 0;
      socklen_t len = sizeof err;
      if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
      return err;
    }
    if (cancel_fd >= 0 && p[1].revents != 0) return EINTR;
    if (rc == 0 && left == 0) return ETIMEDOUT;
  }
}

}  // namespace

int SocketConnectTimed(Socket s, uint32_t addr, uint16_t port, int timeout_ms, int cancel_fd) {
  int flags = fcntl(s, F_GETFL);
  if (flags < 0) return Fail();
  if (!(flags & O_NONBLOCK) && fcntl(s, F_SETFL, flags | O_NONBLOCK) != 0) return Fail();
  struct sockaddr_in sa = MakeAddr(addr, port);
  int err = 0;
  if (connect(s, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) != 0) {
    err = errno;
    if (err == EINPROGRESS || err == EINTR) err = AwaitConnect(s, timeout_ms, cancel_fd);
  }
  if (!(flags & O_NONBLOCK)) fcntl(s, F_SETFL, flags);
  if (err != 0) {
    errno = err;
    return Fail();
  }
  return 0;
}

int SocketPeerName(Socket s, uint32_t* addr, uint16_t* port) {
  struct sockaddr_in sa;
  socklen_t len = sizeof sa;
  memset(&sa, 0, sizeof sa);
  if (getpeername(s, reinterpret_cast<struct sockaddr*>(&sa), &len) != 0) return Fail();
  if (addr != nullptr) *addr = sa.sin_addr.s_addr;
  if (port != nullptr) *port = ntohs(sa.sin_port);
  return 0;
}

int SocketSend(Socket s, const void* data, size_t len) {
  if (len > INT_MAX) len = INT_MAX;
  ssize_t n;
  do {
    n = send(s, data, len, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? Fail() : static_cast<int>(n);
}

int SocketRecv(Socket s, void* buf, size_t len) {
  if (len > INT_MAX) len = INT_MAX;
  ssize_t n;
  do {
    n = recv(s, buf, len, 0);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? Fail() : static_cast<int>(n);
}

int SocketSendTo(Socket s, const void* data, size_t len, uint32_t addr, uint16_t port) {
  if (len > INT_MAX) len = INT_MAX;
  struct sockaddr_in sa = MakeAddr(addr, port);
  ssize_t n;
  do {
    n = sendto(s, data, len, MSG_NOSIGNAL, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? Fail() : static_cast<int>(n);
}

int SocketRecvFrom(Socket s, void* buf, size_t len, uint32_t* from_addr) {
  if (len > INT_MAX) len = INT_MAX;
  struct sockaddr_in sa;
  socklen_t salen = sizeof sa;
  memset(&sa, 0, sizeof sa);
  ssize_t n;
  do {
    n = recvfrom(s, buf, len, 0, reinterpret_cast<struct sockaddr*>(&sa), &salen);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return Fail();
  if (from_addr != nullptr) *from_addr = sa.sin_addr.s_addr;
  return static_cast<int>(n);
}

int SocketPendingBytes(Socket s, int* count) {
  int n = 0;
  if (ioctl(s, FIONREAD, &n) != 0) return Fail();
  if (count != nullptr) *count = n;
  return 0;
}

bool SocketPeerClosed(Socket s) {
  pollfd p{s, POLLRDHUP, 0};
  int n;
  do n = poll(&p, 1, 0);
  while (n < 0 && errno == EINTR);
  return n > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

int SocketShutdownBoth(Socket s) {
  if (shutdown(s, SHUT_RDWR) != 0) return Fail();
  return 0;
}

int SocketClose(Socket s) {
  if (close(s) != 0 && errno != EINTR) return Fail();
  return 0;
}

int SocketSetNonBlocking(Socket s, bool on) {
  int flags = fcntl(s, F_GETFL);
  if (flags < 0) return Fail();
  int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (wanted != flags && fcntl(s, F_SETFL, wanted) != 0) return Fail();
  return 0;
}

int SocketSetNoDelay(Socket s, bool on) { return SetIntOption(s, IPPROTO_TCP, TCP_NODELAY, on); }

int SocketSetAbortiveClose(Socket s, bool on) {
  struct linger value = {};
  value.l_onoff = on ? 1 : 0;
  value.l_linger = 0;
  if (setsockopt(s, SOL_SOCKET, SO_LINGER, &value, sizeof value) != 0) return Fail();
  return 0;
}

int SocketSetReuseAddr(Socket s, bool on) { return SetIntOption(s, SOL_SOCKET, SO_REUSEADDR, on); }

int SocketSetTtl(Socket s, int ttl) { return SetIntOption(s, IPPROTO_IP, IP_TTL, ttl); }

namespace {

int SetTimeoutOption(Socket s, int option, int ms) {
  struct timeval tv;
  tv.tv_sec = ms / 1000;
  tv.tv_usec = static_cast<suseconds_t>(ms % 1000) * 1000;
  if (setsockopt(s, SOL_SOCKET, option, &tv, sizeof tv) != 0) return Fail();
  return 0;
}

}  // namespace

int SocketSetRecvTimeout(Socket s, int ms) { return SetTimeoutOption(s, SO_RCVTIMEO, ms); }

int SocketSetSendTimeout(Socket s, int ms) { return SetTimeoutOption(s, SO_SNDTIMEO, ms); }

int SocketSetIcmpFilter(Socket s, uint32_t allowed_types_mask) {
  // The kernel's filter names the types to drop.
  struct icmp_filter filter;
  filter.data = ~allowed_types_mask;
  if (setsockopt(s, SOL_RAW, ICMP_FILTER, &filter, sizeof filter) != 0) return Fail();
  return 0;
}

uint32_t InetAddr(const char* text) {
  if (text == nullptr) return INADDR_NONE;
  return inet_addr(text);
}

std::string HostName() {
  char name[256];
  if (gethostname(name, sizeof name) != 0) return std::string();
  name[sizeof name - 1] = '\0';
  return name;
}

std::string FirstAdapterAddress() {
  struct ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return std::string();
  std::string result;
  for (struct ifaddrs* i = list; i != nullptr && result.empty(); i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    if (i->ifa_flags & IFF_LOOPBACK) continue;  // adapter lists leave the loopback out
    const auto* sin = reinterpret_cast<const struct sockaddr_in*>(i->ifa_addr);
    if (sin->sin_addr.s_addr == 0) continue;
    char text[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text) != nullptr) result = text;
  }
  freeifaddrs(list);
  return result;
}

bool IsLocalAddress(uint32_t addr) {
  uint32_t host = ntohl(addr);
  if (host == 0 || (host >> 24) == 127) return true;
  struct ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool found = false;
  for (struct ifaddrs* i = list; i != nullptr && !found; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    found = reinterpret_cast<const struct sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr == addr;
  }
  freeifaddrs(list);
  return found;
}

// Send-side wait for callers whose sends keep answering would-block.
int SocketWaitWritable(Socket s, int timeout_ms) {
  uint64_t deadline = MonotonicMs() + static_cast<uint64_t>(timeout_ms < 0 ? 0 : timeout_ms);
  for (;;) {
    struct pollfd pfd = {s, POLLOUT, 0};
    uint64_t now = MonotonicMs();
    int wait_ms = now >= deadline ? 0 : static_cast<int>(deadline - now);
    int ready = poll(&pfd, 1, wait_ms);
    if (ready > 0) {
      if (pfd.revents & POLLNVAL) {
        SetLastSocketError(WsaFromErrno(EBADF));
        return kSocketError;
      }
      return 1;
    }
    if (ready == 0) return 0;
    if (errno != EINTR) return Fail();
  }
}

}  // namespace platform
