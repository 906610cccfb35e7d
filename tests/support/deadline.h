// Test support: milliseconds on the steady clock, and what is left of a deadline.
#pragma once

#include <chrono>
#include <cstdint>

namespace testsupport {

inline int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Milliseconds until `deadline` (a NowMs() value), 0 once it has passed.
inline int RemainingMs(int64_t deadline) {
  int64_t left = deadline - NowMs();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace testsupport
