// chaos_soak: the chaos test's site for longer, with the faults drawn at random. One site
// (SYNC=state, the access entry store) with five pvsim routers gets, for --minutes, a command
// every 250 ms and now and then a fault: a router's address removed for less or more than the
// OFF diagnosis, a router refusing HTTP connections for up to past its retry schedule, a
// router deleted and added again, a SIGKILL of the service and its restart. Then the base of
// routes, PCs and entries is put back and the routers are polled until each holds exactly the
// lines of its /routers/ADDRESS/lines, each once, or --settle seconds pass.
//
// The faults and commands come from --seed (printed; random when not given), so a run can be
// replayed. The program runs in a PID namespace of its own under a guard process that kills it
// at a hard deadline: when it ends, for whatever reason, the kernel ends pvsim and VoKelMng
// with it. Run as root after a release build, through bench/chaos/chaos_soak.sh.
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "chaos_site.h"
#include "netns.h"

namespace {

using chaos::Clock;
using chaos::Event;
using chaos::kRouters;

constexpr int kStepMs = 250;     // one command (and perhaps a fault) per step
constexpr int kPollMs = 1000;    // settling: each router's table against its lines
constexpr int kStablePolls = 3;  // settled when every router is equal this many polls running

std::atomic<bool> gStop{false};
volatile sig_atomic_t gChild = 0;

void OnStop(int) { gStop = true; }
void Forward(int signal) {
  if (gChild > 0) kill(gChild, signal == SIGINT ? SIGTERM : signal);
}

struct Options {
  int minutes = 3;
  uint32_t seed = 0;
  bool seeded = false;
  int settleSeconds = 180;
};

struct Script {
  std::vector<Event> events;
  int lastFaultMs = 0;    // the last fault event (an address back, refusing ended, a kill)
  int lastCommandMs = 0;  // the base put back at the end of the window
  int faults = 0;
  int commands = 0;
};

// The random stream: set-up as in the chaos test, then per step one change of the mix and,
// about every six seconds, a fault on a router not already under one (kills at least 30 s
// apart). Every fault ends by itself: addresses come back, refusing stops.
Script MakeScript(uint32_t seed, int minutes) {
  Script s;
  auto command = [&](int at, const std::string& text) {
    s.events.push_back({at, Event::kCommand, text});
  };
  auto fault = [&](int at, Event::Kind kind, int router) {
    s.events.push_back({at, kind, "", router});
    s.lastFaultMs = std::max(s.lastFaultMs, at);
  };
  chaos::CommandMix mix;
  int t = 500;
  for (int r = 1; r <= kRouters; ++r) {
    for (const std::string& c : mix.RouterSetup(r)) command(t, c);
    t += 100;
  }
  for (const std::string& c : mix.ServerSetup()) command(t, c);

  std::mt19937 rng(seed);
  const int windowEnd = minutes * 60000;
  std::vector<int> busyUntil(kRouters + 1, 0);
  int nextKill = 20000 + static_cast<int>(rng() % 30000);
  for (t = 3000; t < windowEnd; t += kStepMs) {
    for (const std::string& c : mix.Next(rng)) command(t, c);
    if (rng() % 24 != 0) continue;
    int kind = static_cast<int>(rng() % 10);
    int r = 1 + static_cast<int>(rng() % kRouters);
    if (kind >= 7) {
      if (t < nextKill) continue;
      fault(t, Event::kKill, 0);
      nextKill = t + 30000 + static_cast<int>(rng() % 30000);
      ++s.faults;
      continue;
    }
    if (busyUntil[r] > t) continue;
    int end = t;
    if (kind <= 3) {  // shorter than the 40 s OFF diagnosis, or long enough to go OFF
      end = t + (rng() % 2 == 0 ? 3000 + static_cast<int>(rng() % 27000)
                                : 45000 + static_cast<int>(rng() % 30000));
      fault(t, Event::kDown, r);
      fault(end, Event::kUp, r);
    } else if (kind <= 5) {  // up to past the 60 s retry schedule
      end = t + 20000 + static_cast<int>(rng() % 70000);
      fault(t, Event::kRefuse, r);
      fault(end, Event::kRefuse, r);
    } else {  // the router leaves the registry and comes back
      end = t + 3000 + static_cast<int>(rng() % 7000);
      command(t, "pv del @" + std::to_string(r));
      command(t, "pv save");
      for (const std::string& c : mix.RouterSetup(r)) command(end, c);
      command(end, "pv save");
      command(end, "pvroute save");
    }
    busyUntil[r] = end + 1000;
    ++s.faults;
  }
  for (const std::string& c : mix.Base()) command(windowEnd, c);
  s.lastCommandMs = windowEnd;
  chaos::SortByTime(&s.events);
  for (const Event& e : s.events) s.commands += e.kind == Event::kCommand;
  return s;
}

int Soak(const Options& o) {
  std::string error = testsupport::EnterPrivateNetwork();
  if (!error.empty() || !testsupport::NarrowLoopback() ||
      !e2e::WriteFile("/proc/sys/net/ipv4/ip_nonlocal_bind", "1\n")) {
    std::fprintf(stderr, "chaos_soak: cannot make a private network (run as root): %s\n",
                 error.c_str());
    return 2;
  }
  Script script = MakeScript(o.seed, o.minutes);
  std::printf(
      "chaos soak: seed %u, %d min of faults and commands (%d faults, %d commands), "
      "settle at most %d s\n",
      o.seed, o.minutes, script.faults, script.commands, o.settleSeconds);
  std::printf("replay: bench/chaos/chaos_soak.sh --minutes %d --seed %u\n", o.minutes, o.seed);
  std::fflush(stdout);

  chaos::Site site("state", true, 8000, 9100, "127.0.1.");
  if (!site.Start(&error)) {
    std::fprintf(stderr, "chaos_soak: the site did not start: %s\n", error.c_str());
    return 1;
  }
  const Clock::time_point start = Clock::now();
  std::string problems = site.Run(script.events, start, &gStop);
  // Convergence counts from the later of the last fault and the last command: before that the
  // routers still have something to catch up with.
  const int quietMs = std::max(script.lastFaultMs, script.lastCommandMs);
  const Clock::time_point lastFault = start + std::chrono::milliseconds(quietMs);
  while (!gStop && Clock::now() < lastFault) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  std::printf("last fault at %.1f s, last command at %.1f s; settling from %.1f s\n",
              script.lastFaultMs / 1000.0, script.lastCommandMs / 1000.0, quietMs / 1000.0);

  // Settling: per router, when it last became equal to its lines (-1 while it differs).
  std::vector<double> equalSince(kRouters + 1, -1);
  int stable = 0;
  const Clock::time_point settleEnd = lastFault + std::chrono::seconds(o.settleSeconds);
  while (!gStop && stable < kStablePolls && Clock::now() < settleEnd) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    double now = std::chrono::duration<double>(Clock::now() - lastFault).count();
    bool all = true;
    for (int r = 1; r <= kRouters; ++r) {
      bool equal = site.Compare(r, false).Equal();
      if (!equal) equalSince[r] = -1;
      if (equal && equalSince[r] < 0) equalSince[r] = now;
      all = all && equal;
    }
    stable = all ? stable + 1 : 0;
  }

