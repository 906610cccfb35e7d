// recovery_bench: how long a whole site takes to get its access lists back after a power cut.
// N routers (pvsim on loopback addresses 127.1.x.y, each answer delayed), M PCs behind each
// router's route, two quarantine servers and an access entry for every tenth PC: the real
// VoKelMng loads the routers, routes, PCs and servers from CSV files at start and takes the
// access entries on its command port, while every router is OFF (its address absent, so ICMP
// fails). Once that planning has run, all addresses are added at once: each router is
// diagnosed ON at its next probe and gets a client reset, a quarantine reset and a full reload.
// The figure is the time from the last ON diagnosis (its syslog datagram, caught here) to the
// last reload request answered (pvsim's journals), for each [HTTP] SENDERS value asked for,
// beside the lower bound total requests x delay / senders.
//
// Run as root: the whole site lives in a private network namespace made here; every packet goes
// to 127.0.0.0/8 inside it. Every run has a time-out, and a watchdog (or SIGTERM, SIGINT)
// kills the service and the pvsim processes when the whole exceeds --max-seconds.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "http_get.h"
#include "loopback.h"
#include "netns.h"
#include "pvsim.h"
#include "scratch_dir.h"

#ifndef VOKELMNG_PATH
#error "VOKELMNG_PATH must name the built service program"
#endif
#ifndef PVSIM_PATH
#error "PVSIM_PATH must name the built pvsim"
#endif

namespace {

constexpr uint16_t kCommandPort = 8000;
constexpr uint16_t kApiPort = 9100;

struct Options {
  int routers = 100;
  int pcs = 200;
  int delayMs = 5;
  int kelEvery = 10;  // an access entry for every kelEvery-th PC
  std::vector<int> senders = {5, 20, 64};
  bool thousand = false;  // also 1,000 PCs per router with the largest sender count
  int maxSeconds = 600;
};

// Every child of the benchmark (the service, the pvsim processes) is started to die with it, so
// that the watchdog and a terminating signal end them all by ending the benchmark.
void OnTerminate(int) { _exit(3); }

// Router r (1-based) is 127.1.<r / 250>.<r % 250 + 1>; its PCs sit in 10.<r>.0.0/16 (the first
// octet grows past 255 routers).
std::string RouterAddress(int r) {
  return "127.1." + std::to_string(r / 250) + "." + std::to_string(r % 250 + 1);
}
std::string Network(int r) {
  return std::to_string(10 + r / 256) + "." + std::to_string(r % 256) + ".0.0";
}
std::string PcAddress(int r, int k) {
  return std::to_string(10 + r / 256) + "." + std::to_string(r % 256) + "." +
         std::to_string(k / 250) + "." + std::to_string(k % 250 + 1);
}
std::string PcMac(int r, int k) {
  char mac[32];
  std::snprintf(mac, sizeof mac, "02:00:%02X:%02X:%02X:%02X", (r >> 8) & 0xff, r & 0xff,
                (k >> 8) & 0xff, k & 0xff);
  return mac;
}

bool IpBatch(const std::string& verb, int routers) {
  std::string script;
  for (int r = 1; r <= routers; ++r)
    script += "addr " + verb + " " + RouterAddress(r) + "/32 dev lo\n";
  FILE* ip = popen("ip -batch - 2>/dev/null", "w");
  if (ip == nullptr) return false;
  std::fwrite(script.data(), 1, script.size(), ip);
  return pclose(ip) == 0;
}

// One pvsim on address:880 demanding the routers' default login, each answer delayed.
bool StartRouter(testsupport::PvsimProcess& router, const std::string& address, int delayMs) {
  testsupport::PvsimOptions options;
  options.extra = {"--delay", std::to_string(delayMs)};
  options.die_with_parent = true;
  return router.Start(address, options);
}

// One GET to the operator API on 127.0.0.1:kApiPort.
testsupport::HttpReply Get(const std::string& path) {
  return testsupport::HttpGet(path, kApiPort, "127.0.0.1", 10000);
}

// A router's journal read as it grows: its line count and the latest answer time.
struct JournalTail {
  explicit JournalTail(const std::string& path) : journal(path) {}
  testsupport::PvsimJournal journal;
  long lines = 0;
  long notOk = 0;  // answered with anything but 200
  double lastAnswered = 0;

