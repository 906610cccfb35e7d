#include "platform/event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "platform/clock.h"

namespace platform {

Event::Event() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Event::~Event() {
  if (fd_ >= 0) close(fd_);
}

void Event::Set() {
  if (fd_ < 0) return;
  uint64_t one = 1;
  // A full counter (EAGAIN) means the event is already signalled, which is all Set promises.
  while (write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void Event::Reset() { TryConsume(); }

bool Event::TryConsume() {
  if (fd_ < 0) return false;
  uint64_t value = 0;
  for (;;) {
    ssize_t n = read(fd_, &value, sizeof value);
    if (n == static_cast<ssize_t>(sizeof value)) return true;
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
}

namespace {

// Milliseconds left of a wait that started at `start`; kInfinite stays infinite.
int Remaining(int timeout_ms, uint64_t start) {
  if (timeout_ms < 0) return -1;
  uint64_t elapsed = MonotonicMs() - start;
  if (elapsed >= static_cast<uint64_t>(timeout_ms)) return 0;
  return timeout_ms - static_cast<int>(elapsed);
}

}  // namespace

int WaitAny(Waitable* const* handles, int count, int timeout_ms) {
  if (count <= 0 || handles == nullptr) return kWaitFailed;
  // Waits take two or three handles: no allocation for those.
  struct pollfd few[4];
  std::vector<struct pollfd> many;
  struct pollfd* fds = few;
  if (count > 4) {
    many.resize(static_cast<size_t>(count));
    fds = many.data();
  }
  const uint64_t start = MonotonicMs();
  for (;;) {
    for (int i = 0; i < count; ++i) {
      fds[i].fd = handles[i] != nullptr ? handles[i]->fd() : -1;
      fds[i].events = handles[i] != nullptr ? handles[i]->poll_events() : 0;
      fds[i].revents = 0;
    }
    int left = Remaining(timeout_ms, start);
    int rc = poll(fds, static_cast<nfds_t>(count), left);
    if (rc < 0) {
      if (errno == EINTR) continue;
      return kWaitFailed;
    }
    for (int i = 0; i < count && rc > 0; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].revents & POLLNVAL) return kWaitFailed;
      if (handles[i]->ConsumePolled(fds[i].revents)) return i;
    }
    // Only spurious signals (or none): go on with what is left of the time.
    if (Remaining(timeout_ms, start) == 0) return kWaitTimeout;
  }
}

int WaitAny(std::initializer_list<Waitable*> handles, int timeout_ms) {
  return WaitAny(handles.begin(), static_cast<int>(handles.size()), timeout_ms);
}

bool WaitOne(Event& event, int timeout_ms) {
  Waitable* h = &event;
  return WaitAny(&h, 1, timeout_ms) == 0;
}

}  // namespace platform
