#include "service/keepalive/kel_keep_alive_thread.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "common/syslog.h"
#include "platform/clock.h"
#include "platform/message_queue.h"
#include "platform/profile.h"
#include "service/base/messages.h"
#include "service/keepalive/icmplib/icmp_api.h"
#include "service/keepalive/ping.h"
#include "service/keepalive/probe_session.h"
#include "service/keepalive/probe_stats.h"
#include "service/registry/pv_data.h"

namespace {

constexpr size_t kModeBufferSize = 256;
constexpr int kWake = 0;
constexpr int kEnd = 1;

}  // namespace

CKelKeepAliveThread::CKelKeepAliveThread(const KeepAliveTiming& timing) : timing_(timing) {
  if (!wake_.ok() || !end_.ok()) {
    throw "I failed in making of an event handler for start confirmation to use in "
          "CKelKeepAliveThread.";
  }
}

CKelKeepAliveThread::~CKelKeepAliveThread() { End(); }

void CKelKeepAliveThread::SaveThreadID(platform::ThreadId id) {
  std::lock_guard<std::mutex> hold(cs_);
  owner_ = id;
}

platform::ThreadId CKelKeepAliveThread::LoadThreadID() {
  std::lock_guard<std::mutex> hold(cs_);
  return owner_;
}

bool CKelKeepAliveThread::PostMessageMainThread(uint32_t message, uint32_t wParam,
                                                uint32_t lParam) {
  platform::ThreadId owner = LoadThreadID();
  if (owner == 0) return false;
  return platform::PostThreadMessage(owner, message, wParam, lParam);
}

int CKelKeepAliveThread::Start(int32_t number) {
  if (thread_.started()) return -1;
  std::string mode =
      platform::ReadProfileString("VoKelMng.ini", "PING", "MODE", "raw", kModeBufferSize);
  mode_ = mode == "dll" ? kModeDll : kModeRaw;
  number_ = number;
  ending_ = false;
  if (!thread_.Start([this] { KeepAliveProc(); })) return -1;
  return 0;
}

int CKelKeepAliveThread::Queue(CKeepAliveData* request) {
  try {
    queue_.AddTail(request);
  } catch (...) {
    return -1;
  }
  wake_.Set();
  return 0;
}

int32_t CKelKeepAliveThread::Load() { return queue_.GetCount() + inFlight_.load(); }

void CKelKeepAliveThread::AskToEnd() {
  if (!thread_.started()) return;
  ending_ = true;
  end_.Set();
}

void CKelKeepAliveThread::End() {
  if (!thread_.started()) return;
  AskToEnd();
  thread_.Join();
}

void CKelKeepAliveThread::KeepAliveProc() {
  if (!platform::SetCurrentThreadPriority(platform::ThreadPriority::kBelowNormal)) {
    Syslog(kLogWarning, "CKelKeepAliveThread: I failed in setting of thread priority.");
  }
  bool failed = false;
  for (;;) {
    int which = platform::WaitAny({&wake_, &end_}, timing_.proberPollMs);
    if (which == platform::kWaitTimeout || which == kWake) {
      KeepAliveSend();
      continue;
    }
    failed = which != kEnd;
    break;
  }
  const KelMessages& m = Msg();
  if (failed && !PostMessageMainThread(m.kaThreadError, 0, 0)) {
    Syslog(kLogErr,
           "CKelKeepAliveThread::KeepAliveProc: An error occurred in PostMessageMainThread.");
  }
  if (!PostMessageMainThread(m.kaThreadExit, static_cast<uint32_t>(number_), 0)) {
    Syslog(kLogErr,
           "CKelKeepAliveThread::KeepAliveProc: An error occurred in PostMessageMainThread.");
  }
}

// One session on one socket or handle, from the first request taken until nothing is in flight
// and the queue is empty. The queue's lock is held only while a request is detached, so the
// scheduler can queue while probes are in flight; answers are read after every send, so that
// the socket's receive buffer never has to hold a whole round. Once the prober is told to end it
// sends nothing more and only sees the probes in flight to the end of their waits.
void CKelKeepAliveThread::KeepAliveSend() {
  if (ending_ || queue_.GetCount() == 0) return;
  std::unique_ptr<ProbeWay> way =
      mode_ == kModeDll
          ? OpenLibraryProbeWay(kIcmpLibraryName)
          : OpenRawProbeWay(static_cast<uint16_t>(platform::KernelThreadId() & 0xFFFF),
                            timing_.replyWaitMs);
  if (!way) {
    PingOneAtATime();
    return;
  }
  ProbeSession session(*way, timing_.replyWaitMs, kMostProbesInFlight,
                       [this](uint32_t address, bool answered) { Report(address, answered); });
  auto note = [&] { inFlight_ = static_cast<int32_t>(session.InFlight()); };
  for (;;) {
    while (!ending_ && !session.Full()) {
      std::unique_ptr<CKelNode> node(queue_.DetachHead());
      if (!node) break;
      const CKeepAliveData* request = static_cast<const CKeepAliveData*>(node->data);
      if (request == nullptr) continue;
      inFlight_ = static_cast<int32_t>(session.InFlight()) + 1;
      session.Send(request->AddressValue());
      session.Collect();
      note();
    }
    session.Collect();
    note();
    if (session.InFlight() == 0) {
      if (ending_ || queue_.GetCount() == 0) return;
      continue;
    }
    int wait = session.NextWaitEndsInMs();
    if (wait == 0) continue;
    int which;
    if (ending_) {
      which = platform::WaitAny({&way->Readable()}, wait);
    } else {
      which = platform::WaitAny({&wake_, &end_, &way->Readable()}, wait);
      if (which == kEnd) end_.Set();  // KeepAliveProc ends on it once the session is over
    }
    if (which == platform::kWaitFailed) {
      platform::SleepMs(static_cast<uint32_t>(std::min(wait, timing_.proberPollMs)));
    }
  }
}

// The way before many probes could be in flight: each request pinged and judged before the next.
void CKelKeepAliveThread::PingOneAtATime() {
  while (!ending_) {
    std::unique_ptr<CKelNode> node(queue_.DetachHead());
    if (!node) return;
    const CKeepAliveData* request = static_cast<const CKeepAliveData*>(node->data);
    if (request == nullptr) continue;
    uint32_t address = request->AddressValue();
    inFlight_ = 1;
    Report(address, Ping(address) == 0);
    inFlight_ = 0;
  }
}

int CKelKeepAliveThread::Ping(uint32_t address) const {
  if (mode_ == kModeDll) return PingDll(address, kIcmpLibraryName, timing_.replyWaitMs);
  return PingRaw(address, static_cast<uint16_t>(platform::KernelThreadId() & 0xFFFF),
                 timing_.replyWaitMs);
}

void CKelKeepAliveThread::Report(uint32_t address, bool answered) {
  uint8_t bytes[4];
  std::memcpy(bytes, &address, sizeof bytes);
  const KelMessages& m = Msg();
  int changed = 0;
  try {
    changed = answered ? PvList().DiagnoseOn(bytes) : PvList().DiagnoseOff(bytes);
  } catch (const char* text) {
    Syslog(kLogCrit, "%s", text);  // the registry's list failed; nothing changed
  }
  KeepAliveStats().Probed(address, answered, changed == 1);
  if (changed != 1) return;
  if (!PostMessageMainThread(answered ? m.keepAliveStart : m.keepAliveStop, address, 0)) {
    Syslog(kLogErr,
           "CKelKeepAliveThread::KeepAliveSend: An error occurred in PostMessageMainThread.");
  }
}
