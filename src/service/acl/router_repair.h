// The repair of routers out of sync (out_of_sync_marks.h): what still waits for such a router
// is dropped, and once it takes a connection again it gets the reset and full reload of a router
// that came back ON.
#pragma once

#include "service/acl/acl_environment.h"

// How the repair of out-of-sync routers tries them. The defaults are the service's.
struct RepairTiming {
  int retryMs = 15000;   // a connection is tried at most this often while the router is ON
  int connectMs = 3000;  // how long one try may take
};

// One look at the routers marked out of sync, on the repair thread: drops what is still queued
// for each; a router that left the registry loses its mark; one that is ON is tried (a TCP
// connection to its HTTP port, with the TLS handshake and its certificate check when routers
// are reached over TLS) at most every retryMs, and as soon as one succeeds its reset and
// full reload go to the router-up queue, as for a router that came back ON.
void KeepAliveRepairProcess(const AclEnvironment& env, const RepairTiming& timing = RepairTiming());
