// Network-event selection on one socket, with Winsock's reporting rules:
//   READ    while bytes are waiting to be read (re-armed by every receive);
//   ACCEPT  while connections are waiting to be accepted;
//   WRITE   once when the socket becomes writable (after connect or creation), and again only
//           after a send on it failed with WSAEWOULDBLOCK (call NoteWouldBlock()).
//   CONNECT once, when a non-blocking connect completes (with its error code);
//   CLOSE   once, when the peer has closed and every pending byte has been read (or at once
//           with an error code on reset).
// Selecting puts the socket into non-blocking mode, as WSAEventSelect does.
// An unconnected stream socket is watched from the first wait after its connect was started.
// Enum also picks up what the socket shows at that moment; Reset leaves recorded events alone.
#pragma once

#include <cstdint>

#include "platform/event.h"
#include "platform/socket.h"

namespace platform {

constexpr long kFdRead = 0x01;
constexpr long kFdWrite = 0x02;
constexpr long kFdOob = 0x04;
constexpr long kFdAccept = 0x08;
constexpr long kFdConnect = 0x10;
constexpr long kFdClose = 0x20;

struct NetworkEvents {
  long events = 0;        // kFd* bits that are set
  int connect_error = 0;  // Winsock code for kFdConnect, 0 when it succeeded
  int close_error = 0;    // Winsock code for kFdClose, 0 for a graceful close
  int read_error = 0;
};

// A socket's readability for WaitAny, level-triggered and without state: signalled while there
// is something to receive (bytes, the peer's end of stream, or an error). A wait consumes
// nothing; the receive that follows does. The socket is not changed.
class SocketReadable : public Waitable {
 public:
  explicit SocketReadable(Socket s) : socket_(s) {}
  int fd() const override { return socket_; }
  short poll_events() const override;
  bool Consume() override { return true; }

 private:
  Socket socket_;
};

class SocketEvent : public Waitable {
 public:
  SocketEvent();
  ~SocketEvent() override;
  SocketEvent(const SocketEvent&) = delete;
  SocketEvent& operator=(const SocketEvent&) = delete;

  bool ok() const;
  // Registers `mask` (kFd* bits) for socket `s` and makes it non-blocking. 0 or kSocketError.
  int Select(Socket s, long mask);
  // Reports and clears the pending notifications (WSAEnumNetworkEvents). 0 or kSocketError.
  int Enum(NetworkEvents* out);
  // A send on the socket reported WSAEWOULDBLOCK: WRITE will be reported again when writable.
  void NoteWouldBlock();
  // Clears any pending signal (WSAResetEvent).
  void Reset();

  int fd() const override;
  short poll_events() const override;
  bool Consume() override;
  // The same from what WaitAny's poll has just found, without polling again.
  bool ConsumePolled(short revents) override;

 private:
  struct State;
  State* state_;
};

}  // namespace platform
