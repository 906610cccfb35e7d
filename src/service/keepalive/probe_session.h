// Many probes of one prober in flight at once on one socket or ping-library handle: each probe is
// sent without waiting for the one before, keeps its own wait counted from its own send, and is
// judged when the answer naming it arrives or when that wait is over, whatever the others do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/event.h"

// The debug lines of one probe, the same for every way of probing.
void LogPingTransmitted(uint32_t router);  // network order
void LogPingReceived(uint32_t router);

// What an answer read from a way names.
struct ProbeAnswer {
  uint32_t router = 0;      // the router it came from (or names), network order
  uint32_t key = 0;         // the key the way's Send gave the probe it answers
  bool everyProbe = false;  // cannot be told apart: answers every probe in flight
};

// How probes go out and answers come back: the raw socket or a ping-library handle (ping.h).
class ProbeWay {
 public:
  virtual ~ProbeWay() = default;
  // Sends the probe of `router` and logs its debug line as the one-at-a-time ping does. true with
  // the key its answer will carry in `*key`; false when it could not be sent.
  virtual bool Send(uint32_t router, uint32_t* key) = 0;
  // Reads every answer already waiting, without blocking, and hands each to `take`.
  virtual void TakeAnswers(const std::function<void(const ProbeAnswer&)>& take) = 0;
  // Readable while an answer may be waiting.
  virtual platform::Waitable& Readable() = 0;
};

// A descriptor polled for readability, as a Waitable.
class ReadableDescriptor : public platform::Waitable {
 public:
  explicit ReadableDescriptor(int fd) : fd_(fd) {}
  int fd() const override { return fd_; }
  bool Consume() override { return true; }

 private:
  int fd_;
};

class ProbeSession {
 public:
  // Called once for every probe: answered or not.
  using Verdict = std::function<void(uint32_t router, bool answered)>;

  // At most `limit` probes in flight, each waiting `reply_wait_ms` from its send.
  ProbeSession(ProbeWay& way, int reply_wait_ms, size_t limit, Verdict verdict);
  ProbeSession(const ProbeSession&) = delete;
  ProbeSession& operator=(const ProbeSession&) = delete;

  // Sends the probe of `router`; one that cannot be sent is judged unanswered at once.
  // REQUIRES: !Full().
  void Send(uint32_t router);
  // Judges answered every probe that an answer already waiting names, and logs its received
  // line; then judges unanswered every probe whose wait is over.
  void Collect();
  // Milliseconds until the first wait in flight is over (0 when it is); -1 when none is.
  int NextWaitEndsInMs() const;

  size_t InFlight() const { return flights_.size(); }
  bool Full() const { return flights_.size() >= limit_; }

 private:
  struct Flight {
    uint32_t router;
    uint32_t key;
    uint64_t waitEndsMs;  // platform::MonotonicMs
  };
  void Answer(const ProbeAnswer& answer);

  ProbeWay& way_;
  const int replyWaitMs_;
  const size_t limit_;
  Verdict verdict_;
  std::vector<Flight> flights_;  // in the order sent, so their waits end in this order too
};
