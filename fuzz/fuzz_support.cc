#include "fuzz_support.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "common/syslog.h"

namespace fuzzsupport {

namespace {

class NullSink : public SyslogSink {
 public:
  void Write(int, std::string_view) override {}
};

std::string MakeScratch() {
  static NullSink sink;
  SyslogSetSink(&sink);
  std::signal(SIGPIPE, SIG_IGN);
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vokel-fuzz-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr || chdir(pattern.c_str()) != 0) {
    std::perror("fuzz scratch folder");
    std::abort();
  }
  setenv("VOKELMNG_CONFIG_DIR", pattern.c_str(), 1);
  return pattern;
}

}  // namespace

const std::string& SetUp() {
  static const std::string folder = MakeScratch();
  return folder;
}

bool WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  return done == size;
}

bool FeedSocketPair(const uint8_t* data, size_t size, int fds[2]) {
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return false;
  int buffer = 1 << 20;
  setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  size_t done = 0;
  while (done < size) {
    ssize_t n = send(fds[1], data + done, size - done, MSG_NOSIGNAL);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  shutdown(fds[1], SHUT_WR);
  if (done != size) {
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  return true;
}

void Drain(int fd) {
  char chunk[65536];
  while (recv(fd, chunk, sizeof chunk, MSG_DONTWAIT) > 0) {
  }
}

}  // namespace fuzzsupport
