// Auto-reset events and waiting on several handles at once.
#pragma once

#include <cstdint>
#include <initializer_list>

namespace platform {

// Anything WaitAny can wait on. fd() is polled for readability; Consume() is called on the
// one handle WaitAny picks and returns false when the signal turned out to be spurious (the
// wait then goes on). WaitAny calls it through ConsumePolled with what its poll found on fd(),
// which a handle may use instead of looking again.
class Waitable {
 public:
  virtual ~Waitable() = default;
  virtual int fd() const = 0;
  virtual short poll_events() const { return 0x001; /* POLLIN */ }
  virtual bool Consume() = 0;
  virtual bool ConsumePolled(short revents) {
    (void)revents;
    return Consume();
  }
};

// Auto-reset event on eventfd: Set() signals it; a successful wait consumes the signal.
// Created unsignalled. ok() is false when the eventfd could not be made.
class Event : public Waitable {
 public:
  Event();
  ~Event() override;
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  bool ok() const { return fd_ >= 0; }
  void Set();
  void Reset();
  // Consumes the signal if set; true when it was set.
  bool TryConsume();
  int fd() const override { return fd_; }
  bool Consume() override { return TryConsume(); }

 private:
  int fd_;
};

constexpr int kWaitTimeout = -1;
constexpr int kWaitFailed = -2;
constexpr int kInfinite = -1;

// Waits until at least one handle is signalled or timeout_ms passes (kInfinite: no limit).
// Returns the lowest index among the signalled handles, having consumed only that one;
// kWaitTimeout on time-out, kWaitFailed on a failing poll.
int WaitAny(std::initializer_list<Waitable*> handles, int timeout_ms);
int WaitAny(Waitable* const* handles, int count, int timeout_ms);

// Waits for one event; true when it was signalled (and consumed) within the time-out.
bool WaitOne(Event& event, int timeout_ms);

}  // namespace platform
