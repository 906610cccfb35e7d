// TLS over a connected stream socket, with OpenSSL 3: the contexts (what a side presents and
// what it checks of its peer) and one connection's channel. The socket stays the caller's: a
// channel never closes it. A channel works on blocking and non-blocking sockets alike; on a
// non-blocking one an operation that must wait says which way (kWantRead / kWantWrite), and
// WaitReady or HandshakeWithin do the waiting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

struct ssl_st;
struct ssl_ctx_st;
struct ssl_session_st;

namespace tls {

// What a client checks of the server's certificate.
enum class Verify {
  kFull,   // the chain, and the name or address the client connected to in subjectAltName
  kChain,  // the chain only
  kNone,   // nothing
};

struct ClientSettings {
  std::string caFile;  // PEM certificates the server is checked against; empty: the system's
  Verify verify = Verify::kFull;
  std::string certFile;  // an optional client certificate (PEM, its chain may follow)
  std::string keyFile;   // its key; empty: the key is in certFile
};

struct ServerSettings {
  std::string certFile;  // the server's certificate (PEM, its chain may follow)
  std::string keyFile;   // its key; empty: the key is in certFile
  // When set, only clients with a certificate signed by one of these are admitted.
  std::string clientCaFile;
};

// A configured OpenSSL context, shared by every channel made from it (any thread). Client
// contexts keep the last session of each peer, so that a new connection resumes it instead of
// a full handshake.
class Context {
 public:
  // nullptr with *error naming the file and the reason when a file cannot be used.
  static std::unique_ptr<Context> ForClient(const ClientSettings& settings, std::string* error);
  static std::unique_ptr<Context> ForServer(const ServerSettings& settings, std::string* error);
  ~Context();
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  bool client() const { return client_; }
  Verify verify() const { return verify_; }

 private:
  friend class Channel;
  Context(ssl_ctx_st* ctx, bool client, Verify verify);
  static int OnNewSession(ssl_st* ssl, ssl_session_st* session);
  void KeepSession(const std::string& peer, ssl_session_st* session);
  ssl_session_st* TakeSessionCopy(const std::string& peer);

  ssl_ctx_st* ctx_;
  bool client_;
  Verify verify_;
  std::mutex sessionsMutex_;
  std::map<std::string, ssl_session_st*> sessions_;  // guarded by sessionsMutex_
};

// Results of Channel operations besides a count of bytes.
constexpr int kDone = 0;
constexpr int kWantRead = -2;
constexpr int kWantWrite = -3;
constexpr int kFailed = -1;

class Channel {
 public:
  // A client channel toward `peer` (a dotted IPv4 address or a host name): with Verify::kFull
  // the server's certificate must name it; a name also goes out as SNI. With a `sessionKey`
  // (the router's address and port, say) the context keeps the session under it and `peer`,
  // and the next channel with both resumes it; empty: no resumption. A server channel ignores
  // both.
  Channel(Context& context, int fd, const std::string& peer = std::string(),
          const std::string& sessionKey = std::string());
  ~Channel();
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  bool ok() const { return ssl_ != nullptr; }
  // kDone, kWantRead / kWantWrite (call again once the socket is ready), or kFailed.
  int Handshake();
  // Bytes read (> 0), 0 when the peer ended the connection, kWantRead / kWantWrite, kFailed.
  int Read(void* buffer, size_t length);
  // Bytes written (> 0), kWantRead / kWantWrite, kFailed.
  int Write(const void* data, size_t length);
  // Bytes already decrypted and waiting to be read.
  size_t Pending() const;
  // Sends the close notification, without waiting for the peer's.
  void Shutdown();

  // Why the last operation failed: the certificate check's verdict ("certificate has
  // expired"), OpenSSL's reason, or the system's error; "connection closed" for an end.
  const std::string& reason() const { return reason_; }
  // The peer certificate's subject, one line ("CN=alice,O=Operators"); empty without one.
  std::string PeerSubject() const;
  // Whether the handshake resumed an earlier session.
  bool Resumed() const;
  // Records why the caller gave the channel up (a wait that ran out, say).
  void Fail(const std::string& reason) { reason_ = reason; }

 private:
  int Outcome(int result, const char* what);

  ssl_st* ssl_ = nullptr;
  std::string sessionKey_;  // the context's store finds the session it receives by this
  std::string reason_;
};

// Waits until `fd` is ready for `want` (kWantRead or kWantWrite), at most timeoutMs (-1: no
// limit); returns early, false, when `cancelFd` (>= 0) becomes readable. true when ready.
bool WaitReady(int fd, int want, int timeoutMs, int cancelFd = -1);

// Completes the handshake on a blocking or non-blocking socket within timeoutMs, cut short
// by `cancelFd` (>= 0) becoming readable. kDone or kFailed (channel.reason() says why; a
// handshake that ran out of time reads "handshake timed out").
int HandshakeWithin(Channel& channel, int fd, int timeoutMs, int cancelFd = -1);

}  // namespace tls
