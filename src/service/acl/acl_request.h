// The requests the access-list processing makes for one router and appends to the request
// store: one access-list line wrapped into one request, the two resets of a router's lists,
// and the wake-up of the HTTP client that follows a batch of them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "service/acl/acl_environment.h"
#include "service/acl/acl_line.h"
#include "service/registry/pv_data.h"
#include "service/transport/request_codes.h"

// Queues one "quarantine"-class request carrying a kel line for `router`. `action`: 1 accept,
// 2 drop (anything else is refused). 1 when queued, 0 otherwise (the reason is logged).
int KelCommandKelMake(const CPvData& router, LineOpcode opcode, const std::string& name, int action,
                      const std::string& in, const std::string& out, const std::string& source,
                      const std::string& destination, const std::string& sourceMac);

// Queues one "client"-class request carrying a pc line for `router`. 1 when queued, else 0.
int KelCommandAclClientMake(const CPvData& router, LineOpcode opcode, const std::string& name,
                            uint32_t action, const std::string& in, const std::string& out,
                            const std::string& sourceMac, const std::string& source,
                            const std::string& destination, const std::string& protocol,
                            const std::string& sport, const std::string& dport);

// Queues one "set" request of class `lineClass` carrying the finished line `text` for
// `router`; `who` names the caller in the failure lines. 1 when queued, else 0.
int QueueAclText(const CPvData& router, LineClass lineClass, const std::string& text,
                 const char* who);

// Queues the client reset, then the quarantine reset for `router`, then wakes the HTTP client.
void KeepAliveResetProcess(const AclEnvironment& env, const CPvData& router);

// Wakes the HTTP client so that it distributes the store now. Nonzero on success; 0 when the
// client is absent (it failed to start) or could not be woken. Inside an AclWakeBatch the wake
// may be held back (and 1 answered) until the batch ends.
int AclEventSend(const AclEnvironment& env);

// A planning run queues its requests one at a time and wakes the HTTP client after each
// router's few lines, and every wake starts a pass of the client over the whole store under
// the store's lock. During a site-wide reload (a thousand routers back at once, tens of
// thousands of requests stored) that made the run quadratic in the store's size: the planner
// waited on every append for a pass that a wake of its own had started. While a batch is alive
// on this thread, AclEventSend wakes the client at most once every kWakeIntervalMs and the
// batch's end gives the wake it held back. The requests and their order are the same; the
// first wake goes out at once, the later ones a little after kWakeIntervalMs. Batches nest: only
// the outermost one holds wakes back.
class AclWakeBatch {
 public:
  static constexpr int kWakeIntervalMs = 20;

  explicit AclWakeBatch(const AclEnvironment& env);
  ~AclWakeBatch();
  AclWakeBatch(const AclWakeBatch&) = delete;
  AclWakeBatch& operator=(const AclWakeBatch&) = delete;

  // Called by AclEventSend on the batch's thread: true when the wake is to go out now.
  bool WakeNow();

 private:
  const AclEnvironment& env_;
  bool outermost_;
  bool heldBack_ = false;
  int64_t lastWakeMs_ = -1;  // steady clock; -1 before the first
  uint32_t calls_ = 0;
};

// Where the lines made on this thread go while an AclLineCapture is alive: to its sink, in the
// order they are made, in place of the request store. Nothing is queued, nothing is logged at
// info, no mark changes: what a walk would send, without sending it.
using AclLineSink =
    std::function<void(const CPvData& router, LineClass lineClass, const std::string&)>;

class AclLineCapture {
 public:
  explicit AclLineCapture(AclLineSink sink);
  ~AclLineCapture();
  AclLineCapture(const AclLineCapture&) = delete;
  AclLineCapture& operator=(const AclLineCapture&) = delete;

  // True while a capture is alive on the calling thread.
  static bool Active();

 private:
  AclLineSink sink_;
  AclLineCapture* outer_;
};
