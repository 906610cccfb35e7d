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

namespace e2e {

// Folder of the built programs, and the path of one of them.
std::string BinDir();
std::string ProgramPath(const std::string& name);

// A fresh directory under /tmp, removed with everything in it on destruction.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "vokel");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

bool WriteFile(const std::string& path, const std::string& contents);
// The file's bytes; nullopt when it cannot be read.
std::optional<std::string> ReadFile(const std::string& path);

struct ProgramResult {
  int status = -1;  // exit status, 128 + signal when killed, -1 when it could not run
  bool timed_out = false;
  std::string out;
  std::string err;
};

// Runs argv (argv[0] is a path, or a program name looked up in BinDir()) with `env` entries
// ("NAME=value") added to the environment, in `cwd` when not empty, `input` on its standard
// input. Collects standard output and error; kills it (SIGKILL) after timeout_ms.
ProgramResult RunProgram(const std::vector<std::string>& argv, int timeout_ms = 10000,
                         const std::vector<std::string>& env = {}, const std::string& cwd = "",
                         const std::string& input = "");

// VoKelMng in the foreground with a temporary profile directory ($VOKELMNG_CONFIG_DIR, also
// the unit directory for -Service) and a temporary working directory (its CSV files).
class ServiceProcess {
 public:
  ServiceProcess();
  // Kills a program still running (SIGKILL) and removes the directories.
  ~ServiceProcess();
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
  pid_t pid() const { return pid_; }
  // What the program wrote to standard output and error.
  std::string Output() const;
  const std::string& error() const { return error_; }

 private:
  bool Reap(bool block);

  TempDir config_;
  TempDir work_;
  TempDir logs_;
  pid_t pid_ = -1;
  int status_ = -1;
  std::string error_;
};

// True when a TCP socket listens on `port` (any IPv4 address) in this network.
bool IsListening(uint16_t port);

// A command-port client: the service writes "$ " after every reply.
class CommandClient {
 public:
  CommandClient() = default;
  ~CommandClient();
  CommandClient(const CommandClient&) = delete;
  CommandClient& operator=(const CommandClient&) = delete;

  // Connects to 127.0.0.1:port, from address `source` when not empty. false on failure.
  bool Connect(uint16_t port = 8000, const std::string& source = "", int timeout_ms = 5000);
  bool Send(const std::string& bytes);
  // The bytes before the next "$ " (which is consumed); nullopt on time-out or when the peer
  // closed first (pending() then holds what came).
  std::optional<std::string> ReadReply(int timeout_ms = 5000);
  // Send(line + "\n"), then ReadReply.
  std::optional<std::string> Command(const std::string& line, int timeout_ms = 5000);
  // Reads until the peer closes (or resets); true when it did within timeout_ms. Everything
  // that arrived, pending() included, is appended to *received.
  bool WaitClosed(int timeout_ms = 5000, std::string* received = nullptr);
  // Bytes received but not yet returned by ReadReply.
  const std::string& pending() const { return pending_; }
  int fd() const { return fd_; }
  void Close();

 private:
  // Reads what arrives within timeout_ms into pending_: 1 data, 0 closed, -1 time-out.
  int ReadSome(int timeout_ms);

  int fd_ = -1;
  std::string pending_;
};

// Collects the syslog datagrams sent to 127.0.0.1:514 (or another port).
class SyslogListener {
 public:
  SyslogListener() = default;
  ~SyslogListener();
  SyslogListener(const SyslogListener&) = delete;
  SyslogListener& operator=(const SyslogListener&) = delete;

  bool Start(uint16_t port = 514);
  // Every datagram received so far, in order.
  const std::vector<std::string>& Messages();
  // Waits until a datagram containing `text` has arrived (earlier ones count).
  bool WaitFor(const std::string& text, int timeout_ms = 5000);
  // Number of datagrams so far that contain `text`.
  int Count(const std::string& text);

 private:
  void Drain(int timeout_ms);

  int fd_ = -1;
  std::vector<std::string> messages_;
};

}  // namespace e2e