  void Read() {
    for (const testsupport::PvsimRequest& r : journal.ReadNew()) {
      ++lines;
      lastAnswered = std::max(lastAnswered, r.answered);
      if (r.status != 200) ++notOk;
    }
  }
};

// The ON diagnoses among the datagrams of the private network's syslog server: the arrival of
// each router's first one.
class OnWatcher {
 public:
  bool Start() { return syslog_.Start(514, "127.0.0.1", 64 << 20); }
  // Forgets every diagnosis so far.
  void Clear() {
    Update();
    on_.clear();
  }
  size_t OnCount() {
    Update();
    return on_.size();
  }
  // First and last ON arrival.
  std::pair<double, double> Span() {
    Update();
    double first = 1e300, last = 0;
    for (const auto& [address, at] : on_) {
      first = std::min(first, at);
      last = std::max(last, at);
    }
    return {first, last};
  }

 private:
  void Update() {
    const std::vector<std::string>& messages = syslog_.Messages();
    for (; seen_ < messages.size(); ++seen_) {
      const std::string& m = messages[seen_];
      size_t hit = m.find(") was diagnosed as ON");
      size_t open = m.find("PV(");
      if (hit != std::string::npos && open != std::string::npos && open < hit) {
        on_.emplace(m.substr(open + 3, hit - open - 3), syslog_.Arrival(seen_));
      }
    }
  }

