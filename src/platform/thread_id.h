// The numbers threads are known by: this process's own, and the kernel's.
#pragma once

#include <cstdint>

namespace platform {

// A thread's number in this process: handed out once, from 1 upward, and never given to another
// thread, so a post meant for a thread that has ended can never reach a newer one (the kernel
// hands its thread ids out again soon).
using ThreadId = uint32_t;

ThreadId CurrentThreadId();
// The kernel's id of the calling thread (gettid), for the system calls that want it.
uint32_t KernelThreadId();

}  // namespace platform
