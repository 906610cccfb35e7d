#include "service/acl/acl_request.h"

#include <chrono>
#include <new>
#include <utility>

#include "common/syslog.h"
#include "service/acl/acl_line.h"
#include "service/transport/http_client.h"
#include "service/transport/http_data.h"

namespace {

thread_local AclLineCapture* tCapture = nullptr;
thread_local const AclLineSink* tSink = nullptr;
thread_local AclWakeBatch* tWakeBatch = nullptr;

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int WakeHttpClient(const AclEnvironment& env) {
  if (env.eventSend) return env.eventSend();
  if (env.httpClient == nullptr) return 0;
  return env.httpClient->EventSend();
}

// Builds the line, wraps it into a request for `router` and appends it to the store. `who`
// names the caller in the log lines.
int QueueLine(const CPvData& router, AclLine& line, LineClass lineClass, const char* who) {
  if (line.MakeAcl() != 0) {
    Syslog(kLogErr, "%s: I failed in making of ACL.", who);
    return 0;
  }
  if (tSink != nullptr) {
    (*tSink)(router, lineClass, line.text);
    return 1;
  }
  return QueueAclText(router, lineClass, line.text, who);
}

// One reset request of class `lineClass`. false when the operation must end here.
bool QueueReset(const CPvData& router, LineClass lineClass) {
  CHttpData* request = new (std::nothrow) CHttpData();
  if (request == nullptr) {
    Syslog(kLogCrit, "I failed in making of CHttpData.");
    return true;
  }
  request->SetAddressBytes(router.address.data());
  request->port = router.port;
  CHttpDataList& store = HttpDataStore();
  if (store.MakeHttpData(request, router.user, router.password, 1, lineClass, RequestOpcode::kReset,
                         0, nullptr, router.addressText) == 0) {
    delete request;
    Syslog(kLogErr, "KeepAliveResetProcess: I failed in making of HTTP data.");
    return false;
  }
  try {
    store.AddTail(request);
  } catch (...) {
    delete request;
    Syslog(kLogErr, "KeepAliveResetProcess: I failed in save of HTTP data.");
    return false;
  }
  return true;
}

}  // namespace

int QueueAclText(const CPvData& router, LineClass lineClass, const std::string& text,
                 const char* who) {
  CHttpData* request = new (std::nothrow) CHttpData();
  if (request == nullptr) {
    Syslog(kLogCrit, "I failed in making of CHttpData.");
    return 0;
  }
  request->SetAddressBytes(router.address.data());
  request->port = router.port;
  CHttpDataList& store = HttpDataStore();
  if (store.MakeHttpData(request, router.user, router.password, 1, lineClass, RequestOpcode::kSet,
                         1, text.c_str(), router.addressText) == 0) {
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

int KelCommandKelMake(const CPvData& router, LineOpcode opcode, const std::string& name, int action,
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
  return QueueLine(router, line, LineClass::kQuarantine, "KelCommandKelMake");
}

int KelCommandAclClientMake(const CPvData& router, LineOpcode opcode, const std::string& name,
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
  return QueueLine(router, line, LineClass::kClient, "KelCommandAclClientMake");
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

void KeepAliveResetProcess(const AclEnvironment& env, const CPvData& router) {
  if (!QueueReset(router, LineClass::kClient)) return;
  if (!QueueReset(router, LineClass::kQuarantine)) return;
  if (AclEventSend(env) == 0) {
    Syslog(kLogErr, "KeepAliveResetProcess: An error occurred in EventSend.");
  }
}

int AclEventSend(const AclEnvironment& env) {
  if (tWakeBatch != nullptr && !tWakeBatch->WakeNow()) return 1;
  return WakeHttpClient(env);
}

AclWakeBatch::AclWakeBatch(const AclEnvironment& env)
    : env_(env), outermost_(tWakeBatch == nullptr) {
  if (outermost_) tWakeBatch = this;
}

AclWakeBatch::~AclWakeBatch() {
  if (!outermost_) return;
  tWakeBatch = nullptr;
  if (heldBack_ && WakeHttpClient(env_) == 0) {
    Syslog(kLogErr, "AclWakeBatch: An error occurred in EventSend.");
  }
}

bool AclWakeBatch::WakeNow() {
  // A reload walk asks after every PC and server (hundreds of thousands of times at a large
  // site): the clock is read only every 256th time once a wake went out.
  if (lastWakeMs_ >= 0 && (++calls_ & 255) != 0) {
    heldBack_ = true;
    return false;
  }
  int64_t now = SteadyMs();
  if (lastWakeMs_ >= 0 && now - lastWakeMs_ < kWakeIntervalMs) {
    heldBack_ = true;
    return false;
  }
  lastWakeMs_ = now;
  heldBack_ = false;
  return true;
}
