// The routing of the operator API over the real registries, without a socket: which path
// gives which answer, the error answers, readiness, and that no answer carries a password.
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

TEST_F(ApiHandleTest, ErrorsAreShortAndNamed) {
  struct Case {
    const char* method;
    const char* path;
    unsigned status;
  } cases[] = {
      {"GET", "/", 404},
      {"GET", "/metricsx", 404},
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
