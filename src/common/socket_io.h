// Socket I/O wrappers that log every failure the same way, and Winsock error names.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/socket.h"

// Name of the Winsock constant with this code ("WSAECONNRESET"), nullptr when unknown.
const char* WsaErrorName(int code);
// The name for log lines: WsaErrorName, or "UNKNOWN(<code>)" for a code not in the table.
const char* WsaErrorNameForLog(int code, char* buf, size_t size);

// Sends all `length` bytes (retrying at once on WSAEWOULDBLOCK). Returns length, or -1 after
// logging "An error occurred. A cause is %s." at err.
int SocketSendAll(platform::Socket s, const void* data, size_t length);
// A send that keeps answering would-block without moving a byte for this long is given up.
constexpr uint64_t kSendStallLimitMs = 30000;
// SocketSendAll with another stall limit (tests).
int SocketSendAll(platform::Socket s, const void* data, size_t length, uint64_t stall_limit_ms);
// FIONREAD: 0 with *count stored, or -1 after logging.
int SocketPendingBytes(platform::Socket s, int* count);
// One receive of at most length bytes: bytes received, 0 when the peer closed, -1 after logging.
int SocketReceive(platform::Socket s, void* buffer, size_t length);
