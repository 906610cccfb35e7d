// Operator API costs. By default 100 routers x 4 routes, 10,000 PCs, one quarantine server and
// 100 access entries: time per /metrics scrape and per /routers/ADDRESS/lines over loopback
// HTTP, and the command round trip (`pv show`) alone and while ten clients scrape in a loop, in
// eleven pairs of turns.
//
// With a size (--routers, --pcs, --entries, --servers; the campus is 1,000 routers, 100,000 PCs,
// 1,000 entries and 2 servers) the site also carries what a running service shows: routers ON
// and a few OFF and out of sync, delivery and probe counts for every router, requests waiting in
// the store and a client with 64 idle senders. Then GET /metrics, /routers and /status are timed
// (median, mean, p99), the answers checked against the site, and the command round trip
// (`quarantine show`, and `pv show` beside it) is taken alone and while ten clients fetch the
// three in turn, in eleven pairs of turns.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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
#include "platform/thread.h"
#include "service/acl/out_of_sync_marks.h"
#include "service/api/api_server.h"
#include "service/base/messages.h"
#include "service/command/kel_cmd_server.h"
#include "service/command/service_settings.h"
#include "service/keepalive/probe_stats.h"
#include "service/registry/kel_data.h"
#include "service/registry/pc_data.h"
#include "service/registry/pv_data.h"
#include "service/registry/quarantine_data.h"
#include "service/transport/delivery_stats.h"
#include "service/transport/http_client.h"
#include "service/transport/http_data.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kCommandPort = 8000;
constexpr uint16_t kApiPort = 9100;
constexpr int kRoutes = 4;
constexpr int kScrapers = 10;
constexpr int kSenders = 64;     // the most [HTTP] SENDERS allows
constexpr int kOffEvery = 50;    // every 50th router OFF and out of sync, with requests held
constexpr int kHeldPerOff = 10;  // requests waiting in the store for each OFF router
constexpr double kMedianTargetMs = 20;

struct Site {
  int routers = 100;
  int pcs = 10000;
  int entries = 100;
  int servers = 1;
  bool sized = false;  // any size given: the sized run
};

constexpr char kUsage[] =
    "usage: api_bench [--routers N] [--pcs N] [--entries N] [--servers N]\n"
    "  Without options: 100 routers x 4 routes, 10,000 PCs, 100 entries, 1 server; /metrics\n"
    "  and a dry run timed, the `pv show` round trip alone and while ten clients scrape.\n"
    "  With a size (the campus: --routers 1000 --pcs 100000 --entries 1000 --servers 2): the\n"
    "  site with delivery, probe and store state; /metrics, /routers and /status timed and\n"
    "  checked, the command round trip alone and while ten clients fetch them.\n"
    "  Run as root (private network namespace).\n";

// Parses the arguments into *site; exit status to end with (0 for --help, 2 for a bad one), or
// -1 to run.
int ParseArguments(int argc, char** argv, Site* site) {
  struct Option {
    const char* name;
    int* value;
    long low;
    long high;
  };
  const Option options[] = {{"--routers", &site->routers, 1, 10000},
                            {"--pcs", &site->pcs, 0, 10000L * kRoutes * 254},
                            {"--entries", &site->entries, 0, 10000L * kRoutes * 254},
                            {"--servers", &site->servers, 1, 250}};
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    const Option* found = nullptr;
    for (const Option& o : options) {
      if (std::strcmp(argv[i], o.name) == 0) found = &o;
    }
    if (found == nullptr || i + 1 >= argc) {
      std::fprintf(stderr, "api_bench: %s: %s\n%s", argv[i],
                   found == nullptr ? "unknown option" : "needs a number", kUsage);
      return 2;
    }
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(argv[++i], &end, 10);
    if (errno != 0 || end == argv[i] || *end != '\0' || value < found->low || value > found->high) {
      std::fprintf(stderr, "api_bench: %s %s: not a number from %ld to %ld\n%s", found->name,
                   argv[i], found->low, found->high, kUsage);
      return 2;
    }
    *found->value = static_cast<int>(value);
    site->sized = true;
  }
  if (site->pcs > site->routers * kRoutes * 254) {
    std::fprintf(stderr, "api_bench: at most 1,016 PCs per router (254 per route)\n%s", kUsage);
    return 2;
  }
  if (site->entries > site->pcs) {
    std::fprintf(stderr, "api_bench: at most one entry per PC\n%s", kUsage);
    return 2;
  }
  return -1;
}

std::array<uint8_t, 4> Quad(int a, int b, int c, int d) {
  return {uint8_t(a), uint8_t(b), uint8_t(c), uint8_t(d)};
}

