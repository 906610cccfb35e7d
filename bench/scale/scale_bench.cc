// scale_bench: how the service grows with the PC registry, at 1,000 routers with 4 routes each
// and 2 quarantine servers, for 10,000, 100,000 and 1,000,000 PCs. For each size:
//  - the real VoKelMng started on a working folder holding pv.csv, pvroute.csv, pc.csv and
//    quarantine.csv as the service writes them: the time until its command port accepts and
//    gives the prompt, and its peak memory then (VmHWM); the bytes per PC are counted above a
//    start with no PC at all;
//  - in this process, the same registries with 1,000 access entries carried out and every
//    router ON: the planning (edits) of one `kel add` and one `pc add`, median of 7 rounds.
// Prints one table and the target lines. Runs in a private network of its own (root), so the
// service's log datagrams and the bench's own never leave it.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "child_process.h"
#include "common/address_util.h"
#include "common/syslog.h"
#include "loopback.h"
#include "netns.h"
#include "scratch_dir.h"
#include "service/acl/acl_process.h"
#include "service/registry/kel_data.h"
#include "service/registry/pc_csv.h"
#include "service/registry/pc_data.h"
#include "service/registry/pv_csv.h"
#include "service/registry/pv_data.h"
#include "service/registry/pvroute_csv.h"
#include "service/registry/quarantine_csv.h"
#include "service/registry/quarantine_data.h"
#include "service/transport/http_data.h"

#ifndef VOKELMNG_PATH
#error "VOKELMNG_PATH must name the built service program"
#endif

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRouters = 1000;
constexpr int kRoutesPerRouter = 4;
constexpr int kRoutes = kRouters * kRoutesPerRouter;
constexpr int kEntries = 1000;
constexpr int kRounds = 7;
constexpr uint16_t kCommandPort = 18100;  // moved by [SERVICE] PORT
constexpr int kPortWaitSeconds = 120;
constexpr double kStartTargetMs = 5000;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

class CountingSink : public SyslogSink {
 public:
  void Write(int, std::string_view) override { count.fetch_add(1); }
  std::atomic<int> count{0};
};

std::string Dotted(int a, int b, int c, int d) {
  return std::to_string(a) + '.' + std::to_string(b) + '.' + std::to_string(c) + '.' +
         std::to_string(d);
}

// Router i at 172.16.(i / 200).(i % 200 + 1). Route n (router n / 4, route n % 4) is the /23
// network 10.(n / 128).((n % 128) * 2).0 on eth<n % 4>: PC k is host k / 4000 + 1 of route
// k % 4000 in its lower half (250 hosts at most there for 1,000,000 PCs); the PCs that the pc add
// rounds bring are in the upper half.
std::string RouterAddress(int i) { return Dotted(172, 16, i / 200, i % 200 + 1); }
std::string RouteNetwork(int n) { return Dotted(10, n / 128, (n % 128) * 2, 0); }
std::string PcSource(int k) {
  int n = k % kRoutes;
  return Dotted(10, n / 128, (n % 128) * 2, k / kRoutes + 1);
}
std::string UpperHalf(int n, int host) { return Dotted(10, n / 128, (n % 128) * 2 + 1, host); }
std::string Mac(int prefix, int k) {
  char mac[18];
  std::snprintf(mac, sizeof mac, "02:%02X:00:%02X:%02X:%02X", prefix, (k >> 16) & 0xFF,
                (k >> 8) & 0xFF, k & 0xFF);
  return mac;
}
const char* const kServers[][3] = {{"172.17.254.254", "tcp", "4208"},
                                   {"172.17.254.253", "udp", "53"}};

std::array<uint8_t, 4> Ip(const std::string& text) {
  std::array<uint8_t, 4> b{};
  IsIpAddress(text.c_str(), b.data());
  return b;
}

