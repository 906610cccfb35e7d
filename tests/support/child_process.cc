#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "deadline.h"
#include "scratch_dir.h"

extern char** environ;

namespace testsupport {

namespace {

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Status as Wait and RunProgram report it.
int DecodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

std::vector<char*> CStrings(std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (std::string& t : texts) out.push_back(t.data());
  out.push_back(nullptr);
  return out;
}

// In the child after fork: signal mask cleared, working directory, descriptors 0-2, then exec.
// Everything is prepared before the fork; this only makes system calls. Never returns.
[[noreturn]] void ExecChild(char** argv, char** envp, const char* cwd, int in_fd, int out_fd,
                            int err_fd) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (cwd != nullptr && chdir(cwd) != 0) _exit(126);
  dup2(in_fd, 0);
  dup2(out_fd, 1);
  dup2(err_fd, 2);
  execve(argv[0], argv, envp);
  _exit(127);
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
    int left = RemainingMs(deadline);
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

// --- ChildProcess ---

ChildProcess::~ChildProcess() { Kill(); }

bool ChildProcess::Start(const std::vector<std::string>& argv, const ChildOptions& options) {
  if (argv.empty() || pid_ > 0) return false;
  output_ = options.output;
  status_ = -1;
  std::vector<std::string> args = argv;
  std::vector<std::string> env = MergedEnvironment(options.env);
  std::vector<char*> argp = CStrings(args);
  std::vector<char*> envp = CStrings(env);
  const char* cwd = options.cwd.empty() ? nullptr : options.cwd.c_str();
  int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  int out = output_.empty()
                ? open("/dev/null", O_WRONLY | O_CLOEXEC)
                : open(output_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0) {
    if (options.die_with_parent) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(126);  // the parent ended before the request took
    }
    ExecChild(argp.data(), envp.data(), cwd, in, out, out);
  }
  if (in >= 0) close(in);
  if (out >= 0) close(out);
  return pid_ > 0;
}

bool ChildProcess::WaitForOutput(const std::string& text, int timeout_ms) {
  int64_t deadline = NowMs() + timeout_ms;
  for (;;) {
    if (Output().find(text) != std::string::npos) return true;
    if (!Running() || RemainingMs(deadline) == 0) return false;
    SleepMs(10);
  }
}

std::string ChildProcess::Output() const {
  return output_.empty() ? "" : ReadFile(output_).value_or("");
}

bool ChildProcess::Reap(bool block) {
  if (pid_ <= 0) return true;
  int status = 0;
  pid_t r = waitpid(pid_, &status, block ? 0 : WNOHANG);
  if (r != pid_) return false;
  status_ = DecodeStatus(status);
  pid_ = -1;
  return true;
}

bool ChildProcess::Running() { return pid_ > 0 && !Reap(false); }

bool ChildProcess::Signal(int signal) const { return pid_ > 0 && kill(pid_, signal) == 0; }

int ChildProcess::Wait(int timeout_ms) {
  int64_t deadline = NowMs() + timeout_ms;
  while (!Reap(false)) {
    if (RemainingMs(deadline) == 0) {
      Kill();
      return -1;
    }
    SleepMs(10);
  }
  return status_;
}

int ChildProcess::Stop(int timeout_ms) {
  if (pid_ <= 0) return status_;
  kill(pid_, SIGTERM);
  return Wait(timeout_ms);
}

void ChildProcess::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  Reap(true);
  status_ = -1;
}

// --- RunProgram ---

ProgramResult RunProgram(const std::vector<std::string>& argv, int timeout_ms,
                         const std::vector<std::string>& env, const std::string& cwd,
                         const std::string& input) {
  ProgramResult result;
  if (argv.empty()) return result;
  std::vector<std::string> args = argv;
  std::vector<std::string> merged = MergedEnvironment(env);
  std::vector<char*> argp = CStrings(args);
  std::vector<char*> envp = CStrings(merged);
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0) return result;
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) return result;
  pid_t pid = fork();
  if (pid == 0) {
    ExecChild(argp.data(), envp.data(), cwd.empty() ? nullptr : cwd.c_str(), in_pipe[0],
              out_pipe[1], err_pipe[1]);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (!input.empty() && write(in_pipe[1], input.data(), input.size()) < 0) {
    // The program may exit without reading; its status tells the caller what happened.
  }
  close(in_pipe[1]);
  int64_t deadline = NowMs() + timeout_ms;
  result.timed_out = pid < 0 || !CollectPipes(out_pipe[0], err_pipe[0], deadline, &result);
  close(out_pipe[0]);
  close(err_pipe[0]);
  if (pid < 0) return result;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (result.timed_out || RemainingMs(deadline) == 0) {
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

}  // namespace testsupport
