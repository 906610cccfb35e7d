#include "service/registry/registry_replica.h"

#include <atomic>

namespace {
std::atomic<RegistryReplica*> gReplica{nullptr};
}  // namespace

RegistryReplica* ActiveReplica() { return gReplica.load(std::memory_order_acquire); }

void SetActiveReplica(RegistryReplica* replica) {
  gReplica.store(replica, std::memory_order_release);
}
