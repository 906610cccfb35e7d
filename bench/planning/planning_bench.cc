// planning_bench: wall time of the planning of one "kel add" and one "pc add" notification
// against 10,000 PCs, 100 routers that are ON with 4 routes each, 2 quarantine servers and 100
// access entries already carried out; the requests are counted in the store, not delivered.
// Planning edits (the default) and with state-based sync ([ACL] SYNC=state) after every router's
// reload, with the memory its held sets take. Every round adds a new record. The two ways take
// turns in three blocks, so that a slow moment of the machine weighs on both alike.
// First, in a child process, the large site: 1,000 routers x 4 routes, 100,000 PCs, 2 quarantine
// servers and 1,000 access entries; kel add and pc add in both ways, the reset and reload of one
// router that came back (edits), one quarantine add (every PC behind every router) and its peak
// memory, so that the growth is visible.
//   planning_bench           # both sites
//   planning_bench --large   # the large site alone, in this process
//   planning_bench --large-edits ROUNDS  # its kel add and pc add (edits) alone: perf record
//   planning_bench --large-state ROUNDS  # its kel add and pc add with state sync alone
// Runs in a private network of its own, so the log datagrams never leave it.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/address_util.h"
#include "netns.h"
#include "service/acl/acl_process.h"
#include "service/acl/router_recovery.h"
#include "service/acl/state_sync.h"
#include "service/registry/kel_data.h"
#include "service/registry/pc_data.h"
#include "service/registry/pv_data.h"
#include "service/registry/quarantine_data.h"
#include "service/transport/http_data.h"

namespace {

int kRouters = 100;  // the large site changes these three
int kPcs = 10000;
int kEntries = 100;
constexpr int kRoutesPerRouter = 4;
int kRounds = 7;  // --large-edits changes it
constexpr int kReloadRounds = 20;
constexpr double kTargetMs = 5.0;

std::array<uint8_t, 4> Ip(const std::string& text) {
  std::array<uint8_t, 4> b{};
  IsIpAddress(text.c_str(), b.data());
  return b;
}

// Route n (router n / 4, route n % 4) is the network 10.(n / 256).(n % 256).0/24.
std::string RouteNetwork(int n) {
  return "10." + std::to_string(n / 256) + "." + std::to_string(n % 256) + ".";
}

std::string RouterAddress(int i) {
  return "172." + std::to_string(16 + i / 256) + "." + std::to_string(i % 256) + ".1";
}

// PC k lives in route k % (routes) as host k / (routes) + 1.
std::string PcAddress(int k) {
  int routes = kRouters * kRoutesPerRouter;
  return RouteNetwork(k % routes) + std::to_string(k / routes + 1);
}

void FillRegistries() {
  for (int i = 0; i < kRouters; ++i) {
    auto* r = new CPvData();
    r->addressText = RouterAddress(i);
    r->address = Ip(r->addressText);
    r->alive = 1;
    for (int j = 0; j < kRoutesPerRouter; ++j) {
      auto* t = new CPvrouteData();
      t->devText = "eth" + std::to_string(j);
      t->networkText = RouteNetwork(i * kRoutesPerRouter + j) + "0";
      t->network = Ip(t->networkText);
      t->netmaskText = "255.255.255.0";
      t->netmask = Ip(t->netmaskText);
      r->routes.Add(t);
    }
    PvList().Add(r);
  }
  for (int k = 0; k < kPcs; ++k) {
    auto* p = new CPcData();
    char mac[18];
    std::snprintf(mac, sizeof mac, "02:00:00:%02X:%02X:%02X", (k >> 16) & 0xFF, (k >> 8) & 0xFF,
                  k & 0xFF);
    p->macText = mac;
    ParseMacAddress(mac, p->mac.data());
    p->sourceText = PcAddress(k);
    p->source = Ip(p->sourceText);
    PcList().Add(p);
  }
  const char* servers[][3] = {{"172.17.254.254", "tcp", "4208"}, {"172.17.254.253", "udp", "53"}};
  for (auto& s : servers) {
    auto* q = new CQuarantineData();
    q->sourceText = s[0];
    q->source = Ip(s[0]);
    q->protocolText = s[1];
    q->portText = s[2];
    QuarantineList().Add(q);
  }
  for (int k = 0; k < kEntries; ++k) {  // already carried out
    auto* e = new CKelData();
    e->target = 1;
    e->sourceText = PcAddress(k * 97);
    IsIpAddress(e->sourceText.c_str(), e->source);
    KelDataList().Add(e);
  }
}

struct Figures {
  std::vector<double> ms;  // sorted after Measure
  int requests = 0;
  double Median() const { return ms[ms.size() / 2]; }
};

// Runs `family` kRounds times more into `f`; `add` puts a new marked record in before each
// round.
template <class Add>
void Measure(const AclEnvironment& env, CommandFamily family, Add add, Figures& f) {
  for (int round = 0; round < kRounds; ++round) {
    add(round);
    auto start = std::chrono::steady_clock::now();
    AclCommandProcess(env, family, 1);
    auto end = std::chrono::steady_clock::now();
    f.ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    f.requests = HttpDataStore().GetCount();
    HttpDataStore().RemoveAll();
  }
  std::sort(f.ms.begin(), f.ms.end());
}

template <class Add>
Figures Measure(const AclEnvironment& env, CommandFamily family, Add add) {
  Figures f;
  Measure(env, family, add, f);
  return f;
}

void Print(const char* what, const Figures& f) {
  std::printf("%-22s median %8.2f ms  min %8.2f ms  max %8.2f ms  requests %d\n", what, f.Median(),
              f.ms.front(), f.ms.back(), f.requests);
}

// kel add accept source <address of PC k>: a new entry at the registry's end.
void AddEntry(int k) {
  auto* entry = new CKelData();
  entry->target = 1;
  entry->sourceText = PcAddress(k);
  IsIpAddress(entry->sourceText.c_str(), entry->source);
  entry->pendingAdd = 1;
  if (KelDataList().Add(entry) != 0) delete entry;
}

// pc add source-mac ... source <a new address behind router 50, route 2 (route 202)>.
void AddPc(int k) {
  auto* pc = new CPcData();
  char mac[18];
  std::snprintf(mac, sizeof mac, "02:00:00:01:%02X:%02X", k >> 8, k & 0xFF);
  pc->macText = mac;
  ParseMacAddress(mac, pc->mac.data());
  pc->sourceText = RouteNetwork(202) + std::to_string(200 + k % 50);
  pc->source = Ip(pc->sourceText);
  pc->pendingAdd = 1;
  if (PcList().Add(pc) != 0) delete pc;
}

double MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// The reset and reload of every router with state sync, as when each came ON; prints its time.
void ReloadAll(const AclEnvironment& env) {
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kRouters; ++i) StateSyncReload(env, Ip(RouterAddress(i)));
  std::printf("reload of all %d routers with state sync: %.1f ms, %d requests\n", kRouters,
              MsSince(start), HttpDataStore().GetCount());
  HttpDataStore().RemoveAll();
}

