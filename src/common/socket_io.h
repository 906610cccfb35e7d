// Socket I/O wrappers that log every failure the same way, and Winsock error names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

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
// SocketSendAll that also stores in *sent how many bytes went out, on failure too.
int SocketSendAll(platform::Socket s, const void* data, size_t length, uint64_t stall_limit_ms,
                  size_t* sent);
// While a batch lives on a thread, what that thread sends to the batch's socket with
// SocketSendAll is gathered in the batch instead of written (SocketSendAll answers as if it was
// sent), so that a reply written in many small pieces can leave in one write. Whoever made the
// batch takes the bytes and writes them. Past kLimit bytes SocketSendAll writes what was
// gathered at once, so a long reply needs no more memory than that.
class SocketSendBatch {
 public:
  static constexpr size_t kLimit = 64 * 1024;

  // Where a full batch goes instead of the socket (the TLS channel over it): true when every
  // byte was written.
  using Writer = std::function<bool(const char* data, size_t length)>;

  explicit SocketSendBatch(platform::Socket s, Writer writer = nullptr);
  ~SocketSendBatch();
  SocketSendBatch(const SocketSendBatch&) = delete;
  SocketSendBatch& operator=(const SocketSendBatch&) = delete;

  // The batch gathering for `s` on this thread, or null.
  static SocketSendBatch* For(platform::Socket s);

  void Append(const void* data, size_t length);
  // Hands over what was gathered; the batch is empty afterwards.
  std::string Take();
  bool Full() const { return bytes_.size() >= kLimit; }

 private:
  friend int SocketSendAll(platform::Socket s, const void* data, size_t length,
                           uint64_t stall_limit_ms);

  platform::Socket socket_;
  Writer writer_;
  SocketSendBatch* outer_;
  std::string bytes_;
};

// FIONREAD: 0 with *count stored, or -1 after logging.
int SocketPendingBytes(platform::Socket s, int* count);
// One receive of at most length bytes: bytes received, 0 when the peer closed, -1 after logging.
int SocketReceive(platform::Socket s, void* buffer, size_t length);
