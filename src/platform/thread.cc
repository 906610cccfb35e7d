#include "platform/thread.h"

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/message_queue.h"

namespace platform {

namespace {

std::atomic<void (*)(const char*)> g_exception_handler{nullptr};

void ReportThreadException(const char* what) {
  if (auto handler = g_exception_handler.load()) {
    handler(what);
  } else {
    std::fprintf(stderr, "a thread ended by an exception: %s\n", what);
  }
}

// Runs a thread body; an exception ends the body, never the process.
void RunGuarded(std::function<void()>& body) {
  try {
    if (body) body();
  } catch (const std::exception& e) {
    ReportThreadException(e.what());
  } catch (const char* text) {
    ReportThreadException(text);
  } catch (...) {
    ReportThreadException("unknown exception");
  }
}

}  // namespace

void SetThreadExceptionHandler(void (*handler)(const char* what)) {
  g_exception_handler.store(handler);
}

struct Thread::State {
  std::thread thread;
  std::mutex mutex;
  std::condition_variable changed;
  ThreadId id = 0;
  bool has_id = false;
  bool finished = false;
};

Thread::Thread() = default;

Thread::~Thread() {
  if (!state_ || !state_->thread.joinable()) return;
  // A thread that destroys its own Thread object cannot wait for itself: let it run out.
  if (state_->thread.get_id() == std::this_thread::get_id()) {
    state_->thread.detach();
  } else {
    Join();
  }
}

bool Thread::Start(std::function<void()> body) {
  if (state_ && state_->thread.joinable()) return false;
  auto state = std::make_shared<State>();
  try {
    state->thread = std::thread([state, body = std::move(body)]() mutable {
      AttachMessageQueue();
      {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->id = CurrentThreadId();
        state->has_id = true;
      }
      state->changed.notify_all();
      RunGuarded(body);
      body = nullptr;
      DetachMessageQueue();
      {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->finished = true;
      }
      state->changed.notify_all();
    });
  } catch (const std::system_error&) {
    return false;
  }
  std::unique_lock<std::mutex> lock(state->mutex);
  state->changed.wait(lock, [&state] { return state->has_id; });
  lock.unlock();
  state_ = std::move(state);
  return true;
}

bool Thread::started() const { return state_ != nullptr; }

ThreadId Thread::id() const { return state_ ? state_->id : 0; }

bool Thread::Join() { return JoinFor(-1); }

bool Thread::JoinFor(int timeout_ms) {
  if (!state_ || !state_->thread.joinable()) return true;
  if (state_->thread.get_id() == std::this_thread::get_id()) return false;  // cannot wait on self
  {
    std::unique_lock<std::mutex> lock(state_->mutex);
    auto done = [this] { return state_->finished; };
    if (timeout_ms < 0) {
      state_->changed.wait(lock, done);
    } else if (!state_->changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), done)) {
      return false;
    }
  }
  state_->thread.join();
  return true;
}

bool SetCurrentThreadPriority(ThreadPriority p) {
  int nice = p == ThreadPriority::kBackground    ? 19
             : p == ThreadPriority::kLowest      ? 2
             : p == ThreadPriority::kBelowNormal ? 1
                                                 : 0;
  errno = 0;
  return setpriority(PRIO_PROCESS, static_cast<id_t>(KernelThreadId()), nice) == 0;
}

}  // namespace platform
