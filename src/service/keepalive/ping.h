// The two ways a prober pings one router. Both return 0 when the router answered and -1 when it
// did not or the ping could not even be sent, and log the debug lines of the exchange.
#pragma once

#include <cstdint>

#include "platform/socket.h"

// Raw ICMP socket: sends the 76-byte echo request with `identifier` and time-to-live 32 to
// `router` (network order) and waits up to 1,000 ms in all for the answer (see IsProbeAnswer).
int PingRaw(uint32_t router, uint16_t identifier, int reply_wait_ms = 1000);

// The options PingRaw gives its socket: receive and send time-outs (the send one always
// 1,000 ms, so that a send stuck in the kernel cannot hold the prober), the answer filter and
// the time-to-live. 0, or -1 when a needed option could not be set.
int PrepareProbeSocket(platform::Socket s, int reply_wait_ms);

// The ping library `library` (normally kIcmpLibraryName), loaded for this one ping: its three
// functions are looked up by name and none is called unless all three exist.
int PingDll(uint32_t router, const char* library, int reply_wait_ms = 1000);
