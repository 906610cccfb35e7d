#include "pvsim_server.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "pvsim_http.h"

namespace pvsim {

Journal::~Journal() {
  if (fd_ >= 0) close(fd_);
}

bool Journal::Open(const std::string& path) {
  fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  return fd_ >= 0;
}

void Journal::Append(const std::string& line) {
  if (fd_ < 0) return;
  std::string text = line + "\n";
  std::lock_guard<std::mutex> hold(mutex_);
  if (write(fd_, text.data(), text.size()) < 0) perror("pvsim: journal");
}

bool Server::TakeMisbehaviour() {
  if (options.times < 0) return true;
  return misbehaved.fetch_add(1) < options.times;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

namespace {

// A client that has not finished its TLS handshake by then is dropped.
constexpr int kHandshakeMs = 10000;

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6f", value);
  return text;
}

std::string FormJson(const std::string& body) {
  std::string out = "{";
  for (const auto& [key, value] : ParseForm(body)) {
    if (out.size() > 1) out += ',';
    out += JsonString(key) + ":" + JsonString(value);
  }
  return out + "}";
}

// True when bytes of a further request are already waiting, i.e. the client did not wait for
// this answer before writing its next request.
bool NextRequestWaiting(int fd, const std::string& buffered, const tls::Channel* channel) {
  int pending = 0;
  return !buffered.empty() || (channel != nullptr && channel->Pending() > 0) ||
         (ioctl(fd, FIONREAD, &pending) == 0 && pending > 0);
}

// One connection: the socket, and the TLS channel over it when pvsim serves TLS.
struct Link {
  int fd;
  tls::Channel* channel;
  std::string client;  // the client certificate's subject, when it showed one
};

bool SendAll(const Link& link, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = link.channel != nullptr
                    ? link.channel->Write(data.data() + sent, data.size() - sent)
                    : send(link.fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// Sends the answer in three pieces with a pause before the second and the third.
bool Drip(const Link& link, const std::string& answer, int pauseMs) {
  size_t third = answer.size() / 3;
  for (size_t piece = 0; piece < 3; ++piece) {
    if (piece > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    size_t begin = piece * third;
    size_t length = piece == 2 ? answer.size() - begin : third;
    if (!SendAll(link, answer.substr(begin, length))) return false;
  }
  return true;
}

struct Outcome {
  int status;
  std::string body;
  std::string auth;
  std::string user;
};

Outcome Decide(const Server& server, const Request& request) {
  const Options& o = server.options;
  Outcome out{o.status, o.body, "none", ""};
  std::string password;
  if (DecodeBasic(request.Header("authorization"), &out.user, &password)) {
    out.auth = o.checkCredentials && (out.user != o.user || password != o.password) ? "bad" : "ok";
  }
  if (request.path != "/quarantine/qacl.cgi") {
    out.status = 404;
    out.body = "not found";
  } else if (request.method != "POST") {
    out.status = 405;
    out.body = "method not allowed";
  } else if (o.checkCredentials && out.auth != "ok") {
    out.status = 401;
    out.body = "unauthorized";
  }
  return out;
}

// The X-Vokel-Term value as a JSON number: -1 when it is not a decimal count, so that a
// malformed header shows instead of passing for a term.
std::string TermNumber(const std::string& value) {
  if (value.size() > 18 || value.find_first_not_of("0123456789") != std::string::npos) return "-1";
  return std::to_string(std::stoll(value));
}

std::string JournalLine(long connection, long seq, const std::string& peer, const Request& request,
                        const Outcome& outcome, bool early, double answered, const char* event,
                        const std::string& client) {
  std::string line =
      "{\"time\":" + Number(request.received) + ",\"answered\":" + Number(answered) +
      ",\"conn\":" + std::to_string(connection) + ",\"seq\":" + std::to_string(seq) +
      ",\"peer\":" + JsonString(peer) + ",\"method\":" + JsonString(request.method) +
      ",\"path\":" + JsonString(request.path) + ",\"host\":" + JsonString(request.Header("host")) +
      ",\"user\":" + JsonString(outcome.user) + ",\"auth\":" + JsonString(outcome.auth) +
      ",\"form\":" + FormJson(request.body) + ",\"status\":" + std::to_string(outcome.status) +
      ",\"early\":" + (early ? "true" : "false");
  // The leader's term a cluster member sends with every request; the key only when it came.
  std::string term = request.Header("x-vokel-term");
  if (!term.empty()) line += ",\"term\":" + TermNumber(term);
  if (!client.empty()) line += ",\"client\":" + JsonString(client);
  if (event != nullptr) line += std::string(",\"event\":") + JsonString(event);
  return line + "}";
}

// Answers one request; false when the connection must end.
bool Answer(Server& server, const Link& link, long connection, long seq, const std::string& peer,
            const Request& request, const std::string& buffered) {
  const int fd = link.fd;
  const Options& o = server.options;
  Outcome outcome = Decide(server, request);
  bool misbehave = (o.delayMs > 0 || o.dripMs > 0 || o.closeMidAnswer) && server.TakeMisbehaviour();
  if (misbehave && o.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(o.delayMs));
  bool early = NextRequestWaiting(fd, buffered, link.channel);
  bool keepAlive = request.KeepAlive() && !o.noLength;
  std::string answer = BuildAnswer(outcome.status, outcome.body, o.chunked, o.noLength, keepAlive);
  // The journal line is written before the answer goes out, so that a client holding the
  // answer always finds the request journaled.
  bool cut = misbehave && o.closeMidAnswer;
  // The table follows what a router answering "ok" applied; it is written before the answer.
  if (outcome.status == 200 && outcome.body.compare(0, 2, "ok") == 0) {
    server.table.Apply(ParseForm(request.body));
  }
  server.journal.Append(JournalLine(connection, seq, peer, request, outcome, early, NowSeconds(),
                                    cut ? "closed-mid-answer" : nullptr, link.client));
  if (cut) {
    SendAll(link, answer.substr(0, answer.size() / 2));
    return false;
  }
  bool sent = misbehave && o.dripMs > 0 ? Drip(link, answer, o.dripMs) : SendAll(link, answer);
  if (o.exitAfter > 0 && server.answered.fetch_add(1) + 1 >= o.exitAfter) {
    shutdown(fd, SHUT_WR);
    _exit(0);
  }
  return sent && keepAlive;
}

}  // namespace

void ServeConnection(Server& server, int fd, long connection, const std::string& peer) {
  std::unique_ptr<tls::Channel> channel;
  Link link{fd, nullptr, std::string()};
  if (server.tls != nullptr) {
    channel = std::make_unique<tls::Channel>(*server.tls, fd);
    if (tls::HandshakeWithin(*channel, fd, kHandshakeMs) != tls::kDone) {
      server.journal.Append(
          "{\"time\":" + Number(NowSeconds()) + ",\"conn\":" + std::to_string(connection) +
          ",\"peer\":" + JsonString(peer) +
          ",\"event\":\"tls-failed\",\"reason\":" + JsonString(channel->reason()) + "}");
      channel.reset();
      close(fd);
      return;
    }
    link.channel = channel.get();
    link.client = channel->PeerSubject();
  }
  std::string buffer;
  long seq = 0;
  Request request;
  while (ReadRequest(fd, &buffer, &request, link.channel) > 0) {
    if (!Answer(server, link, connection, ++seq, peer, request, buffer)) break;
  }
  if (channel != nullptr) channel->Shutdown();
  channel.reset();
  close(fd);
}

void RefuseConnection(Server& server, int fd, long connection, const std::string& peer) {
  struct linger hard = {1, 0};  // close with a reset, as a router that turns us away
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close(fd);
  server.journal.Append("{\"time\":" + Number(NowSeconds()) +
                        ",\"conn\":" + std::to_string(connection) +
                        ",\"peer\":" + JsonString(peer) + ",\"event\":\"refused\"}");
}

}  // namespace pvsim
