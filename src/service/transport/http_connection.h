// One keep-alive connection from a sender to a router, and the reading of the router's answers.
// Every read has its own time budget and ends at once when the sender's end event fires.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/event.h"
#include "platform/socket.h"
#include "platform/socket_event.h"

namespace tls {
class Channel;
}
struct RouterTls;

// The router's answer to one request.
struct HttpAnswer {
  uint32_t status = 0;
  std::string body;
  bool reusable = true;  // false: the connection cannot carry another request
  // The body passed the reader's limit: `body` holds only its first bytes, and the connection
  // is not reusable.
  bool oversized = false;
};

class CHttpConnection {
 public:
  // `endEvent` and `stop` belong to the sender and outlive the connection. The end event cuts
  // a connect short; a read ends within 50 ms of `stop` being set (the sender sets it before
  // it signals the end event).
  CHttpConnection(platform::Event* endEvent, std::atomic<bool>* stop, int receiveBudgetMs);
  ~CHttpConnection();
  CHttpConnection(const CHttpConnection&) = delete;
  CHttpConnection& operator=(const CHttpConnection&) = delete;

  // Routers over TLS: with `settings` enabled, Open also makes the TLS handshake and every
  // byte goes through the channel. `settings` outlives the connection; null: plain HTTP.
  void UseTls(const RouterTls* settings) { tlsSettings_ = settings; }

  // Connects within connectTimeoutMs (given up at once when the end event is signalled), with
  // TCP_NODELAY, in non-blocking mode; over TLS the handshake is done within the same time. A
  // failed handshake is logged at err with the router and the reason. false (nothing left
  // open) on failure.
  bool Open(uint32_t address, uint16_t port, int connectTimeoutMs);
  // Takes over `connected`, a stream socket already joined to its peer (one end of a
  // socketpair in the tests), as Open would have left it. false (the socket closed) on failure.
  bool Adopt(platform::Socket connected);
  // Resets the connection: what was not yet sent is dropped (see Open).
  void Close();
  // The orderly close, for a connection whose exchanges are all done (over TLS, the close
  // notification first).
  void CloseGracefully();
  // Sends all of `text`; false after the socket layer logged the failure.
  bool Send(const std::string& text);
  // Sends `first` and `second` as one write (one segment for a short request); false after
  // the socket layer logged the failure, with *firstSent telling whether all of `first` went.
  bool Send(const std::string& first, const std::string& second, bool* firstSent);
  // Reads one answer: status line and header, then a Content-Length or chunked body (no
  // trailers). 0, or -1 after logging why (read failures are not logged once the sender is
  // stopping). A number that does not fit (status, length, chunk size) is a malformed answer;
  // a body beyond 1 MiB is an answer judged by its first bytes (see HttpAnswer::oversized).
  int ReadAnswer(HttpAnswer* answer);

  // Reads until `limit` bytes, or until `terminator` (when not null) ends the data, within
  // one budget; nothing behind that point is consumed from the connection's stream. The bytes are
  // appended to *out. Returns the count read, or -1 on time-out, failure, a peer close, or a
  // stop. With `closeEnds` a peer close or the budget's end returns what was read instead.
  int ReceiveUntil(std::string* out, size_t limit, const char* terminator, bool closeEnds = false);

 private:
  bool MakeNonBlocking();
  bool StartTls(uint32_t address, uint16_t port, int timeoutMs);
  bool SendBytes(const char* data, size_t length, size_t* sent);
  // One receive: bytes (> 0), 0 at the router's end, -1 on a failure, or tls::kWantRead /
  // tls::kWantWrite when nothing is there yet.
  int ReceiveSome(char* buffer, size_t length);
  int ReadLengthBody(const char* lengthText, HttpAnswer* answer);
  int ReadChunkedBody(HttpAnswer* answer);
  int TakeOversizedBody(size_t remaining, HttpAnswer* answer);
  bool TakeFromInbox(std::string* out, size_t from, size_t limit, const char* terminator,
                     size_t* total);
  bool Stopping() const { return stop_->load(); }

  platform::Event* end_;
  std::atomic<bool>* stop_;
  int budgetMs_;
  platform::Socket socket_ = platform::kInvalidSocket;
  std::string inbox_;  // received from the router, not yet read by an answer
  std::string wire_;   // the request being sent, its buffer kept from one request to the next
  const RouterTls* tlsSettings_ = nullptr;
  std::unique_ptr<tls::Channel> channel_;  // while the connection is TLS
};
