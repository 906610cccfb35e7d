#include "platform/thread.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/message_queue.h"

namespace platform {

ThreadId CurrentThreadId() {
  thread_local ThreadId id = static_cast<ThreadId>(syscall(SYS_gettid));
  return id;
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
      if (body) body();
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
  int nice = p == ThreadPriority::kLowest ? 2 : p == ThreadPriority::kBelowNormal ? 1 : 0;
  errno = 0;
  return setpriority(PRIO_PROCESS, static_cast<id_t>(CurrentThreadId()), nice) == 0;
}

}  // namespace platform
