// What a sender needs beyond socket.h: waiting for room to send beside events. (Gathering the
// pieces of one reply into one write is SocketSendBatch, common/socket_io.h.)
#pragma once

#include "platform/event.h"
#include "platform/socket.h"

namespace platform {

// Signalled while `s` can take more data, or has an error or hang-up pending (which the next
// send then reports). Does not own the socket.
class SocketWritable : public Waitable {
 public:
  explicit SocketWritable(Socket s) : socket_(s) {}
  int fd() const override { return socket_; }
  short poll_events() const override;
  bool Consume() override { return true; }

 private:
  Socket socket_;
};

}  // namespace platform
