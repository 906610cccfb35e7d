#include "service/keepalive/probe_session.h"

#include <cstddef>
#include <cstring>
#include <limits>
#include <utility>

#include "common/syslog.h"
#include "platform/clock.h"

namespace {

void LogAddress(const char* format, uint32_t router) {
  uint8_t b[4];
  std::memcpy(b, &router, sizeof b);
  Syslog(kLogDebug, format, b[0], b[1], b[2], b[3]);
}

}  // namespace

void LogPingTransmitted(uint32_t router) {
  LogAddress("I transmitted PING to PV(%d.%d.%d.%d).", router);
}

void LogPingReceived(uint32_t router) {
  LogAddress("I received a PING reply of PV(%d.%d.%d.%d).", router);
}

ProbeSession::ProbeSession(ProbeWay& way, int reply_wait_ms, size_t limit, Verdict verdict)
    : way_(way), replyWaitMs_(reply_wait_ms), limit_(limit), verdict_(std::move(verdict)) {
  flights_.reserve(limit);
}

void ProbeSession::Send(uint32_t router) {
  uint32_t key = 0;
  if (!way_.Send(router, &key)) {
    verdict_(router, false);
    return;
  }
  flights_.push_back({router, key, platform::MonotonicMs() + static_cast<uint64_t>(replyWaitMs_)});
}

void ProbeSession::Collect() {
  way_.TakeAnswers([this](const ProbeAnswer& answer) { Answer(answer); });
  uint64_t now = platform::MonotonicMs();
  size_t over = 0;
  while (over < flights_.size() && flights_[over].waitEndsMs <= now) ++over;
  if (over == 0) return;
  std::vector<Flight> ended(flights_.begin(), flights_.begin() + static_cast<ptrdiff_t>(over));
  flights_.erase(flights_.begin(), flights_.begin() + static_cast<ptrdiff_t>(over));
  for (const Flight& flight : ended) verdict_(flight.router, false);
}

// The oldest probe the answer names gets it; an answer naming none in flight (a late one, or a
// stranger's) is passed over.
void ProbeSession::Answer(const ProbeAnswer& answer) {
  if (answer.everyProbe) {
    std::vector<Flight> all;
    all.swap(flights_);
    for (const Flight& flight : all) {
      LogPingReceived(flight.router);
      verdict_(flight.router, true);
    }
    return;
  }
  for (auto it = flights_.begin(); it != flights_.end(); ++it) {
    if (it->router != answer.router || it->key != answer.key) continue;
    uint32_t router = it->router;
    flights_.erase(it);
    LogPingReceived(router);
    verdict_(router, true);
    return;
  }
}

int ProbeSession::NextWaitEndsInMs() const {
  if (flights_.empty()) return -1;
  uint64_t now = platform::MonotonicMs();
  uint64_t ends = flights_.front().waitEndsMs;
  if (ends <= now) return 0;
  uint64_t left = ends - now;
  return left > static_cast<uint64_t>(std::numeric_limits<int>::max())
             ? std::numeric_limits<int>::max()
             : static_cast<int>(left);
}
