#include "platform/thread_id.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

namespace platform {

namespace {

std::atomic<ThreadId> g_next_id{1};

}  // namespace

ThreadId CurrentThreadId() {
  thread_local ThreadId id = g_next_id.fetch_add(1);
  return id;
}

uint32_t KernelThreadId() {
  thread_local uint32_t id = static_cast<uint32_t>(syscall(SYS_gettid));
  return id;
}

}  // namespace platform
