// Operator API costs with 100 routers x 4 routes, 10,000 PCs, one quarantine server and 100
// access entries: time per /metrics scrape and per /routers/ADDRESS/lines over loopback HTTP,
// and the command round trip (`pv show`) alone and while ten clients scrape in a loop.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "http_get.h"
#include "loopback.h"
#include "netns.h"
#include "platform/host_os.h"
#include "platform/message_queue.h"
#include "service/api/api_server.h"
#include "service/base/messages.h"
#include "service/command/kel_cmd_server.h"
#include "service/command/service_settings.h"
#include "service/registry/kel_data.h"
#include "service/registry/pc_data.h"
#include "service/registry/pv_data.h"
#include "service/registry/quarantine_data.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kCommandPort = 8000;
constexpr uint16_t kApiPort = 9100;
constexpr int kRouters = 100;
constexpr int kRoutes = 4;
constexpr int kPcs = 10000;
constexpr int kEntries = 100;
constexpr int kScrapers = 10;

std::array<uint8_t, 4> Quad(int a, int b, int c, int d) {
  return {uint8_t(a), uint8_t(b), uint8_t(c), uint8_t(d)};
}

std::string Dotted(const std::array<uint8_t, 4>& q) {
  return std::to_string(q[0]) + '.' + std::to_string(q[1]) + '.' + std::to_string(q[2]) + '.' +
         std::to_string(q[3]);
}

// Router i at 127.1.0.i, routes 10.i.k.0/24; PC j at 10.(j%100).(j/100%4).(j/400+1).
void Fill() {
  for (int i = 0; i < kRouters; ++i) {
    auto* r = new CPvData();
    r->address = Quad(127, 1, 0, i + 1);
    r->addressText = Dotted(r->address);
    r->alive = 1;
    r->resendPending = 0;
    for (int k = 0; k < kRoutes; ++k) {
      auto* t = new CPvrouteData();
      t->network = Quad(10, i, k, 0);
      t->networkText = Dotted(t->network);
      t->netmask = Quad(255, 255, 255, 0);
      t->netmaskText = "255.255.255.0";
      t->devText = "eth" + std::to_string(k);
      r->routes.Add(t);
    }
    PvList().Add(r);
  }
  for (int j = 0; j < kPcs; ++j) {
    auto* p = new CPcData();
    p->source = Quad(10, j % 100, j / 100 % 4, j / 400 + 1);
    p->sourceText = Dotted(p->source);
    char mac[32];
    std::snprintf(mac, sizeof mac, "02:00:00:00:%02x:%02x", j >> 8, j & 0xff);
    p->macText = mac;
    PcList().Add(p);
  }
  auto* q = new CQuarantineData();
  q->source = Quad(172, 17, 254, 254);
  q->sourceText = "172.17.254.254";
  q->protocolText = "tcp";
  q->portText = "4208";
  QuarantineList().Add(q);
  for (int e = 0; e < kEntries; ++e) {
    auto* k = new CKelData();
    k->target = 1;
    std::array<uint8_t, 4> s = Quad(10, e % 100, e / 100 % 4, e / 400 + 1);
    std::memcpy(k->source, s.data(), 4);
    k->sourceText = Dotted(s);
    KelDataList().Add(k);
  }
}

// One GET over a fresh connection; the answer's length, -1 on failure.
long HttpGet(const std::string& path) {
  testsupport::HttpReply reply = testsupport::HttpGet(path, kApiPort);
  return reply.status == 0 ? -1 : static_cast<long>(reply.head.size() + 4 + reply.body.size());
}

bool ReadToPrompt(int fd) {
  char buf[16384];
  std::string tail;
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    tail.append(buf, static_cast<size_t>(n));
    if (tail.size() >= 2 && tail.compare(tail.size() - 2, 2, "$ ") == 0) return true;
    if (tail.size() > 4) tail.erase(0, tail.size() - 4);
  }
}

