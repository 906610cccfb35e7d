#include "common/tls_channel.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace tls {

namespace {

// OpenSSL's reason for the oldest error queued on this thread ("no certificate returned"),
// or `fallback` when none is queued; the queue is emptied.
std::string QueuedReason(const char* fallback) {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return fallback;
  const char* reason = ERR_reason_error_string(code);
  if (reason != nullptr) return reason;
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

// Why a file was refused: the system's reason when it cannot be opened, else OpenSSL's.
std::string FileError(const char* role, const std::string& path) {
  std::string reason;
  if (access(path.c_str(), R_OK) != 0) {
    reason = std::strerror(errno);
    ERR_clear_error();
  } else {
    reason = QueuedReason("not usable");
  }
  return std::string(role) + " " + path + ": " + reason;
}

bool LoadOwnCertificate(SSL_CTX* ctx, const std::string& certFile, const std::string& keyFile,
                        std::string* error) {
  const std::string& key = keyFile.empty() ? certFile : keyFile;
  if (SSL_CTX_use_certificate_chain_file(ctx, certFile.c_str()) != 1) {
    *error = FileError("certificate file", certFile);
    return false;
  }
  if (SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) != 1) {
    *error = FileError("key file", key);
    return false;
  }
  if (SSL_CTX_check_private_key(ctx) != 1) {
    ERR_clear_error();
    *error = "key file " + key + ": does not match certificate file " + certFile;
    return false;
  }
  return true;
}

// OpenSSL fills a certificate's cache of its extensions on first use, under a lock that its
// later readers do not take. The certificates of a context's store are shared by every
// connection made from it, on many threads, so their caches are filled here, before any.
void FillExtensionCaches(SSL_CTX* ctx) {
  STACK_OF(X509_OBJECT)* objects = X509_STORE_get0_objects(SSL_CTX_get_cert_store(ctx));
  for (int i = 0; i < sk_X509_OBJECT_num(objects); ++i) {
    if (X509* cert = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objects, i))) {
      X509_check_purpose(cert, -1, 0);
    }
  }
  ERR_clear_error();
}

int ContextIndex() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

int SessionKeyIndex() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

}  // namespace

Context::Context(SSL_CTX* ctx, bool client, Verify verify)
    : ctx_(ctx), client_(client), verify_(verify) {}

Context::~Context() {
  for (auto& kept : sessions_) SSL_SESSION_free(kept.second);
  SSL_CTX_free(ctx_);
}

std::unique_ptr<Context> Context::ForClient(const ClientSettings& settings, std::string* error) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr) {
    *error = "TLS context: " + QueuedReason("out of memory");
    return nullptr;
  }
  std::unique_ptr<Context> context(new Context(ctx, true, settings.verify));
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // A peer that closes without the close notification has ended the connection, as over TCP.
  SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
  bool loaded = settings.caFile.empty()
                    ? SSL_CTX_set_default_verify_paths(ctx) == 1
                    : SSL_CTX_load_verify_locations(ctx, settings.caFile.c_str(), nullptr) == 1;
  if (!loaded) {
    *error = settings.caFile.empty() ? "the system's certificate store: " + QueuedReason("unusable")
                                     : FileError("CA file", settings.caFile);
    return nullptr;
  }
  if (!settings.certFile.empty() &&
      !LoadOwnCertificate(ctx, settings.certFile, settings.keyFile, error)) {
    return nullptr;
  }
  FillExtensionCaches(ctx);
  SSL_CTX_set_verify(ctx, settings.verify == Verify::kNone ? SSL_VERIFY_NONE : SSL_VERIFY_PEER,
                     nullptr);
  // Sessions are kept here, one per peer, rather than in OpenSSL's own client cache (which
  // does not look them up by peer).
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(ctx, &Context::OnNewSession);
  return context;
}

