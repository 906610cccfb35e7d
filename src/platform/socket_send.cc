#include "platform/socket_send.h"

#include <poll.h>

namespace platform {

short SocketWritable::poll_events() const { return POLLOUT; }

}  // namespace platform
