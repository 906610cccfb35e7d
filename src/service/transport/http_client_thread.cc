#include "service/transport/http_client_thread.h"

#include <cstring>

#include "common/syslog.h"
#include "platform/clock.h"
#include "platform/message_queue.h"
#include "service/base/messages.h"
#include "service/base/send_gate.h"
#include "service/transport/delivery_stats.h"
#include "service/transport/http_connection.h"
#include "service/transport/http_settings.h"

namespace {

constexpr int kReconnect = 1;  // answer taken, but the connection cannot carry the next one
constexpr int kFenced = 2;     // this instance may not send (cluster mode, not the leader)

struct Quad {
  explicit Quad(uint32_t address) { std::memcpy(b, &address, 4); }
  uint8_t b[4];
};

}  // namespace

CKelHttpClientThread::CKelHttpClientThread(const HttpSenderTiming& timing,
                                           std::shared_ptr<const RouterTls> tls)
    : timing_(timing), tls_(std::move(tls)) {
  queue_.RemoveAll();
  if (!wake_.ok() || !end_.ok() || !unbound_.ok()) {
    throw "I failed in making of an event handler for start confirmation to use in "
          "CKelHttpClientThread.";
  }
}

CKelHttpClientThread::~CKelHttpClientThread() { EndHttpThread(); }

int CKelHttpClientThread::CreateHttpThread(int number) {
  number_ = number;
  if (!thread_.Start([this] { HttpProc(); })) return -1;
  running_ = true;
  return 0;
}

void CKelHttpClientThread::EndHttpThread() {
  Bound bound = LoadBound();
  Quad q(bound.address);
  Syslog(kLogDebug, "I delete a queue of an HTTP client thread. No %d. PV(%d.%d.%d.%d:%d).",
         number_, q.b[0], q.b[1], q.b[2], q.b[3], bound.port);
  stop_.store(true);
  {
    std::lock_guard<std::mutex> hold(bindingLock_);
    address_ = 0;
    port_ = 0;
    retry_ = 0;
  }
  {
    CKelListLock hold(queue_);
    if (!queue_.IsEmpty(1)) queue_.RemoveAll(1);
  }
  Syslog(kLogDebug, "I started end processing of an HTTP client thread.");
  if (running_) {
    end_.Set();
    while (!thread_.JoinFor(timing_.endWaitMs)) {
      Syslog(kLogDebug, "I timeout end processing of an HTTP client thread.");
      end_.Set();
    }
    running_ = false;
  }
  Syslog(kLogDebug, "End processing of an HTTP client thread was finished.");
}

void CKelHttpClientThread::SaveThreadID(platform::ThreadId id) {
  std::lock_guard<std::mutex> hold(threadIdLock_);
  ownerThreadId_ = id;
}

platform::ThreadId CKelHttpClientThread::LoadThreadID() {
  std::lock_guard<std::mutex> hold(threadIdLock_);
  return ownerThreadId_;
}

bool CKelHttpClientThread::PostMessageMainThread(uint32_t message, uint32_t wParam,
                                                 uint32_t lParam) {
  platform::ThreadId owner = LoadThreadID();
  return owner != 0 && platform::PostThreadMessage(owner, message, wParam, lParam);
}

// A queue that already holds requests needs no wake-up: its sender is still bound, so it has
// not yet found the queue empty (ReleaseIfEmpty looks under the same lock) and will take this
// request before it waits again. A router's reload queues thousands at once; one wake-up each
// would be a system call each.
bool CKelHttpClientThread::QueueIfBoundTo(CHttpData* request) {
  std::lock_guard<std::mutex> hold(bindingLock_);
  if (address_ == 0 || address_ != request->address) return false;
  const bool wasEmpty = queue_.IsEmpty();
  queue_.AddTail(request);
  if (wasEmpty) wake_.Set();
  return true;
}

bool CKelHttpClientThread::BindAndQueue(CHttpData* request) {
  std::lock_guard<std::mutex> hold(bindingLock_);
  if (address_ != 0 || request->address == 0) return false;
  queue_.AddTail(request);
  address_ = request->address;
  port_ = request->port;
  retry_ = 0;
  ++binding_;
  wake_.Set();
  return true;
}

bool CKelHttpClientThread::EraseIfBoundTo(uint32_t address, uint16_t* port) {
  std::lock_guard<std::mutex> hold(bindingLock_);
  if (address_ == 0 || address_ != address) return false;
  queue_.RemoveAll();
  *port = port_;
  address_ = 0;
  port_ = 0;
  retry_ = 0;
  ++binding_;
  unbound_.Set();  // a retry pause for this router ends at once
  return true;
}

void CKelHttpClientThread::Binding(uint32_t* address, uint16_t* port) {
  Bound bound = LoadBound();
  *address = bound.address;
  *port = bound.port;
}

CKelHttpClientThread::Bound CKelHttpClientThread::LoadBound() {
  std::lock_guard<std::mutex> hold(bindingLock_);
  return Bound{address_, port_, retry_, binding_};
}

