// Whether this process may send requests to routers now, and under which leader term.
//
// A standalone service always may. In cluster mode only the leader may, and only until a
// deadline on the boot-time clock (which keeps counting while the process is stopped or the
// machine sleeps): the leader moves the deadline forward each time etcd confirms its lease, to
// the moment the renewal was sent plus LEASE - 1 seconds. A leader that is paused, partitioned or
// cut off from etcd therefore falls silent before its lease can expire and another instance can
// be elected. Every request in cluster mode carries the term it was sent under.
//
// Thread-safe; every call is a few atomic operations.
#pragma once

#include <cstdint>

namespace sendgate {

// Boot-time clock in nanoseconds (CLOCK_BOOTTIME).
int64_t NowNs();

// Cluster mode: nothing may be sent until Lead.
void EnableCluster();
bool ClusterMode();
// This instance leads at `term` and may send until `untilNs` (NowNs scale).
void Lead(int64_t term, int64_t untilNs);
// A confirmed renewal: the deadline moves to `untilNs` when that is later.
void Extend(int64_t untilNs);
// No more sending (lost or gave up the leadership).
void StepDown();

// True when a request may go out now: always when standalone.
bool MaySend();
// The term of the present leadership; 0 when standalone or not leading.
int64_t Term();

// Back to standalone (tests).
void ResetForTest();

}  // namespace sendgate
