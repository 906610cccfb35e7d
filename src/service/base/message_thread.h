// The message-thread component: a thread with its own queue that other threads reach only by
// posting registered messages, and one "main thread" (the saved ThreadID) that receives this
// component's notifications.
//
// A derived class calls StartMessageThread() as the last step of its constructor (so that the
// virtual hooks see a complete object) and StopMessageThread() as the first step of its
// destructor. Construction failures are thrown as the texts given in `Texts`.
#pragma once

#include <cstdint>
#include <mutex>

#include "platform/event.h"
#include "platform/message_queue.h"
#include "platform/thread.h"

class CKelMessageThread {
 public:
  struct Texts {
    const char* event;            // start-confirmation event could not be made
    const char* criticalSection;  // nullptr: the component has none
    const char* thread;           // message thread could not be made
    const char* quitPost;         // logged at err when posting WM_QUIT fails; nullptr: silent
  };

  // `settle_ms`: the pause after the start is confirmed, before StartMessageThread returns.
  explicit CKelMessageThread(const Texts& texts, int settle_ms = kSettleMs);
  static constexpr int kSettleMs = 100;
  virtual ~CKelMessageThread();
  CKelMessageThread(const CKelMessageThread&) = delete;
  CKelMessageThread& operator=(const CKelMessageThread&) = delete;

  // Stores the receiver of this component's notifications. Throws "I failed in a save of
  // ThreadID." on failure.
  void SaveThreadID(platform::ThreadId id);
  // The saved receiver, 0 when none.
  platform::ThreadId LoadThreadID();
  // Posts to the saved receiver; false when none is saved or the post was refused.
  bool PostMessageMainThread(uint32_t message, uint32_t wParam, uint32_t lParam);

  // Identifier of the message thread (0 before it runs).
  platform::ThreadId MessageThreadId() const { return thread_.id(); }
  // Posts WM_QUIT to the message thread and waits for it (no time limit). Only the first call
  // acts: later calls return true at once and never post to a thread id that may have been
  // reused. A loop that has ended already needs no quit. false when the post failed on a loop
  // that still runs (logged with Texts::quitPost). Called by the owner only.
  bool StopMessageThread();

 protected:
  // Creates the event and the thread, waits for the start confirmation, then pauses settle_ms
  // (kSettleMs, 100 ms, unless the constructor was given another pause).
  void StartMessageThread();

  // Runs on the message thread before it confirms its start.
  virtual void OnStartup() {}
  // A message other than WM_QUIT; WM_TIMER and unhandled messages are dropped.
  virtual void OnMessage(const platform::Message& msg) { (void)msg; }
  // Runs on the message thread after WM_QUIT (the component's end work).
  virtual void OnQuit() {}

 private:
  void MsgProc();

  Texts texts_;
  const int settle_ms_;
  platform::Event started_;
  platform::Thread thread_;
  bool stopped_ = false;  // StopMessageThread has run; touched by the owner only
  std::mutex cs_;
  platform::ThreadId saved_thread_id_ = 0;  // guarded by cs_
};
