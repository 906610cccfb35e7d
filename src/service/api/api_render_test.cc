// The exposition and JSON texts of the operator API, and the LISTEN setting.
#include "service/api/api_render.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "service/api/api_settings.h"

namespace {

using nlohmann::json;

ServiceView SampleView() {
  ServiceView view;
  view.version = "1.1.0";
  RouterView a;
  a.address = "127.0.0.5";
  a.port = 880;
  a.user = "admin";
  a.on = true;
  a.delivered = 7;
  a.dropped = 1;
  a.lastAnswerStatus = 200;
  a.lastDeliveryTime = 1700000000;
  a.lastDeliveryResult = "ok";
  a.waitingInStore = 2;
  a.waitingAtSender = 3;
  a.sender = 4;
  a.probesSent = 9;
  a.probesAnswered = 8;
  a.transitions = 3;
  RouterView b;
  b.address = "127.0.0.6";
  b.port = 8080;
  b.user = "we\"ird\\user\n\x01";
  b.resendPending = true;
  view.routers = {a, b};
  view.commands = {{"pv", 3, 1}, {"unknown", 0, 2}};
  view.commandConnections = 1;
  view.planningRuns = 4;
  view.planningSeconds = 0.25;
  return view;
}

// The value of the sample whose name and labels are exactly `series`; -1 when absent.
double Sample(const std::string& text, const std::string& series) {
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, series.size() + 1, series + " ") == 0) {
      return std::stod(line.substr(series.size() + 1));
    }
  }
  return -1;
}

TEST(ApiMetrics, EveryFamilyHasHelpTypeAndOneSamplePerRouter) {
  std::string text = RenderMetrics(SampleView());
  const char* perRouter[] = {"vokelmng_router_up",
                             "vokelmng_router_resend_pending",
                             "vokelmng_router_requests_waiting",
                             "vokelmng_router_requests_delivered_total",
                             "vokelmng_router_attempts_failed_total",
                             "vokelmng_router_requests_dropped_total",
                             "vokelmng_router_last_answer_status",
                             "vokelmng_router_probes_sent_total",
                             "vokelmng_router_probes_answered_total",
                             "vokelmng_router_transitions_total"};
  for (const char* name : perRouter) {
    EXPECT_NE(text.find(std::string("# HELP ") + name + " "), std::string::npos) << name;
    EXPECT_NE(text.find(std::string("# TYPE ") + name + " "), std::string::npos) << name;
    EXPECT_GE(Sample(text, std::string(name) + "{router=\"127.0.0.5\",port=\"880\"}"), 0) << name;
    EXPECT_GE(Sample(text, std::string(name) + "{router=\"127.0.0.6\",port=\"8080\"}"), 0) << name;
  }
  for (const char* name :
       {"vokelmng_commands_total", "vokelmng_command_connections",
        "vokelmng_command_connections_refused_total", "vokelmng_request_store_size",
        "vokelmng_planning_runs_total", "vokelmng_planning_seconds_total", "vokelmng_build_info"}) {
    EXPECT_NE(text.find(std::string("# TYPE ") + name + " "), std::string::npos) << name;
  }
  EXPECT_EQ(text.back(), '\n');
}

TEST(ApiMetrics, ValuesComeFromTheView) {
  std::string text = RenderMetrics(SampleView());
  const std::string a = "{router=\"127.0.0.5\",port=\"880\"}";
  const std::string b = "{router=\"127.0.0.6\",port=\"8080\"}";
  EXPECT_EQ(Sample(text, "vokelmng_router_up" + a), 1);
  EXPECT_EQ(Sample(text, "vokelmng_router_up" + b), 0);
  EXPECT_EQ(Sample(text, "vokelmng_router_resend_pending" + b), 1);
  EXPECT_EQ(Sample(text, "vokelmng_router_requests_waiting" + a), 5);  // store and sender
  EXPECT_EQ(Sample(text, "vokelmng_router_requests_delivered_total" + a), 7);
  EXPECT_EQ(Sample(text, "vokelmng_router_requests_dropped_total" + a), 1);
  EXPECT_EQ(Sample(text, "vokelmng_router_last_answer_status" + a), 200);
  EXPECT_EQ(Sample(text, "vokelmng_router_probes_answered_total" + a), 8);
  EXPECT_EQ(Sample(text, "vokelmng_router_transitions_total" + a), 3);
  EXPECT_EQ(Sample(text, "vokelmng_commands_total{family=\"pv\",result=\"ok\"}"), 3);
  EXPECT_EQ(Sample(text, "vokelmng_commands_total{family=\"pv\",result=\"refused\"}"), 1);
  EXPECT_EQ(Sample(text, "vokelmng_commands_total{family=\"unknown\",result=\"refused\"}"), 2);
  EXPECT_EQ(Sample(text, "vokelmng_planning_runs_total"), 4);
  EXPECT_DOUBLE_EQ(Sample(text, "vokelmng_planning_seconds_total"), 0.25);
  EXPECT_EQ(Sample(text, "vokelmng_build_info{version=\"1.1.0\"}"), 1);
}

