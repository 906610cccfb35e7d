// Test support: the programs a test or benchmark starts. A ChildProcess runs in the background
// with its output in a file, is waited for by a text of that output and stopped with SIGTERM,
// then SIGKILL; RunProgram runs one to its end and collects what it wrote.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

// How a child is started.
struct ChildOptions {
  std::vector<std::string> env;  // "NAME=value" entries added to this process's environment
  std::string cwd;               // its working directory; empty: this process's
  std::string output;            // file its standard output and error are appended to;
                                 // empty: /dev/null
  bool die_with_parent = false;  // SIGKILL once this process ends, however it ends
};

// This process's environment with `extra` entries added, replacing those of the same name.
std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra);

class ChildProcess {
 public:
  ChildProcess() = default;
  // Kills (SIGKILL) and reaps a program still running.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts argv (argv[0] a path) with standard input from /dev/null. false when it cannot fork;
  // a program that cannot be executed exits with status 127.
  bool Start(const std::vector<std::string>& argv, const ChildOptions& options = {});
  // True once `text` is in the output file; false when the program ends first or timeout_ms
  // passes.
  bool WaitForOutput(const std::string& text, int timeout_ms);
  // The output file's bytes so far (empty without one).
  std::string Output() const;

  // True while the program has not ended (an ended one is reaped here).
  bool Running();
  bool Signal(int signal) const;
  // Waits up to timeout_ms for the end: the exit status, 128 + signal when a signal ended it;
  // -1 when it did not end in time (it is then killed with SIGKILL). Once ended, every further
  // Wait or Stop returns the same status.
  int Wait(int timeout_ms);
  // SIGTERM, then Wait(timeout_ms).
  int Stop(int timeout_ms = 5000);
  // SIGKILL and reap, no status kept.
  void Kill();
  pid_t pid() const { return pid_; }

 private:
  bool Reap(bool block);

  pid_t pid_ = -1;
  int status_ = -1;
  std::string output_;
};

struct ProgramResult {
  int status = -1;  // exit status, 128 + signal when killed, -1 when it could not run
  bool timed_out = false;
  std::string out;
  std::string err;
};

// Runs argv (argv[0] a path) to its end with `env` entries added to the environment, in `cwd`
// when not empty, `input` on its standard input. Collects standard output and error; kills it
// (SIGKILL) after timeout_ms.
ProgramResult RunProgram(const std::vector<std::string>& argv, int timeout_ms = 10000,
                         const std::vector<std::string>& env = {}, const std::string& cwd = "",
                         const std::string& input = "");

}  // namespace testsupport