  bool met = stable >= kStablePolls;
  for (int r = 1; r <= kRouters; ++r) {
    chaos::Comparison c = site.Compare(r, false);
    met = met && c.Equal();
    std::printf("router %s: expected %zu, present %zu, missing %zu, extra %zu, duplicates %zu, ",
                site.Address(r).c_str(), c.expected, c.present, c.missing, c.extra, c.duplicates);
    if (gStop) {
      std::printf("stopped before settling\n");
    } else if (c.Equal() && equalSince[r] >= 0) {
      std::printf("converged %.0f s after the last fault or command\n", equalSince[r]);
    } else {
      std::printf("not converged\n%s", c.differences.c_str());
    }
  }
  if (gStop) std::printf("stopped early by a signal\n");
  if (!problems.empty()) std::printf("problems:\n%s", problems.c_str());
  std::printf("target (every router converges after the last fault): %s\n",
              met && !gStop ? "met" : "not met");
  std::fflush(stdout);
  site.Stop();
  return met && !gStop ? 0 : 1;
}

bool ParseInt(const char* text, long low, long high, long* out) {
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < low || value > high) return false;
  *out = value;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    long value = 0;
    std::string flag = argv[i];
    bool ok = i + 1 < argc;
    if (ok && flag == "--minutes") {
      ok = ParseInt(argv[++i], 1, 600, &value);
      o.minutes = static_cast<int>(value);
    } else if (ok && flag == "--seed") {
      ok = ParseInt(argv[++i], 0, 4294967295L, &value);
      o.seed = static_cast<uint32_t>(value);
      o.seeded = true;
    } else if (ok && flag == "--settle") {
      ok = ParseInt(argv[++i], 10, 3600, &value);
      o.settleSeconds = static_cast<int>(value);
    } else {
      ok = false;
    }
    if (!ok) {
      std::fprintf(stderr,
                   "usage: %s [--minutes 1..600 (3)] [--seed N (random)] [--settle SECONDS "
                   "(180)]\n",
                   argv[0]);
      return 2;
    }
  }
  if (!o.seeded) o.seed = std::random_device()();

  // The guard: the soak runs as the first process of a new PID namespace, so that everything
  // it starts ends with it; the guard kills it at the hard deadline.
  const int deadlineSeconds = o.minutes * 60 + o.settleSeconds + 120;
  if (unshare(CLONE_NEWPID) != 0) {
    std::fprintf(stderr, "chaos_soak: no PID namespace (%s); children end with the program\n",
                 std::strerror(errno));
    struct sigaction stop = {};
    stop.sa_handler = OnStop;
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    return Soak(o);
  }
  std::fflush(stdout);
  pid_t child = fork();
  if (child < 0) {
    std::perror("chaos_soak: fork");
    return 2;
  }
  if (child == 0) {
    // Should the guard itself be killed, the soak and everything it started go with it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    struct sigaction stop = {};
    stop.sa_handler = OnStop;
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    std::_Exit(Soak(o));
  }
  gChild = child;
  struct sigaction forward = {};
  forward.sa_handler = Forward;
  sigaction(SIGINT, &forward, nullptr);
  sigaction(SIGTERM, &forward, nullptr);
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(deadlineSeconds);
  int status = 0;
  for (;;) {
    pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) break;
    if (done < 0 && errno != EINTR) return 2;
    if (Clock::now() >= deadline) {
      std::printf("chaos_soak: killed at the hard deadline of %d s\n", deadlineSeconds);
      std::printf("target (every router converges after the last fault): not met\n");
      kill(child, SIGKILL);  // the namespace's first process: everything in it ends
      waitpid(child, &status, 0);
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  std::printf("chaos_soak: the soak ended by signal %d\n", WTERMSIG(status));
  std::printf("target (every router converges after the last fault): not met\n");
  return 1;
}
