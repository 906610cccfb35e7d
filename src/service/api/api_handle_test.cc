// The routing of the operator API over the real registries, without a socket: which path
// gives which answer, the dashboard's files and the headers every answer carries, the error
// answers, readiness, and that no answer carries a password.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "service/api/api_server.h"
#include "service/command/command_stats.h"
#include "service/registry/pc_data.h"
#include "service/registry/pv_data.h"
#include "service/registry/quarantine_data.h"

namespace {

using nlohmann::json;

class ApiHandleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PvList().RemoveAll();
    auto* r = new CPvData();
    r->addressText = "127.0.0.5";
    r->address = {127, 0, 0, 5};
    r->password = "s3cret-pass";
    ASSERT_EQ(PvList().Add(r), 0);
    ApiSources sources;
    sources.controllerStarted = [this] { return started_; };
    server_ = std::make_unique<CKelApiServer>(std::move(sources));
  }
  void TearDown() override {
    PvList().RemoveAll();
    CommandPortStats().SetListening(false);
  }
  CKelApiServer::Answer Get(const std::string& path) { return server_->Handle("GET", path); }

  bool started_ = false;
  std::unique_ptr<CKelApiServer> server_;
};

TEST_F(ApiHandleTest, EachPathGivesItsDocument) {
  CKelApiServer::Answer metrics = Get("/metrics");
  EXPECT_EQ(metrics.status, 200u);
  EXPECT_EQ(metrics.contentType.rfind("text/plain; version=0.0.4", 0), 0u);
  EXPECT_NE(metrics.body.find("vokelmng_router_up{router=\"127.0.0.5\",port=\"880\"} 0\n"),
            std::string::npos);

  CKelApiServer::Answer routers = Get("/routers");
  EXPECT_EQ(routers.status, 200u);
  EXPECT_EQ(routers.contentType, "application/json");
  EXPECT_EQ(json::parse(routers.body)[0]["address"], "127.0.0.5");

  CKelApiServer::Answer one = Get("/routers/127.0.0.5");
  EXPECT_EQ(one.status, 200u);
  EXPECT_EQ(json::parse(one.body)["resend_pending"], true);

  CKelApiServer::Answer lines = Get("/routers/127.0.0.5/lines");
  EXPECT_EQ(lines.status, 200u);
  EXPECT_EQ(json::parse(lines.body), json::array());  // no PC, no server: nothing to hold

  EXPECT_EQ(json::parse(Get("/status").body)["routers"]["off"], 1);
  EXPECT_EQ(server_->Handle("HEAD", "/metrics").status, 200u);
}

// The page and the files it loads, each with its type; the page names only files served here.
TEST_F(ApiHandleTest, TheDashboardIsServedFromItsBuiltInFiles) {
  struct Case {
    const char* path;
    const char* type;
    const char* text;  // something the file must hold
  } cases[] = {
      {"/", "text/html; charset=utf-8", "<script src=\"/dashboard.js\""},
      {"/dashboard.js", "text/javascript; charset=utf-8", "textContent"},
      {"/dashboard.css", "text/css; charset=utf-8", "@media"},
      {"/favicon.svg", "image/svg+xml", "<svg"},
  };
  for (const Case& c : cases) {
    CKelApiServer::Answer answer = Get(c.path);
    EXPECT_EQ(answer.status, 200u) << c.path;
    EXPECT_EQ(answer.contentType, c.type) << c.path;
    EXPECT_NE(answer.body.find(c.text), std::string::npos) << c.path;
    EXPECT_EQ(server_->Handle("HEAD", c.path).status, 200u) << c.path;
  }
  // Inline script or style would be refused by the policy; markup from values is never built.
  std::string page = Get("/").body;
  EXPECT_EQ(page.find("<style"), std::string::npos);
  EXPECT_EQ(page.find(" style="), std::string::npos);
  EXPECT_EQ(page.find("<script>"), std::string::npos);
  EXPECT_EQ(page.find("http"), std::string::npos) << "the page loads something from elsewhere";
  EXPECT_EQ(Get("/dashboard.js").body.find("innerHTML"), std::string::npos);
}

TEST_F(ApiHandleTest, EveryAnswerCarriesThePolicyAndNosniff) {
  for (const char* path : {"/", "/dashboard.js", "/status", "/routers", "/routers/127.0.0.5/lines",
                           "/metrics", "/healthz", "/nowhere", "/routers/x"}) {
    for (const char* method : {"GET", "POST"}) {
      CKelApiServer::Answer answer = server_->Handle(method, path);
      int policy = 0;
      int nosniff = 0;
      for (const auto& [name, value] : answer.headers) {
        policy += name == "Content-Security-Policy" && value == "default-src 'self'";
        nosniff += name == "X-Content-Type-Options" && value == "nosniff";
      }
      EXPECT_EQ(policy, 1) << method << " " << path;
      EXPECT_EQ(nosniff, 1) << method << " " << path;
    }
  }
}

TEST_F(ApiHandleTest, ErrorsAreShortAndNamed) {
  struct Case {
    const char* method;
    const char* path;
    unsigned status;
  } cases[] = {
      {"GET", "/metricsx", 404},
      {"GET", "//", 404},
      {"GET", "/dashboard", 404},
      {"GET", "/dashboard.js/", 404},
      {"GET", "/other.css", 404},
      {"POST", "/", 405},
      {"GET", "/routers/127.0.0.9", 404},
      {"GET", "/routers/127.0.0.9/lines", 404},
      {"GET", "/routers/127.0.0.5/lines/more", 404},
      {"GET", "/routers/127.0.0.5/other", 404},
      {"GET", "/routers/not-an-address", 400},
      {"GET", "/routers/127.0.0.256", 400},
      {"POST", "/metrics", 405},
      {"DELETE", "/routers/127.0.0.5", 405},
      {"PUT", "/nowhere", 405},
  };
  for (const Case& c : cases) {
    CKelApiServer::Answer answer = server_->Handle(c.method, c.path);
    EXPECT_EQ(answer.status, c.status) << c.method << " " << c.path;
    EXPECT_LT(answer.body.size(), 200u) << c.method << " " << c.path;
  }
}

TEST_F(ApiHandleTest, HealthNeedsTheControllerAndTheCommandPort) {
  EXPECT_EQ(Get("/healthz").status, 503u);
  started_ = true;
  EXPECT_EQ(Get("/healthz").status, 503u);
  CommandPortStats().SetListening(true);
  EXPECT_EQ(Get("/healthz").status, 200u);
  started_ = false;
  EXPECT_EQ(Get("/healthz").status, 503u);
}

TEST_F(ApiHandleTest, NoAnswerCarriesThePassword) {
  for (const char* path : {"/metrics", "/routers", "/routers/127.0.0.5", "/routers/127.0.0.5/lines",
                           "/status", "/healthz"}) {
    EXPECT_EQ(Get(path).body.find("s3cret-pass"), std::string::npos) << path;
  }
}

}  // namespace
