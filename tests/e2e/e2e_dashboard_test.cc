// The operator dashboard in a real browser: headless Chromium, driven by
// dashboard_browser.py (Selenium), against the real service and pvsim routers. The rows show
// the routers' states, a router that goes OFF is shown OFF by a refresh without a reload, the
// lines view lists the dry run, and a hostile router user name stays text. Screenshots of each
// state go to dashboard-shots/ in this test's build folder.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <nlohmann/json.hpp>

#include "api_client.h"
#include "deadline.h"
#include "main_job_fixture.h"

namespace {

using testsupport::NowMs;
using testsupport::RemainingMs;

constexpr char kPython[] = "/usr/bin/python3";  // Debian's, which has python3-selenium
constexpr char kChromium[] = "/usr/bin/chromium";
constexpr char kChromedriver[] = "/usr/bin/chromedriver";
constexpr char kHostileUser[] = "<img src=x onerror=alert(1)>";

// The browser script as a child in its own process group (Chromium and its driver with it),
// its standard input and output lines through pipes, its standard error into a file.
class BrowserScript {
 public:
  ~BrowserScript() { Kill(); }

  bool Start(const std::vector<std::string>& argv, const std::string& errors) {
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return false;
    int err = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      dup2(in[0], 0);
      dup2(out[1], 1);
      if (err >= 0) dup2(err, 2);
      execv(args[0], args.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    if (err >= 0) close(err);
    to_ = in[1];
    from_ = out[0];
    return pid_ > 0;
  }

  bool WriteLine(const std::string& line) {
    std::string text = line + "\n";
    return write(to_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }

  // The next line the script prints; empty once it ended or timeout_ms passed.
  std::string ReadLine(int timeout_ms) {
    int64_t deadline = NowMs() + timeout_ms;
    for (;;) {
      if (size_t end = buffer_.find('\n'); end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
      }
      pollfd p{from_, POLLIN, 0};
      if (poll(&p, 1, RemainingMs(deadline)) <= 0) return "";
      char chunk[4096];
      ssize_t n = read(from_, chunk, sizeof chunk);
      if (n <= 0) return "";
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

  // Waits up to timeout_ms for the script to end: its exit status, or -1 (then killed).
  int Wait(int timeout_ms) {
    int64_t deadline = NowMs() + timeout_ms;
    while (pid_ > 0) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        kill(-pid_, SIGKILL);  // whatever of the browser outlived it
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (RemainingMs(deadline) == 0) break;
      usleep(50 * 1000);
    }
    Kill();
    return -1;
  }

 private:
  void Kill() {
    if (pid_ > 0) {
      kill(-pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
    for (int* fd : {&to_, &from_}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
  }

  pid_t pid_ = -1;
  int to_ = -1;
  int from_ = -1;
  std::string buffer_;
};

class DashboardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {kPython, kChromium, kChromedriver}) {
      ASSERT_EQ(access(tool, X_OK), 0) << tool << " is missing (scripts/setup.sh --test)";
    }
    ENTER_PRIVATE_NETWORK();
    ASSERT_TRUE(testsupport::NarrowLoopback());
    ASSERT_TRUE(e2e::WriteFile("/proc/sys/net/ipv4/ip_nonlocal_bind", "1\n"));
    ASSERT_TRUE(syslog_.Start());
    service_.WriteConfig("syslog.ini", mainjob::kDebugMask);
  }
  void TearDown() override {
    client_.Close();
    if (service_.pid() > 0 && service_.Running()) {
      EXPECT_EQ(service_.Stop(15000), 0) << service_.Output();
    }
  }

  mainjob::PvsimProcess& Router(const std::string& address) {
    routers_.push_back(std::make_unique<mainjob::PvsimProcess>());
    EXPECT_TRUE(routers_.back()->Start(address)) << routers_.back()->error();
    EXPECT_TRUE(testsupport::AddLoopbackAddress(address));
    return *routers_.back();
  }
  void Command(const std::string& line) {
    EXPECT_EQ(client_.Command(line), std::optional<std::string>("")) << line;
  }
  // Polls /routers until every router is ON.
  bool AllOn(size_t count, int timeout_ms) {
    for (int64_t deadline = NowMs() + timeout_ms; RemainingMs(deadline) > 0;) {
      nlohmann::json routers = nlohmann::json::parse(apitest::Get("/routers").body, nullptr, false);
      size_t on = 0;
      for (const nlohmann::json& r : routers) on += r.value("on", false) ? 1 : 0;
      if (routers.is_array() && routers.size() == count && on == count) return true;
      syslog_.WaitFor(mainjob::kNever, 100);
    }
    return false;
  }

  e2e::SyslogListener syslog_;
  e2e::ServiceProcess service_;
  e2e::CommandClient client_;
  std::vector<std::unique_ptr<mainjob::PvsimProcess>> routers_;
};

// One run through the states, about 45 s: most of it the four missed probes (10 s apart)
// after which the service calls a router OFF, then at most one refresh (5 s).
TEST_F(DashboardTest, RowsRefreshLinesAndAHostileNameInHeadlessChromium) {
  Router("127.0.0.5");
  mainjob::PvsimProcess& leaving = Router("127.0.0.6");
  Router("127.0.0.7");  // its user is refused by pvsim: failed attempts to show
  service_.WriteWork("pv.csv", std::string("\"127.0.0.5\",880,\"admin\",\"pomvy\"\n"
                                           "\"127.0.0.6\",880,\"admin\",\"pomvy\"\n"
                                           "\"127.0.0.7\",880,\"") +
                                   kHostileUser + "\",\"pomvy\"\n");
  service_.WriteConfig("VoKelMng.ini", "[STATUS]\nLISTEN=127.0.0.1:9100\n");
  ASSERT_TRUE(service_.Start()) << service_.error();
  for (int64_t deadline = NowMs() + 2000; !e2e::IsListening(9100) && RemainingMs(deadline) > 0;) {
    syslog_.WaitFor(mainjob::kNever, 10);
  }
  ASSERT_TRUE(client_.Connect());
  ASSERT_EQ(client_.ReadReply(), "");
  Command("pvroute add 127.0.0.5 network 10.5.0.0 netmask 255.255.0.0");
  Command(mainjob::kServer);
  Command("quarantine add source 172.17.254.253 protocol udp sport 53");
  Command("pc add source-mac 00:00:00:00:05:01 source 10.5.0.1");
  Command("kel add drop source 10.5.0.1");
  ASSERT_TRUE(AllOn(3, 10000)) << apitest::Get("/routers").body;

  // The headers every answer carries, as sent over HTTP.
  for (const char* path : {"/", "/dashboard.js", "/status", "/nowhere"}) {
    apitest::HttpReply reply = apitest::Get(path);
    EXPECT_NE(reply.head.find("Content-Security-Policy: default-src 'self'\r\n"), std::string::npos)
        << path << "\n"
        << reply.head;
    EXPECT_NE(reply.head.find("X-Content-Type-Options: nosniff\r\n"), std::string::npos) << path;
  }
  EXPECT_NE(apitest::Get("/").head.find("Content-Type: text/html; charset=utf-8"),
            std::string::npos);

  const std::string shots = VOKEL_DASHBOARD_SHOTS;
  mkdir(shots.c_str(), 0755);
  for (const char* name : {"1-routers-1280", "1-routers-400", "2-lines", "3-router-off", "error"}) {
    unlink((shots + "/" + name + ".png").c_str());
  }
  BrowserScript browser;
  const std::string errors = shots + "/browser-script.log";
  ASSERT_TRUE(browser.Start(
      {kPython, VOKEL_DASHBOARD_SCRIPT, "--url", "http://127.0.0.1:9100/", "--shots", shots,
       "--expect", "127.0.0.5=ON,127.0.0.6=ON,127.0.0.7=ON", "--hostile-router", "127.0.0.7",
       "--hostile-user", kHostileUser, "--lines-router", "127.0.0.5", "--off-timeout", "55"},
      errors));
  auto scriptLog = [&] { return e2e::ReadFile(errors).value_or(""); };

  std::string line = browser.ReadLine(40000);
  ASSERT_EQ(line.rfind("lines ", 0), 0u) << line << "\n" << scriptLog();
  nlohmann::json shown = nlohmann::json::parse(line.substr(6));
  nlohmann::json dryRun = nlohmann::json::parse(apitest::Get("/routers/127.0.0.5/lines").body);
  nlohmann::json expected = nlohmann::json::array();
  for (const nlohmann::json& l : dryRun) expected.push_back({l["class"], l["line"], l["copies"]});
  EXPECT_EQ(shown, expected);
  EXPECT_GE(expected.size(), 4u) << "a PC and an entry: lines to show";
  line = browser.ReadLine(10000);
  ASSERT_EQ(line, "ready") << scriptLog();

  // 127.0.0.6 goes away; the page must show it OFF without being reloaded.
  ASSERT_TRUE(testsupport::RemoveLoopbackAddress("127.0.0.6"));
  leaving.Stop();
  ASSERT_TRUE(browser.WriteLine("go 127.0.0.6"));
  line = browser.ReadLine(65000);
  EXPECT_EQ(line, "done") << scriptLog() << apitest::Get("/routers").body;
  EXPECT_EQ(browser.Wait(15000), 0) << scriptLog();
}

}  // namespace
