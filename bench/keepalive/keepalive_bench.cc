// keepalive_bench: CPU time of one scan of the router registry (the timer thread runs one every
// 100 ms) with 1,000 routers, and the wall time of one full round of probes over 100 routers of
// which 50 never answer. Runs in a private network of its own: nothing leaves the host.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <thread>

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

// 50 answering loopback routers and 50 in a routed range where nothing answers.
void TimeOneRound() {
  katest::ClearRouters();
  for (int i = 0; i < 50; ++i) {
    std::string up = "127.0.1." + std::to_string(1 + i);
    testsupport::AddLoopbackAddress(up);
    katest::AddRouter(up.c_str());
    katest::AddRouter(("127.9.1." + std::to_string(1 + i)).c_str());
  }
  auto start = std::chrono::steady_clock::now();
  {
    CKelKeepAlive keepalive;
    keepalive.Start();
    std::set<std::string> reported;
    while (!AllReported(&reported, 100)) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("One round of probes, 100 routers (50 silent, 1 s wait each, 5 probers): %.2f s\n",
                seconds);
    keepalive.StopMessageThread();
  }
  katest::ClearRouters();
}

}  // namespace

int main(int argc, char** argv) {
  std::string error = testsupport::EnterPrivateNetwork();
  if (!error.empty() || !katest::MakeRouterNetwork()) {
    std::fprintf(stderr, "keepalive_bench needs root for a private network: %s\n", error.c_str());
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  TimeOneRound();
  return 0;
}
