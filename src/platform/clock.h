// Clocks and sleeping.
#pragma once

#include <cstdint>

namespace platform {

// Milliseconds since an arbitrary start (CLOCK_MONOTONIC); wraps after about 49.7 days like the
// tick counter the service's timing rules were written for.
uint32_t TickCount();

// Milliseconds since an arbitrary start (CLOCK_MONOTONIC), 64 bits, never wraps.
uint64_t MonotonicMs();

// Seconds since 1970 (time()).
int64_t NowSeconds();

// Sleeps the calling thread for `ms` milliseconds.
void SleepMs(uint32_t ms);

}  // namespace platform
