// The router-event side of the access lists: a router that came back is reset and sent every
// line it should hold; for a router that went down, what still waits for it is dropped.
#pragma once

#include <array>
#include <cstdint>

#include "service/acl/acl_environment.h"

// Brings the router with this address up to date when it is ON, not being deleted and still
// waiting for its resend: the two resets, every pc and kel line with "add", then resendPending
// and pendingAdd cleared in the registry.
void KeepAliveResendProcess(const AclEnvironment& env, const std::array<uint8_t, 4>& address);

// Drain the router-up and router-down queues (router-event threads); both return when the
// queue is empty or the stop flag is set.
void KeepAliveStartProcess(const AclEnvironment& env);
void KeepAliveStopProcess(const AclEnvironment& env);

// Drops the requests still waiting for the router: in the store (each with its debug line) and
// at its sender. With state-based sync the router is no longer followed, under the sync's lock.
void DropQueuedRequests(const AclEnvironment& env, const std::array<uint8_t, 4>& address);
