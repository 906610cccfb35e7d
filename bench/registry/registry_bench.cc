// registry_bench: the start-up with a large registry and one `pc add` against it. Writes, into a
// scratch working directory, pv.csv (1,000 routers), pvroute.csv (4 routes each), pc.csv
// (100,000 PCs) and quarantine.csv (1,000 servers) as the service writes them, then measures
//  (a) the load of the four files through the loaders the service's start runs, in its order;
//  (b) one `pc add` at 100,000 PCs through the command table the command port runs (the line's
//      service time: from the line to the handler's return);
//  (c) the real VoKelMng started on that directory, until its command port accepts.
// Runs in a private network of its own (root; without root an unprivileged user namespace is
// tried), so the service's log datagrams never leave it; the bench itself logs into a counter.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "child_process.h"
#include "common/syslog.h"
#include "loopback.h"
#include "netns.h"
#include "scratch_dir.h"
#include "service/base/command_handler.h"
#include "service/command/command_dispatch.h"
#include "service/command/command_table.h"
#include "service/registry/pc_csv.h"
#include "service/registry/pc_data.h"
#include "service/registry/pv_csv.h"
#include "service/registry/pv_data.h"
#include "service/registry/pvroute_csv.h"
#include "service/registry/quarantine_csv.h"
#include "service/registry/quarantine_data.h"

#ifndef VOKELMNG_PATH
#error "VOKELMNG_PATH must name the built service program"
#endif

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRouters = 1000;
constexpr int kRoutesPerRouter = 4;
constexpr int kPcs = 100000;
constexpr int kServers = 1000;
constexpr int kAddRounds = 9;
constexpr uint16_t kCommandPort = 18000;  // moved by [SERVICE] PORT
constexpr int kPortWaitSeconds = 120;     // the service is given up on after this
constexpr double kStartTargetMs = 2000;
constexpr double kAddTargetMs = 1;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The bench's own log lines are counted, never sent.
class CountingSink : public SyslogSink {
 public:
  void Write(int, std::string_view) override { count.fetch_add(1); }
  std::atomic<int> count{0};
};

// Without root: a user namespace of our own (this user mapped to root in it) with a network
// namespace inside, loopback up. Empty on success, else the reason.
std::string EnterUserNetwork() {
  uid_t uid = getuid();
  gid_t gid = getgid();
  if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
    return std::string("unshare(user, net): ") + strerror(errno);
  }
  auto write_file = [](const char* path, const std::string& text) {
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
  };
  if (!write_file("/proc/self/setgroups", "deny") ||
      !write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
      !write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
    return "cannot map the user";
  }
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return std::string("socket: ") + strerror(errno);
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  std::string error;
  if (ioctl(s, SIOCGIFFLAGS, &ifr) != 0) {
    error = std::string("SIOCGIFFLAGS: ") + strerror(errno);
  } else {
    ifr.ifr_flags |= IFF_UP;
    if (ioctl(s, SIOCSIFFLAGS, &ifr) != 0) error = std::string("SIOCSIFFLAGS: ") + strerror(errno);
  }
  close(s);
  return error;
}

std::string Dotted(int a, int b, int c, int d) {
  return std::to_string(a) + '.' + std::to_string(b) + '.' + std::to_string(c) + '.' +
         std::to_string(d);
}

// Router i at 172.16.(i / 200).(i % 200 + 1); its route j is 10.(i / 64).((i % 64) * 4 + j).0/24
// on eth<j>. PC k is MAC 02:00:00:<k> in the network k % 4000 as host k / 4000 + 1. Server s at
// 172.17.(s / 250).(s % 250 + 1), tcp and udp in turn, port 4208.
std::string RouterAddress(int i) { return Dotted(172, 16, i / 200, i % 200 + 1); }

std::string RouteNetwork(int i, int j) { return Dotted(10, i / 64, (i % 64) * 4 + j, 0); }

