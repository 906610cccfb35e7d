// Per-thread message queues (post, get, quit) and registered message names.
#pragma once

#include <cstdint>

#include "platform/thread_id.h"

namespace platform {

constexpr uint32_t WM_QUIT = 0x0012;
constexpr uint32_t WM_TIMER = 0x0113;

struct Message {
  uint32_t message = 0;
  uint32_t wParam = 0;
  uint32_t lParam = 0;
};

// Posts a message to `thread`'s queue. false when that thread has no live queue.
bool PostThreadMessage(ThreadId thread, uint32_t message, uint32_t wParam, uint32_t lParam);
// Posts WM_QUIT with exit code `code` in wParam to the calling thread.
void PostQuitMessage(uint32_t code);

// Blocks until a message arrives on the calling thread's queue. Returns false for WM_QUIT
// (which is still stored in *out) and true otherwise. A thread without a queue gets false at
// once with out->message == 0.
bool GetMessage(Message* out);
// Like GetMessage but gives up after timeout_ms: 1 message, 0 quit, -1 time-out or no queue.
int GetMessageFor(Message* out, int timeout_ms);

// Gives the calling thread a queue (for threads not started through Thread, e.g. main or a test
// thread). Detach removes it; later posts to the thread fail.
void AttachMessageQueue();
void DetachMessageQueue();

// Returns the process-wide number for `name`: the same name always yields the same number,
// numbers are handed out from 0xC000 upward. 0 for an empty or null name.
uint32_t RegisterMessage(const char* name);

}  // namespace platform
