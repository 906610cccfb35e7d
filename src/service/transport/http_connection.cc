#include "service/transport/http_connection.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "common/socket_io.h"
#include "common/syslog.h"
#include "common/text_util.h"
#include "common/tls_channel.h"
#include "platform/clock.h"
#include "service/transport/delivery_stats.h"
#include "service/transport/http_settings.h"

namespace {

constexpr size_t kHeaderLimit = 4096;
constexpr size_t kLineLimit = 4096;
// Routers answer a word or two; a body beyond this is never taken whole (it is judged by its
// first bytes, see TakeOversizedBody), so a broken or hostile router cannot make it allocated.
constexpr size_t kBodyLimit = 1 << 20;
// Of a body beyond the limit, this much is read to judge the answer by.
constexpr size_t kJudgedBytes = 4096;
constexpr const char* kSkipSet = ": \t\r\n";
// How often a wait for a router's bytes looks at the stop flag.
constexpr int kStopLookMs = 50;

// True when the header's Connection line asks to close after this answer.
bool AsksToClose(const char* header) {
  for (const char* p = StrCaseFind(header, "\nConnection:"); p != nullptr;
       p = StrCaseFind(p + 1, "\nConnection:")) {
    const char* end = std::strchr(p + 1, '\n');
    std::string value(p + 12, end != nullptr ? end : p + std::strlen(p));
    if (StrCaseFind(value.c_str(), "close") != nullptr) return true;
  }
  return false;
}

}  // namespace

CHttpConnection::CHttpConnection(platform::Event* endEvent, std::atomic<bool>* stop,
                                 int receiveBudgetMs)
    : end_(endEvent), stop_(stop), budgetMs_(receiveBudgetMs) {}

CHttpConnection::~CHttpConnection() { Close(); }

bool CHttpConnection::Open(uint32_t address, uint16_t port, int connectTimeoutMs) {
  Close();
  const uint64_t start = platform::MonotonicMs();
  socket_ = platform::SocketTcp();
  if (socket_ == platform::kInvalidSocket) return false;
  // The end event's descriptor cancels the connect, so that a router that never answers the
  // handshake cannot hold up the service's shutdown.
  bool ok = platform::SocketConnectTimed(socket_, address, port, connectTimeoutMs, end_->fd()) == 0;
  // A request goes out as soon as it is written, without waiting for the acknowledgement of
  // the one before.
  ok = ok && platform::SocketSetNoDelay(socket_, true) == 0;
  // A connection given up (or left by a service that ends or is killed) must not deliver what
  // it still holds later on: a router whose address comes back would take an old request
  // after its reset and reload. Only a connection whose exchanges are all done ends with the
  // orderly close (CloseGracefully).
  ok = ok && platform::SocketSetAbortiveClose(socket_, true) == 0;
  if (!ok) {
    Close();
    return false;
  }
  if (!MakeNonBlocking()) return false;
  if (tlsSettings_ == nullptr || !tlsSettings_->enabled) return true;
  const uint64_t spent = platform::MonotonicMs() - start;
  const int left = spent >= static_cast<uint64_t>(connectTimeoutMs)
                       ? 1
                       : connectTimeoutMs - static_cast<int>(spent);
  return StartTls(address, port, left);
}

// The handshake of a router connection. The session is kept under the router's address and
// port, so that the next connection to it (after the router closed one, say) resumes it with
// a short handshake instead of a full one.
bool CHttpConnection::StartTls(uint32_t address, uint16_t port, int timeoutMs) {
  uint8_t b[4];
  std::memcpy(b, &address, 4);
  const std::string peer = std::to_string(b[0]) + '.' + std::to_string(b[1]) + '.' +
                           std::to_string(b[2]) + '.' + std::to_string(b[3]);
  std::string reason;
  if (tlsSettings_->context == nullptr) {
    reason = "the TLS settings cannot be used (" + tlsSettings_->error + ")";
  } else {
    channel_ = std::make_unique<tls::Channel>(*tlsSettings_->context, socket_, peer,
                                              peer + ':' + std::to_string(port));
    if (tls::HandshakeWithin(*channel_, socket_, timeoutMs, end_->fd()) == tls::kDone) {
      TransportStats().TlsHandshake(address, port, channel_->Resumed());
      return true;
    }
    reason = channel_->reason();
  }
  Close();
  if (Stopping()) return false;  // cut short by the sender's end: no router's fault
  TransportStats().TlsFailed(address, port);
  Syslog(kLogErr, "TLS handshake with PV(%s:%d) failed: %s.", peer.c_str(), port, reason.c_str());
  return false;
}