std::string PcSource(int k) {
  int n = k % (kRouters * kRoutesPerRouter);
  int i = n / kRoutesPerRouter;
  return Dotted(10, i / 64, (i % 64) * 4 + n % kRoutesPerRouter,
                k / (kRouters * kRoutesPerRouter) + 1);
}

std::string PcMac(int k) {
  char mac[18];
  std::snprintf(mac, sizeof mac, "02:00:00:%02X:%02X:%02X", (k >> 16) & 0xFF, (k >> 8) & 0xFF,
                k & 0xFF);
  return mac;
}

// The four files, line for line as the service's save writes them (CRLF line ends).
bool WriteFiles(const testsupport::ScratchDir& dir, size_t* bytes) {
  std::string pv, pvroute, pc, quarantine;
  for (int i = 0; i < kRouters; ++i) {
    pv += "\"" + RouterAddress(i) + "\",880,\"admin\",\"pomvy\"\r\n";
    for (int j = 0; j < kRoutesPerRouter; ++j) {
      pvroute += "\"" + RouterAddress(i) + "\",\"eth" + std::to_string(j) + "\",\"" +
                 RouteNetwork(i, j) + "\",\"255.255.255.0\"\r\n";
    }
  }
  for (int k = 0; k < kPcs; ++k) pc += "\"" + PcMac(k) + "\",\"" + PcSource(k) + "\",\"\",\"\"\r\n";
  for (int s = 0; s < kServers; ++s) {
    quarantine += "\"" + Dotted(172, 17, s / 250, s % 250 + 1) + "\",\"" +
                  (s % 2 == 0 ? "tcp" : "udp") + "\",\"4208\"\r\n";
  }
  *bytes = pv.size() + pvroute.size() + pc.size() + quarantine.size();
  return dir.Write(kPvFileName, pv) && dir.Write(kPvrouteFileName, pvroute) &&
         dir.Write(kPcFileName, pc) && dir.Write(kQuarantineFileName, quarantine);
}

int RouteCount() {
  CKelListLock hold(PvList());
  int routes = 0;
  for (CKelNode* n = PvList().GetHead(1); n != nullptr; n = PvList().GetNext(n, 1)) {
    routes += static_cast<CPvData*>(n->data)->routes.GetCount();
  }
  return routes;
}

struct LoadFigures {
  double pv = 0, pvroute = 0, pc = 0, quarantine = 0;
  double total() const { return pv + pvroute + pc + quarantine; }
  bool ok = false;
};

// The loads of CKelControl::LoadRegistries, in its order, each timed.
LoadFigures LoadInProcess() {
  LoadFigures f;
  auto start = Clock::now();
  int pv = PvLoad();
  f.pv = MsSince(start);
  start = Clock::now();
  PvrouteLoadResult routes = LoadPvrouteFile(PvList());
  f.pvroute = MsSince(start);
  start = Clock::now();
  int pc = LoadPcFile(PcList());
  f.pc = MsSince(start);
  start = Clock::now();
  int servers = LoadQuarantineFile(QuarantineList());
  f.quarantine = MsSince(start);
  f.ok = pv == 0 && routes == PvrouteLoadResult::kLoaded && pc == 0 && servers == 0 &&
         PvList().GetCount() == kRouters && RouteCount() == kRouters * kRoutesPerRouter &&
         PcList().GetCount() == kPcs && QuarantineList().GetCount() == kServers;
  return f;
}

// What a save of each loaded registry writes must be the file that was loaded. pv.csv has a
// fixed name: it is saved over itself and must come out the same.
bool SavesMatchTheFiles(const testsupport::ScratchDir& dir) {
  auto routers = dir.Read(kPvFileName);
  if (PvSave() != 0 || dir.Read(kPvFileName) != routers) return false;
  struct Check {
    const char* file;
    int (*save)(const char* name);
  };
  const Check checks[] = {
      {kPvrouteFileName, [](const char* name) { return SavePvrouteFile(PvList(), name); }},
      {kPcFileName, [](const char* name) { return SavePcFile(PcList(), name); }},
      {kQuarantineFileName,
       [](const char* name) { return SaveQuarantineFile(QuarantineList(), name); }},
  };
  for (const Check& c : checks) {
    std::string copy = std::string(c.file) + ".check";
    bool same = c.save(copy.c_str()) == 0 && dir.Read(copy) == dir.Read(c.file);
    std::remove(copy.c_str());
    if (!same) return false;
  }
  return true;
}

