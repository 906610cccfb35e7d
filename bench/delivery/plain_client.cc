#include "plain_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/tls_channel.h"

namespace {

bool SendAll(int fd, tls::Channel* channel, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = channel != nullptr ? channel->Write(data.data() + sent, data.size() - sent)
                                   : send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// Reads one Content-Length answer out of `buffer` (refilled from fd); leftovers stay.
bool ReadAnswer(int fd, tls::Channel* channel, std::string& buffer) {
  char chunk[4096];
  for (;;) {
    size_t end = buffer.find("\r\n\r\n");
    if (end != std::string::npos) {
      const char* length = strcasestr(buffer.c_str(), "Content-Length:");
      size_t body = length != nullptr ? std::strtoul(length + 15, nullptr, 10) : 0;
      if (buffer.size() >= end + 4 + body) {
        buffer.erase(0, end + 4 + body);
        return true;
      }
    }
    ssize_t n =
        channel != nullptr ? channel->Read(chunk, sizeof chunk) : recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<size_t>(n));
  }
}

}  // namespace

bool PlainClientRun(const std::string& address, uint16_t port, const std::string& request,
                    long count, tls::Context* context) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  bool ok = connect(fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) == 0;
  std::unique_ptr<tls::Channel> channel;
  if (ok && context != nullptr) {
    channel = std::make_unique<tls::Channel>(*context, fd, address);
    ok = channel->Handshake() == tls::kDone;
  }
  std::string buffer;
  for (long i = 0; ok && i < count; ++i) {
    ok = SendAll(fd, channel.get(), request) && ReadAnswer(fd, channel.get(), buffer);
  }
  if (channel != nullptr) channel->Shutdown();
  channel.reset();
  close(fd);
  return ok;
}
