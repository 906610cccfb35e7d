#include "platform/host_os.h"

#include <fcntl.h>
#include <limits.h>
#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>

namespace platform {

void EventLogWrite(const char* source, const char* text) {
  openlog(source, LOG_PID, LOG_DAEMON);
  syslog(LOG_INFO, "%s", text);
  closelog();
}

bool NotifyServiceManager(const char* state) {
  const char* path = getenv("NOTIFY_SOCKET");
  if (path == nullptr || (path[0] != '/' && path[0] != '@')) return false;
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  size_t len = strlen(path);
  if (len >= sizeof addr.sun_path) return false;
  memcpy(addr.sun_path, path, len);
  if (addr.sun_path[0] == '@') addr.sun_path[0] = '\0';  // abstract namespace
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  socklen_t addr_len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + len);
  ssize_t sent = sendto(fd, state, strlen(state), MSG_NOSIGNAL,
                        reinterpret_cast<struct sockaddr*>(&addr), addr_len);
  close(fd);
  return sent >= 0;
}

bool SystemdRunning() {
  struct stat st;
  return lstat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
}

int RunCommand(const std::vector<std::string>& argv) {
  if (argv.empty()) return -1;
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
      dup2(null_fd, STDOUT_FILENO);
      dup2(null_fd, STDERR_FILENO);
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

namespace {
void ServiceSignals(sigset_t* set) {
  sigemptyset(set);
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2}) sigaddset(set, sig);
}
}  // namespace

void BlockServiceSignals() {
  sigset_t set;
  ServiceSignals(&set);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

bool IsStopSignal(int sig) { return sig == SIGTERM || sig == SIGINT; }

int WaitServiceSignal(int timeout_ms) {
  sigset_t set;
  ServiceSignals(&set);
  struct timespec ts;
  ts.tv_sec = timeout_ms / 1000;
  ts.tv_nsec = static_cast<long>(timeout_ms % 1000) * 1000000L;
  int sig = sigtimedwait(&set, nullptr, &ts);
  return sig > 0 ? sig : 0;
}

std::string SelfExecutablePath() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return std::string();
  return std::string(buf, static_cast<size_t>(n));
}

}  // namespace platform