// The four files, line for line as the service's save writes them (CRLF line ends).
bool WriteFiles(const testsupport::ScratchDir& dir, int pcs) {
  std::string pv, pvroute, quarantine;
  for (int i = 0; i < kRouters; ++i) {
    pv += "\"" + RouterAddress(i) + "\",880,\"admin\",\"pomvy\"\r\n";
    for (int j = 0; j < kRoutesPerRouter; ++j) {
      pvroute += "\"" + RouterAddress(i) + "\",\"eth" + std::to_string(j) + "\",\"" +
                 RouteNetwork(i * kRoutesPerRouter + j) + "\",\"255.255.254.0\"\r\n";
    }
  }
  for (const auto& s : kServers) {
    quarantine += std::string("\"") + s[0] + "\",\"" + s[1] + "\",\"" + s[2] + "\"\r\n";
  }
  std::string pc;
  pc.reserve(static_cast<size_t>(pcs) * 48);
  for (int k = 0; k < pcs; ++k) pc += "\"" + Mac(0, k) + "\",\"" + PcSource(k) + "\",\"\",\"\"\r\n";
  return dir.Write(kPvFileName, pv) && dir.Write(kPvrouteFileName, pvroute) &&
         dir.Write(kPcFileName, pc) && dir.Write(kQuarantineFileName, quarantine);
}

bool ReadsPrompt(int fd, int timeout_ms) {
  std::string got;
  auto start = Clock::now();
  while (got.find("$ ") == std::string::npos) {
    int left = timeout_ms - static_cast<int>(MsSince(start));
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, left) <= 0) return false;
    char buf[256];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return false;
    got.append(buf, static_cast<size_t>(n));
  }
  return true;
}

// VmHWM of the process in KiB; -1 when it cannot be read.
long PeakKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

struct ServiceFigures {
  double portMs = -1;  // -1: the port never accepted
  long peakKiB = -1;
  std::string note;
};

// VoKelMng -RegServer, then VoKelMng in the foreground on `work`, timed from the start until
// its command port accepts a connection that then gets the prompt; its VmHWM then.
ServiceFigures StartService(const testsupport::ScratchDir& work) {
  ServiceFigures f;
  testsupport::ScratchDir profile("scale-bench-profile");
  if (!profile.Write("VoKelMng.ini",
                     "[SERVICE]\r\nPORT=" + std::to_string(kCommandPort) + "\r\n")) {
    f.note = "cannot write the profile";
    return f;
  }
  testsupport::ChildOptions options;
  options.env = {"VOKELMNG_CONFIG_DIR=" + profile.path(), "VOKELMNG_UNIT_DIR=" + profile.path()};
  options.cwd = work.path();
  options.output = profile.File("service.out");
  testsupport::ChildProcess reg;
  if (!reg.Start({VOKELMNG_PATH, "-RegServer"}, options) || reg.Wait(10000) != 0) {
    f.note = "VoKelMng -RegServer failed";
    return f;
  }
  auto start = Clock::now();
  testsupport::ChildProcess service;
  if (!service.Start({VOKELMNG_PATH}, options)) {
    f.note = "fork failed";
    return f;
  }
  while (MsSince(start) < kPortWaitSeconds * 1000.0) {
    int fd = testsupport::ConnectLoopbackTcp(kCommandPort);
    if (fd >= 0) {
      double ms = MsSince(start);
      bool prompt = ReadsPrompt(fd, 5000);
      close(fd);
      if (prompt) {
        f.portMs = ms;
        f.peakKiB = PeakKiB(service.pid());
      } else {
        f.note = "connected, but no prompt came";
      }
      break;
    }
    if (!service.Running()) {
      f.note = "VoKelMng exited before its port came up";
      break;
    }
    usleep(2000);
  }
  if (service.Running()) service.Stop(10000);
  if (f.portMs < 0 && f.note.empty()) {
    f.note = "the port did not accept within " + std::to_string(kPortWaitSeconds) + " s";
  }
  if (!f.note.empty()) {
    auto out = profile.Read("service.out");
    if (out && !out->empty()) f.note += "; output: " + out->substr(0, 400);
  }
  return f;
}

