// Thin BSD socket layer. Every failing call records a Winsock-style error code (10000 + n),
// mapped from errno, that LastSocketError() returns on the same thread; log lines name the
// code through WsaErrorName (common/socket_io.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

using Socket = int;
constexpr Socket kInvalidSocket = -1;
constexpr int kSocketError = -1;

// Winsock codes used by callers (the full mapping lives in socket.cc).
constexpr int kWsaEintr = 10004;
constexpr int kWsaEwouldblock = 10035;
constexpr int kWsaEinprogress = 10036;
constexpr int kWsaEconnreset = 10054;
constexpr int kWsaEtimedout = 10060;
constexpr int kWsaEconnrefused = 10061;

// The Winsock code of the last failed socket call on this thread.
int LastSocketError();
// Sets the code returned by LastSocketError (for wrappers that fail on their own).
void SetLastSocketError(int wsa_code);
// Maps an errno value to the matching Winsock code (unknown values map to 10000 + errno).
int WsaFromErrno(int err);

// "2.2": the socket layer version reported at start-up, major and minor.
constexpr int kSocketVersionMajor = 2;
constexpr int kSocketVersionMinor = 2;

// Creation. All sockets are close-on-exec. kInvalidSocket on failure.
Socket SocketTcp();
Socket SocketUdp();
Socket SocketRawIcmp();

// IPv4 addresses are uint32_t in network byte order (as inet_addr returns them), ports in host
// order. All return 0 on success, kSocketError on failure unless said otherwise.
int SocketBind(Socket s, uint32_t addr, uint16_t port);
int SocketListen(Socket s);  // largest backlog (SOMAXCONN)
// Accepted socket or kInvalidSocket; peer address/port filled when not null.
Socket SocketAccept(Socket s, uint32_t* peer_addr, uint16_t* peer_port);
// On a non-blocking socket a connect still under way fails with WSAEINPROGRESS (10036).
int SocketConnect(Socket s, uint32_t addr, uint16_t port);
// Connect that gives up after timeout_ms or when `cancel_fd` (an Event's fd, may be -1) becomes
// readable; error WSAETIMEDOUT on time-out, WSAEINTR when cancelled.
int SocketConnectTimed(Socket s, uint32_t addr, uint16_t port, int timeout_ms, int cancel_fd);
int SocketPeerName(Socket s, uint32_t* addr, uint16_t* port);
// Bytes sent or kSocketError. Never raises SIGPIPE.
int SocketSend(Socket s, const void* data, size_t len);
// Bytes received, 0 when the peer closed, kSocketError on failure.
int SocketRecv(Socket s, void* buf, size_t len);
int SocketSendTo(Socket s, const void* data, size_t len, uint32_t addr, uint16_t port);
int SocketRecvFrom(Socket s, void* buf, size_t len, uint32_t* from_addr);
// FIONREAD.
int SocketPendingBytes(Socket s, int* count);
int SocketShutdownBoth(Socket s);
// True when the peer has closed its side (or the connection failed): what it sent before is
// still readable, nothing more will come. Does not block or consume anything.
bool SocketPeerClosed(Socket s);
int SocketClose(Socket s);
int SocketSetNonBlocking(Socket s, bool on);
int SocketSetNoDelay(Socket s, bool on);
// SO_LINGER with no time: while on, closing the socket (also by the process's end) resets the
// connection and drops whatever was not yet sent, instead of sending it on in the background.
int SocketSetAbortiveClose(Socket s, bool on);
int SocketSetReuseAddr(Socket s, bool on);
int SocketSetTtl(Socket s, int ttl);
int SocketSetRecvTimeout(Socket s, int ms);
// A blocking send that cannot go on within `ms` fails with WSAEWOULDBLOCK (SO_SNDTIMEO).
int SocketSetSendTimeout(Socket s, int ms);
// Lets a raw ICMP socket receive only the ICMP types whose bit is set in `allowed_types_mask`.
int SocketSetIcmpFilter(Socket s, uint32_t allowed_types_mask);

// inet_addr: network-order address, or 0xFFFFFFFF (INADDR_NONE) when the text does not convert.
uint32_t InetAddr(const char* text);
// The machine's host name; empty string on failure.
std::string HostName();
// The first IPv4 address text of an interface that is not "0.0.0.0"; empty when there is none.
std::string FirstAdapterAddress();
// True when `addr` (network order) is an address of this machine: 127.0.0.0/8, 0.0.0.0, or
// an address of one of its interfaces.
bool IsLocalAddress(uint32_t addr);

}  // namespace platform

namespace platform {

// Waits until `s` can take more data (or has an error or hang-up pending, which the next send
// reports): 1 when ready, 0 after timeout_ms, kSocketError on failure.
int SocketWaitWritable(Socket s, int timeout_ms);

}  // namespace platform
