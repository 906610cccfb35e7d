// Routers over HTTPS with the whole service: routers whose certificate fails the check (another
// CA, another address, expired) get nothing, are logged with the reason and go out of sync once
// the retry schedule gives their request up (about a minute); restarted with a good certificate
// they are repaired: reset and reloaded over TLS.
#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "api_client.h"
#include "main_job_fixture.h"
#include "test_certs.h"

namespace {

using mainjob::kDebugMask;
using mainjob::kResets;

// The requests a router answered; the repair's probe, a handshake and nothing more, may show in
// pvsim's journal as an event and is left out.
std::vector<std::string> Delivered(const e2e::PvsimProcess& router) {
  std::vector<std::string> lines;
  for (const e2e::RouterRequest& r : router.Requests()) {
    if (r.event.empty()) lines.push_back(r.Text());
  }
  return lines;
}

bool OutOfSync(const std::string& address) {
  nlohmann::json router =
      nlohmann::json::parse(apitest::Get("/routers/" + address).body, nullptr, false);
  return router.is_object() && router.value("out_of_sync", false);
}

TEST(RouterTlsE2eTest, RoutersFailingTheCheckGoOutOfSyncAndAreRepairedWithAGoodCertificate) {
  ENTER_PRIVATE_NETWORK();
  ASSERT_TRUE(testsupport::NarrowLoopback());
  ASSERT_TRUE(e2e::WriteFile("/proc/sys/net/ipv4/ip_nonlocal_bind", "1\n"));
  e2e::TempDir certs("router-tls-e2e");
  testsupport::TestCa ca(certs.path(), "ca");
  testsupport::TestCa other(certs.path(), "other");
  ASSERT_TRUE(ca.ok() && other.ok());
  const struct {
    std::string address;
    const testsupport::TestCa* issuer;
    testsupport::CertRequest request;
    std::string reason;
  } routers[] = {
      {"127.0.0.11",
       &other,
       {"r", {"127.0.0.11"}, {}, false},
       "unable to get local issuer certificate"},
      {"127.0.0.12", &ca, {"r", {"127.0.0.99"}, {}, false}, "IP address mismatch"},
      {"127.0.0.13", &ca, {"r", {"127.0.0.13"}, {}, true}, "certificate has expired"},
  };
  auto options = [&](const testsupport::TestCa& issuer, const std::string& file) {
    return std::vector<std::string>{"--tls-cert", issuer.CertPath(file), "--tls-key",
                                    issuer.KeyPath(file)};
  };

  e2e::SyslogListener syslog;
  ASSERT_TRUE(syslog.Start());
  e2e::ServiceProcess service;
  service.WriteConfig("syslog.ini", kDebugMask);
  service.WriteConfig("VoKelMng.ini", "[HTTP]\nTLS=Enable\nCAFILE=" + ca.certFile() +
                                          "\n[STATUS]\nLISTEN=127.0.0.1:9100\n");
  ASSERT_TRUE(service.Start()) << service.error();
  e2e::CommandClient client;
  ASSERT_TRUE(client.Connect());
  ASSERT_EQ(client.ReadReply(), "");

  std::vector<std::unique_ptr<e2e::PvsimProcess>> pvsims;
  for (const auto& r : routers) {
    ASSERT_TRUE(r.issuer->Issue("bad-" + r.address, r.request));
    pvsims.push_back(std::make_unique<e2e::PvsimProcess>());
    ASSERT_TRUE(pvsims.back()->Start(r.address, 880, options(*r.issuer, "bad-" + r.address)));
    ASSERT_TRUE(testsupport::AddLoopbackAddress(r.address));
    EXPECT_EQ(client.Command("pv add " + r.address), std::optional<std::string>(""));
  }
  for (size_t i = 0; i < std::size(routers); ++i) {
    SCOPED_TRACE(routers[i].address);
    EXPECT_TRUE(syslog.WaitFor(
        "TLS handshake with PV(" + routers[i].address + ":880) failed: " + routers[i].reason + ".",
        10000));
  }
  // Four attempts over a minute, then the request is given up.
  for (const auto& r : routers) {
    for (int waited = 0; !OutOfSync(r.address) && waited < 80000; waited += 500) {
      syslog.WaitFor("\x01never\x01", 500);
    }
    EXPECT_TRUE(OutOfSync(r.address)) << r.address;
  }
  const std::string metrics = apitest::Get("/metrics").body;
  for (const auto& r : routers) {
    EXPECT_GE(testsupport::MetricSample(metrics, "vokelmng_router_tls_failures_total{router=\"" +
                                                     r.address + "\",port=\"880\"}"),
              4)
        << metrics;
  }
  EXPECT_EQ(
      testsupport::MetricSample(metrics, "vokelmng_router_tls_handshakes_total{kind=\"full\"}"), 0);

  // Good certificates: the repair resets and reloads each router over TLS.
  ASSERT_TRUE(ca.Issue("good", {"r", {"127.0.0.11", "127.0.0.12", "127.0.0.13"}, {}, false}));
  for (size_t i = 0; i < std::size(routers); ++i) {
    pvsims[i]->Stop();
    pvsims[i] = std::make_unique<e2e::PvsimProcess>();
    ASSERT_TRUE(pvsims[i]->Start(routers[i].address, 880, options(ca, "good")));
  }
  for (size_t i = 0; i < std::size(routers); ++i) {
    const std::string& address = routers[i].address;
    for (int waited = 0; (OutOfSync(address) || Delivered(*pvsims[i]).size() < 2) && waited < 90000;
         waited += 500) {
      syslog.WaitFor("\x01never\x01", 500);
    }
    EXPECT_FALSE(OutOfSync(address)) << address;
    std::vector<std::string> lines = Delivered(*pvsims[i]);
    ASSERT_GE(lines.size(), 2u) << address;
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 2), kResets) << address;
  }
  EXPECT_GE(testsupport::MetricSample(apitest::Get("/metrics").body,
                                      "vokelmng_router_tls_handshakes_total{kind=\"full\"}"),
            3);
  client.Close();
  EXPECT_EQ(service.Stop(15000), 0) << service.Output();
}

}  // namespace