bool CHttpConnection::Adopt(platform::Socket connected) {
  Close();
  socket_ = connected;
  return socket_ != platform::kInvalidSocket && MakeNonBlocking();
}

// Sends and receives never block: a wait is always one poll that the end event can cut short.
bool CHttpConnection::MakeNonBlocking() {
  bool ok = platform::SocketSetNonBlocking(socket_, true) == 0;
  if (!ok) Close();
  return ok;
}

void CHttpConnection::CloseGracefully() {
  if (channel_ != nullptr) channel_->Shutdown();
  if (socket_ != platform::kInvalidSocket) platform::SocketSetAbortiveClose(socket_, false);
  Close();
}

void CHttpConnection::Close() {
  inbox_.clear();
  channel_.reset();  // before the socket it writes to is closed
  if (socket_ != platform::kInvalidSocket) platform::SocketClose(socket_);
  socket_ = platform::kInvalidSocket;
}

bool CHttpConnection::Send(const std::string& text) {
  if (channel_ == nullptr) {
    return SocketSendAll(socket_, text.data(), text.size()) == static_cast<int>(text.size());
  }
  size_t sent = 0;
  return SendBytes(text.data(), text.size(), &sent);
}

bool CHttpConnection::Send(const std::string& first, const std::string& second, bool* firstSent) {
  wire_.assign(first);
  wire_.append(second);
  size_t sent = 0;
  bool done = SendBytes(wire_.data(), wire_.size(), &sent);
  *firstSent = done || sent >= first.size();
  return done;
}

// Over TLS a write that must wait waits on the socket (either way: a renegotiation or a key
// update can make a write wait for the router's bytes), given up like the plain send once it
// stalls for kSendStallLimitMs, or at once when the sender stops.
bool CHttpConnection::SendBytes(const char* data, size_t length, size_t* sent) {
  if (channel_ == nullptr) {
    return SocketSendAll(socket_, data, length, kSendStallLimitMs, sent) ==
           static_cast<int>(length);
  }
  uint64_t progress = platform::MonotonicMs();
  while (*sent < length) {
    int n = channel_->Write(data + *sent, length - *sent);
    if (n > 0) {
      *sent += static_cast<size_t>(n);
      progress = platform::MonotonicMs();
      continue;
    }
    if (n != tls::kWantRead && n != tls::kWantWrite) {
      Syslog(kLogErr, "An error occurred. A cause is %s.", channel_->reason().c_str());
      return false;
    }
    if (Stopping()) return false;
    if (platform::MonotonicMs() - progress >= kSendStallLimitMs) {
      Syslog(kLogErr, "An error occurred. A cause is %s.", "a TLS write that never ended");
      return false;
    }
    tls::WaitReady(socket_, n, kStopLookMs);
  }
  return true;
}

int CHttpConnection::ReceiveSome(char* buffer, size_t length) {
  if (channel_ != nullptr) {
    int n = channel_->Read(buffer, length);
    if (n == tls::kFailed) {
      if (!Stopping()) Syslog(kLogDebug, "TLS read failed: %s.", channel_->reason().c_str());
      return -1;
    }
    return n;
  }
  int n = platform::SocketRecv(socket_, buffer, length);
  if (n >= 0) return n;
  return platform::LastSocketError() == platform::kWsaEwouldblock ? tls::kWantRead : -1;
}

