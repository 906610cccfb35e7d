#include "service/base/send_gate.h"

#include <time.h>

#include <atomic>

namespace sendgate {
namespace {

std::atomic<bool> gCluster{false};
std::atomic<int64_t> gTerm{0};
std::atomic<int64_t> gUntil{0};

}  // namespace

int64_t NowNs() {
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void EnableCluster() {
  gUntil.store(0);
  gTerm.store(0);
  gCluster.store(true);
}

bool ClusterMode() { return gCluster.load(); }

void Lead(int64_t term, int64_t untilNs) {
  gUntil.store(0);
  gTerm.store(term);
  gUntil.store(untilNs);
}

void Extend(int64_t untilNs) {
  int64_t now = gUntil.load();
  while (now != 0 && untilNs > now && !gUntil.compare_exchange_weak(now, untilNs)) {
  }
}

void StepDown() {
  gUntil.store(0);
  gTerm.store(0);
}

bool MaySend() {
  if (!gCluster.load()) return true;
  int64_t until = gUntil.load();
  return until != 0 && NowNs() < until;
}

int64_t Term() { return gCluster.load() ? gTerm.load() : 0; }

void ResetForTest() {
  gCluster.store(false);
  StepDown();
}

}  // namespace sendgate
