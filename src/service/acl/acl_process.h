// Entry points of the access-list processing run by the controller's threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "service/registry/kel_list.h"

class CKelHttpClient;

// What the processing needs from the controller.
struct AclEnvironment {
  const std::atomic<int32_t>* stopRequested = nullptr;  // the service is stopping when nonzero
  CKelHttpClient* httpClient = nullptr;                 // null when it failed to start
  CKelList* startQueue = nullptr;                       // router-up queue (CKeepAliveData)
  CKelList* stopQueue = nullptr;                        // router-down queue (CKeepAliveData)
  // Optional: when set, called in place of httpClient->EventSend() (nonzero on success), so
  // that the requests stay in the store for whoever counts them. The controller leaves it empty.
  std::function<int()> eventSend;

  bool Stopping() const { return stopRequested != nullptr && stopRequested->load() != 0; }
};

// Runs the processing of one command family for a positive handler result (controller thread):
// 1 access entries, 2 routers, 3 routes, 4 PC entries, 5 quarantine servers; others do nothing.
void AclCommandProcess(const AclEnvironment& env, uint32_t family, uint32_t value);

// Drain the router-up and router-down queues (router-event threads); both return when the
// queue is empty or the stop flag is set.
void KeepAliveStartProcess(const AclEnvironment& env);
void KeepAliveStopProcess(const AclEnvironment& env);

// Runs of AclCommandProcess so far and the time they took, for the operator API.
struct PlanningCounts {
  std::atomic<uint64_t> runs{0};
  std::atomic<uint64_t> nanoseconds{0};
};
PlanningCounts& PlanningStats();
