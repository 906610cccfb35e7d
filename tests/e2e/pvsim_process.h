// A router for black-box tests: one pvsim process listening on a router address, and the
// requests it has journaled, one per access-list request the service delivered.
//
// Like the rest of the harness this starts no thread; call it after ENTER_PRIVATE_NETWORK().
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "harness.h"

namespace e2e {

// One journaled request: the form fields the service sent and what pvsim made of it.
struct RouterRequest {
  std::string version;
  std::string klass;  // "client" or "quarantine"
  std::string opcode;
  std::string count;
  std::string acl;   // empty for the two reset requests
  std::string auth;  // "ok" when the Basic credentials were the expected ones
  int status = 0;    // the status pvsim answered

  // The access-list line, or "<class> <opcode>" for a request without one ("client reset").
  std::string Text() const { return acl.empty() ? klass + " " + opcode : acl; }
};

// Parses one journal line; the fields missing from it stay empty.
RouterRequest ParseJournalLine(const std::string& line);

class PvsimProcess {
 public:
  PvsimProcess();
  // Stops the program if it still runs.
  ~PvsimProcess();
  PvsimProcess(const PvsimProcess&) = delete;
  PvsimProcess& operator=(const PvsimProcess&) = delete;

  // Starts pvsim on address:port, demanding the routers' default credentials, with `extra`
  // options ("--delay", "2000", ...) appended. Waits until it reports that it listens; false
  // (reason in error()) when it does not within 5 s.
  bool Start(const std::string& address, uint16_t port = 880,
             const std::vector<std::string>& extra = {});
  // SIGTERM, then SIGKILL after a second.
  void Stop();
  // Sends `signal` to the running program (SIGUSR1 toggles its refusing of connections).
  bool Signal(int signal) const;

  // Every request journaled so far, in order.
  std::vector<RouterRequest> Requests() const;
  // Text() of every request so far.
  std::vector<std::string> Lines() const;

  const std::string& address() const { return address_; }
  const std::string& error() const { return error_; }

 private:
  TempDir dir_;
  std::string address_;
  pid_t pid_ = -1;
  std::string error_;
};

}  // namespace e2e