std::unique_ptr<Context> Context::ForServer(const ServerSettings& settings, std::string* error) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (ctx == nullptr) {
    *error = "TLS context: " + QueuedReason("out of memory");
    return nullptr;
  }
  std::unique_ptr<Context> context(new Context(ctx, false, Verify::kChain));
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // A peer that closes without the close notification has ended the connection, as over TCP.
  SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
  if (!LoadOwnCertificate(ctx, settings.certFile, settings.keyFile, error)) return nullptr;
  if (!settings.clientCaFile.empty()) {
    STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(settings.clientCaFile.c_str());
    if (names == nullptr ||
        SSL_CTX_load_verify_locations(ctx, settings.clientCaFile.c_str(), nullptr) != 1) {
      if (names != nullptr) sk_X509_NAME_pop_free(names, X509_NAME_free);
      *error = FileError("client CA file", settings.clientCaFile);
      return nullptr;
    }
    SSL_CTX_set_client_CA_list(ctx, names);
    FillExtensionCaches(ctx);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
  }
  // Resumed sessions (which a client with a certificate may only resume here) need an id.
  static const unsigned char kSessionContext[] = "vokel";
  SSL_CTX_set_session_id_context(ctx, kSessionContext, sizeof kSessionContext - 1);
  return context;
}

int Context::OnNewSession(SSL* ssl, SSL_SESSION* session) {
  auto* context = static_cast<Context*>(SSL_get_ex_data(ssl, ContextIndex()));
  auto* key = static_cast<const std::string*>(SSL_get_ex_data(ssl, SessionKeyIndex()));
  if (context == nullptr || key == nullptr || key->empty()) return 0;
  context->KeepSession(*key, session);
  return 1;  // the reference is now ours
}

void Context::KeepSession(const std::string& peer, SSL_SESSION* session) {
  std::lock_guard<std::mutex> hold(sessionsMutex_);
  SSL_SESSION*& kept = sessions_[peer];
  if (kept != nullptr) SSL_SESSION_free(kept);
  kept = session;
}

SSL_SESSION* Context::TakeSessionCopy(const std::string& peer) {
  std::lock_guard<std::mutex> hold(sessionsMutex_);
  auto found = sessions_.find(peer);
  if (found == sessions_.end()) return nullptr;
  SSL_SESSION_up_ref(found->second);
  return found->second;
}

Channel::Channel(Context& context, int fd, const std::string& peer, const std::string& sessionKey) {
  ssl_ = SSL_new(context.ctx_);
  if (ssl_ == nullptr) {
    reason_ = QueuedReason("out of memory");
    return;
  }
  bool ok = SSL_set_fd(ssl_, fd) == 1;
  if (ok && context.client()) {
    SSL_set_connect_state(ssl_);
    unsigned char binary[sizeof(in6_addr)];
    bool isAddress = inet_pton(AF_INET, peer.c_str(), binary) == 1 ||
                     inet_pton(AF_INET6, peer.c_str(), binary) == 1;
    if (!isAddress && !peer.empty()) ok = SSL_set_tlsext_host_name(ssl_, peer.c_str()) == 1;
    if (ok && context.verify() == Verify::kFull) {
      X509_VERIFY_PARAM* param = SSL_get0_param(ssl_);
      ok = isAddress ? X509_VERIFY_PARAM_set1_ip_asc(param, peer.c_str()) == 1
                     : X509_VERIFY_PARAM_set1_host(param, peer.c_str(), 0) == 1;
    }
    if (ok && !sessionKey.empty()) {
      // A resumed session skips the certificate check, so it is only ever offered to the
      // name or address it was checked against.
      sessionKey_ = sessionKey + " " + peer;
      SSL_set_ex_data(ssl_, ContextIndex(), &context);
      SSL_set_ex_data(ssl_, SessionKeyIndex(), &sessionKey_);
      if (SSL_SESSION* session = context.TakeSessionCopy(sessionKey_)) {
        SSL_set_session(ssl_, session);
        SSL_SESSION_free(session);
      }
    }
  } else if (ok) {
    SSL_set_accept_state(ssl_);
  }
  if (!ok) {
    reason_ = QueuedReason("cannot set up the connection");
    SSL_free(ssl_);
    ssl_ = nullptr;
  }
}

Channel::~Channel() {
  if (ssl_ == nullptr) return;
  // OpenSSL spoils the session of a connection freed without a close notification; a
  // connection given up (a reset after a failed exchange) leaves a session as good as before,
  // and the next connection to the peer resumes it.
  if (SSL_is_init_finished(ssl_))
    SSL_set_shutdown(ssl_, SSL_get_shutdown(ssl_) | SSL_SENT_SHUTDOWN);
  SSL_free(ssl_);
}