void CKelHttpClientThread::SetRetry(int32_t retry) {
  std::lock_guard<std::mutex> hold(bindingLock_);
  retry_ = retry;
}

// The emptiness test and the release share the binding lock, so the dispatcher cannot queue a
// request in between and leave it on a free sender.
bool CKelHttpClientThread::ReleaseIfEmpty() {
  std::lock_guard<std::mutex> hold(bindingLock_);
  if (!queue_.IsEmpty()) return false;
  address_ = 0;
  port_ = 0;
  retry_ = 0;
  ++binding_;
  return true;
}

// Ends early when the sender is told to end, or when an erase frees it from `bound`'s binding
// (even when the same router binds it again at once): the pause belonged to a queue that is
// gone.
void CKelHttpClientThread::Pause(int ms, const Bound& bound) {
  const uint64_t start = platform::MonotonicMs();
  for (;;) {
    if (LoadBound().binding != bound.binding) return;
    uint64_t spent = platform::MonotonicMs() - start;
    if (spent >= static_cast<uint64_t>(ms)) return;
    int which = platform::WaitAny({&end_, &unbound_}, ms - static_cast<int>(spent));
    if (which == 0) {
      stop_.store(true);
      return;
    }
    if (which != 1) return;  // the time is up (or the wait failed)
    // An erase signalled: it ends the pause only when it freed this binding (checked above).
  }
}

void CKelHttpClientThread::HttpProc() {
  if (!platform::SetCurrentThreadPriority(platform::ThreadPriority::kLowest)) {
    Syslog(kLogWarning,
           "CKelHttpClientThread::CreateHttpThread: I failed in setting of thread priority.");
  }
  while (!stop_.load()) {
    int which = platform::WaitAny({&wake_, &end_}, timing_.pollMs);
    if (which == 0 || which == platform::kWaitTimeout) {
      HttpSend();
    } else if (which == 1) {
      break;
    } else {
      if (!PostMessageMainThread(Msg().httpThreadError, 0, 0)) {
        Syslog(kLogErr,
               "CKelHttpClientThread::HttpProc: An error occurred in PostMessageMainThread.");
      }
      break;
    }
  }
  if (!PostMessageMainThread(Msg().httpThreadExit, static_cast<uint32_t>(number_), 0)) {
    Syslog(kLogErr, "CKelHttpClientThread::HttpProc: An error occurred in PostMessageMainThread.");
  }
}

void CKelHttpClientThread::HttpSend() {
  while (!stop_.load()) {
    try {
      (void)queue_.GetCount();
    } catch (...) {
      Syslog(kLogCrit, "Abnormality occurred in HttpSend.");
      return;
    }
    if (ReleaseIfEmpty()) return;
    Bound bound = LoadBound();
    Quad q(bound.address);
    if (!sendgate::MaySend()) {
      DropFenced(bound);
      continue;
    }
    int result = HttpClient(bound);
    if (result == kFenced) {
      DropFenced(bound);
      continue;
    }
    if (result == 0) {
      Syslog(kLogInfo, "ACL setting was completed in PV(%d.%d.%d.%d:%d).", q.b[0], q.b[1], q.b[2],
             q.b[3], bound.port);
      SetRetry(0);
      continue;
    }
    Bound now = LoadBound();
    // Erased, rebound (to this router or another) or told to end: no pause, start over.
    if (stop_.load() || now.address == 0 || now.binding != bound.binding) continue;
    TransportStats().AttemptFailed(bound.address, bound.port);
    Syslog(kLogDebug,
           "The remainder re-try number of times for ACL setting for PV(%d.%d.%d.%d:%d) is a %d "
           "time.",
           q.b[0], q.b[1], q.b[2], q.b[3], now.port, 3 - now.retry);
    if (now.retry < 3) {
      SetRetry(now.retry + 1);
      Pause(timing_.retryPauseMs[now.retry < 0 ? 0 : now.retry], now);
    } else {
      DropHead(now);
      SetRetry(0);
      if (!queue_.IsEmpty()) Pause(timing_.dropPauseMs, now);
    }
  }
}

// Not the leader (or no longer): what waits here is dropped without a failure being reported,
// since no router should have it from this instance; the leader that follows reloads every
// router anyway.
void CKelHttpClientThread::DropFenced(const Bound& bound) {
  int32_t dropped = 0;
  {
    CKelListLock hold(queue_);
    dropped = queue_.GetCount(1);
    if (dropped > 0) queue_.RemoveAll(1);
  }
  SetRetry(0);
  Quad q(bound.address);
  Syslog(kLogDebug, "Not the leader: %d requests for PV(%d.%d.%d.%d:%d) were dropped.", dropped,
         q.b[0], q.b[1], q.b[2], q.b[3], bound.port);
}

