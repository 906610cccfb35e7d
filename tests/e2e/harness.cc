#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "deadline.h"

#ifndef VOKEL_BIN_DIR
#error "VOKEL_BIN_DIR must name the folder of the built programs"
#endif

extern char** environ;

namespace e2e {

namespace {

using testsupport::NowMs;

int Remaining(int64_t deadline) { return testsupport::RemainingMs(deadline); }

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Status as RunProgram and Stop report it.
int DecodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// The environment of this process with `extra` entries added (replacing equal names).
std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const std::string& x : extra) replaced = replaced || x.rfind(name + "=", 0) == 0;
    if (!replaced) env.push_back(entry);
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

std::vector<char*> CStrings(std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (std::string& t : texts) out.push_back(t.data());
  out.push_back(nullptr);
  return out;
}

// In the child after fork: working directory, descriptors 0-2, then exec. Never returns.
[[noreturn]] void ExecChild(std::vector<std::string> argv, std::vector<std::string> env,
                            const std::string& cwd, int in_fd, int out_fd, int err_fd) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
  dup2(in_fd, 0);
  dup2(out_fd, 1);
  dup2(err_fd, 2);
  std::vector<char*> args = CStrings(argv);
  std::vector<char*> envp = CStrings(env);
  execve(args[0], args.data(), envp.data());
  _exit(127);
}

std::string ResolveProgram(const std::string& name) {
  return name.find('/') == std::string::npos ? ProgramPath(name) : name;
}

// Reads whatever `fd` has into `out`; false at end of file.
bool ReadInto(int fd, std::string* out) {
  char buf[4096];
  ssize_t n = read(fd, buf, sizeof buf);
  if (n > 0) out->append(buf, static_cast<size_t>(n));
  return n > 0 || (n < 0 && errno == EINTR);
}

// Collects both pipes until they close or the deadline passes; false on time-out.
bool CollectPipes(int out_fd, int err_fd, int64_t deadline, ProgramResult* result) {
  struct pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {&result->out, &result->err};
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    int left = Remaining(deadline);
    if (left == 0) return false;
    if (poll(fds, 2, left) < 0 && errno != EINTR) return false;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      if (!ReadInto(fds[i].fd, sinks[i])) fds[i].fd = -1;
    }
  }
  return true;
}

}  // namespace

std::string BinDir() { return VOKEL_BIN_DIR; }

std::string ProgramPath(const std::string& name) { return BinDir() + "/" + name; }

ProgramResult RunProgram(const std::vector<std::string>& argv, int timeout_ms,
                         const std::vector<std::string>& env, const std::string& cwd,
                         const std::string& input) {
  ProgramResult result;
  if (argv.empty()) return result;
  std::vector<std::string> args = argv;
  args[0] = ResolveProgram(args[0]);
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0) return result;
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) return result;
  pid_t pid = fork();
  if (pid == 0) {
    ExecChild(args, MergedEnvironment(env), cwd, in_pipe[0], out_pipe[1], err_pipe[1]);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (!input.empty() && write(in_pipe[1], input.data(), input.size()) < 0) {
    // The program may exit without reading; its status tells the test what happened.
  }
  close(in_pipe[1]);
  int64_t deadline = NowMs() + timeout_ms;
  result.timed_out = pid < 0 || !CollectPipes(out_pipe[0], err_pipe[0], deadline, &result);
  close(out_pipe[0]);
  close(err_pipe[0]);
  if (pid < 0) return result;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (result.timed_out || Remaining(deadline) == 0) {
      result.timed_out = true;
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return result;
    }
    SleepMs(5);
  }
  result.status = DecodeStatus(status);
  return result;
}

// --- ServiceProcess ---

ServiceProcess::ServiceProcess()
    : config_("vokel-config"), work_("vokel-work"), logs_("vokel-logs") {}

ServiceProcess::~ServiceProcess() {
  if (pid_ > 0 && Running()) {
    kill(pid_, SIGKILL);
    Reap(true);
  }
}

bool ServiceProcess::WriteConfig(const std::string& name, const std::string& text) {
  return WriteFile(config_.File(name), text);
}

std::optional<std::string> ServiceProcess::ReadConfig(const std::string& name) const {
  return ReadFile(config_.File(name));
}

bool ServiceProcess::WriteWork(const std::string& name, const std::string& text) {
  return WriteFile(work_.File(name), text);
}

std::optional<std::string> ServiceProcess::ReadWork(const std::string& name) const {
  return ReadFile(work_.File(name));
}

std::vector<std::string> ServiceProcess::Environment() const {
  return {"VOKELMNG_CONFIG_DIR=" + config_dir(), "VOKELMNG_UNIT_DIR=" + config_dir()};
}

bool ServiceProcess::Start(const std::vector<std::string>& args, uint16_t wait_port,
                           int timeout_ms) {
  ProgramResult reg = RunProgram({"VoKelMng", "-RegServer"}, timeout_ms, Environment(), work_dir());
  if (reg.status != 0) {
    error_ = "-RegServer failed: " + std::to_string(reg.status) + " " + reg.out + reg.err;
    return false;
  }
  std::vector<std::string> argv = {ProgramPath("VoKelMng")};
  argv.insert(argv.end(), args.begin(), args.end());
  int out = open(logs_.File("output").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  pid_ = fork();
  if (pid_ == 0) ExecChild(argv, MergedEnvironment(Environment()), work_dir(), in, out, out);
  close(out);
  close(in);
  if (pid_ < 0) {
    error_ = "fork failed";
    return false;
  }
  if (wait_port == 0) return true;
  int64_t deadline = NowMs() + timeout_ms;
  while (!IsListening(wait_port)) {
    if (!Running() || Remaining(deadline) == 0) {
      error_ = "the command port did not come up; output: " + Output();
      Stop(1000);
      return false;
    }
    SleepMs(20);
  }
  return true;
}

bool ServiceProcess::Reap(bool block) {
  if (pid_ <= 0) return true;
  int status = 0;
  pid_t r = waitpid(pid_, &status, block ? 0 : WNOHANG);
  if (r != pid_) return false;
  status_ = DecodeStatus(status);
  pid_ = -1;
  return true;
}

bool ServiceProcess::Running() { return pid_ > 0 && !Reap(false); }

int ServiceProcess::Stop(int timeout_ms) {
  if (pid_ <= 0) return status_;
  kill(pid_, SIGTERM);
  int64_t deadline = NowMs() + timeout_ms;
  while (!Reap(false)) {
    if (Remaining(deadline) == 0) {
      kill(pid_, SIGKILL);
      Reap(true);
      status_ = -1;
      return -1;
    }
    SleepMs(10);
  }
  return status_;
}

std::string ServiceProcess::Output() const { return ReadFile(logs_.File("output")).value_or(""); }

}  // namespace e2e
