// Test helpers for the access-list planning: filling the real registries, reading the request
// store in order, and the log lines caught.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
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
#include "log_capture.h"
#include "service/acl/acl_process.h"
#include "service/registry/kel_data.h"
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

// Fixture: the log captured, empty registries, and the wake-up of the HTTP client counted
// instead of delivered (the requests stay in the store).
class PlanningTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SyslogSetMask(kLogDebug);
    testsupport::Logs().Clear();
    ClearRegistries();
    env_.stopRequested = &stop_;
    env_.startQueue = &startQueue_;
    env_.stopQueue = &stopQueue_;
    env_.eventSend = [this] { return ++wakes_, wakeResult_; };
  }
  void TearDown() override { ClearRegistries(); }

  // `family`: the identifier the controller receives (1 kel ... 5 quarantine, 6 service).
  void Run(uint32_t family) { AclCommandProcess(env_, static_cast<CommandFamily>(family), 1); }

  // The log lines caught since the last call, each as "SEVERITY text".
  Lines LogLines() {
    Lines lines;
    for (const testsupport::LogLine& line : testsupport::Logs().Lines()) {
      lines.push_back(std::to_string(line.severity) + " " + line.text);
    }
    testsupport::Logs().Clear();
    return lines;
  }

  std::atomic<int32_t> stop_{0};
  CKelList startQueue_;
  CKelList stopQueue_;
  AclEnvironment env_;
  int wakes_ = 0;
  int wakeResult_ = 1;
};

}  // namespace plantest