TEST(ApiMetrics, ValuesAreWrittenAsPrintfGWithNineDigits) {
  ServiceView view = SampleView();
  view.routers[0].delivered = 999999999;
  view.routers[0].probesSent = 1234567890;
  view.planningSeconds = 1.5;
  const std::string text = RenderMetrics(view);
  const std::string a = "{router=\"127.0.0.5\",port=\"880\"} ";
  for (const std::string& line :
       {"vokelmng_router_requests_delivered_total" + a + "999999999\n",
        "vokelmng_router_probes_sent_total" + a + "1.23456789e+09\n",
        "vokelmng_router_last_answer_status" + a + "200\n", "vokelmng_router_up" + a + "1\n",
        std::string("\nvokelmng_planning_seconds_total 1.5\n")}) {
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
}

TEST(ApiMetrics, LabelValuesAreEscaped) {
  EXPECT_EQ(EscapeLabelValue("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");
  ServiceView view;
  view.version = "x\"y";
  EXPECT_NE(RenderMetrics(view).find("vokelmng_build_info{version=\"x\\\"y\"} 1\n"),
            std::string::npos);
}

TEST(ApiJson, RouterObjectsCarryTheStateButNeverAPassword) {
  ServiceView view = SampleView();
  json all = json::parse(RenderRouters(view.routers));
  ASSERT_EQ(all.size(), 2u);
  const json& a = all[0];
  EXPECT_EQ(a["address"], "127.0.0.5");
  EXPECT_EQ(a["port"], 880);
  EXPECT_EQ(a["user"], "admin");
  EXPECT_EQ(a["on"], true);
  EXPECT_EQ(a["requests_waiting"]["store"], 2);
  EXPECT_EQ(a["requests_waiting"]["sender"], 3);
  EXPECT_EQ(a["sender"], 4);
  EXPECT_EQ(a["last_delivery"]["result"], "ok");
  EXPECT_EQ(a["last_delivery"]["status"], 200);
  EXPECT_EQ(a["transitions"], 3);
  const json& b = all[1];
  EXPECT_EQ(b["user"], view.routers[1].user);  // escaped, and read back the same
  EXPECT_TRUE(b["sender"].is_null());
  EXPECT_TRUE(b["last_delivery"].is_null());
  EXPECT_TRUE(b["last_probe"].is_null());
  EXPECT_EQ(b["resend_pending"], true);
  for (const json& r : all) {
    for (const auto& [key, value] : r.items()) EXPECT_EQ(key.find("pass"), std::string::npos);
  }
  EXPECT_EQ(json::parse(RenderRouter(view.routers[0])), a);
}

// The router objects as the json library writes them, the reference for the API's own writer.
nlohmann::ordered_json LibraryRouter(const RouterView& r) {
  using ojson = nlohmann::ordered_json;
  ojson delivery = nullptr;
  if (r.lastDeliveryTime != 0) {
    delivery = {{"time", r.lastDeliveryTime},
                {"result", r.lastDeliveryResult},
                {"status", r.lastAnswerStatus == 0 ? ojson(nullptr) : ojson(r.lastAnswerStatus)}};
  }
  ojson probe = nullptr;
  if (r.lastProbeTime != 0) probe = {{"time", r.lastProbeTime}, {"answered", r.lastProbeAnswered}};
  return {{"address", r.address},
          {"port", r.port},
          {"user", r.user},
          {"on", r.on},
          {"pending", {{"add", r.pendingAdd}, {"delete", r.pendingDelete}}},
          {"resend_pending", r.resendPending},
          {"out_of_sync", r.outOfSync},
          {"requests_waiting", {{"store", r.waitingInStore}, {"sender", r.waitingAtSender}}},
          {"sender", r.sender < 0 ? ojson(nullptr) : ojson(r.sender)},
          {"requests_delivered", r.delivered},
          {"attempts_failed", r.attemptsFailed},
          {"requests_dropped", r.dropped},
          {"last_delivery", delivery},
          {"probes", {{"sent", r.probesSent}, {"answered", r.probesAnswered}}},
          {"last_probe", probe},
          {"transitions", r.transitions},
          {"sending", r.sending}};
}

TEST(ApiJson, RouterObjectsAreByteForByteWhatTheJsonLibraryWrites) {
  std::vector<RouterView> routers = SampleView().routers;
  RouterView c = routers[0];
  c.user = "ad\xff\xfemin \xc3\xa9\x7f\t";
  c.lastDeliveryResult = "status 500: \"no\\list\"";
  c.lastAnswerStatus = 0;
  c.lastProbeTime = 1700000001;
  c.lastProbeAnswered = true;
  c.waitingInStore = -1;
  c.delivered = 18446744073709551615u;
  c.outOfSync = true;
  c.pendingAdd = true;
  c.sending = false;
  routers.push_back(c);
  auto dump = [](const nlohmann::ordered_json& j) {
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + '\n';
  };
  nlohmann::ordered_json all = nlohmann::ordered_json::array();
  for (const RouterView& r : routers) {
    all.push_back(LibraryRouter(r));
    EXPECT_EQ(RenderRouter(r), dump(LibraryRouter(r)));
  }
  EXPECT_EQ(RenderRouters(routers), dump(all));
  EXPECT_EQ(RenderRouters({}), "[]\n");
}

TEST(ApiJson, InvalidUtf8InATextDoesNotBreakTheDocument) {
  RouterView r;
  r.user = "ad\xff\xfemin";
  json parsed;
  EXPECT_NO_THROW(parsed = json::parse(RenderRouter(r)));
}

TEST(ApiJson, LinesAndStatus) {
  json lines = json::parse(RenderLines({{"client", "add access-list pc accept", 1},
                                        {"quarantine", "add access-list kel accept", 2}}));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1],
            json({{"class", "quarantine"}, {"line", "add access-list kel accept"}, {"copies", 2}}));
  EXPECT_EQ(json::parse(RenderLines({})), json::array());

  ServiceView view = SampleView();
  view.uptimeSeconds = 12;
  view.commandPortListening = true;
  view.requestStoreSize = 6;
  json status = json::parse(RenderStatus(view));
  EXPECT_EQ(status["version"], "1.1.0");
  EXPECT_EQ(status["uptime_seconds"], 12);
  EXPECT_EQ(status["command_port_listening"], true);
  EXPECT_EQ(status["routers"], json({{"on", 1}, {"off", 1}, {"out_of_sync", 0}}));
  EXPECT_EQ(status["request_store_size"], 6);
  EXPECT_EQ(status["sync_mode"], "edits");
  EXPECT_EQ(status["access_entry_store"], "off");
  view.syncMode = "state";
  view.entryStore = "failing";
  view.routers[0].outOfSync = true;
  status = json::parse(RenderStatus(view));
  EXPECT_EQ(status["sync_mode"], "state");
  EXPECT_EQ(status["access_entry_store"], "failing");
  EXPECT_EQ(status["routers"]["out_of_sync"], 1);
  const std::string metrics = RenderMetrics(view);
  EXPECT_NE(metrics.find("vokelmng_kel_store_state{state=\"off\"} 0\n"
                         "vokelmng_kel_store_state{state=\"ok\"} 0\n"
                         "vokelmng_kel_store_state{state=\"failing\"} 1\n"),
            std::string::npos)
      << metrics;
  EXPECT_NE(metrics.find("vokelmng_router_out_of_sync{router=\"" + view.routers[0].address +
                         "\",port=\""),
            std::string::npos);
  EXPECT_EQ(json::parse(RenderRouter(view.routers[0]))["out_of_sync"], true);

  EXPECT_EQ(status["audit"], json({{"syslog", false},
                                   {"file", nullptr},
                                   {"file_ok", nullptr},
                                   {"records", 0},
                                   {"failures", 0}}));
  view.audit = {true, "/var/log/vokelmng/audit.jsonl", false, 12, 3};
  EXPECT_EQ(json::parse(RenderStatus(view))["audit"],
            json({{"syslog", true},
                  {"file", "/var/log/vokelmng/audit.jsonl"},
                  {"file_ok", false},
                  {"records", 12},
                  {"failures", 3}}));
}

TEST(ApiSettings, ListenIsADottedAddressAndAPort) {
  ApiListen listen;
  ASSERT_TRUE(ParseApiListen("127.0.0.1:9100", &listen));
  EXPECT_TRUE(listen.enabled);
  EXPECT_EQ(listen.port, 9100);
  const uint8_t* b = reinterpret_cast<const uint8_t*>(&listen.address);
  EXPECT_EQ(b[0], 127);
  EXPECT_EQ(b[3], 1);
  ASSERT_TRUE(ParseApiListen("0.0.0.0:65535", &listen));
  for (const char* bad : {"", "9100", ":9100", "localhost:9100", "127.0.0.1", "127.0.0.1:",
                          "127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:91a0", "127.0.0.256:80",
                          "127.0.0:80", "127.0.0.1:80:81", "127.0.0.1: 80", "127.0.0.1:1234567"}) {
    ApiListen out;
    EXPECT_FALSE(ParseApiListen(bad, &out)) << bad;
    EXPECT_FALSE(out.enabled) << bad;
  }
}

}  // namespace