struct AddFigures {
  std::vector<double> ms;
  bool ok = true;
  int countBefore = 0;
};

// `pc add` lines through the command port's table over a socketpair, each at kPcs entries (the
// added PC is taken out again after each round).
AddFigures PcAdds() {
  AddFigures f;
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    f.ok = false;
    return f;
  }
  f.countBefore = PcList().GetCount();
  for (int round = 0; round < kAddRounds; ++round) {
    std::string line = "pc add source-mac 02:01:00:00:00:" + std::string(1, "0123456789"[round]) +
                       "0 source 10.0.0." + std::to_string(200 + round) + "\r\n";
    std::vector<char> buffer(line.begin(), line.end());
    buffer.push_back('\0');
    auto start = Clock::now();
    DispatchResult result =
        DispatchCommandLine(fds[0], buffer.data(), kCommandTable, kCommandTableRows);
    f.ms.push_back(MsSince(start));
    if (result.end || result.family != CommandFamily::kPc || result.value != kResultAdd ||
        PcList().GetCount() != kPcs + 1) {
      f.ok = false;
    }
    PcList().RemoveTail();
  }
  close(fds[0]);
  close(fds[1]);
  std::sort(f.ms.begin(), f.ms.end());
  return f;
}

// True when "$ " arrives on `fd` within timeout_ms.
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

struct ServiceFigures {
  bool ran = false;
  double portMs = -1;  // -1: the port never accepted
  int stopStatus = -1;
  std::string note;
};

// VoKelMng -RegServer, then VoKelMng in the foreground on `work`, timed from the start until
// its command port accepts a connection that then gets the prompt.
ServiceFigures StartService(const testsupport::ScratchDir& work) {
  ServiceFigures f;
  testsupport::ScratchDir profile("registry-bench-profile");
  if (!profile.Write("VoKelMng.ini",
                     "[SERVICE]\r\nPORT=" + std::to_string(kCommandPort) + "\r\n")) {
    f.note = "cannot write the profile";
    return f;
  }
  std::vector<std::string> env = {"VOKELMNG_CONFIG_DIR=" + profile.path(),
                                  "VOKELMNG_UNIT_DIR=" + profile.path()};
  testsupport::ChildOptions options;
  options.env = env;
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
  f.ran = true;
  while (MsSince(start) < kPortWaitSeconds * 1000.0) {
    int fd = testsupport::ConnectLoopbackTcp(kCommandPort);
    if (fd >= 0) {
      double ms = MsSince(start);
      bool prompt = ReadsPrompt(fd, 5000);
      close(fd);
      if (prompt) f.portMs = ms;
      if (!prompt) f.note = "connected, but no prompt came";
      break;
    }
    if (!service.Running()) {
      f.note = "VoKelMng exited before its port came up";
      break;
    }
    usleep(2000);
  }
  if (service.Running()) f.stopStatus = service.Stop(10000);
  if (f.portMs < 0 && f.note.empty()) {
    f.note = "the port did not accept within " + std::to_string(kPortWaitSeconds) + " s";
  }
  if (!f.note.empty()) {
    auto out = profile.Read("service.out");
    if (out && !out->empty()) f.note += "; output: " + out->substr(0, 400);
  }
  return f;
}

}  // namespace

