// The operator API of the real service: off unless configured, the metrics and JSON tracking
// routers, deliveries and commands, the dry run against what a router receives, and the
// server's limits while commands and deliveries go on.
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>

#include "api_client.h"
#include "main_job_fixture.h"

namespace {

using apitest::Get;
using apitest::RouterLabels;
using apitest::Sample;
using mainjob::Concat;
using mainjob::KelPair;
using mainjob::Lines;
using mainjob::PcPair;

constexpr char kListen[] = "[STATUS]\nLISTEN=127.0.0.1:9100\n";
constexpr char kPromtool[] = "/usr/bin/promtool";

class ApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
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

  void StartService(const std::string& ini = kListen) {
    service_.WriteConfig("VoKelMng.ini", ini);
    ASSERT_TRUE(service_.Start()) << service_.error();
    // The API starts right after the command port.
    for (int waited = 0; ini == kListen && !e2e::IsListening(9100) && waited < 2000; waited += 10) {
      Pause(10);
    }
    ASSERT_TRUE(client_.Connect());
    ASSERT_EQ(client_.ReadReply(), "");
  }

  mainjob::PvsimProcess& Router(const std::string& address, bool up = true,
                                const std::vector<std::string>& extra = {}) {
    routers_.push_back(std::make_unique<mainjob::PvsimProcess>());
    EXPECT_TRUE(routers_.back()->Start(address, 880, extra)) << routers_.back()->error();
    if (up) {
      EXPECT_TRUE(testsupport::AddLoopbackAddress(address));
    }
    return *routers_.back();
  }

  void Command(const std::string& line) {
    EXPECT_EQ(client_.Command(line), std::optional<std::string>("")) << line;
  }
  void Pause(int ms) { syslog_.WaitFor(mainjob::kNever, ms); }
  Lines Await(const mainjob::PvsimProcess& router, size_t count, int timeout_ms = 5000) {
    for (int waited = 0; router.Requests().size() < count && waited < timeout_ms; waited += 20) {
      Pause(20);
    }
    return router.Lines();
  }
  // Scrapes until `series` has `value` (the metrics lag the events by a moment).
  bool AwaitSample(const std::string& series, double value, int timeout_ms = 5000) {
    for (int waited = 0; waited <= timeout_ms; waited += 50) {
      if (Sample(Get("/metrics").body, series) == value) return true;
      Pause(50);
    }
    ADD_FAILURE() << series << " never reached " << value << "\n" << Get("/metrics").body;
    return false;
  }

  e2e::SyslogListener syslog_;
  e2e::ServiceProcess service_;
  e2e::CommandClient client_;
  std::vector<std::unique_ptr<mainjob::PvsimProcess>> routers_;
};

TEST_F(ApiTest, OffWithoutTheSettingAndABadValueIsLoggedWhileTheServiceRuns) {
  StartService("[SERVICE]\nPORT=8000\n");
  EXPECT_FALSE(e2e::IsListening(9100));
  EXPECT_EQ(syslog_.Count("status API"), 0);
  client_.Close();
  ASSERT_EQ(service_.Stop(), 0);

  for (const char* bad : {"localhost:9100", "9100", "127.0.0.300:9100", "127.0.0.1:0"}) {
    syslog_.Messages();
    int before = syslog_.Count(std::string("LISTEN value ") + bad + " ");
    service_.WriteConfig("VoKelMng.ini", std::string("[STATUS]\nLISTEN=") + bad + "\n");
    ASSERT_TRUE(service_.Start()) << bad;
    EXPECT_TRUE(syslog_.WaitFor(std::string("LISTEN value ") + bad + " ")) << bad;
    EXPECT_EQ(syslog_.Count(std::string("LISTEN value ") + bad + " "), before + 1);
    EXPECT_FALSE(e2e::IsListening(9100)) << bad;
    e2e::CommandClient c;
    ASSERT_TRUE(c.Connect());
    EXPECT_EQ(c.ReadReply(), "");
    EXPECT_EQ(c.Command("pv show"), "PV\t\tPORT\tID\tPW\r\n");
    c.Close();
    ASSERT_EQ(service_.Stop(), 0) << bad;
  }
}

