// The dry run of a router's reload: the lines a reset and full reload of one router would send
// now, computed from snapshots of the registries exactly as the recovery resend makes them, but
// handed back instead of queued. Nothing is sent, no mark changes.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "service/transport/request_codes.h"

struct RouterLine {
  LineClass lineClass{};
  std::string text;  // the access-list line as the router receives it
  int copies = 0;    // how many times the reload sends it
};

struct RouterLines {
  bool found = false;             // a live router has this address
  bool complete = false;          // the walk ran to its end (not cut short by `stop`)
  std::vector<RouterLine> lines;  // in the order of first appearance
};

// The lines for the live router with `address`; `stop` (may be null) ends the walk early.
RouterLines RouterReloadLines(const std::array<uint8_t, 4>& address,
                              const std::atomic<int32_t>* stop);
