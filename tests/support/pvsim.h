// Test support: pvsim, the router stand-in, as a child process on a router address, and its
// journal (one JSON object a line for each request it answered or connection it refused).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "child_process.h"
#include "scratch_dir.h"

namespace testsupport {

// One journal line: the form fields the client sent and what pvsim made of them. Fields the
// line lacks (a refused connection has no form), or a line that is not JSON, stay empty.
struct PvsimRequest {
  std::string version;
  std::string klass;  // "client" or "quarantine"
  std::string opcode;
  std::string count;
  std::string acl;     // empty for the two reset requests
  std::string auth;    // "ok" when the Basic credentials were the expected ones
  std::string event;   // "refused", "closed-mid-answer", "tls-failed", or empty
  std::string reason;  // why a TLS handshake failed ("tls-failed")
  std::string client;  // over TLS: the subject of the client's certificate, when it showed one
  std::string host;    // the Host header
  int status = 0;      // the status pvsim answered
  long conn = 0;       // the connection (counted in pvsim's life) and the request on it
  long seq = 0;
  bool early = false;   // the next request arrived before this answer went out
  int64_t term = 0;     // the X-Vokel-Term header, 0 without one
  double time = 0;      // when the request arrived, in seconds since 1970
  double answered = 0;  // when it was answered

  // The access-list line, or "<class> <opcode>" for a request without one ("client reset").
  std::string Text() const { return acl.empty() ? klass + " " + opcode : acl; }
};

PvsimRequest ParsePvsimJournalLine(const std::string& line);

// A journal read as it grows: each ReadNew returns the lines completed since the last call.
class PvsimJournal {
 public:
  explicit PvsimJournal(std::string path) : path_(std::move(path)) {}
  std::vector<PvsimRequest> ReadNew();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  off_t offset_ = 0;
  std::string partial_;
};

struct PvsimOptions {
  uint16_t port = 880;
  bool login = true;               // demand the routers' default credentials (admin / pomvy)
  bool journal = true;             // journal every request (Requests() reads it)
  std::vector<std::string> extra;  // more options: {"--delay", "2000"}, {"--refuse"}, ...
  bool die_with_parent = false;    // see ChildOptions
};

// One pvsim in a scratch folder of its own (journal and output), stopped on destruction.
class PvsimProcess {
 public:
  // `program`: the built pvsim's path, which the caller's build knows.
  explicit PvsimProcess(std::string program);
  ~PvsimProcess();
  PvsimProcess(const PvsimProcess&) = delete;
  PvsimProcess& operator=(const PvsimProcess&) = delete;

  // Starts pvsim on address:port and waits until it reports that it listens; false (reason in
  // error(), program stopped) when it does not within timeout_ms.
  bool Start(const std::string& address, const PvsimOptions& options, int timeout_ms = 5000);
  // SIGTERM, then SIGKILL after a second.
  void Stop();
  // Sends `signal` to the running program (SIGUSR1 toggles its refusing of connections).
  bool Signal(int signal) const;

  // Every request journaled so far, in order.
  std::vector<PvsimRequest> Requests() const;
  // Text() of every request so far.
  std::vector<std::string> Lines() const;

  std::string journal() const { return dir_.File("journal"); }
  const std::string& address() const { return address_; }
  const std::string& error() const { return error_; }
  pid_t pid() const { return child_.pid(); }

 private:
  std::string program_;
  ScratchDir dir_;
  ChildProcess child_;
  std::string address_;
  std::string error_;
};

}  // namespace testsupport