int main() {
  std::string netError = testsupport::EnterPrivateNetwork();
  bool privateNetwork = netError.empty();
  const char* network = "a network namespace of its own";
  if (!privateNetwork) {
    std::string userError = EnterUserNetwork();
    privateNetwork = userError.empty();
    network = "a user and network namespace of its own (no root)";
    if (!privateNetwork) netError += "; " + userError;
  }
  CountingSink sink;
  SyslogSetSink(&sink);

  testsupport::ScratchDir work("registry-bench", testsupport::ScratchDir::kWorkingDir);
  size_t bytes = 0;
  if (work.path().empty() || !WriteFiles(work, &bytes)) {
    std::fprintf(stderr, "registry_bench: cannot write the files\n");
    return 1;
  }
  if (privateNetwork) std::printf("running in %s\n", network);
  std::printf("files in %s: %d routers, %d routes, %d PCs, %d servers (%zu bytes)\n",
              work.path().c_str(), kRouters, kRouters * kRoutesPerRouter, kPcs, kServers, bytes);

  LoadFigures load = LoadInProcess();
  std::printf("in-process load (the start's loaders, in its order):\n");
  std::printf("  pv.csv          %10.1f ms\n", load.pv);
  std::printf("  pvroute.csv     %10.1f ms\n", load.pvroute);
  std::printf("  pc.csv          %10.1f ms\n", load.pc);
  std::printf("  quarantine.csv  %10.1f ms\n", load.quarantine);
  std::printf("  total           %10.1f ms  %s\n", load.total(),
              load.ok ? "(every line loaded)" : "(LOAD INCOMPLETE)");
  bool savesMatch = SavesMatchTheFiles(work);
  std::printf("saves of the loaded registries equal the files: %s\n", savesMatch ? "yes" : "NO");

  AddFigures add = PcAdds();
  std::printf(
      "pc add at %d PCs (command table, %d rounds; the target takes the median): median %.1f us  "
      "min %.1f us  max %.1f us%s\n",
      add.countBefore, kAddRounds, add.ms[add.ms.size() / 2] * 1000, add.ms.front() * 1000,
      add.ms.back() * 1000, add.ok ? "" : "  (NOT ACCEPTED)");
  // pc add does not write pc.csv (only `pc save` does); the save's time for reference.
  auto saveStart = Clock::now();
  int saved = SavePcFile(PcList(), "pc-save.csv");
  std::printf("pc save at %d PCs (not part of pc add): %.1f ms%s\n", PcList().GetCount(),
              MsSince(saveStart), saved == 0 ? "" : "  (FAILED)");
  std::remove("pc-save.csv");

  PcList().RemoveAll();
  PvList().RemoveAll();
  QuarantineList().RemoveAll();
  ServiceFigures service;
  if (privateNetwork) {
    service = StartService(work);
    if (service.portMs >= 0) {
      std::printf(
          "VoKelMng start until the command port (%u) accepts (the start-up target): "
          "%.1f ms (stop status %d)\n",
          kCommandPort, service.portMs, service.stopStatus);
    } else {
      std::printf("VoKelMng start: %s\n", service.note.c_str());
    }
  } else {
    std::printf(
        "VoKelMng not started (no private network: %s); the start-up target uses the "
        "in-process load\n",
        netError.c_str());
  }

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("peak memory of the bench (ru_maxrss): %ld KiB; log lines of the bench: %d\n",
              usage.ru_maxrss, sink.count.load());

  double startMs = privateNetwork ? service.portMs : load.total();
  bool startMet = load.ok && startMs >= 0 && startMs <= kStartTargetMs;
  bool addMet = add.ok && add.ms[add.ms.size() / 2] < kAddTargetMs;
  std::printf(
      "target (start-up with 100,000 PCs, 1,000 routers x 4 routes, 1,000 servers within 2 s): "
      "%s\n",
      startMet ? "met" : "not met");
  std::printf("target (one pc add at 100,000 PCs under 1 ms): %s\n", addMet ? "met" : "not met");
  SyslogSetSink(nullptr);
  return 0;
}
