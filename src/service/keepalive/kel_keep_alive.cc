#include "service/keepalive/kel_keep_alive.h"

#include <memory>
#include <vector>

#include "common/syslog.h"
#include "platform/clock.h"
#include "service/base/messages.h"
#include "service/registry/pv_data.h"

namespace {

const CKelMessageThread::Texts kTexts = {
    "I failed in making of an event handler for start confirmation to use in CKelKeepAlive.",
    "I failed in making of a critical section in CKelKeepAlive.\n",
    "I failed in making of a message thread to use in CKelKeepAlive.",
    "CKelKeepAlive::~CKelKeepAlive: An error occurred in PostThreadMessage.",
};

}  // namespace

CKelKeepAlive::CKelKeepAlive(const KeepAliveTiming& timing)
    : CKelMessageThread(kTexts), timing_(timing) {
  if (!end_.ok()) throw kTexts.event;
  StartMessageThread();
}

CKelKeepAlive::~CKelKeepAlive() {
  if (timer_.started()) {
    end_.Set();
    timer_.Join();
  }
  StopMessageThread();
  EndProbers();
}

int CKelKeepAlive::Start() {
  if (timer_.started()) return -1;
  return timer_.Start([this] { TimerProc(); }) ? 0 : -1;
}

void CKelKeepAlive::OnStartup() {
  std::lock_guard<std::mutex> hold(table_cs_);
  for (int number = 0; number < kProberCount; ++number) {
    CKelKeepAliveThread* prober = nullptr;
    try {
      prober = new CKelKeepAliveThread(timing_);
    } catch (const char* text) {
      Syslog(kLogCrit, "%s", text);
      continue;
    } catch (...) {
      Syslog(kLogCrit, "I failed in making of a CKelKeepAliveThread thread.");
      continue;
    }
    prober->SaveThreadID(platform::CurrentThreadId());
    if (prober->Start(number) != 0) {
      Syslog(kLogWarning, "I failed in making of a CKelKeepAliveThread thread.");
    }
    probers_[number] = prober;  // kept even when it did not start
  }
}

void CKelKeepAlive::OnMessage(const platform::Message& msg) {
  const KelMessages& m = Msg();
  if (msg.message == m.keepAliveStart || msg.message == m.keepAliveStop) {
    if (!PostMessageMainThread(msg.message, msg.wParam, 0)) {
      Syslog(kLogErr, "CKelKeepAlive::MsgProc: An error occurred in PostMessageMainThread.");
    }
  } else if (msg.message == m.kaThreadExit) {
    Syslog(kLogDebug, "A KelKeepAliveThread thread was finished.");
  } else if (msg.message == m.keepAliveExit) {
    Syslog(kLogDebug, "A KelKeepAlive thread was finished.");
  }
}

void CKelKeepAlive::OnQuit() { EndProbers(); }

// All are told first, so that their last waits run side by side: ending takes one reply wait,
// not five.
void CKelKeepAlive::EndProbers() {
  std::lock_guard<std::mutex> hold(table_cs_);
  for (CKelKeepAliveThread* prober : probers_) {
    if (prober != nullptr) prober->AskToEnd();
  }
  for (CKelKeepAliveThread*& prober : probers_) {
    if (prober == nullptr) continue;
    prober->End();
    delete prober;
    prober = nullptr;
  }
}

void CKelKeepAlive::TimerProc() {
  bool failed = false;
  for (;;) {
    platform::Waitable* handles[] = {&end_};
    int which = platform::WaitAny(handles, 1, timing_.scanPeriodMs);
    if (which == platform::kWaitTimeout) {
      Scan();
      continue;
    }
    failed = which != 0;
    break;
  }
  const KelMessages& m = Msg();
  if (failed && !PostMessageMainThread(m.keepAliveError, 0, 0)) {
    Syslog(kLogErr, "CKelKeepAlive::TimerProc: An error occurred in PostMessageMainThread.");
  }
  if (!PostMessageMainThread(m.keepAliveExit, 0, 0)) {
    Syslog(kLogErr, "CKelKeepAlive::TimerProc: An error occurred in PostMessageMainThread.");
  }
}

// The walk holds the registry's lock only to pick out the routers that are due, without copying
// the registry: with a thousand routers a full snapshot every 100 ms would cost more than the
// whole scan may. Each due router is then scheduled against its live record.
void CKelKeepAlive::Scan() {
  int64_t now = platform::NowSeconds();
  std::vector<DueRouter> due;
  try {
    CPvList& registry = PvList();
    CKelListLock hold(registry);
    for (CKelNode* node = registry.GetHead(1); node != nullptr;) {
      const CPvData* router = static_cast<const CPvData*>(node->data);
      node = registry.GetNext(node, 1);
      if (router->pendingDelete != 0 || router->probeOutstanding != 0) continue;
      if (now < router->lastProbe + router->interval) continue;  // not due yet
      due.push_back({router->address, router->portText, router->port});
    }
  } catch (...) {
    Syslog(kLogErr, "I failed in a list search of CPvData.");
    return;
  }
  for (const DueRouter& router : due) ScheduleStep(router, now);
}

// Lock order: the prober table, then the router registry, then the chosen prober's queue.
void CKelKeepAlive::ScheduleStep(const DueRouter& router, int64_t now) {
  std::lock_guard<std::mutex> table(table_cs_);
  CKelKeepAliveThread* prober = LeastLoaded();
  if (prober == nullptr) return;  // the probers are being ended
  try {
    auto request = std::make_unique<CKeepAliveData>();
    CPvData key;
    key.address = router.address;
    key.portText = router.portText;
    key.port = router.port;
    CPvList& registry = PvList();
    CKelListLock hold(registry);
    CPvData* live = registry.FindActive(key, 1);
    if (live == nullptr || live->probeOutstanding != 0) return;  // deleted or taken meanwhile
    live->probeOutstanding = 1;
    request->address = live->address;
    if (prober->Queue(request.get()) == 0) {
      request.release();
    } else {
      live->probeOutstanding = 0;
    }
    live->lastProbe = now;
  } catch (...) {
    Syslog(kLogCrit, "I failed in making of CKeepAliveData.");
  }
}

CKelKeepAliveThread* CKelKeepAlive::LeastLoaded() {
  CKelKeepAliveThread* best = nullptr;
  int32_t best_load = 0;
  for (CKelKeepAliveThread* prober : probers_) {
    if (prober == nullptr) continue;
    int32_t load = prober->Load();
    if (best == nullptr || load < best_load) {
      best = prober;
      best_load = load;
    }
  }
  return best;
}
