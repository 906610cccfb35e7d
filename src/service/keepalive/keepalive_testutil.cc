#include "service/keepalive/keepalive_testutil.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

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

LogCollector::LogCollector() {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int size = 1 << 20;
  setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(514);
  sa.sin_addr.s_addr = inet_addr("127.0.0.1");
  if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    close(fd_);
    fd_ = -1;
  }
}

LogCollector::~LogCollector() {
  if (fd_ >= 0) close(fd_);
}

int LogCollector::Count(const std::string& text) {
  char buf[8192];
  ssize_t n;
  while ((n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT)) > 0) lines_.emplace_back(buf, n);
  int count = 0;
  for (const std::string& line : lines_) count += line.find(text) != std::string::npos;
  return count;
}

bool LogCollector::WaitFor(const std::string& text, int timeout_ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (Count(text) == 0) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

ProfileDir::ProfileDir() {
  char pattern[] = "/tmp/vokel_keepalive_test.XXXXXX";
  if (mkdtemp(pattern) != nullptr) path_ = pattern;
  setenv("VOKELMNG_CONFIG_DIR", path_.c_str(), 1);
}

ProfileDir::~ProfileDir() {
  unsetenv("VOKELMNG_CONFIG_DIR");
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

void ProfileDir::Write(const std::string& file, const std::string& text) {
  std::ofstream(path_ + "/" + file, std::ios::trunc) << text;
}

void AddRouter(const char* address) {
  auto* router = new CPvData;
  router->addressText = address;
  uint32_t value = inet_addr(address);
  std::memcpy(router->address.data(), &value, 4);
  router->pendingAdd = 1;
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
