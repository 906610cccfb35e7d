#include "platform/socket_event.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <mutex>

namespace platform {

// The socket's state as far as notifications go:
//   kIdle       a stream socket that is not connected (yet): nothing to watch until a
//               non-blocking connect has been started on it;
//   kConnecting a connect is under way, CONNECT comes with its outcome;
//   kConnected  READ / WRITE / CLOSE apply (datagram sockets start here and never CLOSE);
//   kListening  ACCEPT applies (CLOSE when the listening socket is shut down);
//   kDone       nothing more will be reported.
enum class Phase { kNone, kIdle, kConnecting, kConnected, kListening, kDone };

struct SocketEventState {
  std::mutex mutex;
  Socket socket = kInvalidSocket;
  long mask = 0;
  Phase phase = Phase::kNone;
  bool stream = true;
  bool write_armed = false;
  bool close_seen = false;
  int early_connect_error = 0;  // errno of a connect that failed before we looked
  NetworkEvents pending;
};

struct SocketEvent::State : SocketEventState {};

namespace {

int SocketErrno(Socket s) {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

int IntOption(Socket s, int name) {
  int value = 0;
  socklen_t len = sizeof value;
  if (getsockopt(s, SOL_SOCKET, name, &value, &len) != 0) return -1;
  return value;
}

int TcpState(Socket s) {
  struct tcp_info info;
  socklen_t len = sizeof info;
  if (getsockopt(s, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return -1;
  return info.tcpi_state;
}

bool IsConnected(Socket s) {
  struct sockaddr_storage sa;
  socklen_t len = sizeof sa;
  return getpeername(s, reinterpret_cast<struct sockaddr*>(&sa), &len) == 0;
}

}  // namespace

short SocketReadable::poll_events() const { return POLLIN | POLLRDHUP; }

SocketEvent::SocketEvent() : state_(new State) {}

SocketEvent::~SocketEvent() { delete state_; }

bool SocketEvent::ok() const { return state_ != nullptr; }

int SocketEvent::Select(Socket s, long mask) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& st = *state_;
  int flags = fcntl(s, F_GETFL);
  if (flags < 0 || fcntl(s, F_SETFL, flags | O_NONBLOCK) != 0) {
    SetLastSocketError(WsaFromErrno(errno));
    return kSocketError;
  }
  int type = IntOption(s, SO_TYPE);
  if (type < 0) {
    SetLastSocketError(WsaFromErrno(errno));
    return kSocketError;
  }
  st.socket = s;
  st.mask = mask;
  st.pending = NetworkEvents();
  st.stream = type == SOCK_STREAM;
  st.close_seen = false;
  st.early_connect_error = 0;
  st.write_armed = true;
  if (mask == 0) {
    st.phase = Phase::kNone;
  } else if (!st.stream || IsConnected(s)) {
    st.phase = Phase::kConnected;
  } else if (IntOption(s, SO_ACCEPTCONN) == 1) {
    st.phase = Phase::kListening;
  } else {
    st.phase = Phase::kIdle;
  }
  return 0;
}

// Called with the mutex held: an idle stream socket becomes kConnecting once a connect has
// been started on it (or has already failed, whose error is kept for CONNECT).
static void CheckIdle(SocketEventState& st) {
  if (st.phase != Phase::kIdle) return;
  int tcp = TcpState(st.socket);
  if (tcp < 0) return;
  if (tcp == TCP_LISTEN) {
    st.phase = Phase::kListening;
    return;
  }
  if (tcp != TCP_CLOSE) {
    st.phase = Phase::kConnecting;
    return;
  }
  int err = SocketErrno(st.socket);
  if (err != 0) {
    st.early_connect_error = err;
    st.phase = Phase::kConnecting;
  }
}

// Called with the mutex held: the poll events that can bring something new to report.
static short Interest(const SocketEventState& st) {
  switch (st.phase) {
    case Phase::kConnecting:
      return POLLOUT;
    case Phase::kListening:
      return (st.mask & (kFdAccept | kFdClose)) ? POLLIN : 0;
    case Phase::kConnected: {
      short ev = 0;
      if (!st.close_seen && (st.mask & kFdRead)) ev |= POLLIN;
      if (!st.close_seen && st.stream && (st.mask & kFdClose)) ev |= POLLRDHUP;
      if (st.write_armed && (st.mask & kFdWrite)) ev |= POLLOUT;
      return ev;
    }
    default:
      return 0;
  }
}

int SocketEvent::fd() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  CheckIdle(*state_);
  return Interest(*state_) != 0 ? state_->socket : -1;
}

short SocketEvent::poll_events() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return Interest(*state_);
}

namespace {

void Record(SocketEventState& st, long event) { st.pending.events |= (st.mask & event); }

void RefreshConnecting(SocketEventState& st, short revents) {
  if (!(revents & (POLLOUT | POLLERR | POLLHUP))) return;
  int err = st.early_connect_error != 0 ? st.early_connect_error : SocketErrno(st.socket);
  st.early_connect_error = 0;
  if (err == 0 && !IsConnected(st.socket)) return;  // still under way
  if (st.mask & kFdConnect) {
    st.pending.events |= kFdConnect;
    st.pending.connect_error = WsaFromErrno(err);
  } else if (err != 0 && (st.mask & kFdClose)) {
    // Not watching CONNECT (e.g. an accepted socket reset before it was selected): the
    // socket is gone all the same.
    st.pending.events |= kFdClose;
    st.pending.close_error = WsaFromErrno(err);
  }
  st.phase = err == 0 ? Phase::kConnected : Phase::kDone;
  st.write_armed = err == 0;
}

// The peer's side of a connected stream: CLOSE once the peer has closed and nothing is left
// to read (or at once on an error such as a reset).
void CheckClosed(SocketEventState& st, short revents, int unread) {
  char byte;
  ssize_t n = recv(st.socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  int err = n < 0 ? errno : 0;
  if (n < 0 && (err == EAGAIN || err == EWOULDBLOCK || err == EINTR)) return;
  if (n > 0 && !(revents & POLLRDHUP)) return;             // data, and the peer still sends
  if (n > 0 && unread > 0 && (st.mask & kFdRead)) return;  // READ first, CLOSE after
  st.close_seen = true;
  if (st.mask & kFdClose) {
    st.pending.events |= kFdClose;
    st.pending.close_error = WsaFromErrno(err);
  }
}

void RefreshConnected(SocketEventState& st, short revents) {
  if ((revents & POLLOUT) && st.write_armed && (st.mask & kFdWrite)) {
    st.write_armed = false;
    st.pending.events |= kFdWrite;
  }
  if (st.close_seen || !(revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR))) return;
  // Bytes to read and the peer still sending (which the poll tells when it watched for the
  // peer's close): READ, without asking how many bytes.
  if (st.stream && (Interest(st) & POLLRDHUP) && (revents & POLLIN) &&
      !(revents & (POLLRDHUP | POLLHUP | POLLERR))) {
    Record(st, kFdRead);
    return;
  }
  int unread = 0;
  if (ioctl(st.socket, FIONREAD, &unread) != 0) unread = 0;
  if (!st.stream) {
    if (revents & POLLIN) Record(st, kFdRead);
    return;
  }
  if (unread > 0) Record(st, kFdRead);
  if (unread == 0 || !(st.mask & kFdRead)) CheckClosed(st, revents, unread);
}

void RefreshListening(SocketEventState& st, short revents) {
  if (IntOption(st.socket, SO_ACCEPTCONN) != 1 || (revents & (POLLHUP | POLLERR))) {
    st.phase = Phase::kDone;
    if (st.mask & kFdClose) {
      st.pending.events |= kFdClose;
      st.pending.close_error = WsaFromErrno(SocketErrno(st.socket));
    }
    return;
  }
  if (revents & POLLIN) Record(st, kFdAccept);
}

// Records what `revents`, found on the socket by a poll for its Interest, newly brings.
void Apply(SocketEventState& st, short revents) {
  if (revents == 0 || (revents & POLLNVAL)) return;
  switch (st.phase) {
    case Phase::kConnecting:
      RefreshConnecting(st, revents);
      // A connect that succeeded leaves the socket writable: WRITE comes with CONNECT.
      if (st.phase == Phase::kConnected) RefreshConnected(st, revents);
      break;
    case Phase::kConnected:
      RefreshConnected(st, revents);
      break;
    case Phase::kListening:
      RefreshListening(st, revents);
      break;
    default:
      break;
  }
}

// Looks at the socket without blocking and records what is newly to be reported.
void Refresh(SocketEventState& st) {
  CheckIdle(st);
  short interest = Interest(st);
  if (interest == 0 && st.phase != Phase::kListening) return;
  struct pollfd p = {st.socket, interest, 0};
  if (poll(&p, 1, 0) <= 0) return;
  Apply(st, p.revents);
}

}  // namespace

bool SocketEvent::Consume() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  Refresh(*state_);
  return state_->pending.events != 0;
}

// A wait has just found the socket's state: what it saw is applied as a look of its own would.
// The phase cannot have moved since the wait read the interest (only this object moves it,
// under its lock, and an idle socket is not polled at all), so a connecting socket's CONNECT
// is judged by the same rules.
bool SocketEvent::ConsumePolled(short revents) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  CheckIdle(*state_);
  Apply(*state_, revents);
  return state_->pending.events != 0;
}

int SocketEvent::Enum(NetworkEvents* out) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  State& st = *state_;
  if (st.socket == kInvalidSocket) {
    SetLastSocketError(10038);  // WSAENOTSOCK
    return kSocketError;
  }
  // Recorded events are reported as they stand: a wait has just looked, and whatever came since
  // is still on the socket for the next wait to find. With nothing recorded, look now.
  if (st.pending.events == 0) Refresh(st);
  if (out != nullptr) *out = st.pending;
  st.pending = NetworkEvents();
  return 0;
}

void SocketEvent::NoteWouldBlock() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->write_armed = true;
}

void SocketEvent::Reset() {
  // Notifications are recorded only when found on the socket, so no signal is left standing
  // apart from what Enum reports; nothing to clear here.
}

}  // namespace platform
