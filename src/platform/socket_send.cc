#include "platform/socket_send.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

namespace platform {

short SocketWritable::poll_events() const { return POLLOUT; }

int SocketSetCork(Socket s, bool on) {
  int value = on ? 1 : 0;
  if (setsockopt(s, IPPROTO_TCP, TCP_CORK, &value, sizeof value) == 0) return 0;
  SetLastSocketError(WsaFromErrno(errno));
  return kSocketError;
}

}  // namespace platform
