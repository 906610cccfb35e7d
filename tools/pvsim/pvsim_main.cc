// pvsim: a stand-in for a router's access-list interface, for tests, benchmarks and for trying
// the service without routers. See --help.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "pvsim_options.h"
#include "pvsim_server.h"

namespace {

// Toggled by SIGUSR1: while set every connection is refused as with --refuse, and the table
// and journal stay as they are (a router whose HTTP side is down while it still answers ICMP).
volatile sig_atomic_t gRefusing = 0;

void ToggleRefusing(int) { gRefusing = !gRefusing; }

int Listen(const pvsim::Options& o, uint16_t* boundPort) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  struct sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(o.port);
  inet_pton(AF_INET, o.address.c_str(), &sa.sin_addr);
  socklen_t len = sizeof sa;
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 128) != 0 ||
      getsockname(fd, reinterpret_cast<struct sockaddr*>(&sa), &len) != 0) {
    close(fd);
    return -1;
  }
  *boundPort = ntohs(sa.sin_port);
  return fd;
}

std::string PeerText(const struct sockaddr_in& sa) {
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(sa.sin_port));
}

[[noreturn]] void AcceptLoop(pvsim::Server& server, int listener) {
  for (long connection = 1;; ++connection) {
    struct sockaddr_in sa;
    socklen_t len = sizeof sa;
    int fd = accept4(listener, reinterpret_cast<struct sockaddr*>(&sa), &len, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno != EINTR && errno != ECONNABORTED) perror("pvsim: accept");
      --connection;
      continue;
    }
    std::string peer = PeerText(sa);
    if (gRefusing || (server.options.refuse && server.TakeMisbehaviour())) {
      pvsim::RefuseConnection(server, fd, connection, peer);
      continue;
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::thread([&server, fd, connection, peer] {
      pvsim::ServeConnection(server, fd, connection, peer);
    }).detach();
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--completion-table") == 0) {
    pvsim::PrintCompletionTable(stdout);
    return 0;
  }
  pvsim::Options options;
  bool help = false;
  std::string error;
  if (!pvsim::ParseOptions(argc, argv, &options, &help, &error)) {
    std::fprintf(stderr, "pvsim: %s\n\n%s", error.c_str(), pvsim::UsageText());
    return 2;
  }
  if (help) {
    std::fputs(pvsim::UsageText(), stdout);
    return 0;
  }
  signal(SIGPIPE, SIG_IGN);
  struct sigaction toggle {};
  toggle.sa_handler = ToggleRefusing;
  sigemptyset(&toggle.sa_mask);
  toggle.sa_flags = SA_RESTART;
  sigaction(SIGUSR1, &toggle, nullptr);
  pvsim::Server server(options);
  if (!options.journal.empty() && !server.journal.Open(options.journal)) {
    std::fprintf(stderr, "pvsim: cannot open journal %s: %s\n", options.journal.c_str(),
                 std::strerror(errno));
    return 1;
  }
  if (!options.tlsCert.empty()) {
    server.tls =
        tls::Context::ForServer({options.tlsCert, options.tlsKey, options.clientCa}, &error);
    if (server.tls == nullptr) {
      std::fprintf(stderr, "pvsim: cannot serve TLS: %s\n", error.c_str());
      return 1;
    }
  }
  if (!server.table.Save()) return 1;
  uint16_t port = 0;
  int listener = Listen(options, &port);
  if (listener < 0) {
    std::fprintf(stderr, "pvsim: cannot listen on %s:%u: %s\n", options.address.c_str(),
                 options.port, std::strerror(errno));
    return 1;
  }
  std::printf("pvsim: listening on %s:%u\n", options.address.c_str(), port);
  std::fflush(stdout);
  AcceptLoop(server, listener);
}
