// One of the keepalive's five probers: a worker thread that pings the routers queued to it,
// reports each result to the router registry and tells its owner (the keepalive's message
// thread) when a router has come up (WM_KEEPALIVE_START) or gone down (WM_KEEPALIVE_STOP), with
// the router's address as wParam.
//
// It does not wait for one reply before the next probe: every request waiting is sent at once
// (up to kMostProbesInFlight in flight) on one raw socket or one ping-library handle, and each
// probe is judged when its own answer comes or its own reply wait, counted from its send, is
// over. Requests queued meanwhile go out as they come. So a round over many silent routers
// takes about one reply wait. Where the shared socket or handle cannot be had (a library
// without the asynchronous functions, a refused socket), it pings one router after another.
#pragma once

#include <atomic>
#include <cstddef>
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
  static constexpr int32_t kModeDll = 2;  // the ping library, loaded by name for each session
  // Probes one prober has in flight at most: five probers cover a round over 1,280 routers in
  // one reply wait. A probe in flight costs a few bytes, not a socket: all of a prober's answers
  // come to its one socket, read after every send, so that its receive buffer (some 200 answers
  // at the system's default size) never has to hold a whole round.
  static constexpr size_t kMostProbesInFlight = 256;

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
  // Requests waiting or in flight: the scheduler's measure.
  int32_t Load();
  // Tells the thread to end: it sends no further probe, judges those in flight when their
  // waits are over (at most one reply wait) and returns. Does not wait for it.
  void AskToEnd();
  // AskToEnd, then waits for the thread. Safe to call twice.
  void End();

  int32_t mode() const { return mode_; }
  int32_t number() const { return number_; }

 private:
  void KeepAliveProc();
  void KeepAliveSend();
  void PingOneAtATime();
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
  CKelList queue_;                    // of CKeepAliveData, oldest first
  std::atomic<int32_t> inFlight_{0};  // probes sent or being sent, not yet judged
  int32_t mode_ = kModeRaw;
};
