// Delivery rate of the HTTP client to pvsim routers on loopback, for one and for five routers,
// beside a plain keep-alive client with the same number of connections. The two take turns,
// three times each, and the medians are compared, so that a slow moment of the machine does not
// decide the ratio. Then the same over TLS (pvsim with a certificate of a CA made for the run,
// the plain client speaking TLS with the same OpenSSL), and the full handshakes a reload of 882
// requests to three routers over TLS costs, from the counts behind the handshake metric.
// Usage: delivery_bench [REQUESTS]   (per router, default 10000; needs root for a private
// network)
#include <arpa/inet.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/syslog.h"
#include "common/tls_channel.h"
#include "netns.h"
#include "plain_client.h"
#include "pvsim.h"
#include "service/transport/delivery_stats.h"
#include "service/transport/http_client.h"
#include "service/transport/http_data.h"
#include "service/transport/http_settings.h"
#include "test_certs.h"

namespace {

double Now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string RouterAddress(int i) { return "127.0.0." + std::to_string(10 + i); }

using Routers = std::vector<std::unique_ptr<testsupport::PvsimProcess>>;

// How the routers are reached: plain HTTP, or TLS with pvsim's certificate options, the
// service's settings and the plain client's context.
struct Transport {
  std::vector<std::string> pvsimOptions;
  RouterTls service;
  std::shared_ptr<tls::Context> plain;
};

// Starts pvsim on each router address, taking any credentials and journaling nothing; each
// exits after answering `each` requests.
Routers StartRouters(int routers, long each, const Transport& transport) {
  Routers started;
  testsupport::PvsimOptions options;
  options.login = false;
  options.journal = false;
  options.extra = {"--exit-after", std::to_string(each)};
  options.extra.insert(options.extra.end(), transport.pvsimOptions.begin(),
                       transport.pvsimOptions.end());
  for (int i = 0; i < routers; ++i) {
    started.push_back(std::make_unique<testsupport::PvsimProcess>(PVSIM_PATH));
    if (!started.back()->Start(RouterAddress(i), options)) {
      std::fprintf(stderr, "%s\n", started.back()->error().c_str());
      std::exit(1);
    }
  }
  return started;
}

// Waits until every router has exited, without reaping them (their PvsimProcess does), so that
// their process ids stay theirs. The wait blocks: a loop that woke every fraction of a millisecond
// to look would take the CPU from the run it measures. A watchdog kills them at the deadline.
bool AllExited(const Routers& routers, double seconds) {
  std::vector<pid_t> pids;
  for (const auto& router : routers) pids.push_back(router->pid());
  std::mutex mutex;
  std::condition_variable changed;
  bool finished = false;
  bool late = false;
  std::thread watchdog([&] {
    std::unique_lock<std::mutex> hold(mutex);
    if (!changed.wait_for(hold, std::chrono::duration<double>(seconds), [&] { return finished; })) {
      late = true;
      for (pid_t pid : pids) kill(pid, SIGKILL);
    }
  });
  for (pid_t pid : pids) {
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
  }
  {
    std::lock_guard<std::mutex> hold(mutex);
    finished = true;
  }
  changed.notify_one();
  watchdog.join();
  return !late;
}

CHttpData* MakeRequest(const std::string& address, long i) {
  auto* request = new CHttpData();
  request->address = inet_addr(address.c_str());
  request->port = 880;
  std::string acl = "add access-list kel accept source 10.0." + std::to_string(i / 250 % 256) +
                    "." + std::to_string(i % 250 + 1);
  HttpDataStore().MakeHttpData(request, "admin", "secret", 1, LineClass::kQuarantine,
                               RequestOpcode::kSet, 1, acl.c_str(), address);
  return request;
}

double ServiceRate(int routers, long total, const Transport& transport) {
  Routers started = StartRouters(routers, total / routers, transport);
  CKelHttpClient client(HttpSenderTiming(), kDefaultHttpSenders, transport.service);
  CHttpDataList& store = HttpDataStore();
  store.Lock();
  for (long i = 0; i < total; ++i) store.AddTail(MakeRequest(RouterAddress(i % routers), i), 1);
  double start = Now();
  store.Unlock();
  client.EventSend();
  bool done = AllExited(started, 300);
  double rate = total / (Now() - start);
  started.clear();
  return done ? rate : 0;
}

double PlainRate(int routers, long total, const Transport& transport) {
  Routers started = StartRouters(routers, total / routers, transport);
  std::unique_ptr<CHttpData> sample(MakeRequest(RouterAddress(0), 0));
  std::vector<std::thread> clients;
  double start = Now();
  for (int i = 0; i < routers; ++i) {
    clients.emplace_back([&, i] {
      CHttpData request = *sample;
      HttpDataStore().MakeHttpData(&request, "admin", "secret", 1, LineClass::kQuarantine,
                                   RequestOpcode::kSet, 1,
                                   "add access-list kel accept source 10.0.0.1", RouterAddress(i));
      PlainClientRun(RouterAddress(i), 880, request.header + request.body, total / routers,
                     transport.plain.get());
    });
  }
  for (std::thread& t : clients) t.join();
  bool done = AllExited(started, 10);
  double rate = total / (Now() - start);
  started.clear();
  return done ? rate : 0;
}

// Prints one table row per router count, and returns the ratios (service / plain).
std::vector<double> CompareRates(long perRouter, const Transport& transport) {
  constexpr int kTurns = 3;
  std::vector<double> ratios;
  for (int routers : {1, 5}) {
    const long requests = perRouter * routers;
    std::vector<double> service, plain;
    for (int turn = 0; turn < kTurns; ++turn) {
      service.push_back(ServiceRate(routers, requests, transport));
      plain.push_back(PlainRate(routers, requests, transport));
    }
    std::sort(service.begin(), service.end());
    std::sort(plain.begin(), plain.end());
    const double s = service[kTurns / 2];
    const double p = plain[kTurns / 2];
    double ratio = p > 0 ? s / p : 0;
    std::printf("%-9d %-12ld %14.0f %14.0f %8.2f   (service %.0f-%.0f, plain %.0f-%.0f)\n", routers,
                requests, s, p, ratio, service.front(), service.back(), plain.front(),
                plain.back());
    ratios.push_back(ratio);
  }
  return ratios;
}

// Settings of both sides over TLS: a CA made for the run, one router certificate naming every
// router address, and new client contexts (whose session stores start empty).
bool TlsTransport(const std::string& dir, Transport* out) {
  static testsupport::TestCa ca(dir, "bench-ca");
  std::vector<std::string> addresses;
  for (int i = 0; i < 5; ++i) addresses.push_back(RouterAddress(i));
  if (!ca.ok() || !ca.Issue("router", {"router", addresses, {}, false})) return false;
  out->pvsimOptions = {"--tls-cert", ca.CertPath("router"), "--tls-key", ca.KeyPath("router")};
  tls::ClientSettings settings;
  settings.caFile = ca.certFile();
  out->service.enabled = true;
  out->service.context.reset(tls::Context::ForClient(settings, &out->service.error).release());
  std::string error;
  out->plain.reset(tls::Context::ForClient(settings, &error).release());
  return out->service.context != nullptr && out->plain != nullptr;
}

uint64_t FullHandshakes() {
  uint64_t full = 0;
  for (const RouterDeliveryCounts& c : TransportStats().Snapshot()) full += c.tlsFullHandshakes;
  return full;
}

uint64_t ResumedHandshakes() {
  uint64_t resumed = 0;
  for (const RouterDeliveryCounts& c : TransportStats().Snapshot())
    resumed += c.tlsResumedHandshakes;
  return resumed;
}

}  // namespace