void CKelHttpClientThread::DropHead(const Bound& bound) {
  CKelNode* node = queue_.DetachHead();
  if (node == nullptr) return;
  delete node;
  TransportStats().Dropped(bound.address, bound.port);
  Quad q(bound.address);
  Syslog(kLogWarning,
         "I failed in setting of quarantine inspection information for PV(%d.%d.%d.%d:%d).", q.b[0],
         q.b[1], q.b[2], q.b[3], bound.port);
  ReportDeliveryFailure(bound.address, bound.port, true);
}

int CKelHttpClientThread::HttpClient(const Bound& bound) {
  if (bound.address == 0) return -1;
  CHttpConnection connection(&end_, &stop_, timing_.receiveBudgetMs);
  connection.UseTls(tls_.get());
  for (;;) {
    if (!sendgate::MaySend()) return kFenced;
    if (!connection.Open(bound.address, bound.port, timing_.connectTimeoutMs)) {
      if (stop_.load()) return -1;
      Quad q(bound.address);
      Syslog(kLogDebug, "Connection error to PV(%d.%d.%d.%d:%d).", q.b[0], q.b[1], q.b[2], q.b[3],
             bound.port);
      PostMessageMainThread(Msg().httpThreadError, static_cast<uint32_t>(number_), 0);
      return -1;
    }
    int result = Exchange(connection, bound);
    if (result == -1 || result == kFenced) {
      connection.Close();  // a failure: nothing it still holds may reach the router later
    } else {
      connection.CloseGracefully();
    }
    if (result != kReconnect) return result;
  }
}

// Delivers queued requests one at a time on `connection`: 0 when the queue ran empty, -1 on a
// failure (the request stays at the head), kReconnect when the router ended the connection.
int CKelHttpClientThread::Exchange(CHttpConnection& connection, const Bound& bound) {
  CHttpData request;  // one copy reused, so its texts keep their buffers from one to the next
  bool answered = false;
  while (!stop_.load()) {
    {
      CKelListLock hold(queue_);  // never held across the network I/O below
      CKelNode* head = queue_.GetHead(1);
      if (head == nullptr) return 0;
      request = *static_cast<CHttpData*>(head->data);
    }
    if (request.address != bound.address) return -1;  // erased and rebound meanwhile
    // Header and body leave in one write, so a short request is one segment for the router.
    // The last look before bytes leave: a leader whose lease ran out sends nothing more.
    if (!sendgate::MaySend()) return kFenced;
    const std::string* header = &request.header;
    std::string termed;
    if (int64_t term = sendgate::Term(); term != 0) {
      termed = HeaderWithTerm(request.header, term);
      header = &termed;
    }
    bool headerSent = false;
    bool sent = connection.Send(*header, request.body, &headerSent);
    if (!headerSent) {
      Syslog(kLogDebug,
             "An error occurred at the time of the HTTP header transmission of a message.");
      return -1;
    }
    Syslog(kLogDebug, "HTTP header is %s", header->c_str());
    if (!sent) {
      Syslog(kLogDebug,
             "An error occurred at the time of the HTTP body transmission of a message.");
      return -1;
    }
    Syslog(kLogDebug, "HTTP body is %s", request.body.c_str());
    HttpAnswer answer;
    if (connection.ReadAnswer(&answer) != 0) return -1;
    Judge(bound, answer);
    {
      CKelListLock hold(queue_);
      if (CHttpData* sent = queue_.FindHttpData(request, 1)) queue_.RemoveData(sent, 1);
    }
    // The count of attempts starts again with the first answer; a failure leaves this loop.
    if (!answered) SetRetry(0);
    answered = true;
    if (!answer.reusable) return queue_.IsEmpty() ? 0 : kReconnect;
  }
  return -1;
}

// Any answer counts as delivered; error words from the router are logged, never retried.
void CKelHttpClientThread::Judge(const Bound& bound, const HttpAnswer& answer) {
  Quad q(bound.address);
  const std::string& body = answer.body;
  const int status = static_cast<int>(answer.status);
  std::string result;
  if (status != 200) {
    Syslog(kLogWarning, "Response cord from PV(%d.%d.%d.%d:%d) is %d.", q.b[0], q.b[1], q.b[2],
           q.b[3], bound.port, status);
    result = "status " + std::to_string(status);
  } else if (body.compare(0, 2, "ok") == 0) {
    Syslog(kLogDebug, "Response cord from PV(%d.%d.%d.%d:%d) is OK.", q.b[0], q.b[1], q.b[2],
           q.b[3], bound.port);
    result = "ok";
  } else if (body.compare(0, 7, "no list") == 0) {
    Syslog(kLogWarning, "Response cord from PV(%d.%d.%d.%d:%d) is no list.", q.b[0], q.b[1], q.b[2],
           q.b[3], bound.port);
    result = "no list";
  } else {
    Syslog(kLogWarning, "Response cord from PV(%d.%d.%d.%d:%d) is %s.", q.b[0], q.b[1], q.b[2],
           q.b[3], bound.port, body.c_str());
    result = body.substr(0, 64);
  }
  TransportStats().Delivered(bound.address, bound.port, status, result);
  if (result != "ok") ReportDeliveryFailure(bound.address, bound.port, false);
}