// The same registries in this process, every router ON, 1,000 entries carried out.
void FillRegistries(int pcs) {
  for (int i = 0; i < kRouters; ++i) {
    auto* r = new CPvData();
    r->addressText = RouterAddress(i);
    r->address = Ip(r->addressText);
    r->alive = 1;
    for (int j = 0; j < kRoutesPerRouter; ++j) {
      auto* t = new CPvrouteData();
      t->devText = "eth" + std::to_string(j);
      t->networkText = RouteNetwork(i * kRoutesPerRouter + j);
      t->network = Ip(t->networkText);
      t->netmaskText = "255.255.254.0";
      t->netmask = Ip(t->netmaskText);
      r->routes.Add(t);
    }
    PvList().Add(r);
  }
  for (int k = 0; k < pcs; ++k) {
    auto* p = new CPcData();
    p->macText = Mac(0, k);
    ParseMacAddress(p->macText.c_str(), p->mac.data());
    p->sourceText = PcSource(k);
    p->source = Ip(p->sourceText);
    PcList().Add(p);
  }
  for (const auto& s : kServers) {
    auto* q = new CQuarantineData();
    q->sourceText = s[0];
    q->source = Ip(s[0]);
    q->protocolText = s[1];
    q->portText = s[2];
    QuarantineList().Add(q);
  }
  for (int k = 0; k < kEntries; ++k) {  // PCs 0, 2, 4, ...: each behind its own route
    auto* e = new CKelData();
    e->target = 1;
    e->sourceText = PcSource(2 * k);
    IsIpAddress(e->sourceText.c_str(), e->source);
    KelDataList().Add(e);
  }
}

void ClearRegistries() {
  KelDataList().RemoveAll();
  QuarantineList().RemoveAll();
  PcList().RemoveAll();
  PvList().RemoveAll();
  HttpDataStore().RemoveAll();
}

template <class Add>
double MedianMs(const AclEnvironment& env, CommandFamily family, Add add) {
  std::vector<double> ms;
  for (int round = 0; round < kRounds; ++round) {
    add(round);
    auto start = Clock::now();
    AclCommandProcess(env, family, 1);
    ms.push_back(MsSince(start));
    HttpDataStore().RemoveAll();
  }
  std::sort(ms.begin(), ms.end());
  return ms[ms.size() / 2];
}

struct Row {
  int pcs = 0;
  ServiceFigures service;
  double bytesPerPc = 0;
  double kelMs = 0;
  double pcMs = 0;
};

void Planning(const AclEnvironment& env, Row& row) {
  FillRegistries(row.pcs);
  // kel add accept source <an odd PC's address>: a new entry at the registry's end.
  row.kelMs = MedianMs(env, CommandFamily::kKel, [](int round) {
    auto* e = new CKelData();
    e->target = 1;
    e->sourceText = PcSource(2 * (1000 + round) + 1);
    IsIpAddress(e->sourceText.c_str(), e->source);
    e->pendingAdd = 1;
    if (KelDataList().Add(e) != 0) delete e;
  });
  // pc add source-mac ... source <a new address in the upper half of route 202>.
  row.pcMs = MedianMs(env, CommandFamily::kPc, [](int round) {
    auto* p = new CPcData();
    p->macText = Mac(1, round);
    ParseMacAddress(p->macText.c_str(), p->mac.data());
    p->sourceText = UpperHalf(202, 1 + round);
    p->source = Ip(p->sourceText);
    p->pendingAdd = 1;
    if (PcList().Add(p) != 0) delete p;
  });
  ClearRegistries();
}

}  // namespace

