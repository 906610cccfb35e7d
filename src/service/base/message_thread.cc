#include "service/base/message_thread.h"

#include "common/syslog.h"
#include "platform/clock.h"

CKelMessageThread::CKelMessageThread(const Texts& texts, int settle_ms)
    : texts_(texts), settle_ms_(settle_ms) {}

CKelMessageThread::~CKelMessageThread() { StopMessageThread(); }

void CKelMessageThread::StartMessageThread() {
  if (!started_.ok()) throw texts_.event;
  if (!thread_.Start([this] { MsgProc(); })) throw texts_.thread;
  platform::WaitOne(started_, platform::kInfinite);
  if (settle_ms_ > 0) platform::SleepMs(settle_ms_);
}

bool CKelMessageThread::StopMessageThread() {
  if (!thread_.started() || stopped_) return true;
  stopped_ = true;
  bool posted = platform::PostThreadMessage(thread_.id(), platform::WM_QUIT, 0, 0);
  // A thread keeps its queue until its body returns, so a refused quit means the loop has
  // ended already (a stop request quits it first): that is no failure. A loop that still
  // runs a second later never got the quit.
  bool failed = !posted && !thread_.JoinFor(1000);
  if (failed && texts_.quitPost != nullptr) Syslog(kLogErr, "%s", texts_.quitPost);
  thread_.Join();
  return !failed;
}

void CKelMessageThread::SaveThreadID(platform::ThreadId id) {
  std::lock_guard<std::mutex> hold(cs_);
  saved_thread_id_ = id;
}

platform::ThreadId CKelMessageThread::LoadThreadID() {
  std::lock_guard<std::mutex> hold(cs_);
  return saved_thread_id_;
}

bool CKelMessageThread::PostMessageMainThread(uint32_t message, uint32_t wParam, uint32_t lParam) {
  platform::ThreadId target = LoadThreadID();
  if (target == 0) return false;
  return platform::PostThreadMessage(target, message, wParam, lParam);
}

void CKelMessageThread::MsgProc() {
  OnStartup();
  started_.Set();
  platform::Message msg;
  while (platform::GetMessage(&msg)) {
    if (msg.message == platform::WM_TIMER) continue;
    OnMessage(msg);
  }
  OnQuit();
}
