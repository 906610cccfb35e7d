// keepalive_bench: CPU time of one scan of the router registry (the timer thread runs one every
// 100 ms) with 1,000 routers, and the wall time of one full round of probes over 100 routers of
// which 50 never answer and over 1,000 of which 500 never answer, the raw way and through the
// ping library. Runs in a private network of its own: nothing leaves the host. Prints whether
// the targets are met: a round over 1,000 routers with 500 silent within 2 s, and a scan under
// 1 ms of CPU per tick at 1,000 routers.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "netns.h"
#include "platform/clock.h"
#include "service/keepalive/keepalive_testutil.h"
#include "service/keepalive/kel_keep_alive.h"
#include "service/registry/pv_data.h"

namespace {

std::string RouterAddress(int i) {  // 10.0.x.y: unreachable inside the private network
  return "10.0." + std::to_string(i / 250) + "." + std::to_string(1 + i % 250);
}

// Sets lastProbe of every router to `stamp`; every `due_every`-th router gets 0 (due now).
void StampRouters(int64_t stamp, int due_every) {
  CKelListLock hold(PvList());
  int i = 0;
  for (CKelNode* n = PvList().GetHead(1); n != nullptr; n = PvList().GetNext(n, 1), ++i) {
    auto* router = static_cast<CPvData*>(n->data);
    router->lastProbe = (due_every > 0 && i % due_every == 0) ? 0 : stamp;
    router->probeOutstanding = 0;
  }
}

void BM_ScanOf1000Routers(benchmark::State& state) {
  katest::ClearRouters();
  for (int i = 0; i < 1000; ++i) katest::AddRouter(RouterAddress(i).c_str());
  CKelKeepAlive keepalive;  // probers running, timer not started: Scan runs here only
  const int due_every = static_cast<int>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    StampRouters(platform::NowSeconds(), due_every);
    state.ResumeTiming();
    keepalive.Scan();
  }
  state.SetLabel(due_every == 0 ? "no router due" : "1 in 100 due (10 s interval)");
  keepalive.StopMessageThread();
  katest::ClearRouters();
}
BENCHMARK(BM_ScanOf1000Routers)->Arg(0)->Arg(100)->Unit(benchmark::kMicrosecond);

// Notes every router whose first probe has reported; true once all `count` have.
bool AllReported(std::set<std::string>* reported, size_t count) {
  CKelListLock hold(PvList());
  for (CKelNode* n = PvList().GetHead(1); n != nullptr; n = PvList().GetNext(n, 1)) {
    auto* router = static_cast<CPvData*>(n->data);
    if (router->lastProbe != 0 && router->probeOutstanding == 0)
      reported->insert(router->addressText);
  }
  return reported->size() == count;
}

struct Round {
  double seconds = 0;
  bool complete = false;  // every router's first probe reported within the time allowed
  int answeringOn = 0;    // answering routers diagnosed ON
  int silentOn = 0;       // silent routers diagnosed ON (must stay 0)
};

// Registers `answering` routers named by `up` (they answer) and `silent` named by `down` (in the
// range routed into lo where nothing answers), starts the keepalive and times its first round.
Round TimeOneRound(int answering, int silent, const std::function<std::string(int)>& up,
                   const std::function<std::string(int)>& down) {
  katest::ClearRouters();
  for (int i = 0; i < std::max(answering, silent); ++i) {
    if (i < answering) katest::AddRouter(up(i).c_str());
    if (i < silent) katest::AddRouter(down(i).c_str());
  }
  const size_t count = static_cast<size_t>(answering + silent);
  Round round;
  auto start = std::chrono::steady_clock::now();
  auto limit = start + std::chrono::seconds(30);
  {
    CKelKeepAlive keepalive;
    keepalive.Start();
    std::set<std::string> reported;
    while (!(round.complete = AllReported(&reported, count)) &&
           std::chrono::steady_clock::now() < limit) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    round.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    keepalive.StopMessageThread();
  }
  for (int i = 0; i < std::max(answering, silent); ++i) {
    if (i < answering) round.answeringOn += katest::ReadRouter(up(i).c_str()).alive == 1;
    if (i < silent) round.silentOn += katest::ReadRouter(down(i).c_str()).alive == 1;
  }
  katest::ClearRouters();
  return round;
}