std::string Dotted(const std::array<uint8_t, 4>& q) {
  return std::to_string(q[0]) + '.' + std::to_string(q[1]) + '.' + std::to_string(q[2]) + '.' +
         std::to_string(q[3]);
}

// 1234567 as "1,234,567".
std::string Thousands(long n) {
  std::string digits = std::to_string(n);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

// Router i at 127.1.(i/200).(i%200+1); its route k is 10.(i%256).(k+4*(i/256)).0/24; PC j sits
// behind route (j/routers)%4 of router j%routers, host j/(routers*4)+1; entry e is PC e's. With
// 100 routers: router i at 127.1.0.i+1, routes 10.i.k.0, PC j at 10.(j%100).(j/100%4).(j/400+1).
std::array<uint8_t, 4> RouterAddress(int i) { return Quad(127, 1, i / 200, i % 200 + 1); }

std::array<uint8_t, 4> RouteNetwork(int i, int k) {
  return Quad(10, i % 256, k + kRoutes * (i / 256), 0);
}

std::array<uint8_t, 4> PcAddress(const Site& site, int j) {
  std::array<uint8_t, 4> a = RouteNetwork(j % site.routers, j / site.routers % kRoutes);
  a[3] = uint8_t(j / (site.routers * kRoutes) + 1);
  return a;
}

bool IsOff(const Site& site, int i) { return site.sized && i % kOffEvery == kOffEvery - 1; }

void Fill(const Site& site) {
  for (int i = 0; i < site.routers; ++i) {
    auto* r = new CPvData();
    r->address = RouterAddress(i);
    r->addressText = Dotted(r->address);
    r->alive = IsOff(site, i) ? 0 : 1;
    r->resendPending = 0;
    for (int k = 0; k < kRoutes; ++k) {
      auto* t = new CPvrouteData();
      t->network = RouteNetwork(i, k);
      t->networkText = Dotted(t->network);
      t->netmask = Quad(255, 255, 255, 0);
      t->netmaskText = "255.255.255.0";
      t->devText = "eth" + std::to_string(k);
      r->routes.Add(t);
    }
    PvList().Add(r);
  }
  for (int j = 0; j < site.pcs; ++j) {
    auto* p = new CPcData();
    p->source = PcAddress(site, j);
    p->sourceText = Dotted(p->source);
    char mac[32];
    std::snprintf(mac, sizeof mac, "02:00:00:%02x:%02x:%02x", (j >> 16) & 0xff, (j >> 8) & 0xff,
                  j & 0xff);
    p->macText = mac;
    PcList().Add(p);
  }
  for (int s = 0; s < site.servers; ++s) {
    auto* q = new CQuarantineData();
    q->source = Quad(172, 17, 254, 254 - s);
    q->sourceText = Dotted(q->source);
    q->protocolText = "tcp";
    q->portText = "4208";
    QuarantineList().Add(q);
  }
  for (int e = 0; e < site.entries; ++e) {
    auto* k = new CKelData();
    k->target = 1;
    std::array<uint8_t, 4> s = PcAddress(site, e);
    std::memcpy(k->source, s.data(), 4);
    k->sourceText = Dotted(s);
    KelDataList().Add(k);
  }
}

// What the senders, probers and repair of a running site would have recorded: every router
// probed and delivered to, every 7th with a failed attempt; the OFF ones with their last probe
// unanswered, a request dropped (so out of sync) and requests waiting in the store.
void FeedState(const Site& site) {
  for (int i = 0; i < site.routers; ++i) {
    const std::array<uint8_t, 4> a = RouterAddress(i);
    uint32_t address;
    std::memcpy(&address, a.data(), 4);
    KeepAliveStats().Probed(address, true, true);
    for (int n = 0; n < i % 5 + 2; ++n) {
      TransportStats().Delivered(address, 880, 200, "ok");
      KeepAliveStats().Probed(address, true, false);
    }
    if (i % 7 == 3) TransportStats().AttemptFailed(address, 880);
    if (!IsOff(site, i)) continue;
    KeepAliveStats().Probed(address, false, true);
    TransportStats().Dropped(address, 880);
    RouterSyncMarkOut(a, 880, true);
    for (int n = 0; n < kHeldPerOff; ++n) {
      auto* request = new CHttpData();
      request->SetAddressBytes(a.data());
      request->port = 880;
      request->header = "POST /acl HTTP/1.1\r\nHost: " + Dotted(a) + "\r\n\r\n";
      request->body = "class=client&opcode=add&count=1&acl=" + std::to_string(n);
      HttpDataStore().AddTail(request);
    }
  }
}

// One GET over a fresh connection; the answer's length, -1 on failure.
long HttpGet(const std::string& path) {
  testsupport::HttpReply reply = testsupport::HttpGet(path, kApiPort);
  return reply.status == 0 ? -1 : static_cast<long>(reply.head.size() + 4 + reply.body.size());
}

// One GET over a fresh connection, the answer read and dropped as it comes: a client that costs
// this machine little beside the server (a real scraper runs elsewhere). The bytes, -1 on failure.
long Drain(const std::string& path) {
  int fd = testsupport::ConnectTcp("127.0.0.1", kApiPort);
  if (fd < 0) return -1;
  const std::string request =
      "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  long total = send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0 ? -1 : 0;
  char buf[65536];
  for (ssize_t n; total >= 0 && (n = recv(fd, buf, sizeof buf, 0)) > 0;) total += n;
  close(fd);
  return total > 0 ? total : -1;
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

struct Timing {
  double mean = 0;
  double median = 0;
  double p99 = 0;
};

// Mean, median and p99 milliseconds of `runs` calls of fn, printed.
template <class Fn>
Timing Time(const char* what, int runs, Fn fn) {
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    auto start = Clock::now();
    fn();
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::sort(ms.begin(), ms.end());
  double sum = 0;
  for (double m : ms) sum += m;
  Timing t{sum / runs, ms[ms.size() / 2], ms[ms.size() * 99 / 100]};
  std::printf("%-34s mean %8.3f ms  median %8.3f ms  p99 %8.3f ms  (%d runs)\n", what, t.mean,
              t.median, t.p99, runs);
  return t;
}

// Mean microseconds of a `command` round trip over `seconds`.
double RoundTrip(int fd, const std::string& command, double seconds) {
  const std::string line = command + '\n';
  auto end = Clock::now() + std::chrono::duration<double>(seconds);
  long count = 0;
  auto start = Clock::now();
  while (Clock::now() < end) {
    send(fd, line.data(), line.size(), MSG_NOSIGNAL);
    if (!ReadToPrompt(fd)) return -1;
    ++count;
  }
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / count;
}

// Ten client threads fetching `paths` in turn with `get` (each starting at another path) until
// stopped, at the lowest priority.
class Scrapers {
 public:
  Scrapers(std::vector<std::string> paths, long (*get)(const std::string&))
      : paths_(std::move(paths)) {
    for (int i = 0; i < kScrapers; ++i) {
      threads_.emplace_back([this, i, get] {
        // They stand for scrapers on other machines: their own reading of the answers would
        // not fall on the service's machine, so it gives way here as the server does.
        platform::SetCurrentThreadPriority(platform::ThreadPriority::kBackground);
        for (size_t n = size_t(i); running_.load(); ++n) {
          if (get(paths_[n % paths_.size()]) > 0) ++done_;
        }
      });
    }
  }
  ~Scrapers() { Stop(); }
  void Stop() {
    running_.store(false);
    for (std::thread& t : threads_) {
      if (t.joinable()) t.join();
    }
  }
  long Done() const { return done_.load(); }

 private:
  const std::vector<std::string> paths_;
  std::atomic<bool> running_{true};
  std::atomic<long> done_{0};
  std::vector<std::thread> threads_;
};

// A command's round trip alone and while ten clients fetch `paths` with `get`, in short turns
// taken in pairs: this machine is shared, and load from elsewhere comes and goes within
// seconds. The slowdown is the median of the pairs' ratios, the round trips the medians of the
// turns. False when the command port stopped answering.
constexpr int kTurns = 11;
struct PairedTrips {
  double alone = 0;
  double loaded = 0;
  double slowdown = 0;  // percent
  long scrapes = 0;
};
bool MeasurePaired(int fd, const std::string& command, const std::vector<std::string>& paths,
                   long (*get)(const std::string&), PairedTrips* trip) {
  std::vector<double> alone;
  std::vector<double> loaded;
  std::vector<double> ratios;
  for (int turn = 0; turn < kTurns; ++turn) {
    alone.push_back(RoundTrip(fd, command, 0.5));
    Scrapers scrapers(paths, get);
    usleep(100 * 1000);
    long before = scrapers.Done();
    loaded.push_back(RoundTrip(fd, command, 0.5));
    trip->scrapes += scrapers.Done() - before;
    if (alone.back() <= 0 || loaded.back() <= 0) return false;
    ratios.push_back(loaded.back() / alone.back());
  }
  std::sort(alone.begin(), alone.end());
  std::sort(loaded.begin(), loaded.end());
  std::sort(ratios.begin(), ratios.end());
  trip->alone = alone[kTurns / 2];
  trip->loaded = loaded[kTurns / 2];
  trip->slowdown = (ratios[kTurns / 2] - 1) * 100;
  return true;
}

// Today's run at the default size, its figures and target lines unchanged.
int RunDefault() {
  double scrape = 0;
  long scrapeBytes = HttpGet("/metrics");
  scrape = Time("GET /metrics", 200, [] { HttpGet("/metrics"); }).mean;
  long linesBytes = HttpGet("/routers/127.1.0.50/lines");
  Time("GET /routers/127.1.0.50/lines", 10, [] { HttpGet("/routers/127.1.0.50/lines"); });
  std::printf("answer sizes: /metrics %ld bytes, /lines %ld bytes\n", scrapeBytes, linesBytes);

  int fd = -1;
  for (int i = 0; i < 100 && fd < 0; ++i, usleep(10000))
    fd = testsupport::ConnectLoopbackTcp(kCommandPort);
  if (fd < 0 || !ReadToPrompt(fd)) return 1;
  PairedTrips trip;
  if (!MeasurePaired(fd, "pv show", {"/metrics"}, Drain, &trip)) return 1;
  const double slowdown = trip.slowdown;
  std::printf(
      "pv show round trip: alone %.1f us, with %d scrapers %.1f us (%+.1f %%, medians of %d "
      "paired turns of 0.5 s), %ld scrapes meanwhile\n",
      trip.alone, kScrapers, trip.loaded, slowdown, kTurns, trip.scrapes);
  std::printf("target (scrape < 5 ms): %s\n", scrape < 5.0 ? "met" : "not met");
  std::printf("target (round trip slowed < 10 %% while 10 clients scrape): %s\n",
              slowdown < 10.0 ? "met" : "not met");
  close(fd);
  return 0;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) ++n;
  return n;
}

// Fetches the three answers and checks that they carry the site; false (said why) when not.
bool CheckAnswers(const Site& site, long* sizes) {
  const int off = site.routers / kOffEvery;
  const int on = site.routers - off;
  testsupport::HttpReply metrics = testsupport::HttpGet("/metrics", kApiPort);
  testsupport::HttpReply routers = testsupport::HttpGet("/routers", kApiPort);
  testsupport::HttpReply status = testsupport::HttpGet("/status", kApiPort);
  sizes[0] = long(metrics.body.size());
  sizes[1] = long(routers.body.size());
  sizes[2] = long(status.body.size());
  const std::string onText = "\"on\":" + std::to_string(on) + ",\"off\":" + std::to_string(off) +
                             ",\"out_of_sync\":" + std::to_string(off) + '}';
  const std::string storeText = "\"request_store_size\":" + std::to_string(off * kHeldPerOff) + ',';
  struct Check {
    const char* what;
    bool ok;
  } checks[] = {
      {"/metrics status 200", metrics.status == 200},
      {"/metrics: one vokelmng_router_up sample per router",
       Count(metrics.body, "\nvokelmng_router_up{") == size_t(site.routers)},
      {"/metrics: the requests held in the store",
       metrics.body.find("\nvokelmng_request_store_size " + std::to_string(off * kHeldPerOff) +
                         '\n') != std::string::npos},
      {"/routers status 200", routers.status == 200},
      {"/routers: one object per router",
       Count(routers.body, "{\"address\":") == size_t(site.routers)},
      {"/routers: delivery and probe state", Count(routers.body, "\"result\":\"ok\"") > 0 &&
                                                 Count(routers.body, "\"answered\":true}") > 0},
      {"/routers: the OFF routers out of sync",
       Count(routers.body, "\"out_of_sync\":true") == size_t(off)},
      {"/status status 200", status.status == 200},
      {"/status: routers ON, OFF and out of sync", status.body.find(onText) != std::string::npos},
      {"/status: the store's size", status.body.find(storeText) != std::string::npos},
  };
  bool all = true;
  for (const Check& c : checks) {
    if (!c.ok) {
      std::printf("answer check failed: %s\n", c.what);
      all = false;
    }
  }
  return all;
}

// The sized run: the three answers timed and checked, then the command round trip alone and
// while ten clients fetch them, in three alternating turns.
int RunSized(const Site& site) {
  const std::string middle = Dotted(RouterAddress(site.routers / 2));
  const std::string linesPath = "/routers/" + middle + "/lines";
  long sizes[3] = {0, 0, 0};
  if (!CheckAnswers(site, sizes)) return 1;
  Timing metrics = Time("GET /metrics", 200, [] { HttpGet("/metrics"); });
  Timing routers = Time("GET /routers", 200, [] { HttpGet("/routers"); });
  Timing status = Time("GET /status", 200, [] { HttpGet("/status"); });
  long linesBytes = HttpGet(linesPath);
  Time(("GET " + linesPath).c_str(), 10, [&] { HttpGet(linesPath); });
  std::printf(
      "answer sizes (bodies): /metrics %s bytes, /routers %s bytes (%s routers), /status %s "
      "bytes, /lines %ld bytes\n",
      Thousands(sizes[0]).c_str(), Thousands(sizes[1]).c_str(), Thousands(site.routers).c_str(),
      Thousands(sizes[2]).c_str(), linesBytes);
  std::printf("answers checked: %d routers (%d OFF and out of sync), %d requests in the store\n",
              site.routers, site.routers / kOffEvery, site.routers / kOffEvery * kHeldPerOff);

  int fd = -1;
  for (int i = 0; i < 100 && fd < 0; ++i, usleep(10000))
    fd = testsupport::ConnectLoopbackTcp(kCommandPort);
  if (fd < 0 || !ReadToPrompt(fd)) return 1;
  // `quarantine show` goes through the command port, the table and a registry's snapshot like
  // every show, but answers in a few lines: the measure of the port. `pv show` answers with
  // every router, so its round trip is mostly its own copying and sending; shown beside it.
  struct Trip : PairedTrips {
    std::string command;
    std::string what;
  } trips[2];
  trips[0].command = "quarantine show";
  trips[0].what = Thousands(site.servers) + " lines, the measure of the target";
  trips[1].command = "pv show";
  trips[1].what = Thousands(site.routers) + " lines";
  for (Trip& trip : trips) {
    if (!MeasurePaired(fd, trip.command, {"/metrics", "/routers", "/status"}, Drain, &trip)) {
      return 1;
    }
    std::printf(
        "%s round trip (%s): alone %.1f us, with %d clients fetching /metrics, /routers and "
        "/status %.1f us, slowed %+.1f %% (medians of %d paired turns of 0.5 s), %ld answers "
        "meanwhile\n",
        trip.command.c_str(), trip.what.c_str(), trip.alone, kScrapers, trip.loaded, trip.slowdown,
        kTurns, trip.scrapes);
  }
  close(fd);
  const double slowdown = trips[0].slowdown;
  const bool fast = metrics.median <= kMedianTargetMs && routers.median <= kMedianTargetMs &&
                    status.median <= kMedianTargetMs;
  const std::string at = Thousands(site.routers) + " router" + (site.routers == 1 ? "" : "s");
  std::printf("target (/metrics, /routers and /status each within 20 ms median at %s): %s\n",
              at.c_str(), fast ? "met" : "not met");
  std::printf("target (round trip slowed < 10 %% while 10 clients scrape, %s): %s\n", at.c_str(),
              slowdown < 10.0 ? "met" : "not met");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Site site;
  int exitStatus = ParseArguments(argc, argv, &site);
  if (exitStatus >= 0) return exitStatus;
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
  Fill(site);
  std::printf(
      "registries: %d routers x %d routes, %d PCs, %d server%s, %d entries (%.1f s to fill)\n",
      site.routers, kRoutes, site.pcs, site.servers, site.servers == 1 ? "" : "s", site.entries,
      std::chrono::duration<double>(Clock::now() - fillStart).count());

  // The sized run's senders stay idle: nothing wakes their dispatcher, which would otherwise
  // hand the held requests to routers that are not there.
  std::unique_ptr<CKelHttpClient> client;
  if (site.sized) {
    FeedState(site);
    HttpSenderTiming idle;
    idle.pollMs = 3600 * 1000;
    client = std::make_unique<CKelHttpClient>(idle, kSenders);
    client->SaveThreadID(platform::CurrentThreadId());
  }

  auto commands = std::make_unique<CKelCmdServer>();
  commands->SaveThreadID(platform::CurrentThreadId());
  if (!commands->Start(kCommandPort)) return 1;
  ApiListen listen;
  ParseApiListen("127.0.0.1:" + std::to_string(kApiPort), &listen);
  ApiSources sources;
  sources.controllerStarted = [] { return true; };
  sources.httpClient = client.get();
  CKelApiServer api(std::move(sources));
  if (!api.Start(listen)) return 1;
  usleep(200 * 1000);

  exitStatus = site.sized ? RunSized(site) : RunDefault();
  api.Stop();
  commands.reset();
  client.reset();
  platform::DetachMessageQueue();
  return exitStatus;
}
