#include "service/keepalive/keepalive_testutil.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "netns.h"
#include "service/registry/pv_data.h"

namespace katest {

bool MakeRouterNetwork() {
  return testsupport::NarrowLoopback() &&
         testsupport::Shell("ip route add 127.9.0.0/16 dev lo") == 0;
}

bool AllowPingSockets() {
  std::ofstream out("/proc/sys/net/ipv4/ping_group_range");
  out << "0 2147483647\n";
  return static_cast<bool>(out.flush());
}

uint32_t Address(const char* text) { return inet_addr(text); }

void AddRouter(const char* address, int64_t interval) {
  auto* router = new CPvData;
  router->addressText = address;
  uint32_t value = inet_addr(address);
  std::memcpy(router->address.data(), &value, 4);
  router->pendingAdd = 1;
  router->interval = interval;
  router->intervalText = std::to_string(interval);
  if (PvList().Add(router) != 0) delete router;
}

void ClearRouters() { PvList().RemoveAll(); }

RouterState ReadRouter(const char* address) {
  uint32_t value = inet_addr(address);
  uint8_t bytes[4];
  std::memcpy(bytes, &value, 4);
  CKelListLock hold(PvList());
  RouterState state;
  const CPvData* router = PvList().FindActiveByAddress(bytes, 1);
  if (router == nullptr) return state;
  state = {true, router->lastProbe, router->misses, router->alive, router->probeOutstanding};
  return state;
}

}  // namespace katest
