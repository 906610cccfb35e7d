// Delivery rate of the HTTP client to pvsim routers on loopback, for one and for five routers,
// beside a plain keep-alive client with the same number of connections. The two take turns,
// three times each, and the medians are compared, so that a slow moment of the machine does not
// decide the ratio.
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
#include "netns.h"
#include "plain_client.h"
#include "pvsim.h"
#include "service/transport/http_client.h"
#include "service/transport/http_data.h"

namespace {

double Now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string RouterAddress(int i) { return "127.0.0." + std::to_string(10 + i); }

using Routers = std::vector<std::unique_ptr<testsupport::PvsimProcess>>;

// Starts pvsim on each router address, taking any credentials and journaling nothing; each
// exits after answering `each` requests.
Routers StartRouters(int routers, long each) {
  Routers started;
  testsupport::PvsimOptions options;
  options.login = false;
  options.journal = false;
  options.extra = {"--exit-after", std::to_string(each)};
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

double ServiceRate(int routers, long total) {
  Routers started = StartRouters(routers, total / routers);
  CKelHttpClient client;
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

double PlainRate(int routers, long total) {
  Routers started = StartRouters(routers, total / routers);
  std::unique_ptr<CHttpData> sample(MakeRequest(RouterAddress(0), 0));
  std::vector<std::thread> clients;
  double start = Now();
  for (int i = 0; i < routers; ++i) {
    clients.emplace_back([&, i] {
      CHttpData request = *sample;
      HttpDataStore().MakeHttpData(&request, "admin", "secret", 1, LineClass::kQuarantine,
                                   RequestOpcode::kSet, 1,
                                   "add access-list kel accept source 10.0.0.1", RouterAddress(i));
      PlainClientRun(RouterAddress(i), 880, request.header + request.body, total / routers);
    });
  }
  for (std::thread& t : clients) t.join();
  bool done = AllExited(started, 10);
  double rate = total / (Now() - start);
  started.clear();
  return done ? rate : 0;
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
  constexpr int kTurns = 3;
  double ratios[2] = {0, 0};
  int row = 0;
  for (int routers : {1, 5}) {
    const long requests = perRouter * routers;
    std::vector<double> service, plain;
    for (int turn = 0; turn < kTurns; ++turn) {
      service.push_back(ServiceRate(routers, requests));
      plain.push_back(PlainRate(routers, requests));
    }
    std::sort(service.begin(), service.end());
    std::sort(plain.begin(), plain.end());
    const double s = service[kTurns / 2];
    const double p = plain[kTurns / 2];
    double ratio = p > 0 ? s / p : 0;
    std::printf("%-9d %-12ld %14.0f %14.0f %8.2f   (service %.0f-%.0f, plain %.0f-%.0f)\n", routers,
                requests, s, p, ratio, service.front(), service.back(), plain.front(),
                plain.back());
    ratios[row++] = ratio;
  }
  std::printf("target (one router >= 0.8 of the plain client): %s\n",
              ratios[0] >= 0.8 ? "met" : "not met");
  std::printf("target (five routers >= 0.8 of the plain client): %s\n",
              ratios[1] >= 0.8 ? "met" : "not met");
  rmdir(dir);
  return 0;
}