// Mean milliseconds of `runs` calls of fn, and the slowest.
template <class Fn>
void Time(const char* what, int runs, Fn fn, double* mean_ms) {
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    auto start = Clock::now();
    fn();
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::sort(ms.begin(), ms.end());
  double sum = 0;
  for (double m : ms) sum += m;
  *mean_ms = sum / runs;
  std::printf("%-34s mean %8.3f ms  median %8.3f ms  p99 %8.3f ms  (%d runs)\n", what, *mean_ms,
              ms[ms.size() / 2], ms[ms.size() * 99 / 100], runs);
}

// Mean microseconds of a `pv show` round trip over `seconds`.
double RoundTrip(int fd, double seconds) {
  auto end = Clock::now() + std::chrono::duration<double>(seconds);
  long count = 0;
  auto start = Clock::now();
  while (Clock::now() < end) {
    send(fd, "pv show\n", 8, MSG_NOSIGNAL);
    if (!ReadToPrompt(fd)) return -1;
    ++count;
  }
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / count;
}

}  // namespace

int main() {
  std::string error = testsupport::EnterPrivateNetwork();
  if (!error.empty()) {
    std::fprintf(stderr, "cannot make a private network (run as root): %s\n", error.c_str());
    return 1;
  }
  platform::BlockServiceSignals();
  Msg();
  platform::AttachMessageQueue();
  SetServiceSettings(ServiceSettings());
  auto fillStart = Clock::now();
  Fill();
  std::printf("registries: %d routers x %d routes, %d PCs, 1 server, %d entries (%.1f s to fill)\n",
              kRouters, kRoutes, kPcs, kEntries,
              std::chrono::duration<double>(Clock::now() - fillStart).count());

  auto commands = std::make_unique<CKelCmdServer>();
  commands->SaveThreadID(platform::CurrentThreadId());
  if (!commands->Start(kCommandPort)) return 1;
  ApiListen listen;
  ParseApiListen("127.0.0.1:" + std::to_string(kApiPort), &listen);
  ApiSources sources;
  sources.controllerStarted = [] { return true; };
  CKelApiServer api(std::move(sources));
  if (!api.Start(listen)) return 1;
  usleep(200 * 1000);

  double scrape = 0, lines = 0;
  long scrapeBytes = HttpGet("/metrics");
  Time(
      "GET /metrics", 200, [] { HttpGet("/metrics"); }, &scrape);
  long linesBytes = HttpGet("/routers/127.1.0.50/lines");
  Time(
      "GET /routers/127.1.0.50/lines", 10, [] { HttpGet("/routers/127.1.0.50/lines"); }, &lines);
  std::printf("answer sizes: /metrics %ld bytes, /lines %ld bytes\n", scrapeBytes, linesBytes);

  int fd = -1;
  for (int i = 0; i < 100 && fd < 0; ++i, usleep(10000))
    fd = testsupport::ConnectLoopbackTcp(kCommandPort);
  if (fd < 0 || !ReadToPrompt(fd)) return 1;
  double alone = RoundTrip(fd, 3.0);
  std::atomic<bool> scraping{true};
  std::atomic<long> scrapes{0};
  std::vector<std::thread> scrapers;
  for (int i = 0; i < kScrapers; ++i) {
    scrapers.emplace_back([&] {
      while (scraping.load()) {
        if (HttpGet("/metrics") > 0) ++scrapes;
      }
    });
  }
  usleep(200 * 1000);
  double loaded = RoundTrip(fd, 3.0);
  scraping.store(false);
  for (std::thread& t : scrapers) t.join();
  double slowdown = (loaded - alone) / alone * 100;
  std::printf(
      "pv show round trip: alone %.1f us, with %d scrapers %.1f us (%+.1f %%), "
      "%ld scrapes meanwhile\n",
      alone, kScrapers, loaded, slowdown, scrapes.load());
  std::printf("target (scrape < 5 ms): %s\n", scrape < 5.0 ? "met" : "not met");
  std::printf("target (round trip slowed < 10 %% while 10 clients scrape): %s\n",
              slowdown < 10.0 ? "met" : "not met");
  close(fd);
  api.Stop();
  commands.reset();
  platform::DetachMessageQueue();
  return 0;
}
