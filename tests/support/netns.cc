#include "netns.h"

#include <net/if.h>
#include <sched.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace testsupport {

std::string EnterPrivateNetwork() {
  if (unshare(CLONE_NEWNET) != 0) return std::string("unshare: ") + strerror(errno);
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return std::string("socket: ") + strerror(errno);
  struct ifreq ifr;
  memset(&ifr, 0, sizeof ifr);
  strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  std::string error;
  if (ioctl(s, SIOCGIFFLAGS, &ifr) != 0) {
    error = std::string("SIOCGIFFLAGS: ") + strerror(errno);
  } else {
    ifr.ifr_flags |= IFF_UP;
    if (ioctl(s, SIOCSIFFLAGS, &ifr) != 0) error = std::string("SIOCSIFFLAGS: ") + strerror(errno);
  }
  close(s);
  return error;
}

int Shell(const std::string& command) {
  int status = system(command.c_str());
  if (status == -1 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

bool NarrowLoopback() {
  return Shell("ip addr add 127.0.0.1/32 dev lo 2>/dev/null; ip addr del 127.0.0.1/8 dev lo") == 0;
}

bool AddLoopbackAddress(const std::string& addr) {
  return Shell("ip addr add " + addr + "/32 dev lo") == 0;
}

bool RemoveLoopbackAddress(const std::string& addr) {
  return Shell("ip addr del " + addr + "/32 dev lo") == 0;
}

}  // namespace testsupport
