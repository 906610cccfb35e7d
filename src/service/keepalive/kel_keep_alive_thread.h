// One of the keepalive's five probers: a worker thread that pings the routers queued to it, one
// after another, reports each result to the router registry and tells its owner (the keepalive's
// message thread) when a router has come up (WM_KEEPALIVE_START) or gone down
// (WM_KEEPALIVE_STOP), with the router's address as wParam.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/event.h"
#include "platform/thread.h"
#include "service/keepalive/keep_alive_data.h"
#include "service/keepalive/keep_alive_timing.h"
#include "service/registry/kel_list.h"

class CKelKeepAliveThread {
 public:
  static constexpr int32_t kModeRaw = 1;  // raw ICMP socket
  static constexpr int32_t kModeDll = 2;  // the ping library, loaded by name for each ping

  // Makes the queue and both events. Throws "I failed in making of an event handler for start
  // confirmation to use in CKelKeepAliveThread." when an event cannot be made.
  explicit CKelKeepAliveThread(const KeepAliveTiming& timing = KeepAliveTiming());
  // Ends the thread, then destroys the queue with any requests still in it.
  ~CKelKeepAliveThread();
  CKelKeepAliveThread(const CKelKeepAliveThread&) = delete;
  CKelKeepAliveThread& operator=(const CKelKeepAliveThread&) = delete;

  // The owner that receives this prober's messages (0 until saved).
  void SaveThreadID(platform::ThreadId id);
  platform::ThreadId LoadThreadID();
  // false when no owner is saved or the post was refused.
  bool PostMessageMainThread(uint32_t message, uint32_t wParam, uint32_t lParam);

  // Reads MODE of [PING] in VoKelMng.ini ("dll" exactly: the library way; else raw), then
  // starts the thread as prober `number`. 0, or -1 when the thread cannot be made (or runs).
  int Start(int32_t number);
  // Appends `request` and wakes the thread. 0: the prober owns it; -1: the caller keeps it.
  // Any thread may call it.
  int Queue(CKeepAliveData* request);
  // Requests still waiting (not counting the one being pinged): the scheduler's measure.
  int32_t Load();
  // Makes the thread end after its current ping and waits for it. Safe to call twice.
  void End();

  int32_t mode() const { return mode_; }
  int32_t number() const { return number_; }

 private:
  void KeepAliveProc();
  void KeepAliveSend();
  int Ping(uint32_t address) const;
  void Report(uint32_t address, bool answered);

  const KeepAliveTiming timing_;
  platform::Thread thread_;
  std::mutex cs_;
  platform::ThreadId owner_ = 0;  // guarded by cs_
  platform::Event wake_;
  platform::Event end_;
  std::atomic<bool> ending_{false};
  int32_t number_ = 0;
  CKelList queue_;  // of CKeepAliveData, oldest first
  int32_t mode_ = kModeRaw;
};