  testsupport::SyslogListener syslog_;
  size_t seen_ = 0;
  std::map<std::string, double> on_;  // the first diagnosis of each router
};

struct Result {
  bool ok = false;
  std::string failure;
  long expected = 0;
  long delivered = 0;
  long notOk = 0;
  double onSpread = 0;  // first to last ON diagnosis
  double recovery = 0;  // last ON diagnosis to last reload answer
  double fromFirstOn = 0;
  double lowerBound = 0;
  double roundsBound = 0;  // ceil(routers / senders) rounds of the longest reload
};

// Commands sent in batches, every reply read; false with the first refusal in *error.
bool SendCommands(testsupport::CommandClient& client, const std::vector<std::string>& commands,
                  std::string* error) {
  constexpr size_t kBatch = 200;
  for (size_t at = 0; at < commands.size(); at += kBatch) {
    size_t end = std::min(commands.size(), at + kBatch);
    std::string bytes;
    for (size_t i = at; i < end; ++i) bytes += commands[i] + "\n";
    if (!client.Send(bytes)) {
      *error = "command port: send failed";
      return false;
    }
    for (size_t i = at; i < end; ++i) {
      std::optional<std::string> reply = client.ReadReply(30000);
      if (!reply.has_value()) {
        *error = "command port: no answer to " + commands[i];
        return false;
      }
      if (!reply->empty()) {
        *error = "command port: " + commands[i] + " -> " + *reply;
        return false;
      }
    }
  }
  return true;
}

Result RunSite(const Options& o, int pcs, int senders, OnWatcher& watcher) {
  Result result;
  std::vector<std::unique_ptr<testsupport::PvsimProcess>> routers;
  std::vector<JournalTail> tails;
  for (int r = 1; r <= o.routers; ++r) {
    routers.push_back(std::make_unique<testsupport::PvsimProcess>(PVSIM_PATH));
    if (!StartRouter(*routers.back(), RouterAddress(r), o.delayMs)) {
      result.failure = routers.back()->error();
      return result;
    }
    tails.emplace_back(routers.back()->journal());
  }

  // The service's profile and working directories, and its output.
  testsupport::ScratchDir config("recovery-config");
  testsupport::ScratchDir work("recovery-work");
  // The registries as `save` writes them (CRLF line ends), loaded at start: registering
  // 20,000 PCs one command at a time would cost a planning run over every registry each.
  std::string pv, pvroute, pc;
  for (int r = 1; r <= o.routers; ++r) {
    pv += "\"" + RouterAddress(r) + "\",880,\"admin\",\"pomvy\"\r\n";
    pvroute += "\"" + RouterAddress(r) + "\",\"eth0\",\"" + Network(r) + "\",\"255.255.0.0\"\r\n";
    for (int k = 0; k < pcs; ++k)
      pc += "\"" + PcMac(r, k) + "\",\"" + PcAddress(r, k) + "\",\"\",\"\"\r\n";
  }
  if (!work.Write("pv.csv", pv) || !work.Write("pvroute.csv", pvroute) ||
      !work.Write("pc.csv", pc) ||
      !work.Write("quarantine.csv",
                  "\"172.17.254.254\",\"tcp\",\"4208\"\r\n"
                  "\"172.17.254.253\",\"tcp\",\"4209\"\r\n")) {
    result.failure = "cannot write the registry files";
    return result;
  }
  if (!config.Write("VoKelMng.ini", "[HTTP]\nSENDERS=" + std::to_string(senders) +
                                        "\n[STATUS]\nLISTEN=127.0.0.1:" + std::to_string(kApiPort) +
                                        "\n")) {
    result.failure = "cannot write VoKelMng.ini";
    return result;
  }
  const std::vector<std::string> env = {"VOKELMNG_CONFIG_DIR=" + config.path(),
                                        "VOKELMNG_UNIT_DIR=" + config.path()};
  testsupport::ChildOptions options;
  options.env = env;
  options.cwd = work.path();
  options.die_with_parent = true;
  testsupport::ChildProcess reg;
  if (!reg.Start({VOKELMNG_PATH, "-RegServer"}, options) || reg.Wait(10000) != 0) {
    result.failure = "VoKelMng -RegServer failed";
    return result;
  }
  watcher.Clear();
  options.output = work.File("service.out");
  testsupport::ChildProcess service;
  if (!service.Start({VOKELMNG_PATH}, options)) {
    result.failure = "VoKelMng did not start";
    return result;
  }
  auto apiUntil = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (Get("/healthz").status != 200 || !testsupport::IsListening(kCommandPort)) {
    if (std::chrono::steady_clock::now() > apiUntil || !service.Running()) {
      result.failure = "the service did not come up: " + service.Output().substr(0, 400);
      return result;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  testsupport::CommandClient client;
  if (!client.Connect(kCommandPort) || !client.ReadReply().has_value()) {
    result.failure = "no command prompt";
    return result;
  }
  // The access entries through the command port; the routers, their routes, the PCs and the
  // quarantine servers are in the files the service loaded at start.
  std::vector<std::string> commands;
  for (int r = 1; r <= o.routers; ++r) {
    for (int k = 0; k < pcs; k += o.kelEvery) {
      commands.push_back("kel add accept source " + PcAddress(r, k) + " source-mac " + PcMac(r, k));
    }
  }
  auto registerStart = std::chrono::steady_clock::now();
  if (!SendCommands(client, commands, &result.failure)) return result;
  double registerSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - registerStart).count();
  // The commands are answered before their planning runs: each is one notification for the
  // controller, and a router event queued behind them would wait for all of them. The routers
  // come back only once every notification has been planned.
  double runs = -1;
  auto stableSince = std::chrono::steady_clock::now();
  auto planUntil = stableSince + std::chrono::seconds(o.maxSeconds);
  for (;;) {
    double now = testsupport::MetricSample(Get("/metrics").body, "vokelmng_planning_runs_total");
    auto t = std::chrono::steady_clock::now();
    if (now != runs) {
      runs = now;
      stableSince = t;
    }
    if (runs >= static_cast<double>(commands.size()) &&
        t - stableSince > std::chrono::milliseconds(300)) {
      break;
    }
    if (t - stableSince > std::chrono::seconds(5)) break;  // fewer runs than commands: settled
    if (t > planUntil) {
      result.failure = "the planning of the registration did not end";
      return result;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  double planSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - registerStart).count();

  // What each router's reset and full reload sends: the two resets and every line with its
  // copies, as the dry run lists them.
  std::vector<long> expected(static_cast<size_t>(o.routers));
  for (int r = 1; r <= o.routers; ++r) {
    testsupport::HttpReply reply = Get("/routers/" + RouterAddress(r) + "/lines");
    nlohmann::json lines = nlohmann::json::parse(reply.body, nullptr, false);
    if (reply.status != 200 || !lines.is_array()) {
      result.failure = "no dry run for " + RouterAddress(r) + ": status " +
                       std::to_string(reply.status) + " " + reply.body.substr(0, 200);
      return result;
    }
    long count = 2;
    for (const auto& line : lines) count += line.value("copies", 0L);
    expected[r - 1] = count;
    result.expected += count;
  }
  for (JournalTail& t : tails) t.Read();
  long early = 0;
  for (const JournalTail& t : tails) early += t.lines;
  if (early != 0 || watcher.OnCount() != 0) {
    result.failure = "a router was reached while its address was absent";
    return result;
  }
  result.lowerBound = static_cast<double>(result.expected) * o.delayMs / 1000.0 / senders;
  // A router's requests go one after another, so the routers go in rounds of `senders`.
  long longest = *std::max_element(expected.begin(), expected.end());
  result.roundsBound = static_cast<double>((o.routers + senders - 1) / senders) *
                       static_cast<double>(longest) * o.delayMs / 1000.0;
  std::printf(
      "  SENDERS=%d, %d PCs: %zu kel add answered in %.1f s, planned after %.1f s (%.0f "
      "runs); %ld requests to deliver (%ld for router 1)\n",
      senders, pcs, commands.size(), registerSeconds, planSeconds, runs, result.expected,
      expected[0]);
  std::fflush(stdout);

  // Power back: every address at once.
  if (!IpBatch("add", o.routers)) {
    result.failure = "ip could not add the router addresses";
    return result;
  }
  // The reloads are made one router after another before they are sent: allow a second each.
  double timeoutSeconds = 60 + 3 * result.lowerBound + 1.0 * o.routers;
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(static_cast<long>(timeoutSeconds * 1000));
  bool done = false;
  while (!done && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    done = watcher.OnCount() == static_cast<size_t>(o.routers);
    for (int r = 0; r < o.routers; ++r) {
      tails[r].Read();
      done = done && tails[r].lines >= expected[r];
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // anything beyond the reload
  double lastAnswered = 0;
  for (JournalTail& t : tails) {
    t.Read();
    result.delivered += t.lines;
    result.notOk += t.notOk;
    lastAnswered = std::max(lastAnswered, t.lastAnswered);
  }
  auto [firstOn, lastOn] = watcher.Span();
  result.onSpread = lastOn - firstOn;
  result.recovery = lastAnswered - lastOn;
  result.fromFirstOn = lastAnswered - firstOn;
  if (!done) {
    result.failure = "time-out after " + std::to_string(static_cast<int>(timeoutSeconds)) +
                     " s: " + std::to_string(watcher.OnCount()) + " routers ON, " +
                     std::to_string(result.delivered) + " of " + std::to_string(result.expected) +
                     " requests delivered";
  } else if (result.delivered != result.expected || result.notOk != 0) {
    result.failure = "delivered " + std::to_string(result.delivered) + " requests, expected " +
                     std::to_string(result.expected) + " (" + std::to_string(result.notOk) +
                     " not answered 200)";
  } else {
    result.ok = true;
  }
  client.Close();
  int status = service.Stop(15000);
  if (status != 0 && result.ok) {
    result.ok = false;
    result.failure = "VoKelMng stopped with status " + std::to_string(status);
  }
  routers.clear();
  IpBatch("del", o.routers);
  return result;
}

bool ParseInt(const char* text, int min, int max, int* out) {
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < min || v > max) return false;
  *out = static_cast<int>(v);
  return true;
}

int Usage() {
  std::fprintf(stderr,
               "usage: recovery_bench [--routers N] [--pcs M] [--delay MS] [--senders A,B,...]\n"
               "                      [--kel-every K] [--thousand-pcs] [--max-seconds S]\n"
               "  defaults: 100 routers x 200 PCs, pvsim answering after 5 ms, SENDERS 5,20,64,\n"
               "  an access entry for every 10th PC; --thousand-pcs adds 1,000 PCs per router\n"
               "  with the largest SENDERS value. Run as root.\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool more = i + 1 < argc;
    if (a == "--routers" && more) {
      if (!ParseInt(argv[++i], 1, 4000, &o.routers)) return Usage();
    } else if (a == "--pcs" && more) {
      if (!ParseInt(argv[++i], 1, 60000, &o.pcs)) return Usage();
    } else if (a == "--delay" && more) {
      if (!ParseInt(argv[++i], 0, 10000, &o.delayMs)) return Usage();
    } else if (a == "--kel-every" && more) {
      if (!ParseInt(argv[++i], 1, 1000000, &o.kelEvery)) return Usage();
    } else if (a == "--max-seconds" && more) {
      if (!ParseInt(argv[++i], 10, 86400, &o.maxSeconds)) return Usage();
    } else if (a == "--senders" && more) {
      o.senders.clear();
      std::string list = argv[++i];
      for (size_t at = 0; at <= list.size();) {
        size_t comma = std::min(list.find(',', at), list.size());
        int n = 0;
        if (!ParseInt(list.substr(at, comma - at).c_str(), 1, 64, &n)) return Usage();
        o.senders.push_back(n);
        at = comma + 1;
      }
    } else if (a == "--thousand-pcs") {
      o.thousand = true;
    } else {
      return Usage();
    }
  }
  if (o.routers > 250 * 250) return Usage();

  std::string error = testsupport::EnterPrivateNetwork();
  if (!error.empty()) {
    std::fprintf(stderr, "recovery_bench: needs root for a private network: %s\n", error.c_str());
    return 1;
  }
  if (!testsupport::NarrowLoopback() ||
      !testsupport::WriteFile("/proc/sys/net/ipv4/ip_nonlocal_bind", "1\n")) {
    std::fprintf(stderr, "recovery_bench: cannot set up the loopback addresses\n");
    return 1;
  }
  struct sigaction action {};
  action.sa_handler = OnTerminate;
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal, &action, nullptr);
  std::thread([max = o.maxSeconds] {
    std::this_thread::sleep_for(std::chrono::seconds(max));
    std::printf("recovery_bench: gave up after %d s (--max-seconds); its children are killed\n",
                max);
    std::fflush(stdout);
    _exit(3);
  }).detach();

  OnWatcher watcher;
  if (!watcher.Start()) {
    std::fprintf(stderr, "recovery_bench: cannot bind the syslog port 127.0.0.1:514\n");
    return 1;
  }

  std::printf(
      "recovery_bench: %d routers, pvsim answering after %d ms, 2 quarantine servers, an "
      "access entry for every %d%s PC\n",
      o.routers, o.delayMs, o.kelEvery, o.kelEvery == 1 ? "" : "th");
  std::printf(
      "recovery: last ON diagnosis to last reload request answered; lower bound: "
      "requests x delay / senders\n");
  std::fflush(stdout);

  struct Row {
    int pcs;
    int senders;
    Result r;
  };
  std::vector<Row> rows;
  std::vector<std::pair<int, int>> plan;
  for (int s : o.senders) plan.push_back({o.pcs, s});
  if (o.thousand) plan.push_back({1000, *std::max_element(o.senders.begin(), o.senders.end())});
  bool allRan = true;
  for (auto [pcs, senders] : plan) {
    Result r = RunSite(o, pcs, senders, watcher);
    if (!r.failure.empty()) {
      std::printf("  SENDERS=%d, %d PCs: %s\n", senders, pcs, r.failure.c_str());
      allRan = false;
    }
    rows.push_back({pcs, senders, r});
    std::fflush(stdout);
  }

  std::printf("\n%8s %8s %10s %12s %12s %14s %8s %14s %12s\n", "PCs/rtr", "SENDERS", "requests",
              "ON spread s", "recovery s", "lower bound s", "ratio", "rounds bound s",
              "from 1st ON s");
  for (const Row& row : rows) {
    std::printf("%8d %8d %10ld %12.2f %12.2f %14.2f %8.2f %14.2f %12.2f%s\n", row.pcs, row.senders,
                row.r.expected, row.r.onSpread, row.r.recovery, row.r.lowerBound,
                row.r.lowerBound > 0 ? row.r.recovery / row.r.lowerBound : 0.0, row.r.roundsBound,
                row.r.fromFirstOn, row.r.ok ? "" : "  (incomplete)");
  }
  std::printf(
      "lower bound: requests x delay / SENDERS; rounds bound: ceil(routers / SENDERS) x "
      "the longest reload x delay, since each router's requests go one at a time\n");
  const char* target =
      "target (recovery with SENDERS=64 within twice the lower bound at 100 routers x 200 PCs)";
  // (the defaults: 5 ms answers, an access entry for every tenth PC)
  const Row* measured = nullptr;
  for (const Row& row : rows) {
    if (row.senders == 64 && row.pcs == 200 && o.routers == 100 && o.kelEvery == 10 &&
        o.delayMs == 5) {
      measured = &row;
    }
  }
  if (measured == nullptr) {
    std::printf("%s: not measured (needs SENDERS=64 at 100 routers x 200 PCs)\n", target);
  } else {
    bool met = measured->r.ok && measured->r.recovery <= 2 * measured->r.lowerBound;
    std::printf("%s: %s\n", target, met ? "met" : "not met");
  }
  return allRan ? 0 : 1;
}
