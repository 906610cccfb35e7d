#include "service/transport/http_client.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>
#include <utility>

#include "common/syslog.h"
#include "service/base/messages.h"
#include "service/base/send_gate.h"

namespace {

const CKelMessageThread::Texts kTexts = {
    "I failed in making of an event handler for start confirmation to use in CKelHttpClient.",
    "I failed in making of a critical section in CKelHttpClient.\n",
    "I failed in making of a message thread to use in CKelHttpClient.",
    "CKelHttpClient::~CKelHttpClient: An error occurred in PostThreadMessage.",
};

struct Quad {
  explicit Quad(uint32_t address) { std::memcpy(b, &address, 4); }
  uint8_t b[4];
};

}  // namespace

CKelHttpClient::CKelHttpClient(const HttpSenderTiming& timing, int senderCount, RouterTls tls)
    : CKelMessageThread(kTexts),
      timing_(timing),
      tls_(std::make_shared<const RouterTls>(std::move(tls))),
      senders_(static_cast<size_t>(std::clamp(senderCount, 1, kMaxHttpSenders)), nullptr) {
  StartMessageThread();
}

CKelHttpClient::~CKelHttpClient() { StopMessageThread(); }

void CKelHttpClient::OnStartup() {
  for (int number = 0; number < SenderCount(); ++number) {
    CKelHttpClientThread* sender = nullptr;
    try {
      sender = new CKelHttpClientThread(timing_, tls_);
      sender->SaveThreadID(platform::CurrentThreadId());
      if (sender->CreateHttpThread(number) != 0) {
        delete sender;
        Syslog(kLogCrit, "A CreateHttpThread function is an error.");
        continue;
      }
      std::lock_guard<std::mutex> hold(tableLock_);
      senders_[number] = sender;
    } catch (...) {
      delete sender;
      Syslog(kLogCrit, "I failed in making of CKelHttpClientThread.");
    }
  }
  if (!end_.ok() || !wake_.ok()) {
    Syslog(kLogCrit, "CKelHttpClient::OnCreate: I failed in making of an event handler.");
    return;
  }
  eventsMade_ = true;
  if (!eventThread_.Start([this] { EventProc(); })) {
    Syslog(kLogCrit, "CKelHttpClient::OnCreate: I failed in making of a thread.");
  }
}

void CKelHttpClient::OnMessage(const platform::Message& msg) {
  if (msg.message == Msg().httpClientSend) wake_.Set();
  // The senders' WM_THREAD_ERROR / WM_THREAD_EXIT and everything else need no action.
}

int CKelHttpClient::EventSend() {
  if (!eventsMade_) return 0;
  wake_.Set();
  return 1;
}

void CKelHttpClient::EventProc() {
  while (!ending_.load()) {
    int which = platform::WaitAny({&end_, &wake_}, timing_.pollMs);
    if (which == 1 || which == platform::kWaitTimeout) {
      DistributeHttpData();
    } else if (which == 0) {
      ending_.store(true);
    } else {
      ending_.store(true);
      if (!PostMessageMainThread(Msg().httpClientError, 0, 0)) {
        Syslog(kLogErr, "CKelHttpClient::EventProc: An error occurred in PostMessageMainThread.");
      }
    }
  }
  if (!PostMessageMainThread(Msg().httpClientExit, 0, 0)) {
    Syslog(kLogErr, "CKelHttpClient::EventProc: An error occurred in PostMessageMainThread.");
  }
}

void DistributeStore(CHttpDataList& store, const std::function<bool(CHttpData*)>& place,
                     const std::atomic<bool>& ending) {
  // The routers with a request left behind in this pass. Each is tried once per pass, which
  // also spares a pass over a store of tens of thousands of waiting requests (a site-wide
  // recovery with more routers than senders) a round of every sender's locks per request.
  std::unordered_set<uint32_t> held;
  CKelNode* next = nullptr;
  for (CKelNode* node = store.GetHead(1); node != nullptr && !ending.load(); node = next) {
    next = store.GetNext(node, 1);
    CHttpData* copy = nullptr;
    try {
      auto* stored = static_cast<CHttpData*>(node->data);
      if (stored->address == 0) {
        // No router can be reached at 0.0.0.0; keeping it would hold the store for ever.
        Syslog(kLogWarning,
               "I failed in setting of quarantine inspection information for PV(0.0.0.0:%d).",
               stored->port);
        store.Remove(node, 1);
        continue;
      }
      if (!sendgate::MaySend()) {
        // A follower plans like the leader but hands nothing to a sender: no connection to a
        // router is ever opened from here.
        store.Remove(node, 1);
        continue;
      }
      if (held.count(stored->address) != 0) continue;
      // The texts move to the sender's queue; they come back when no sender takes them.
      copy = new CHttpData(std::move(*stored));
      if (place(copy)) {
        store.Remove(node, 1);
      } else {
        *stored = std::move(*copy);
        delete copy;
        held.insert(stored->address);
      }
    } catch (...) {
      Syslog(kLogCrit,
             "Abnormality occurred at the time of HTTP transmission of a message setting.");
      // Whatever happened to this request, the router's later ones wait behind it.
      try {
        held.insert(static_cast<CHttpData*>(node->data)->address);
      } catch (...) {
        return;  // not even that: the rest waits for the next pass
      }
    }
  }
}

