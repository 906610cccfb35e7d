// Test helpers for the access-list planning: filling the real registries, reading the request
// store in order, and catching the log lines on 127.0.0.1:514 inside a private network.
#pragma once

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/address_util.h"
#include "common/syslog.h"
#include "gtest/gtest.h"
#include "netns.h"
#include "service/acl/acl_process.h"
#include "service/acl/kel_data.h"
#include "service/registry/pc_data.h"
#include "service/registry/pv_data.h"
#include "service/registry/quarantine_data.h"
#include "service/transport/http_data.h"

namespace plantest {

using Lines = std::vector<std::string>;

inline std::array<uint8_t, 4> Ip(const char* text) {
  std::array<uint8_t, 4> bytes{};
  if (*text == '\0') return bytes;
  uint32_t value = inet_addr(text);  // any dotted text, a non-contiguous netmask too
  std::memcpy(bytes.data(), &value, 4);
  return bytes;
}

inline CPvData* AddRouter(const char* address, bool alive = true, int pendingAdd = 0) {
  auto* r = new CPvData();
  r->addressText = address;
  r->address = Ip(address);
  r->alive = alive;
  r->pendingAdd = pendingAdd;
  EXPECT_EQ(PvList().Add(r), 0);
  return r;
}

inline CPvrouteData* AddRoute(CPvData* router, const char* network, const char* netmask,
                              const char* dev = "", int pendingAdd = 0) {
  auto* t = new CPvrouteData();
  t->devText = dev;
  t->networkText = network;
  t->network = Ip(network);
  t->netmaskText = netmask;
  t->netmask = Ip(netmask);
  t->pendingAdd = pendingAdd;
  EXPECT_EQ(router->routes.Add(t), 0);
  return t;
}

// A PC entry; empty texts leave that part out.
inline CPcData* AddPc(const char* mac, const char* source, const char* network = "",
                      const char* netmask = "", int pendingAdd = 0) {
  auto* p = new CPcData();
  p->macText = mac;
  p->sourceText = source;
  p->source = Ip(source);
  p->networkText = network;
  p->network = Ip(network);
  p->netmaskText = netmask;
  p->netmask = Ip(netmask);
  p->pendingAdd = pendingAdd;
  EXPECT_EQ(PcList().Add(p), 0);  // parses the MAC
  return p;
}

inline CQuarantineData* AddServer(const char* address, const char* protocol, const char* port,
                                  int pendingAdd = 0) {
  auto* q = new CQuarantineData();
  q->sourceText = address;
  q->source = Ip(address);
  q->protocolText = protocol;
  q->portText = port;
  q->pendingAdd = pendingAdd;
  EXPECT_EQ(QuarantineList().Add(q), 0);
  return q;
}

// An access entry (target 1 accept, 2 drop) as the kel command leaves it.
inline CKelData* AddEntry(uint16_t target, const char* source, const char* mac = "",
                          int pendingAdd = 1) {
  auto* e = new CKelData();
  e->target = target;
  e->sourceText = source;
  std::memcpy(e->source, Ip(source).data(), 4);
  e->macText = mac;
  if (*mac) {
    EXPECT_EQ(ParseMacAddress(mac, e->mac), 0) << mac;
  }
  e->pendingAdd = pendingAdd;
  EXPECT_EQ(KelDataList().Add(e), 0);
  return e;
}

inline void ClearRegistries() {
  for (CKelList* list : std::initializer_list<CKelList*>{&PvList(), &PcList(), &QuarantineList(),
                                                         &KelDataList(), &HttpDataStore()}) {
    list->RemoveAll();
  }
}

// The stored requests in order: "ROUTER c|q LINE", or "ROUTER c|q reset" for a request without
// line ("c" client class, "q" quarantine class).
inline Lines StoredRequests() {
  Lines out;
  CKelListLock hold(HttpDataStore());
  for (CKelNode* n = HttpDataStore().GetHead(1); n; n = HttpDataStore().GetNext(n, 1)) {
    const auto* d = static_cast<const CHttpData*>(n->data);
    in_addr a{d->address};
    size_t acl = d->body.find("&acl=");
    out.push_back(std::string(inet_ntoa(a)) +
                  (d->body.find("class=client") != std::string::npos ? " c " : " q ") +
                  (acl != std::string::npos ? d->body.substr(acl + 5) : "reset"));
  }
  return out;
}

// Fixture: a private network with a syslog stand-in on 127.0.0.1:514, empty registries, and
// the wake-up of the HTTP client counted instead of delivered (the requests stay in the store).
class PlanningTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ENTER_PRIVATE_NETWORK();
    setenv("VOKELMNG_CONFIG_DIR", "/nonexistent-vokel-profile", 1);  // default destination
    SyslogClose();  // reconnect inside this network
    SyslogSetMask(kLogDebug);
    log_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(514);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(log_, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ClearRegistries();
    env_.stopRequested = &stop_;
    env_.startQueue = &startQueue_;
    env_.stopQueue = &stopQueue_;
    env_.eventSend = [this] { return ++wakes_, wakeResult_; };
  }
  void TearDown() override {
    ClearRegistries();
    SyslogClose();
    close(log_);
  }

  void Run(uint32_t family) { AclCommandProcess(env_, family, 1); }

  // The log lines received so far, each as "SEVERITY text".
  Lines LogLines() {
    Lines lines;
    pollfd pfd = {log_, POLLIN, 0};
    char buf[4096];
    while (poll(&pfd, 1, 100) > 0) {
      ssize_t n = recv(log_, buf, sizeof buf, 0);
      if (n <= 0) break;
      std::string d(buf, static_cast<size_t>(n));  // "<PRI>Mmm dd hh:mm:ss HOST text"
      size_t at = 0;
      for (int i = 0; i < 4 && at != std::string::npos; ++i) at = d.find(' ', at + 1);
      lines.push_back(std::to_string(std::atoi(d.c_str() + 1) & 7) + " " + d.substr(at + 1));
    }
    return lines;
  }

  std::atomic<int32_t> stop_{0};
  CKelList startQueue_;
  CKelList stopQueue_;
  AclEnvironment env_;
  int wakes_ = 0;
  int wakeResult_ = 1;
  int log_ = -1;
};

}  // namespace plantest
