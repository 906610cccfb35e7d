// The router keepalive: a timer thread looks at the router registry every 100 ms and queues a
// probe for each router that is due (its interval passed, no probe outstanding) to the least
// loaded of five probers; the message thread relays the probers' router-up and router-down
// messages to the owner.
//
// How the controller drives it (on its own message thread):
//   CKelKeepAlive* ka = new CKelKeepAlive;  // may throw a const char* text: log it at crit
//   ka->SaveThreadID(controller_thread_id);  // receives WM_KEEPALIVE_START/STOP (wParam: the
//   ka->Start();                             //   router address, network order), _ERROR, _EXIT
//   ... at shutdown: ka->StopMessageThread(); delete ka;  // both wait without time limit
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/event.h"
#include "platform/thread.h"
#include "service/base/message_thread.h"
#include "service/keepalive/keep_alive_timing.h"
#include "service/keepalive/kel_keep_alive_thread.h"

class CKelKeepAlive : public CKelMessageThread {
 public:
  static constexpr int kProberCount = 5;

  // Starts the message thread, which makes and starts the five probers, and returns once they
  // run. Throws the keepalive's event, critical-section or thread text.
  explicit CKelKeepAlive(const KeepAliveTiming& timing = KeepAliveTiming());
  // Stops the timer thread, then the message thread if it still runs (ending the probers).
  ~CKelKeepAlive() override;

  // Starts the timer thread. 0, or -1 when it cannot be made or already runs.
  int Start();
  // One look at the router registry, queueing the probes that are due. The timer thread runs it
  // every 100 ms; any thread may.
  void Scan();

 protected:
  void OnStartup() override;
  void OnMessage(const platform::Message& msg) override;
  void OnQuit() override;

 private:
  void TimerProc();
  struct DueRouter {  // what identifies a router found due
    std::array<uint8_t, 4> address;
    std::string portText;
    uint16_t port;
  };
  // Queues a probe of the router's live record to the least loaded prober.
  void ScheduleStep(const DueRouter& router, int64_t now);
  // REQUIRES: table_cs_ held. The prober with the fewest waiting requests, ties to the lowest
  // number; nullptr when there is none.
  CKelKeepAliveThread* LeastLoaded();
  void EndProbers();

  const KeepAliveTiming timing_;
  std::mutex table_cs_;
  std::array<CKelKeepAliveThread*, kProberCount> probers_{};  // guarded by table_cs_
  platform::Event end_;
  platform::Thread timer_;
};
