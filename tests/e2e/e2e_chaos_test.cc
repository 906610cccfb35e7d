// Chaos: two sites side by side in one private network, one with SYNC=state, one planning
// edits, both with the access entry store. Each gets the same seeded stream of commands of
// every family, five pvsim routers that flap (address removed and restored, shorter and longer
// than the OFF diagnosis), one router whose HTTP side refuses connections past the retry
// schedule while it still answers ICMP, and a SIGKILL of the service with a restart. After the
// last fault and a settling time, every router of the state site must hold exactly the lines of
// its /routers/ADDRESS/lines, each once. The edits site's divergence is printed, not asserted.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "api_client.h"
#include "chaos_site.h"
#include "netns.h"

namespace {

using chaos::Clock;
using chaos::Comparison;
using chaos::Event;
using chaos::kRouters;
using chaos::Site;

// The seeded script, the same for both sites; "@" in a command stands for the site's prefix.
std::vector<Event> Script() {
  std::vector<Event> events;
  auto commands = [&](int at, const std::vector<std::string>& texts) {
    for (const std::string& text : texts) events.push_back({at, Event::kCommand, text});
  };
  auto command = [&](int at, const std::string& text) { commands(at, {text}); };
  chaos::CommandMix mix;
  int t = 500;
  for (int r = 1; r <= kRouters; ++r) {
    commands(t, mix.RouterSetup(r));
    t += 100;
  }
  commands(t, mix.ServerSetup());
  std::mt19937 rng(20261208);
  for (t = 3000; t < 60000; t += 250) commands(t, mix.Next(rng));
  commands(t, mix.Base());
  // A router leaves and comes back.
  command(30000, "pv del @5");
  command(30000, "pv save");
  command(33000, "pv add @5");
  command(33000, "pv save");
  // The faults.
  events.push_back({10000, Event::kDown, "", 1});  // shorter than the OFF diagnosis
  events.push_back({15000, Event::kUp, "", 1});
  events.push_back({12000, Event::kKill, ""});
  events.push_back({14000, Event::kDown, "", 2});  // OFF, then ON again
  events.push_back({62000, Event::kUp, "", 2});
  events.push_back({16000, Event::kRefuse, "", 3});  // HTTP refused past the retry schedule
  command(16500, "pvroute add @3 network 10.3.9.0 netmask 255.255.255.0 dev eth9");
  events.push_back({80000, Event::kRefuse, "", 3});
  events.push_back({40000, Event::kDown, "", 4});
  events.push_back({44000, Event::kUp, "", 4});
  chaos::SortByTime(&events);
  return events;
}
constexpr int kLastFaultMs = 80000;

TEST(ChaosTest, UnderFlapsRefusalsAndAKillEveryRouterConvergesToItsLines) {
  ENTER_PRIVATE_NETWORK();
  ASSERT_TRUE(testsupport::NarrowLoopback());
  ASSERT_TRUE(e2e::WriteFile("/proc/sys/net/ipv4/ip_nonlocal_bind", "1\n"));
  Site state("state", true, 8000, 9100, "127.0.1.");
  Site edits("edits", false, 8001, 9101, "127.0.2.");
  std::string error;
  ASSERT_TRUE(state.Start(&error)) << error;
  ASSERT_TRUE(edits.Start(&error)) << error;

  const std::vector<Event> events = Script();
  const Clock::time_point start = Clock::now();
  std::string editsProblems;
  std::thread other([&] { editsProblems = edits.Run(events, start); });
  std::string problems = state.Run(events, start);
  other.join();
  EXPECT_EQ(problems, "");
  EXPECT_EQ(editsProblems, "");

  // Settling: the repair of the refused router needs its next try after the refusal ended.
  std::this_thread::sleep_until(start + std::chrono::milliseconds(kLastFaultMs));
  bool converged = false;
  double seconds = 0;
  while (!converged && Clock::now() < start + std::chrono::milliseconds(kLastFaultMs + 60000)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    converged = state.Converged();
    seconds = std::chrono::duration<double>(Clock::now() - start).count() - kLastFaultMs / 1000.0;
  }
  std::printf("state site %s %.0f s after the last fault\n",
              converged ? "converged" : "did not converge", seconds);
  size_t expected = 0;
  for (int r = 1; r <= kRouters; ++r) {
    Comparison c = state.Compare(r, true);
    EXPECT_TRUE(c.Equal()) << "router " << r << " of the state site:\n" << c.differences;
    expected += c.expected;
  }
  EXPECT_GE(expected, 30u);  // the site ends with lines to hold on its routers
  // The refused router's request was given up, and its repair brought it back.
  nlohmann::json refused =
      nlohmann::json::parse(apitest::Get("/routers/127.0.1.3", 9100).body, nullptr, false);
  EXPECT_GE(refused.value("requests_dropped", 0), 1) << refused.dump();
  EXPECT_EQ(refused.value("out_of_sync", true), false) << refused.dump();
  for (int r = 1; r <= kRouters; ++r) edits.Compare(r, true);  // shown, not asserted
  state.Stop();
  edits.Stop();
}

}  // namespace
