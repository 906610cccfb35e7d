// Black-box test harness: runs the built programs in the test's own network namespace and
// talks to them the way users and the logging server do (command port, syslog datagrams).
//
// Every test calls ENTER_PRIVATE_NETWORK() (tests/support/netns.h) first, while the process is
// still single-threaded; nothing here starts a thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"
#include "loopback.h"
#include "scratch_dir.h"

namespace e2e {

// Folder of the built programs, and the path of one of them.
std::string BinDir();
std::string ProgramPath(const std::string& name);

using testsupport::CommandClient;
using testsupport::IsListening;
using testsupport::ReadFile;
using testsupport::SyslogListener;
using testsupport::WriteFile;
using TempDir = testsupport::ScratchDir;

using testsupport::ProgramResult;

// testsupport::RunProgram, with argv[0] either a path or a program name looked up in BinDir().
ProgramResult RunProgram(const std::vector<std::string>& argv, int timeout_ms = 10000,
                         const std::vector<std::string>& env = {}, const std::string& cwd = "",
                         const std::string& input = "");

// VoKelMng in the foreground with a temporary profile directory ($VOKELMNG_CONFIG_DIR, also
// the unit directory for -Service) and a temporary working directory (its CSV files).
class ServiceProcess {
 public:
  ServiceProcess();
  // Kills a program still running (SIGKILL) and removes the directories.
  ~ServiceProcess() = default;
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  const std::string& config_dir() const { return config_.path(); }
  const std::string& work_dir() const { return work_.path(); }
  // Files of the profile directory ("VoKelMng.ini", "syslog.ini") and the working directory.
  bool WriteConfig(const std::string& name, const std::string& text);
  std::optional<std::string> ReadConfig(const std::string& name) const;
  bool WriteWork(const std::string& name, const std::string& text);
  std::optional<std::string> ReadWork(const std::string& name) const;
  // The environment entries ("NAME=value") every run of the program gets.
  std::vector<std::string> Environment() const;

  // Registers the program (-RegServer) in the profile directory, then starts it with `args`.
  // With wait_port nonzero, waits until something listens on that TCP port. false (program
  // killed, reason in error()) when it does not come up within timeout_ms.
  bool Start(const std::vector<std::string>& args = {}, uint16_t wait_port = 8000,
             int timeout_ms = 10000);
  // True while the program has not exited.
  bool Running();
  // Sends SIGTERM and waits up to timeout_ms: the exit status, 128 + signal when a signal
  // ended it, -1 when it did not end in time (it is then killed with SIGKILL).
  int Stop(int timeout_ms = 5000);
  pid_t pid() const { return child_.pid(); }
  // What the program wrote to standard output and error.
  std::string Output() const { return child_.Output(); }
  const std::string& error() const { return error_; }

 private:
  TempDir config_;
  TempDir work_;
  TempDir logs_;
  testsupport::ChildProcess child_;
  std::string error_;
};

}  // namespace e2e