int main() {
  std::string netError = testsupport::EnterPrivateNetwork();
  if (!netError.empty()) {
    std::fprintf(stderr, "scale_bench: cannot make a private network: %s\n", netError.c_str());
    return 1;
  }
  CountingSink sink;
  SyslogSetSink(&sink);
  std::atomic<int32_t> stop{0};
  AclEnvironment env;
  env.stopRequested = &stop;
  env.eventSend = [] { return 1; };

  testsupport::ScratchDir work("scale-bench");
  std::printf(
      "%d routers x %d routes, 2 quarantine servers; planning with %d entries, routers ON\n",
      kRouters, kRoutesPerRouter, kEntries);
  std::fflush(stdout);
  if (work.path().empty() || !WriteFiles(work, 0)) {
    std::fprintf(stderr, "scale_bench: cannot write the files\n");
    return 1;
  }
  ServiceFigures base = StartService(work);
  if (base.portMs < 0) {
    std::fprintf(stderr, "scale_bench: VoKelMng without PCs: %s\n", base.note.c_str());
    return 1;
  }
  std::printf("without PCs: start-up %.1f ms, peak memory %ld KiB\n", base.portMs, base.peakKiB);
  std::printf("%10s %12s %14s %12s %14s %14s\n", "PCs", "start-up ms", "peak KiB", "bytes/PC",
              "kel add ms", "pc add ms");
  std::fflush(stdout);

  std::vector<Row> rows;
  for (int pcs : {10000, 100000, 1000000}) {
    Row row;
    row.pcs = pcs;
    if (!WriteFiles(work, pcs)) {
      std::fprintf(stderr, "scale_bench: cannot write the files\n");
      return 1;
    }
    row.service = StartService(work);
    if (row.service.portMs < 0) {
      std::printf("%10d VoKelMng: %s\n", pcs, row.service.note.c_str());
    }
    row.bytesPerPc = (row.service.peakKiB - base.peakKiB) * 1024.0 / pcs;
    Planning(env, row);
    std::printf("%10d %12.1f %14ld %12.1f %14.2f %14.2f\n", pcs, row.service.portMs,
                row.service.peakKiB, row.bytesPerPc, row.kelMs, row.pcMs);
    std::fflush(stdout);
    rows.push_back(row);
  }

  const Row& small = rows[0];
  const Row& mid = rows[1];
  const Row& large = rows[2];
  bool started = large.service.portMs >= 0 && large.service.portMs <= kStartTargetMs;
  double memoryGrowth = mid.bytesPerPc > 0 ? large.bytesPerPc / mid.bytesPerPc : 0;
  bool memoryMet = mid.service.peakKiB > 0 && large.service.peakKiB > 0 && memoryGrowth <= 1.10 &&
                   memoryGrowth >= 0.90;
  // Less than linear: each tenfold of PCs makes each planning less than ten times as long.
  auto sublinear = [](double before, double after) { return after < 10 * before; };
  bool planningMet = sublinear(small.kelMs, mid.kelMs) && sublinear(mid.kelMs, large.kelMs) &&
                     sublinear(small.pcMs, mid.pcMs) && sublinear(mid.pcMs, large.pcMs);
  std::printf("bytes per PC, 1,000,000 against 100,000: %.2f\n", memoryGrowth);
  std::printf(
      "planning, 1,000,000 PCs against 10,000 (100 times the PCs): kel add %.1f times, "
      "pc add %.1f times\n",
      large.kelMs / small.kelMs, large.pcMs / small.pcMs);
  std::printf("log lines of the bench: %d\n", sink.count.load());
  std::printf("target (start-up with 1,000,000 PCs within 5 s): %s\n", started ? "met" : "not met");
  std::printf("target (memory per PC within 10 %% from 100,000 to 1,000,000 PCs): %s\n",
              memoryMet ? "met" : "not met");
  std::printf(
      "target (kel add and pc add planning grow less than linearly in the PCs, 10,000 to "
      "1,000,000): %s\n",
      planningMet ? "met" : "not met");
  SyslogSetSink(nullptr);
  return 0;
}