// Moves bytes from the inbox to *out until `limit` bytes or the terminator; true when done.
// The terminator counts only when it lies wholly after `from`, and may have begun in what an
// earlier call took: the bytes are moved at once, up to the first point where either holds.
bool CHttpConnection::TakeFromInbox(std::string* out, size_t from, size_t limit,
                                    const char* terminator, size_t* total) {
  if (*total >= limit) return true;
  size_t take = std::min(limit - *total, inbox_.size());
  bool ended = false;
  const size_t n = terminator != nullptr ? std::strlen(terminator) : 0;
  if (n > 0 && take > 0) {
    // Begun in *out: the longest beginning there ends soonest in the inbox.
    const size_t had = out->size() - from;
    for (size_t k = std::min(had, n - 1); k >= 1 && !ended; --k) {
      if (n - k <= take && out->compare(out->size() - k, k, terminator, k) == 0 &&
          inbox_.compare(0, n - k, terminator + k, n - k) == 0) {
        take = n - k;
        ended = true;
      }
    }
    if (!ended) {
      size_t at = inbox_.find(terminator, 0, n);
      if (at != std::string::npos && at + n <= take) {
        take = at + n;
        ended = true;
      }
    }
  }
  out->append(inbox_, 0, take);
  inbox_.erase(0, take);
  *total += take;
  return ended || *total >= limit;
}

int CHttpConnection::ReceiveUntil(std::string* out, size_t limit, const char* terminator,
                                  bool closeEnds) {
  const uint64_t start = platform::MonotonicMs();
  const size_t from = out->size();
  size_t total = 0;
  // Whatever the router has sent is taken in one receive (the socket does not block); bytes
  // behind what an answer needs stay in the inbox, which lives as long as the connection, so
  // the next read on it starts exactly where the router's data goes on. Only when nothing has
  // come yet is there a wait, on the socket alone: a poll that also watched the end event cost
  // every answer a second wait queue, a fifth of the delivery rate to five routers. The stop
  // flag, which is set before the end event, is looked at every kStopLookMs instead.
  // The router closed or reset the connection: the answer ends here.
  platform::SocketReadable readable(socket_);
  platform::Waitable* socket = &readable;
  // Over TLS the channel is always read before any wait: bytes it has already decrypted
  // (Pending) never show on the socket, and a wait would sit on them until the budget ran out.
  while (!TakeFromInbox(out, from, limit, terminator, &total)) {
    if (Stopping()) return -1;  // a stop before the end is a failure
    char chunk[4096];
    int n = ReceiveSome(chunk, sizeof chunk);
    if (n > 0) {
      inbox_.append(chunk, static_cast<size_t>(n));
      continue;
    }
    if (n != tls::kWantRead && n != tls::kWantWrite) {
      return closeEnds ? static_cast<int>(total) : -1;
    }
    uint64_t spent = platform::MonotonicMs() - start;
    if (spent >= static_cast<uint64_t>(budgetMs_)) return closeEnds ? static_cast<int>(total) : -1;
    int left = budgetMs_ - static_cast<int>(spent);
    int wait = left < kStopLookMs ? left : kStopLookMs;
    if (channel_ != nullptr) {
      tls::WaitReady(socket_, n, wait);  // a time-out is looked at above
      continue;
    }
    int which = platform::WaitAny(&socket, 1, wait);
    if (which != 0 && which != platform::kWaitTimeout) return -1;
  }
  return static_cast<int>(total);
}