void CKelHttpClient::DistributeHttpData() {
  CHttpDataList& store = HttpDataStore();
  CKelListLock hold(store);
  DistributeStore(
      store, [this](CHttpData* request) { return HttpEventSearchHttpClient(request) >= 0; },
      ending_);
}

int CKelHttpClient::HttpEventSearchHttpClient(CHttpData* request) {
  std::lock_guard<std::mutex> hold(tableLock_);
  Quad q(request->address);
  try {
    for (int i = 0; i < SenderCount() && senders_[i] != nullptr && !ending_.load(); ++i) {
      if (senders_[i]->QueueIfBoundTo(request)) {
        Syslog(
            kLogDebug,
            "CKelHttpClient::HttpEventSearchHttpClient: I added HTTP data to queue of %d.%d.%d.%d.",
            q.b[0], q.b[1], q.b[2], q.b[3]);
        return 0;
      }
    }
    for (int i = 0; i < SenderCount() && senders_[i] != nullptr && !ending_.load(); ++i) {
      if (senders_[i]->BindAndQueue(request)) {
        Syslog(kLogDebug,
               "CKelHttpClient::HttpEventSearchHttpClient: I added HTTP data to new queue of "
               "%d.%d.%d.%d.",
               q.b[0], q.b[1], q.b[2], q.b[3]);
        return 0;
      }
    }
  } catch (...) {
    Syslog(kLogWarning, "I was not able to add HTTP data to a queue.");
  }
  return -1;
}

void CKelHttpClient::EraseHttpQueue(uint32_t address) {
  std::lock_guard<std::mutex> hold(tableLock_);
  for (int i = 0; i < SenderCount() && senders_[i] != nullptr && !ending_.load(); ++i) {
    uint16_t port = 0;
    if (senders_[i]->EraseIfBoundTo(address, &port)) {
      Quad q(address);
      Syslog(kLogDebug, "I erased an HTTP transmission of a message queue to PV(%d.%d.%d.%d:%d).",
             q.b[0], q.b[1], q.b[2], q.b[3], port);
      return;
    }
  }
}

std::vector<CKelHttpClient::SenderState> CKelHttpClient::Senders() {
  std::vector<SenderState> states;
  if (ending_.load()) return states;
  std::lock_guard<std::mutex> hold(tableLock_);
  for (int i = 0; i < SenderCount(); ++i) {
    if (senders_[i] == nullptr) continue;
    SenderState state;
    state.number = i;
    senders_[i]->Binding(&state.address, &state.port);
    state.queued = senders_[i]->QueuedCount();
    states.push_back(state);
  }
  return states;
}

void CKelHttpClient::OnQuit() {
  Syslog(kLogDebug, "I started end processing of an HTTP client.");
  ending_.store(true);
  CHttpDataList& store = HttpDataStore();
  store.Lock();
  store.RemoveAll(1);
  EndSenders();
  store.Unlock();
  if (eventsMade_) {
    end_.Set();
    eventThread_.Join();
  }
  Syslog(kLogDebug, "End processing of an HTTP client was finished.");
}

void CKelHttpClient::EndSenders() {
  try {
    for (int i = 0; i < SenderCount(); ++i) {
      std::lock_guard<std::mutex> hold(tableLock_);
      if (senders_[i] == nullptr) continue;
      senders_[i]->EndHttpThread();
      delete senders_[i];
      senders_[i] = nullptr;
    }
  } catch (...) {
    Syslog(kLogCrit, "I failed in the end of CKelHttpClient.");
  }
}