int Channel::Outcome(int result, const char* what) {
  if (result > 0) return result;
  int error = SSL_get_error(ssl_, result);
  switch (error) {
    case SSL_ERROR_WANT_READ:
      return kWantRead;
    case SSL_ERROR_WANT_WRITE:
      return kWantWrite;
    case SSL_ERROR_ZERO_RETURN:
      reason_ = "connection closed";
      return 0;
    case SSL_ERROR_SYSCALL: {
      int saved = errno;
      std::string queued = QueuedReason("");
      if (!queued.empty()) {
        reason_ = queued;
      } else if (saved != 0) {
        reason_ = std::strerror(saved);
      } else {
        reason_ = "connection closed";
        return 0;
      }
      return kFailed;
    }
    case SSL_ERROR_SSL: {
      long verdict = SSL_get_verify_result(ssl_);
      std::string queued = QueuedReason(what);
      reason_ = verdict != X509_V_OK ? X509_verify_cert_error_string(verdict) : queued;
      return kFailed;
    }
    default:
      reason_ = QueuedReason(what);
      return kFailed;
  }
}

int Channel::Handshake() {
  if (ssl_ == nullptr) return kFailed;
  ERR_clear_error();
  errno = 0;
  int result = SSL_do_handshake(ssl_);
  if (result == 1) return kDone;
  int outcome = Outcome(result, "handshake failed");
  if (outcome == 0) {
    reason_ = "the peer closed the connection during the handshake";
    return kFailed;
  }
  return outcome;
}

int Channel::Read(void* buffer, size_t length) {
  if (ssl_ == nullptr) return kFailed;
  ERR_clear_error();
  errno = 0;
  return Outcome(SSL_read(ssl_, buffer, static_cast<int>(length)), "read failed");
}

int Channel::Write(const void* data, size_t length) {
  if (ssl_ == nullptr) return kFailed;
  if (length == 0) return 0;
  ERR_clear_error();
  errno = 0;
  int outcome = Outcome(SSL_write(ssl_, data, static_cast<int>(length)), "write failed");
  return outcome == 0 ? kFailed : outcome;
}

size_t Channel::Pending() const {
  return ssl_ != nullptr ? static_cast<size_t>(SSL_pending(ssl_)) : 0;
}

void Channel::Shutdown() {
  if (ssl_ == nullptr) return;
  ERR_clear_error();
  SSL_shutdown(ssl_);
  ERR_clear_error();
}

std::string Channel::PeerSubject() const {
  if (ssl_ == nullptr) return std::string();
  X509* peer = SSL_get0_peer_certificate(ssl_);
  if (peer == nullptr) return std::string();
  BIO* out = BIO_new(BIO_s_mem());
  if (out == nullptr) return std::string();
  X509_NAME_print_ex(out, X509_get_subject_name(peer), 0, XN_FLAG_RFC2253);
  char* text = nullptr;
  long length = BIO_get_mem_data(out, &text);
  std::string subject(text != nullptr ? text : "", length > 0 ? static_cast<size_t>(length) : 0);
  BIO_free(out);
  return subject;
}

bool Channel::Resumed() const { return ssl_ != nullptr && SSL_session_reused(ssl_) == 1; }

bool WaitReady(int fd, int want, int timeoutMs, int cancelFd) {
  struct pollfd fds[2] = {};
  fds[0].fd = fd;
  fds[0].events = want == kWantWrite ? POLLOUT : POLLIN;
  fds[1].fd = cancelFd;
  fds[1].events = POLLIN;
  nfds_t count = cancelFd >= 0 ? 2 : 1;
  for (;;) {
    int n = poll(fds, count, timeoutMs);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (count == 2 && fds[1].revents != 0) return false;
    return true;
  }
}

int HandshakeWithin(Channel& channel, int fd, int timeoutMs, int cancelFd) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int step = channel.Handshake();
    if (step == kDone || step == kFailed) return step;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || !WaitReady(fd, step, static_cast<int>(left.count()), cancelFd)) {
      channel.Fail(Clock::now() >= deadline ? "handshake timed out" : "handshake cancelled");
      return kFailed;
    }
  }
}

}  // namespace tls
