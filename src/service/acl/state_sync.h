// State-based sync (section ACL, key SYNC "state" of VoKelMng.ini): the service keeps, for every
// router it has reset and reloaded, the set of lines the router holds, and after every change
// sends only the difference to the set it should hold (the lines a full reload makes, each once:
// what /routers/ADDRESS/lines lists). It never sends an add for a line held, never a delete for a
// line still wanted.
//
// What "should hold" means is counted, not searched: per router, every line carries how many
// (route, PC, server) steps make it (client lines) or how many (entry, route, PC) steps make it
// (kel lines, which a router holds only while at least one quarantine server exists). A change
// is applied as the steps it adds and removes; a line is sent when its count crosses zero.
// Lines are kept as 128-bit hashes of their text, not as text.
//
// Per router, deletes are sent before adds: an admission withdrawn takes effect before a new one,
// so a change never admits, even for a moment, more than either the old or the new registries.
// Per router order and one request in flight are the senders' as always.
//
// A router is followed from its reset and full reload on (ON, or repaired after an out-of-sync
// mark) until it goes OFF, is marked out of sync or leaves the registry; nothing is sent to a
// router not followed. Everything runs under one lock, so the planning of a change and the
// reload of a router never interleave their requests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "service/acl/acl_environment.h"

// Reads [ACL] SYNC (once, at the controller's start) and forgets every router.
void StateSyncConfigure();
void StateSyncEnableForTest(bool on);  // the same without the profile
bool StateSyncOn();

// Brings every followed router to what the registries now say. Controller thread, after the
// changed family's marks were settled.
void StateSyncPlan(const AclEnvironment& env);

// The reset and full reload of the live router with `address` that is ON: first the changes
// since the last planning for every followed router, then the two resets and every line it
// should hold, once. It is followed from here on. false when the router is not there or not ON,
// or the stop flag cut the reload short.
bool StateSyncReload(const AclEnvironment& env, const std::array<uint8_t, 4>& address);

// Stops following the router (it went OFF, or is out of sync); `alsoHeld` runs under the lock,
// so that erasing what is queued for it cannot race a planning that queues more.
void StateSyncForget(const std::array<uint8_t, 4>& address,
                     const std::function<void()>& alsoHeld = {});

struct StateSyncFootprint {
  size_t routers = 0;  // routers followed
  size_t lines = 0;    // distinct lines counted over all of them
  size_t bytes = 0;    // an estimate of the memory the counts take
};
StateSyncFootprint StateSyncMemory();