TEST_F(ApiTest, MetricsAndJsonTrackARouterTheCommandsAndPassPromtool) {
  ASSERT_EQ(access(kPromtool, X_OK), 0) << "promtool is missing (scripts/setup.sh installs it)";
  StartService();
  EXPECT_EQ(Get("/healthz").status, 200);
  EXPECT_EQ(Get("/healthz").body, "ok\n");
  mainjob::PvsimProcess& router = Router("127.0.0.5");
  Command("pv add 127.0.0.5 user admin pass pomvy");
  EXPECT_EQ(Await(router, 2), mainjob::kResets);
  const std::string labels = RouterLabels("127.0.0.5");
  AwaitSample("vokelmng_router_requests_delivered_total" + labels, 2);
  std::string metrics = Get("/metrics").body;
  EXPECT_EQ(Sample(metrics, "vokelmng_router_up" + labels), 1);
  EXPECT_EQ(Sample(metrics, "vokelmng_router_resend_pending" + labels), 0);
  EXPECT_EQ(Sample(metrics, "vokelmng_router_last_answer_status" + labels), 200);
  EXPECT_EQ(Sample(metrics, "vokelmng_router_transitions_total" + labels), 1);
  EXPECT_GE(Sample(metrics, "vokelmng_router_probes_answered_total" + labels), 1);
  EXPECT_EQ(Sample(metrics, "vokelmng_commands_total{family=\"pv\",result=\"ok\"}"), 1);
  EXPECT_EQ(Sample(metrics, "vokelmng_command_connections"), 1);

  // A duplicate, a usage text and an unknown word are refused; a show is not.
  EXPECT_EQ(client_.Command("pv add 127.0.0.5"), "duplication of data\r\n");
  ASSERT_TRUE(client_.Command("pv add 127.0.0.5 sport x").has_value());
  EXPECT_EQ(client_.Command("nosuch"), "command not found\r\n");
  ASSERT_TRUE(client_.Command("pv show").has_value());
  metrics = Get("/metrics").body;
  EXPECT_EQ(Sample(metrics, "vokelmng_commands_total{family=\"pv\",result=\"ok\"}"), 2);
  EXPECT_EQ(Sample(metrics, "vokelmng_commands_total{family=\"pv\",result=\"refused\"}"), 2);
  EXPECT_EQ(Sample(metrics, "vokelmng_commands_total{family=\"unknown\",result=\"refused\"}"), 1);

  // Lines delivered; the PC and the entry are counted and the store is empty again. Each
  // command's planning is awaited: planned later, a route or server change would already
  // see the PC of the next command and send its lines too.
  for (const char* line :
       {"pvroute add 127.0.0.5 network 192.168.0.0 netmask 255.255.255.0", mainjob::kServer,
        "pc add source-mac 00:00:00:00:00:01 source 192.168.0.1"}) {
    double runs = Sample(Get("/metrics").body, "vokelmng_planning_runs_total");
    Command(line);
    ASSERT_TRUE(AwaitSample("vokelmng_planning_runs_total", runs + 1)) << line;
  }
  Lines delivered = Await(router, 4);
  EXPECT_EQ(delivered.size(), 4u) << ::testing::PrintToString(delivered);
  AwaitSample("vokelmng_router_requests_delivered_total" + labels, 4);
  EXPECT_EQ(Sample(Get("/metrics").body, "vokelmng_request_store_size"), 0);
  EXPECT_GE(Sample(Get("/metrics").body, "vokelmng_planning_runs_total"), 3);

  nlohmann::json routers = nlohmann::json::parse(Get("/routers").body);
  ASSERT_EQ(routers.size(), 1u);
  EXPECT_EQ(routers[0]["address"], "127.0.0.5");
  EXPECT_EQ(routers[0]["user"], "admin");
  EXPECT_EQ(routers[0]["on"], true);
  EXPECT_EQ(routers[0]["requests_delivered"], 4);
  EXPECT_EQ(routers[0]["last_delivery"]["result"], "ok");
  EXPECT_EQ(routers[0]["last_probe"]["answered"], true);
  EXPECT_EQ(nlohmann::json::parse(Get("/routers/127.0.0.5").body), routers[0]);
  EXPECT_EQ(Get("/routers/127.0.0.6").status, 404);
  nlohmann::json status = nlohmann::json::parse(Get("/status").body);
  EXPECT_EQ(status["routers"]["on"], 1);
  EXPECT_EQ(status["command_port_listening"], true);

  for (const char* path :
       {"/metrics", "/routers", "/routers/127.0.0.5", "/routers/127.0.0.5/lines", "/status"}) {
    EXPECT_EQ(Get(path).body.find("pomvy"), std::string::npos) << path;
  }

  apitest::HttpReply scrape = Get("/metrics");
  EXPECT_NE(scrape.head.find("Content-Type: text/plain; version=0.0.4"), std::string::npos);
  e2e::ProgramResult lint =
      e2e::RunProgram({kPromtool, "check", "metrics"}, 10000, {}, "", scrape.body);
  EXPECT_EQ(lint.status, 0) << lint.out << lint.err;
  EXPECT_EQ(lint.out + lint.err, "");
}

