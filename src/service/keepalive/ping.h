// The two ways a prober pings: one router at a time (PingRaw, PingDll), or many at once through
// one socket or handle (the ProbeWay of each, driven by a ProbeSession). Each logs the same debug
// lines for every probe.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/socket.h"
#include "service/keepalive/probe_session.h"

// One router at a time. Both return 0 when the router answered and -1 when it did not or the
// ping could not even be sent.
//
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

// Many probes on one raw ICMP socket, prepared as PingRaw's: each the same echo request PingRaw
// sends (with `identifier`, the tick of its own send), every packet read judged by
// ProbeAnswered. nullptr when the socket cannot be had or prepared.
std::unique_ptr<ProbeWay> OpenRawProbeWay(uint16_t identifier, int reply_wait_ms);

// Many probes through one handle of the ping library `library`, in its asynchronous form
// (IcmpSendEchoAsync, IcmpReceiveEcho, IcmpHandleDescriptor), with the request PingDll sends.
// An answer names the request's sequence number and its router. nullptr, with nothing called,
// when the library does not load or lacks one of the functions; nullptr too when it refuses a
// handle. The caller then pings one at a time with PingDll, which logs what went wrong as ever.
std::unique_ptr<ProbeWay> OpenLibraryProbeWay(const char* library);