void PrintRound(const char* what, const Round& round, int answering) {
  std::printf("%s: %.2f s\n", what, round.seconds);
  std::printf("  %d of %d answering routers ON, %d silent ON%s\n", round.answeringOn, answering,
              round.silentOn, round.complete ? "" : ", NOT every router reported");
}

// The largest CPU time per scan among the runs of BM_ScanOf1000Routers, in microseconds.
class ScanReporter : public benchmark::ConsoleReporter {
 public:
  ScanReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_None) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration) continue;
      if (run.benchmark_name().rfind("BM_ScanOf1000Routers", 0) != 0) continue;
      double us = run.GetAdjustedCPUTime() * 1e6 / benchmark::GetTimeUnitMultiplier(run.time_unit);
      worstScanUs = std::max(worstScanUs, us);
      ++scanRuns;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double worstScanUs = 0;
  int scanRuns = 0;
};

std::string OneHundredUp(int i) { return "127.0.1." + std::to_string(1 + i); }
std::string OneHundredSilent(int i) { return "127.9.1." + std::to_string(1 + i); }
// 127.0.2.0/23 is made local on lo in one step: 127.0.2.1-250 and 127.0.3.1-250 answer.
std::string ThousandUp(int i) {
  return "127.0." + std::to_string(2 + i / 250) + "." + std::to_string(1 + i % 250);
}
std::string ThousandSilent(int i) {
  return "127.9." + std::to_string(2 + i / 250) + "." + std::to_string(1 + i % 250);
}

}  // namespace

int main(int argc, char** argv) {
  std::string error = testsupport::EnterPrivateNetwork();
  if (!error.empty() || !katest::MakeRouterNetwork()) {
    std::fprintf(stderr, "keepalive_bench needs root for a private network: %s\n", error.c_str());
    return 1;
  }
  // A profile directory of its own: the raw way unless the library round asks otherwise.
  char dir[] = "/tmp/keepalive-bench-XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    std::fprintf(stderr, "keepalive_bench: cannot make a profile directory\n");
    return 1;
  }
  setenv("VOKELMNG_CONFIG_DIR", dir, 1);
  const std::string ini = std::string(dir) + "/VoKelMng.ini";

  benchmark::Initialize(&argc, argv);
  ScanReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  for (int i = 0; i < 50; ++i) testsupport::AddLoopbackAddress(OneHundredUp(i));
  Round hundred = TimeOneRound(50, 50, OneHundredUp, OneHundredSilent);
  PrintRound("One round of probes, 100 routers (50 silent, 1 s wait each, 5 probers)", hundred, 50);

  bool thousand_ready = testsupport::Shell("ip addr add 127.0.2.1/23 dev lo") == 0;
  Round thousand = TimeOneRound(500, 500, ThousandUp, ThousandSilent);
  PrintRound("One round of probes, 1,000 routers (500 silent, 1 s wait each, 5 probers)", thousand,
             500);

  Round library;
  bool library_ready = katest::AllowPingSockets();
  if (library_ready) {
    std::ofstream(ini) << "[PING]\nMODE=dll\n";
    library = TimeOneRound(500, 500, ThousandUp, ThousandSilent);
    unlink(ini.c_str());
    PrintRound("Same round through the ping library (MODE=dll)", library, 500);
  } else {
    std::printf("Same round through the ping library (MODE=dll): not run, no ping sockets\n");
  }

  bool round_met = thousand_ready && thousand.complete && thousand.seconds < 2.0 &&
                   thousand.answeringOn == 500 && thousand.silentOn == 0;
  bool scan_met = reporter.scanRuns > 0 && reporter.worstScanUs < 1000.0;
  std::printf("target (round over 1,000 routers with 500 silent within 2 s): %s\n",
              round_met ? "met" : "not met");
  std::printf("target (scan under 1 ms of CPU per tick at 1,000 routers): %s\n",
              scan_met ? "met" : "not met");
  rmdir(dir);
  return 0;
}