// The dry run taken while the router is OFF equals, line for line and copy for copy, what the
// router receives when it comes back and is reset and reloaded.
// Real time: the OFF diagnosis after four missed probes (about 40 s), and a request dropped
// after its fourth attempt at 0, 10, 30 and 60 s. Both routers at once.
TEST_F(ApiTest, MetricsTrackARouterGoingOffAndARequestDroppedAfterItsLastAttempt) {
  StartService();
  Router("127.0.0.5");
  Router("127.0.0.6", true, {"--refuse"});  // answers probes, refuses every connection
  Command("pv add 127.0.0.5 user admin pass pomvy");
  Command("pv add 127.0.0.6 user admin pass pomvy");
  const std::string gone = RouterLabels("127.0.0.5");
  const std::string refusing = RouterLabels("127.0.0.6");
  ASSERT_TRUE(AwaitSample("vokelmng_router_up" + gone, 1));
  ASSERT_TRUE(AwaitSample("vokelmng_router_up" + refusing, 1));
  ASSERT_TRUE(testsupport::RemoveLoopbackAddress("127.0.0.5"));

  ASSERT_TRUE(AwaitSample("vokelmng_router_up" + gone, 0, 50000));
  std::string metrics = Get("/metrics").body;
  EXPECT_EQ(Sample(metrics, "vokelmng_router_transitions_total" + gone), 2);
  EXPECT_GE(Sample(metrics, "vokelmng_router_probes_sent_total" + gone),
            Sample(metrics, "vokelmng_router_probes_answered_total" + gone) + 4);
  nlohmann::json off = nlohmann::json::parse(Get("/routers/127.0.0.5").body);
  EXPECT_EQ(off["on"], false);
  EXPECT_EQ(off["last_probe"]["answered"], false);

  // The client reset's attempts went at 0, 10, 30 and 60 s; then it was dropped.
  ASSERT_TRUE(AwaitSample("vokelmng_router_requests_dropped_total" + refusing, 1, 30000));
  metrics = Get("/metrics").body;
  EXPECT_EQ(Sample(metrics, "vokelmng_router_attempts_failed_total" + refusing), 4);
  EXPECT_EQ(Sample(metrics, "vokelmng_router_requests_delivered_total" + refusing), 0);
  EXPECT_EQ(Sample(metrics, "vokelmng_router_up" + refusing), 1);
  nlohmann::json dropped = nlohmann::json::parse(Get("/routers/127.0.0.6").body);
  EXPECT_EQ(dropped["requests_dropped"], 1);
  EXPECT_NE(dropped["last_delivery"]["result"], "ok");
}

