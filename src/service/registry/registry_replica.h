// Where registry changes go in cluster mode. Standalone, every command changes the in-memory
// registries itself. In cluster mode a replica is set at start: the command hands it the
// parsed record, the replica commits the change in the shared store (which judges duplicates)
// and returns once this process's registries show it; the registries are changed only by what
// the store reports, on every instance alike.
#pragma once

#include <cstdint>

#include "service/base/command_handler.h"
#include "service/registry/kel_list.h"

enum class ReplicaOutcome {
  kDone,           // committed, and this instance's registries show it
  kDuplicate,      // an equal record exists; nothing changed
  kNotRegistered,  // a route for a router that is not registered
  kLoadError,      // the file could not be read whole; nothing changed
  kUnavailable,    // the store did not commit in time; nothing changed
};

class RegistryReplica {
 public:
  virtual ~RegistryReplica() = default;
  // `router`: the router's four address bytes for kPvroute, null otherwise.
  virtual ReplicaOutcome Add(CommandFamily family, const CKelRecord& record,
                             const uint8_t* router) = 0;
  // Removes every record the family's `del` would mark for `key`.
  virtual ReplicaOutcome Delete(CommandFamily family, const CKelRecord& key,
                                const uint8_t* router) = 0;
  // Replaces the family's records with those of its file.
  virtual ReplicaOutcome Load(CommandFamily family) = 0;
  virtual ReplicaOutcome Clear(CommandFamily family) = 0;
};

// The replica in use, or null (standalone). Set once before the command port opens, cleared
// after it closed.
RegistryReplica* ActiveReplica();
void SetActiveReplica(RegistryReplica* replica);

constexpr char kClusterErrorReply[] = "cluster error\r\n";
