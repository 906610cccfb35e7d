// Round trips per second on the command port, and on a line server that does no work at all:
// the ratio of the two is the cost of the command path (thread wake-ups, byte-by-byte line
// assembly, dispatch, the prompt queue). The two take turns, three times each for one and for
// ten connections, and the medians are compared, so that a slow moment of the machine does not
// decide the ratio. The same again inside TLS: the TLS command port against a bare TLS line
// server (the same OpenSSL context, client certificates checked on both). Prints the ratios and
// the target lines at the end.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/tls_channel.h"
#include "loopback.h"
#include "netns.h"
#include "platform/host_os.h"
#include "platform/message_queue.h"
#include "scratch_dir.h"
#include "service/base/messages.h"
#include "service/command/kel_cmd_server.h"
#include "service/command/service_settings.h"
#include "test_certs.h"

namespace {

constexpr uint16_t kCommandPort = 8000;
constexpr uint16_t kEchoPort = 8001;
constexpr uint16_t kTlsCommandPort = 8443;
constexpr uint16_t kTlsEchoPort = 8444;
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

// One end of a connection, plain or inside TLS (a blocking socket either way).
struct Peer {
  int fd = -1;
  std::unique_ptr<tls::Channel> channel;

  ssize_t Send(const char* text, size_t length) {
    return channel ? channel->Write(text, length) : send(fd, text, length, MSG_NOSIGNAL);
  }
  ssize_t Receive(char* buf, size_t length) {
    return channel ? channel->Read(buf, length) : recv(fd, buf, length, 0);
  }
};

// Reads until the received text ends with "$ "; false when the peer closed.
bool ReadToPrompt(Peer& peer) {
  char buf[4096];
  std::string tail;
  for (;;) {
    ssize_t n = peer.Receive(buf, sizeof buf);
    if (n <= 0) return false;
    tail.append(buf, static_cast<size_t>(n));
    if (tail.size() >= 2 && tail.compare(tail.size() - 2, 2, "$ ") == 0) return true;
    if (tail.size() > 2) tail.erase(0, tail.size() - 2);
  }
}

// The bare line server: one thread per connection, "$ " on connect and after every line.
void EchoConnection(Peer peer) {
  char buf[4096];
  if (peer.Send("$ ", 2) != 2) return;
  for (;;) {
    ssize_t n = peer.Receive(buf, sizeof buf);
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      if (buf[i] == '\n' && peer.Send("$ ", 2) != 2) return;
    }
  }
  peer.channel.reset();
  close(peer.fd);
}

// With `context` the server's connections are TLS, each handshake done in its own thread.
void StartEchoServer(uint16_t port, tls::Context* context) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in at = {};
  at.sin_family = AF_INET;
  at.sin_port = htons(port);
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(listener, 16)) {
    std::perror("echo server");
    return;
  }
  std::thread([listener, context] {
    for (;;) {
      int fd = accept(listener, nullptr, nullptr);
      if (fd < 0) return;
      int flag = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &flag, sizeof flag);
      std::thread([fd, context] {
        Peer peer;
        peer.fd = fd;
        if (context != nullptr) {
          peer.channel = std::make_unique<tls::Channel>(*context, fd);
          if (tls::HandshakeWithin(*peer.channel, fd, 5000) != tls::kDone) {
            close(fd);
            return;
          }
        }
        EchoConnection(std::move(peer));
      }).detach();
    }
  }).detach();
}

std::vector<Peer> g_command_clients;
std::vector<Peer> g_echo_clients;
std::vector<Peer> g_tls_command_clients;
std::vector<Peer> g_tls_echo_clients;

