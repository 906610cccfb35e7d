// Round trips per second on the command port, and on a line server that does no work at all:
// the ratio of the two is the cost of the command path (thread wake-ups, byte-by-byte line
// assembly, dispatch, the prompt queue). The two take turns, three times each for one and for
// ten connections, and the medians are compared, so that a slow moment of the machine does not
// decide the ratio. Prints the ratios and the target line at the end.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "loopback.h"
#include "netns.h"
#include "platform/host_os.h"
#include "platform/message_queue.h"
#include "service/base/messages.h"
#include "service/command/kel_cmd_server.h"
#include "service/command/service_settings.h"

namespace {

constexpr uint16_t kCommandPort = 8000;
constexpr uint16_t kEchoPort = 8001;
constexpr int kConnections = 10;

// The listener may not be up yet: tries for about two seconds.
int Connect(uint16_t port) {
  for (int i = 0; i < 200; ++i) {
    int fd = testsupport::ConnectLoopbackTcp(port);
    if (fd >= 0) return fd;
    usleep(10 * 1000);
  }
  return -1;
}

// Reads until the received text ends with "$ "; false when the peer closed.
bool ReadToPrompt(int fd) {
  char buf[4096];
  std::string tail;
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    tail.append(buf, static_cast<size_t>(n));
    if (tail.size() >= 2 && tail.compare(tail.size() - 2, 2, "$ ") == 0) return true;
    if (tail.size() > 2) tail.erase(0, tail.size() - 2);
  }
}

// The bare line server: one thread per connection, "$ " on connect and after every line.
void EchoConnection(int fd) {
  char buf[4096];
  if (send(fd, "$ ", 2, MSG_NOSIGNAL) != 2) return;
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      if (buf[i] == '\n' && send(fd, "$ ", 2, MSG_NOSIGNAL) != 2) return;
    }
  }
  close(fd);
}

void StartEchoServer() {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in at = {};
  at.sin_family = AF_INET;
  at.sin_port = htons(kEchoPort);
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(listener, 16)) {
    std::perror("echo server");
    return;
  }
  std::thread([listener] {
    for (;;) {
      int fd = accept(listener, nullptr, nullptr);
      if (fd < 0) return;
      int flag = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &flag, sizeof flag);
      std::thread(EchoConnection, fd).detach();
    }
  }).detach();
}

std::vector<int> g_command_clients;
std::vector<int> g_echo_clients;

void RoundTrips(benchmark::State& state, const std::vector<int>& clients, const char* line) {
  int fd = clients[static_cast<size_t>(state.thread_index())];
  size_t length = std::strlen(line);
  for (auto _ : state) {
    if (send(fd, line, length, MSG_NOSIGNAL) != static_cast<ssize_t>(length) || !ReadToPrompt(fd)) {
      state.SkipWithError("connection lost");
      break;
    }
  }
  state.counters["roundtrips_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_CommandPort(benchmark::State& state) { RoundTrips(state, g_command_clients, "pv show\n"); }
void BM_BareLoopback(benchmark::State& state) { RoundTrips(state, g_echo_clients, "pv show\n"); }

constexpr int kTurns = 3;

// For one connection, then for ten: the command port and the bare server in turn.
void RegisterTurns() {
  for (int threads : {1, kConnections}) {
    for (int turn = 0; turn < kTurns; ++turn) {
      benchmark::RegisterBenchmark("BM_CommandPort", BM_CommandPort)
          ->Threads(threads)
          ->UseRealTime();
      benchmark::RegisterBenchmark("BM_BareLoopback", BM_BareLoopback)
          ->Threads(threads)
          ->UseRealTime();
    }
  }
}

// The console output as usual, and the round trips per second of each turn by name.
class Recorder : public benchmark::ConsoleReporter {
 public:
  Recorder() : ConsoleReporter(OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      auto found = run.counters.find("roundtrips_per_s");
      if (found != run.counters.end()) rates[run.benchmark_name()].push_back(found->second.value);
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, std::vector<double>> rates;

  double Median(const std::string& name) {
    std::vector<double>& all = rates[name];
    if (all.empty()) return 0;
    std::sort(all.begin(), all.end());
    return all[all.size() / 2];
  }
};

// Connects every client once, each waiting for its first prompt; false on failure.
bool ConnectAll(uint16_t port, std::vector<int>* clients) {
  for (int i = 0; i < kConnections; ++i) {
    int fd = Connect(port);
    if (fd < 0 || !ReadToPrompt(fd)) return false;
    clients->push_back(fd);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string error = testsupport::EnterPrivateNetwork();
  if (!error.empty()) {
    std::fprintf(stderr, "cannot make a private network (run as root): %s\n", error.c_str());
    return 1;
  }
  platform::BlockServiceSignals();
  Msg();
  platform::AttachMessageQueue();
  SetServiceSettings(ServiceSettings());
  auto server = std::make_unique<CKelCmdServer>();
  server->SaveThreadID(platform::CurrentThreadId());
  if (!server->Start(kCommandPort)) return 1;
  StartEchoServer();
  if (!ConnectAll(kCommandPort, &g_command_clients) || !ConnectAll(kEchoPort, &g_echo_clients)) {
    std::fprintf(stderr, "cannot connect\n");
    return 1;
  }
  RegisterTurns();
  benchmark::Initialize(&argc, argv);
  Recorder recorder;
  benchmark::RunSpecifiedBenchmarks(&recorder);
  benchmark::Shutdown();
  for (int threads : {1, kConnections}) {
    std::string suffix = "/real_time/threads:" + std::to_string(threads);
    double port = recorder.Median("BM_CommandPort" + suffix);
    double bare = recorder.Median("BM_BareLoopback" + suffix);
    if (port <= 0 || bare <= 0) continue;
    std::printf(
        "%d connection%s: command port at %.2f of the bare line server (medians of %d "
        "turns: %.0f and %.0f round trips/s)\n",
        threads, threads == 1 ? "" : "s", port / bare, kTurns, port, bare);
    if (threads == kConnections) {
      std::printf("target (ten connections >= 0.8 of the bare line server): %s\n",
                  port / bare >= 0.8 ? "met" : "not met");
    }
  }
  for (int fd : g_command_clients) close(fd);
  server.reset();
  platform::DetachMessageQueue();
  return 0;
}
