// Entry point of the access-list planning run by the controller's thread for every change of
// the registries, and its counts.
#pragma once

#include <atomic>
#include <cstdint>

#include "service/acl/acl_environment.h"
#include "service/base/command_handler.h"

// Runs the processing of one command family for a positive handler result (controller thread):
// the five registry families plan their changes; others do nothing.
void AclCommandProcess(const AclEnvironment& env, CommandFamily family, uint32_t value);

// Runs of AclCommandProcess so far and the time they took, for the operator API.
struct PlanningCounts {
  std::atomic<uint64_t> runs{0};
  std::atomic<uint64_t> nanoseconds{0};
};
PlanningCounts& PlanningStats();
