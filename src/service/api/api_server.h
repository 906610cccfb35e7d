// The operator API: a read-only HTTP server (libmicrohttpd, one internal polling thread) on the
// address of [STATUS] LISTEN, answering GET /metrics, /routers, /routers/ADDRESS,
// /routers/ADDRESS/lines, /healthz and /status from copies of the service's state, and the
// dashboard that reads them: its page at / and its script, style and icon (dashboard/, built
// into the program).
//
// The controller starts it last and stops it first, so the components it reads outlive it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "service/api/api_collect.h"
#include "service/api/api_settings.h"

struct MHD_Daemon;

class CKelApiServer {
 public:
  // Connections served at once, in all and from one client address. One more is closed as
  // soon as it is accepted; idle ones are closed after kIdleTimeoutSeconds.
  static constexpr unsigned kConnectionLimit = 256;
  static constexpr unsigned kPerAddressLimit = 64;
  static constexpr unsigned kIdleTimeoutSeconds = 10;
  static constexpr size_t kRequestHeadLimit = 8192;  // request line and headers

  explicit CKelApiServer(ApiSources sources);
  ~CKelApiServer();  // Stop()
  CKelApiServer(const CKelApiServer&) = delete;
  CKelApiServer& operator=(const CKelApiServer&) = delete;

  // Binds listen.address:listen.port and starts serving. false (logged at err) when it cannot.
  bool Start(const ApiListen& listen);
  // Ends a dry run in progress, closes every connection and the listener. Safe to call again.
  void Stop();

  struct Answer {
    Answer() = default;
    Answer(unsigned status, std::string contentType, std::string body)
        : status(status), contentType(std::move(contentType)), body(std::move(body)) {}

    unsigned status = 200;
    std::string contentType;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;  // sent besides the type
  };
  // The answer to one request, as the HTTP side sends it (also used without HTTP by tests).
  // Every answer, errors included, carries the content security policy and nosniff headers.
  Answer Handle(const std::string& method, const std::string& path);

  // Admission and bookkeeping of connections, called by the server thread.
  bool Admit() const { return open_.load() < kConnectionLimit; }
  void Opened() { open_.fetch_add(1); }
  void Closed() { open_.fetch_sub(1); }

 private:
  Answer Route(const std::string& method, const std::string& path);

  ApiSources sources_;
  std::atomic<int32_t> stopping_{0};
  std::atomic<unsigned> open_{0};  // connections being served
  MHD_Daemon* daemon_ = nullptr;
};
