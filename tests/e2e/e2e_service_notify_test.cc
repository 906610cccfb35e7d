// The service's reports to systemd: READY=1 only once the controller has finished its start
// (so `systemctl start` returns with the command port listening), STOPPING=1 on SIGTERM. The
// test plays systemd's part with a datagram socket of its own as NOTIFY_SOCKET.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "deadline.h"
#include "harness.h"
#include "netns.h"

namespace {

using testsupport::NowMs;

// The service manager's end of the notification protocol.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un at{};
    at.sun_family = AF_UNIX;
    std::strncpy(at.sun_path, path.c_str(), sizeof at.sun_path - 1);
    bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
  }
  ~NotifySocket() {
    if (fd_ >= 0) close(fd_);
  }
  bool bound() const { return bound_; }
  const std::string& path() const { return path_; }

  // Waits for the next datagram that holds the line `state`; every datagram read on the way is
  // appended to received(). false on time-out.
  bool WaitFor(const std::string& state, int timeout_ms) {
    int64_t deadline = NowMs() + timeout_ms;
    for (;;) {
      int64_t left = deadline - NowMs();
      if (left <= 0) return false;
      pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buf[4096];
      ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) continue;
      std::string datagram(buf, static_cast<size_t>(n));
      received_.push_back(datagram);
      if (("\n" + datagram + "\n").find("\n" + state + "\n") != std::string::npos) return true;
    }
  }
  const std::vector<std::string>& received() const { return received_; }

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
  std::vector<std::string> received_;
};

TEST(ServiceNotifyTest, ReadyFollowsTheControllersStartAndStoppingTheSignal) {
  ENTER_PRIVATE_NETWORK();
  e2e::SyslogListener syslog;
  ASSERT_TRUE(syslog.Start());
  e2e::TempDir config("vokelcfg");
  e2e::TempDir work("vokelwork");
  ASSERT_TRUE(e2e::WriteFile(config.File("syslog.ini"), "[SYSLOG]\nPRIORITYMASK=debug\n"));
  NotifySocket notify(config.File("notify"));
  ASSERT_TRUE(notify.bound());
  std::vector<std::string> env = {"VOKELMNG_CONFIG_DIR=" + config.path(),
                                  "VOKELMNG_UNIT_DIR=" + config.path()};
  ASSERT_EQ(e2e::RunProgram({"VoKelMng", "-Service"}, 5000, env).status, 0);
  env.push_back("NOTIFY_SOCKET=" + notify.path());

  // Started as systemd would: its own working directory, NOTIFY_SOCKET.
  testsupport::ChildProcess service;
  testsupport::ChildOptions options;
  options.env = env;
  options.cwd = work.path();
  ASSERT_TRUE(service.Start({e2e::ProgramPath("VoKelMng")}, options));
  bool ready = notify.WaitFor("READY=1", 10000);
  // Read at once: whatever the program logged before READY=1 is queued by now. The debug line
  // goes out just before READY=1; the grace only absorbs loopback delivery, far shorter than the
  // controller's start.
  bool listening = e2e::IsListening(8000);
  bool finished = syslog.WaitFor("Start processing was finished.", 100);
  EXPECT_TRUE(ready);
  EXPECT_TRUE(listening) << "READY=1 before the command port listened";
  EXPECT_TRUE(finished) << "READY=1 before the controller finished its start";
  ASSERT_FALSE(notify.received().empty());
  EXPECT_EQ(notify.received().front(), "STATUS=start pending");

  service.Signal(SIGTERM);
  EXPECT_TRUE(notify.WaitFor("STOPPING=1", 5000));
  EXPECT_EQ(service.Wait(5000), 0);
  EXPECT_TRUE(syslog.WaitFor("service stopped.", 1000));
  EXPECT_TRUE(notify.WaitFor("STATUS=stopped", 1000));
}

}  // namespace