int main(int argc, char** argv) {
  const long perRouter = argc > 1 ? std::atol(argv[1]) : 10000;
  std::string error = testsupport::EnterPrivateNetwork();
  if (!error.empty()) {
    std::fprintf(stderr, "delivery_bench: cannot make a private network: %s\n", error.c_str());
    return 1;
  }
  char dir[] = "/tmp/delivery-bench-XXXXXX";
  if (mkdtemp(dir) != nullptr) setenv("VOKELMNG_CONFIG_DIR", dir, 1);
  SyslogOpen("VoKelMng", 0, 24);
  SyslogSetMask(kLogInfo);  // the service's default mask
  std::printf("%-9s %-12s %14s %14s %8s\n", "routers", "requests", "service req/s", "plain req/s",
              "ratio");
  std::vector<double> ratios = CompareRates(perRouter, Transport());
  std::printf("target (one router >= 0.8 of the plain client): %s\n",
              ratios[0] >= 0.8 ? "met" : "not met");
  std::printf("target (five routers >= 0.8 of the plain client): %s\n",
              ratios[1] >= 0.8 ? "met" : "not met");

  Transport tlsTransport;
  if (!TlsTransport(dir, &tlsTransport)) {
    std::fprintf(stderr, "delivery_bench: cannot set up TLS: %s\n",
                 tlsTransport.service.error.c_str());
    return 1;
  }
  std::printf("over TLS:\n");
  ratios = CompareRates(perRouter, tlsTransport);
  std::printf("target (TLS, one router >= 0.8 of the plain TLS client): %s\n",
              ratios[0] >= 0.8 ? "met" : "not met");
  std::printf("target (TLS, five routers >= 0.8 of the plain TLS client): %s\n",
              ratios[1] >= 0.8 ? "met" : "not met");

  // A reload from a cold start: a new context keeps no session yet.
  Transport cold;
  TlsTransport(dir, &cold);
  constexpr int kReloadRouters = 3;
  constexpr long kReload = 882;
  const uint64_t fullBefore = FullHandshakes();
  const uint64_t resumedBefore = ResumedHandshakes();
  const double reloadRate = ServiceRate(kReloadRouters, kReload, cold);
  const uint64_t full = FullHandshakes() - fullBefore;
  const uint64_t resumed = ResumedHandshakes() - resumedBefore;
  std::printf(
      "reload of %ld requests to %d routers over TLS: %.0f req/s, %llu full and %llu "
      "resumed handshakes for %d sender connections\n",
      kReload, kReloadRouters, reloadRate, static_cast<unsigned long long>(full),
      static_cast<unsigned long long>(resumed), kReloadRouters);
  std::printf("target (at most one full handshake per sender connection): %s\n",
              reloadRate > 0 && full <= kReloadRouters ? "met" : "not met");
  for (const char* file : {"bench-ca.pem", "router.pem", "router.key"}) {
    unlink((std::string(dir) + "/" + file).c_str());
  }
  rmdir(dir);
  return 0;
}