void RoundTrips(benchmark::State& state, std::vector<Peer>& clients, const char* line) {
  Peer& peer = clients[static_cast<size_t>(state.thread_index())];
  size_t length = std::strlen(line);
  for (auto _ : state) {
    if (peer.Send(line, length) != static_cast<ssize_t>(length) || !ReadToPrompt(peer)) {
      state.SkipWithError("connection lost");
      break;
    }
  }
  state.counters["roundtrips_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_CommandPort(benchmark::State& state) { RoundTrips(state, g_command_clients, "pv show\n"); }
void BM_BareLoopback(benchmark::State& state) { RoundTrips(state, g_echo_clients, "pv show\n"); }
void BM_TlsCommandPort(benchmark::State& state) {
  RoundTrips(state, g_tls_command_clients, "pv show\n");
}
void BM_BareTls(benchmark::State& state) { RoundTrips(state, g_tls_echo_clients, "pv show\n"); }

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
      benchmark::RegisterBenchmark("BM_TlsCommandPort", BM_TlsCommandPort)
          ->Threads(threads)
          ->UseRealTime();
      benchmark::RegisterBenchmark("BM_BareTls", BM_BareTls)->Threads(threads)->UseRealTime();
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

// Connects every client once (inside TLS with `context`), each waiting for its first prompt;
// false on failure.
bool ConnectAll(uint16_t port, std::vector<Peer>* clients, tls::Context* context = nullptr) {
  for (int i = 0; i < kConnections; ++i) {
    Peer peer;
    peer.fd = Connect(port);
    if (peer.fd < 0) return false;
    if (context != nullptr) {
      peer.channel = std::make_unique<tls::Channel>(*context, peer.fd, "127.0.0.1");
      if (tls::HandshakeWithin(*peer.channel, peer.fd, 5000) != tls::kDone) {
        std::fprintf(stderr, "TLS: %s\n", peer.channel->reason().c_str());
        return false;
      }
    }
    if (!ReadToPrompt(peer)) return false;
    clients->push_back(std::move(peer));
  }
  return true;
}

// A CA in a scratch folder, the service's certificate and an operator's.
struct Certificates {
  testsupport::ScratchDir dir;
  testsupport::TestCa ca{dir.path(), "ca"};
  std::shared_ptr<tls::Context> server;
  std::unique_ptr<tls::Context> client;

  bool Make() {
    std::string error;
    if (!ca.Issue("service", {"vokelmng", {"127.0.0.1"}, {}, false}) ||
        !ca.Issue("operator", {"operator", {}, {}, false})) {
      return false;
    }
    server = tls::Context::ForServer({ca.CertPath("service"), ca.KeyPath("service"), ca.certFile()},
                                     &error);
    client = tls::Context::ForClient(
        {ca.certFile(), tls::Verify::kFull, ca.CertPath("operator"), ca.KeyPath("operator")},
        &error);
    if (!server || !client) std::fprintf(stderr, "TLS: %s\n", error.c_str());
    return server && client;
  }
};

void PrintRatio(const char* what, const char* bareName, double port, double bare, int threads,
                bool target) {
  if (port <= 0 || bare <= 0) return;
  std::printf(
      "%d connection%s: %s at %.2f of the %s (medians of %d turns: %.0f and %.0f round "
      "trips/s)\n",
      threads, threads == 1 ? "" : "s", what, port / bare, bareName, kTurns, port, bare);
  if (target) {
    std::printf("target (%s, ten connections >= 0.8 of the %s): %s\n", what, bareName,
                port / bare >= 0.8 ? "met" : "not met");
  }
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
  signal(SIGPIPE, SIG_IGN);
  Certificates certificates;
  if (!certificates.Make()) return 1;
  if (!server->Start(kCommandPort)) return 1;
  // The ten slots of a server are shared by both its ports: the TLS clients get a second one.
  auto tlsServer = std::make_unique<CKelCmdServer>();
  tlsServer->SaveThreadID(platform::CurrentThreadId());
  if (!tlsServer->Start(kCommandPort + 2, {kTlsCommandPort, certificates.server})) return 1;
  StartEchoServer(kEchoPort, nullptr);
  StartEchoServer(kTlsEchoPort, certificates.server.get());
  if (!ConnectAll(kCommandPort, &g_command_clients) || !ConnectAll(kEchoPort, &g_echo_clients) ||
      !ConnectAll(kTlsCommandPort, &g_tls_command_clients, certificates.client.get()) ||
      !ConnectAll(kTlsEchoPort, &g_tls_echo_clients, certificates.client.get())) {
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
    PrintRatio("command port", "bare line server", recorder.Median("BM_CommandPort" + suffix),
               recorder.Median("BM_BareLoopback" + suffix), threads, threads == kConnections);
    PrintRatio("TLS command port", "bare TLS line server",
               recorder.Median("BM_TlsCommandPort" + suffix),
               recorder.Median("BM_BareTls" + suffix), threads, threads == kConnections);
  }
  for (auto* clients : {&g_command_clients, &g_tls_command_clients}) {
    for (Peer& peer : *clients) {
      peer.channel.reset();
      close(peer.fd);
    }
  }
  server.reset();
  tlsServer.reset();
  platform::DetachMessageQueue();
  return 0;
}
