// The router-event side of the access lists: a router that came back is reset and sent every
// line it should hold; for a router that went down, what still waits for it is dropped.
// KeepAliveStartProcess and KeepAliveStopProcess (acl_process.h) drain the two queues.
#pragma once

#include <array>
#include <cstdint>

#include "service/acl/acl_process.h"
#include "service/registry/pv_data.h"

// Brings the router with this address up to date when it is ON, not being deleted and still
// waiting for its resend: the two resets, every pc and kel line with "add", then resendPending
// and pendingAdd cleared in the registry.
void KeepAliveResendProcess(const AclEnvironment& env, const std::array<uint8_t, 4>& address);

// Queues the client reset, then the quarantine reset for `router`, then wakes the HTTP client.
void KeepAliveResetProcess(const AclEnvironment& env, const CPvData& router);

// How the repair of out-of-sync routers tries them. The defaults are the service's.
struct RepairTiming {
  int retryMs = 15000;   // a connection is tried at most this often while the router is ON
  int connectMs = 3000;  // how long one try may take
};

// One look at the routers marked out of sync (router_sync.h), on the repair thread: drops what
// is still queued for each; a router that left the registry loses its mark; one that is ON is
// tried (a TCP connection to its HTTP port) at most every retryMs, and as soon as one succeeds
// its reset and full reload go to the router-up queue, as for a router that came back ON.
void KeepAliveRepairProcess(const AclEnvironment& env, const RepairTiming& timing = RepairTiming());