int CHttpConnection::ReadAnswer(HttpAnswer* answer) {
  std::string header;
  if (ReceiveUntil(&header, kHeaderLimit, "\r\n\r\n") < 0) {
    if (!Stopping())
      Syslog(kLogDebug, "An error occurred at the time of the HTTP response header reception.");
    return -1;
  }
  const char* text = header.c_str();
  const char* blank = std::strchr(text, ' ');
  if (blank == nullptr) {
    Syslog(kLogDebug, "There was not a response cord.");
    return -1;
  }
  bool overflow = false;
  answer->status = ParseDecimal32(blank + 1, std::strlen(blank + 1), &overflow);
  if (overflow) {
    Syslog(kLogDebug, "HTTP response header abnormality occurred.");
    return -1;
  }
  answer->body.clear();
  answer->oversized = false;
  answer->reusable = !AsksToClose(text);
  if (const char* length = StrCaseFind(text, "Content-Length")) {
    return ReadLengthBody(length + std::strlen("Content-Length"), answer);
  }
  if (const char* encoding = StrCaseFind(text, "Transfer-Encoding")) {
    const char* value = StrSkipSet(encoding + std::strlen("Transfer-Encoding"), kSkipSet);
    if (value != nullptr && StrCaseFind(value, "chunked") != nullptr)
      return ReadChunkedBody(answer);
  }
  // Neither length form: the body runs until the router closes the connection, which can
  // therefore carry nothing more.
  answer->reusable = false;
  std::string body;
  if (ReceiveUntil(&body, kBodyLimit, nullptr, true) < 0) return -1;
  answer->body = body;
  return 0;
}

// A body announced or grown beyond the limit is not taken: the router has answered (and has
// applied the line), so the answer is judged from the first bytes of the body that arrive
// within the budget, and the connection, whose stream is then out of step, is closed.
int CHttpConnection::TakeOversizedBody(size_t remaining, HttpAnswer* answer) {
  Syslog(kLogDebug, "HTTP response body is larger than %zu bytes; the connection is closed.",
         kBodyLimit);
  answer->oversized = true;
  answer->reusable = false;
  if (answer->body.size() < kJudgedBytes) {
    size_t wanted = kJudgedBytes - answer->body.size();
    if (ReceiveUntil(&answer->body, wanted < remaining ? wanted : remaining, nullptr, true) < 0 &&
        Stopping()) {
      return -1;
    }
  }
  return 0;
}

int CHttpConnection::ReadLengthBody(const char* lengthText, HttpAnswer* answer) {
  const char* value = StrSkipSet(lengthText, kSkipSet);
  bool overflow = false;
  uint64_t length = value != nullptr ? ParseDecimal64(value, std::strlen(value), &overflow) : 0;
  if (length == 0 || overflow) {
    Syslog(kLogDebug, "HTTP response header abnormality occurred.");
    return -1;
  }
  if (length > kBodyLimit) return TakeOversizedBody(static_cast<size_t>(length), answer);
  if (ReceiveUntil(&answer->body, static_cast<size_t>(length), nullptr) < 0) {
    if (!Stopping())
      Syslog(kLogDebug, "An error occurred at the time of the HTTP response body reception.");
    return -1;
  }
  return 0;
}

int CHttpConnection::ReadChunkedBody(HttpAnswer* answer) {
  size_t consumed = 0;
  for (;;) {
    if (Stopping()) return -1;
    std::string line;
    if (ReceiveUntil(&line, kLineLimit, "\r\n") < 0) {
      if (!Stopping()) Syslog(kLogDebug, "I failed in the acquisition of chunk size.");
      return -1;
    }
    consumed += line.size();
    if (!std::isxdigit(static_cast<unsigned char>(line[0]))) continue;  // end of a chunk's data
    bool overflow = false;
    uint32_t size = ParseHex32(line.c_str(), line.size(), &overflow);
    if (overflow) {
      Syslog(kLogDebug, "I failed in the acquisition of chunk size.");
      return -1;
    }
    if (size == 0) break;
    if (consumed + size > kBodyLimit) return TakeOversizedBody(size, answer);
    if (ReceiveUntil(&answer->body, size, nullptr) < 0) {
      if (!Stopping())
        Syslog(kLogDebug, "Abnormality occurred at the time of the chunk body reception.");
      return -1;
    }
    consumed += size;
  }
  // Trailers are not read, so nothing waits for them. The empty line that ends the answer is
  // taken when it has already arrived; otherwise (not yet there, or trailer lines) the next
  // answer could not be found on this connection, and it is closed after this one.
  if (inbox_.compare(0, 2, "\r\n") == 0) {
    inbox_.erase(0, 2);
  } else {
    answer->reusable = false;
  }
  return 0;
}