// The large site: 1,000 routers x 4 routes, 100,000 PCs, 1,000 entries. Run in a child so that
// its peak memory is its own. Returns whether every target was met.
enum class LargeOnly { kAll, kEdits, kState };

bool LargeSite(const AclEnvironment& env, LargeOnly only = LargeOnly::kAll) {
  kRouters = 1000;
  kPcs = 100000;
  kEntries = 1000;
  FillRegistries();
  std::printf("large site: %d routers ON x %d routes, %d PCs, 2 quarantine servers, %d entries\n",
              kRouters, kRoutesPerRouter, PcList().GetCount(), KelDataList().GetCount());
  if (only == LargeOnly::kState) {
    StateSyncEnableForTest(true);
    ReloadAll(env);
    Print("kel add (state)",
          Measure(env, CommandFamily::kKel, [](int round) { AddEntry(53210 + round); }));
    Print("pc add (state)", Measure(env, CommandFamily::kPc, [](int round) { AddPc(25 + round); }));
    return true;
  }
  StateSyncEnableForTest(false);
  Figures kelEdits = Measure(env, CommandFamily::kKel, [](int round) { AddEntry(43210 + round); });
  Figures pcEdits = Measure(env, CommandFamily::kPc, [](int round) { AddPc(round); });
  Print("kel add (edits)", kelEdits);
  Print("pc add (edits)", pcEdits);
  std::fflush(stdout);
  if (only == LargeOnly::kEdits) return true;
  // The reset and reload of one router that came back, as the router-event thread makes it:
  // what recovery costs per router before delivery.
  {
    Figures reload;
    for (int i = 0; i < kReloadRounds; ++i) {
      auto start = std::chrono::steady_clock::now();
      KeepAliveResendProcess(env, Ip(RouterAddress(i * (kRouters / kReloadRounds))));
      reload.ms.push_back(MsSince(start));
      reload.requests = HttpDataStore().GetCount();
      HttpDataStore().RemoveAll();
    }
    std::sort(reload.ms.begin(), reload.ms.end());
    Print("router reload (edits)", reload);
    std::fflush(stdout);
  }
  // quarantine add: every PC behind every router; the server is taken out again afterwards.
  {
    auto* q = new CQuarantineData();
    q->sourceText = "172.17.254.252";
    q->source = Ip(q->sourceText);
    q->protocolText = "tcp";
    q->portText = "8080";
    q->pendingAdd = 1;
    QuarantineList().Add(q);
    auto start = std::chrono::steady_clock::now();
    AclCommandProcess(env, CommandFamily::kQuarantine, 1);
    std::printf("quarantine add (edits)  %8.1f ms  requests %d\n", MsSince(start),
                HttpDataStore().GetCount());
    HttpDataStore().RemoveAll();
    QuarantineList().RemoveTail();
    std::fflush(stdout);
  }
  StateSyncEnableForTest(true);
  ReloadAll(env);
  Figures kelState = Measure(env, CommandFamily::kKel, [](int round) { AddEntry(53210 + round); });
  Figures pcState = Measure(env, CommandFamily::kPc, [](int round) { AddPc(25 + round); });
  Print("kel add (state)", kelState);
  Print("pc add (state)", pcState);
  StateSyncFootprint held = StateSyncMemory();
  std::printf("held sets: %zu routers, %zu lines, about %.1f KiB\n", held.routers, held.lines,
              held.bytes / 1024.0);
  StateSyncEnableForTest(false);
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("peak memory (ru_maxrss): %ld KiB\n", usage.ru_maxrss);
  const bool met = kelEdits.Median() <= kTargetMs && pcEdits.Median() <= kTargetMs &&
                   kelState.Median() <= kTargetMs && pcState.Median() <= kTargetMs;
  std::printf(
      "target (kel add and pc add at 100,000 PCs x 1,000 routers within 5 ms, edits and state): "
      "%s\n",
      met ? "met" : "not met");
  std::fflush(stdout);
  return met;
}

}  // namespace

