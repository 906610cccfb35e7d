// Threads with message queues.
//
// Every thread started through Thread has a message queue from its first instruction until it
// returns; PostThreadMessage to a thread whose queue does not exist (never made, or already
// gone) fails. Other threads (main, tests) get a queue with AttachMessageQueue().
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/thread_id.h"

namespace platform {

// What a thread body that throws leaves behind: the exception's text is given to the handler
// installed here (the service logs it at crit); the thread then ends as if its body returned.
// The process goes on. Without a handler the text is written to standard error.
void SetThreadExceptionHandler(void (*handler)(const char* what));

class Thread {
 public:
  Thread();
  ~Thread();  // joins if still joinable
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts `body` on a new thread with a message queue already in place; returns once the
  // thread exists and its id is known. false when the thread could not be made.
  bool Start(std::function<void()> body);
  bool started() const;
  ThreadId id() const;
  // Waits for the thread to return. true once it has (at once when never started).
  bool Join();
  // Waits at most timeout_ms; true when the thread has returned (and is then joined).
  bool JoinFor(int timeout_ms);

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// Priorities of the original platform, applied with setpriority on the calling thread:
// kBelowNormal is nice +1, kLowest nice +2; kBackground, nice +19, is for work that must give
// way to every other thread but never starve (the operator API). Returns false on failure.
enum class ThreadPriority { kNormal, kBelowNormal, kLowest, kBackground };
bool SetCurrentThreadPriority(ThreadPriority p);

}  // namespace platform
