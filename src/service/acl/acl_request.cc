#include "service/acl/acl_request.h"

#include <new>
#include <utility>

#include "common/syslog.h"
#include "service/acl/acl_line.h"
#include "service/transport/http_client.h"
#include "service/transport/http_data.h"

namespace {

constexpr int kClassClient = 1;
constexpr int kClassQuarantine = 2;
constexpr int kOpcodeSet = 1;

thread_local AclLineCapture* tCapture = nullptr;
thread_local const AclLineSink* tSink = nullptr;

// Builds the line, wraps it into a request for `router` and appends it to the store. `who`
// names the caller in the log lines.
int QueueLine(const CPvData& router, AclLine& line, int classCode, const char* who) {
  if (line.MakeAcl() != 0) {
    Syslog(kLogErr, "%s: I failed in making of ACL.", who);
    return 0;
  }
  if (tSink != nullptr) {
    (*tSink)(router, classCode, line.text);
    return 1;
  }
  return QueueAclText(router, classCode, line.text, who);
}

}  // namespace

int QueueAclText(const CPvData& router, int classCode, const std::string& text, const char* who) {
  CHttpData* request = new (std::nothrow) CHttpData();
  if (request == nullptr) {
    Syslog(kLogCrit, "I failed in making of CHttpData.");
    return 0;
  }
  request->SetAddressBytes(router.address.data());
  request->port = router.port;
  CHttpDataList& store = HttpDataStore();
  if (store.MakeHttpData(request, router.user, router.password, 1, classCode, kOpcodeSet, 1,
                         text.c_str(), router.addressText) == 0) {
    delete request;
    Syslog(kLogErr, "%s: I failed in making of HTTP data.", who);
    return 0;
  }
  try {
    store.AddTail(request);
  } catch (...) {
    delete request;
    Syslog(kLogErr, "%s: I failed in save of HTTP data.", who);
    return 0;
  }
  return 1;
}

int KelCommandKelMake(const CPvData& router, uint32_t opcode, const std::string& name, int action,
                      const std::string& in, const std::string& out, const std::string& source,
                      const std::string& destination, const std::string& sourceMac) {
  if (source.empty() && destination.empty()) {
    Syslog(kLogErr, "KelCommandKelMake: Argument abnormality occurred.");
    return 0;
  }
  AclLine line;
  line.opcode = opcode;
  line.name = name;
  line.action = (action == 1 || action == 2) ? static_cast<uint32_t>(action) : 0;
  line.in = in;
  line.out = out;
  line.source = source;
  line.destination = destination;
  line.sourceMac = sourceMac;
  return QueueLine(router, line, kClassQuarantine, "KelCommandKelMake");
}

int KelCommandAclClientMake(const CPvData& router, uint32_t opcode, const std::string& name,
                            uint32_t action, const std::string& in, const std::string& out,
                            const std::string& sourceMac, const std::string& source,
                            const std::string& destination, const std::string& protocol,
                            const std::string& sport, const std::string& dport) {
  AclLine line;
  line.opcode = opcode;
  line.name = name;
  line.action = action;
  line.in = in;
  line.out = out;
  line.protocol = protocol;
  line.source = source;
  line.destination = destination;
  line.sport = sport;
  line.dport = dport;
  line.sourceMac = sourceMac;
  return QueueLine(router, line, kClassClient, "KelCommandAclClientMake");
}

AclLineCapture::AclLineCapture(AclLineSink sink) : sink_(std::move(sink)), outer_(tCapture) {
  tCapture = this;
  tSink = &sink_;
}

AclLineCapture::~AclLineCapture() {
  tCapture = outer_;
  tSink = outer_ != nullptr ? &outer_->sink_ : nullptr;
}

bool AclLineCapture::Active() { return tCapture != nullptr; }

int AclEventSend(const AclEnvironment& env) {
  if (env.eventSend) return env.eventSend();
  if (env.httpClient == nullptr) return 0;
  return env.httpClient->EventSend();
}