TEST_F(ApiTest, LinesEqualWhatTheRouterReceivesOnItsReload) {
  StartService();
  mainjob::PvsimProcess& router = Router("127.0.0.7", false);
  Command("pv add 127.0.0.7");
  Command("pvroute add 127.0.0.7 network 10.7.0.0 netmask 255.255.0.0 dev eth1");
  Command("pvroute add 127.0.0.7 network 10.8.0.0 netmask 255.255.0.0");
  Command(mainjob::kServer);
  Command("quarantine add source 172.17.254.253 protocol udp sport 53");
  Command("pc add source-mac 00:00:00:00:07:01 source 10.7.0.1");
  Command("pc add source-mac 00:00:00:00:08:01 source 10.8.0.1");
  Command("pc add network 10.8.0.0 netmask 255.255.0.0");
  Command("kel add accept source 10.7.0.1 source-mac 00:00:00:00:07:01");
  Command("kel add drop source 10.8.0.1");
  Pause(300);
  ASSERT_TRUE(router.Lines().empty());
  apitest::HttpReply dry = Get("/routers/127.0.0.7/lines");
  ASSERT_EQ(dry.status, 200) << dry.body;
  EXPECT_NE(dry.head.find("Content-Type: application/json"), std::string::npos);
  nlohmann::json lines = nlohmann::json::parse(dry.body);
  Lines expanded;
  bool copied = false;
  for (const nlohmann::json& l : lines) {
    copied = copied || l["copies"].get<int>() > 1;
    for (int i = 0; i < l["copies"].get<int>(); ++i) {
      expanded.push_back(l["class"].get<std::string>() + " " + l["line"].get<std::string>());
    }
  }
  EXPECT_TRUE(copied) << "two servers: every kel line goes out twice";
  ASSERT_FALSE(expanded.empty());

  ASSERT_TRUE(testsupport::AddLoopbackAddress("127.0.0.7"));
  Lines got = Await(router, 2 + expanded.size(), 20000);
  ASSERT_GE(got.size(), 2u);
  EXPECT_EQ(Lines(got.begin(), got.begin() + 2), mainjob::kResets);
  std::vector<std::string> order;
  std::map<std::string, int> copies;
  std::vector<e2e::RouterRequest> requests = router.Requests();
  for (size_t i = 2; i < requests.size(); ++i) {
    std::string key = requests[i].klass + " " + requests[i].acl;
    if (copies[key]++ == 0) order.push_back(key);
  }
  Lines received;
  for (const std::string& key : order) received.insert(received.end(), copies[key], key);
  EXPECT_EQ(received, expanded);
  Pause(300);
  EXPECT_EQ(router.Lines().size(), 2 + expanded.size()) << "more arrived than the dry run said";
  // And the dry run once ON is the same document.
  EXPECT_EQ(nlohmann::json::parse(Get("/routers/127.0.0.7/lines").body), lines);
}