const char kUsage[] =
    "usage: planning_bench [--large | --large-edits ROUNDS | --large-state ROUNDS]\n"
    "  (none)                 the large site in a child, then 100 routers x 10,000 PCs\n"
    "  --large                the large site alone (1,000 routers x 100,000 PCs)\n"
    "  --large-edits ROUNDS   its kel add and pc add with edits alone (for perf record)\n"
    "  --large-state ROUNDS   its kel add and pc add with state sync alone (for perf record)\n";

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  bool largeOnly = false;
  LargeOnly only = LargeOnly::kAll;
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (args.size() == 1 && args[0] == "--large") {
    largeOnly = true;
  } else if (args.size() == 2 && (args[0] == "--large-edits" || args[0] == "--large-state")) {
    char* end = nullptr;
    long rounds = std::strtol(args[1].c_str(), &end, 10);
    if (*end != '\0' || rounds < 1 || rounds > 10000) {
      std::fprintf(stderr, "planning_bench: ROUNDS is a whole number from 1 to 10000\n%s", kUsage);
      return 2;
    }
    kRounds = static_cast<int>(rounds);
    only = args[0] == "--large-edits" ? LargeOnly::kEdits : LargeOnly::kState;
  } else if (!args.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::string error = testsupport::EnterPrivateNetwork();
  if (!error.empty()) {
    std::fprintf(stderr, "planning_bench: cannot make a private network: %s\n", error.c_str());
    return 1;
  }
  std::atomic<int32_t> stop{0};
  AclEnvironment env;
  env.stopRequested = &stop;
  env.eventSend = [] { return 1; };
  std::fflush(stdout);
  if (largeOnly || only != LargeOnly::kAll) {
    LargeSite(env, only);
    return 0;
  }
  pid_t child = fork();
  if (child == 0) {
    LargeSite(env);
    _exit(0);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "planning_bench: the large site's run failed\n");
  }
  FillRegistries();
  std::printf("registries: %d routers ON x %d routes, %d PCs, 2 quarantine servers, %d entries\n",
              kRouters, kRoutesPerRouter, PcList().GetCount(), KelDataList().GetCount());

  constexpr int kBlocks = 3;
  Figures kelEdits, pcEdits, kelState, pcState;
  for (int block = 0; block < kBlocks; ++block) {
    const int first = block * kRounds;
    StateSyncEnableForTest(false);
    Measure(
        env, CommandFamily::kKel, [first](int round) { AddEntry(4321 + first + round); }, kelEdits);
    Measure(
        env, CommandFamily::kPc, [first](int round) { AddPc(first + round); }, pcEdits);
    // State-based sync: every router reset and reloaded first, as when it came ON.
    StateSyncEnableForTest(true);
    if (block == 0) {
      ReloadAll(env);
    } else {
      for (int i = 0; i < kRouters; ++i) StateSyncReload(env, Ip(RouterAddress(i)));
      HttpDataStore().RemoveAll();
    }
    Measure(
        env, CommandFamily::kKel, [first](int round) { AddEntry(5321 + first + round); }, kelState);
    Measure(
        env, CommandFamily::kPc, [first](int round) { AddPc(25 + first + round); }, pcState);
  }
  Print("kel add (edits)", kelEdits);
  Print("pc add (edits)", pcEdits);
  Print("kel add (state)", kelState);
  Print("pc add (state)", pcState);
  StateSyncFootprint held = StateSyncMemory();
  std::printf("held sets: %zu routers, %zu lines, about %.1f KiB\n", held.routers, held.lines,
              held.bytes / 1024.0);

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("peak memory (ru_maxrss): %ld KiB\n", usage.ru_maxrss);
  double kelRatio = kelState.Median() / kelEdits.Median();
  double pcRatio = pcState.Median() / pcEdits.Median();
  std::printf("state / edits: kel add %.2f, pc add %.2f\n", kelRatio, pcRatio);
  std::printf("target (kel add and pc add with SYNC=state within 3 times the edits): %s\n",
              kelRatio <= 3 && pcRatio <= 3 ? "met" : "not met");
  std::printf("target (kel add at 10,000 PCs x 100 routers within 5 ms): %s\n",
              kelEdits.Median() <= kTargetMs ? "met" : "not met");
  return 0;
}