// Bad and oversized requests, more connections than allowed, an idle connection and a
// flooding client: each gets its short answer or is closed, while command round trips and
// deliveries go on at their usual pace.
TEST_F(ApiTest, BadRequestsAndAFloodingClientDoNotDelayCommandsOrDeliveries) {
  StartService();
  struct Case {
    std::string bytes;
    int status;
  } cases[] = {
      {"GET /nowhere HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 404},
      {"POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\nConnection: close\r\n\r\nabc",
       405},
      {"DELETE /routers HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 405},
      {"GET /routers/999.1.1.1 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 400},
      {"GET /metrics HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(9000, 'a') + "\r\n\r\n", 431},
  };
  for (const Case& c : cases) {
    apitest::HttpReply reply = apitest::Raw(c.bytes);
    EXPECT_EQ(reply.status, c.status) << c.bytes.substr(0, 60);
    EXPECT_LT(reply.body.size(), 200u) << c.bytes.substr(0, 60) << reply.body;
  }
  int garbage = apitest::Raw("garbage\r\n\r\n").status;  // answered 400, or just closed
  EXPECT_TRUE(garbage == 0 || garbage == 400) << garbage;
  // The library's own page for a length it cannot read is its longest error answer.
  apitest::HttpReply badLength =
      apitest::Raw("GET /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: zz\r\n\r\n");
  EXPECT_EQ(badLength.status, 400);
  EXPECT_LT(badLength.body.size(), 256u);
  EXPECT_EQ(Get("/metrics").status, 200);

  std::vector<int> idle = {apitest::Connect("127.0.0.1", 9100)};

  // A flood of scrapes and half-sent requests from four threads for three seconds.
  mainjob::PvsimProcess& router = Router("127.0.0.5");
  Command("pv add 127.0.0.5");
  ASSERT_EQ(Await(router, 2), mainjob::kResets);
  Command("pvroute add 127.0.0.5 network 10.1.0.0 netmask 255.255.0.0");
  Command(mainjob::kServer);
  std::atomic<bool> flooding{true};
  std::atomic<int> attempts{0};
  std::vector<std::thread> flooders;
  for (int t = 0; t < 4; ++t) {
    flooders.emplace_back([&, t] {
      while (flooding.load()) {
        if (t % 2 == 0) {
          Get("/metrics");
          ++attempts;
        } else {
          int fd = apitest::Connect("127.0.0.1", 9100);
          if (fd >= 0) {
            send(fd, "GET /metr", 9, MSG_NOSIGNAL);
            close(fd);
          }
          ++attempts;
        }
      }
    });
  }
  auto start = std::chrono::steady_clock::now();
  long slowest = 0;
  int round = 0;
  while (std::chrono::steady_clock::now() - start < std::chrono::seconds(3)) {
    std::string n = std::to_string(++round);
    char mac[32];
    std::snprintf(mac, sizeof mac, "00:00:00:00:01:%02x", round);
    auto before = std::chrono::steady_clock::now();
    Command(std::string("pc add source-mac ") + mac + " source 10.1.0." + n);
    slowest = std::max<long>(slowest, std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - before)
                                          .count());
    if (round == 100) break;
    Pause(20);
  }
  flooding.store(false);
  for (std::thread& t : flooders) t.join();
  EXPECT_LT(slowest, 500) << "a command round trip waited on the API";
  EXPECT_GT(attempts.load(), 500) << "the flood was not one";
  // The connections the flood left behind are closed at the latest by the idle time-out.
  int recovered = -1;
  for (int waited = 0; waited < 12000; waited += 250) {
    if (Get("/metrics").status == 200) {
      recovered = waited;
      break;
    }
    Pause(250);
  }
  EXPECT_GE(recovered, 0) << "the API did not recover from the flood";
  std::printf("API answered again %d ms after the flood\n", recovered);
  // Every PC's two lines were delivered meanwhile.
  Lines got = Await(router, 2 + 2 * static_cast<size_t>(round), 10000);
  EXPECT_GE(got.size(), 2 + 2 * static_cast<size_t>(round)) << testing::PrintToString(got);

  // The idle connections are closed by the server after 10 s.
  bool closed = false;
  apitest::ReadAll(idle.front(), 13000, &closed);
  EXPECT_TRUE(closed) << "an idle connection stayed open";
  for (int fd : idle) close(fd);
}

// True when the server closes `fd` within timeout_ms without answering.
bool ClosedAtOnce(int fd, int timeout_ms = 1000) {
  bool closed = false;
  std::string got = apitest::ReadAll(fd, timeout_ms, &closed);
  return closed && got.empty();
}

// Idle connections are held without holding up anyone else; past the limits (64 from one
// address, 256 in all) a connection is closed at once instead of waiting in the backlog.
TEST_F(ApiTest, IdleConnectionsDoNotHoldUpAScrapeAndOnesPastTheLimitsAreClosedAtOnce) {
  for (const char* address : {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"}) {
    ASSERT_TRUE(testsupport::AddLoopbackAddress(address));
  }
  StartService();
  std::vector<int> held;
  for (int i = 0; i < 40; ++i) held.push_back(apitest::Connect("127.0.0.1", 9100));
  auto before = std::chrono::steady_clock::now();
  apitest::HttpReply scrape = Get("/metrics");
  auto took = std::chrono::steady_clock::now() - before;
  EXPECT_EQ(scrape.status, 200);
  EXPECT_LT(took, std::chrono::seconds(1));
  for (int fd : held) {
    char byte;
    EXPECT_EQ(recv(fd, &byte, 1, MSG_DONTWAIT), -1) << "an idle connection was dropped";
  }

  for (int i = 40; i < 64; ++i) held.push_back(apitest::Connect("127.0.0.1", 9100));
  int past = apitest::Connect("127.0.0.1", 9100);
  EXPECT_TRUE(ClosedAtOnce(past)) << "a 65th connection from one address";
  close(past);
  for (const char* from : {"127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
    for (int i = 0; i < 64; ++i) held.push_back(apitest::ConnectFrom(from, "127.0.0.1", 9100));
  }
  Pause(200);
  int beyond = apitest::ConnectFrom("127.0.0.5", "127.0.0.1", 9100);
  EXPECT_TRUE(ClosedAtOnce(beyond)) << "a 257th connection";
  close(beyond);
  for (int fd : held) close(fd);
  // Once they are gone, the API serves again at once.
  Pause(200);
  EXPECT_EQ(Get("/healthz").status, 200);
}

TEST_F(ApiTest, ShutdownWithinFiveSecondsWithApiClientsConnected) {
  StartService();
  std::vector<int> clients;
  for (int i = 0; i < 6; ++i) clients.push_back(apitest::Connect("127.0.0.1", 9100));
  send(clients[0], "GET /metr", 9, MSG_NOSIGNAL);
  send(clients[1], "GET /metrics HTTP/1.1\r\nHost: x\r\n", 33, MSG_NOSIGNAL);
  client_.Close();
  auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(service_.Stop(5000), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
  for (int fd : clients) close(fd);
}

}  // namespace
