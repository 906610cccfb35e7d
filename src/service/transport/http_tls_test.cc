// Routers over TLS: the senders against pvsim serving TLS with certificates of a test CA, in a
// private network. What the router's certificate must pass, session resumption, the client
// certificate, and failures that count as failed attempts.
#include <atomic>
#include <string>
#include <vector>

#include "router_harness_testutil.h"
#include "service/transport/delivery_stats.h"
#include "test_certs.h"

namespace transporttest {
namespace {

std::atomic<int> gDroppedReports{0};
void CountDropped(uint32_t, uint16_t, bool dropped) {
  if (dropped) ++gDroppedReports;
}

RouterDeliveryCounts CountsOf(const std::string& address) {
  for (const RouterDeliveryCounts& c : TransportStats().Snapshot()) {
    if (c.address == Address(address) && c.port == 880) return c;
  }
  return RouterDeliveryCounts();
}

class RouterTlsTest : public RouterTest {
 protected:
  void SetUp() override {
    RouterTest::SetUp();
    ASSERT_TRUE(ca_.ok() && other_.ok());
    ASSERT_TRUE(ca_.Issue("vokel", {"vokel", {}, {}, false}));
    gDroppedReports = 0;
    SetDeliveryFailureHook(CountDropped);
  }
  void TearDown() override {
    RouterTest::TearDown();
    SetDeliveryFailureHook(nullptr);
  }

  // pvsim on `address` serving TLS with the certificate `file` of `issuer`, made for `request`.
  std::unique_ptr<Pvsim> StartTlsRouter(const std::string& address,
                                        const testsupport::TestCa& issuer, const std::string& file,
                                        const testsupport::CertRequest& request,
                                        std::vector<std::string> more = {}) {
    EXPECT_TRUE(issuer.Issue(file, request));
    std::vector<std::string> options = {"--tls-cert", issuer.CertPath(file), "--tls-key",
                                        issuer.KeyPath(file)};
    options.insert(options.end(), more.begin(), more.end());
    return StartRouter(address, options);
  }

  RouterTls Tls(tls::Verify verify, bool clientCertificate = false) {
    RouterTls settings;
    settings.enabled = true;
    tls::ClientSettings client;
    client.caFile = ca_.certFile();
    client.verify = verify;
    if (clientCertificate) {
      client.certFile = ca_.CertPath("vokel");
      client.keyFile = ca_.KeyPath("vokel");
    }
    settings.context.reset(tls::Context::ForClient(client, &settings.error).release());
    EXPECT_NE(settings.context, nullptr) << settings.error;
    return settings;
  }

  static HttpSenderTiming ShortTiming() {
    HttpSenderTiming timing;
    timing.connectTimeoutMs = 3000;
    timing.retryPauseMs[0] = timing.retryPauseMs[1] = timing.retryPauseMs[2] = 100;
    timing.dropPauseMs = 100;
    return timing;
  }

  testsupport::ScratchDir dir_{"router-tls"};
  testsupport::TestCa ca_{dir_.path(), "ca"};
  testsupport::TestCa other_{dir_.path(), "other"};
};

// A router that ends every connection after its answer: each request needs a new connection,
// and only the first of them a full handshake.
TEST_F(RouterTlsTest, DeliversOverTlsAndResumesTheSessionOnEveryReconnection) {
  auto router = StartTlsRouter("127.0.0.5", ca_, "router", {"router", {"127.0.0.5"}, {}, false},
                               {"--no-length"});
  StartClient(ShortTiming(), kDefaultHttpSenders, Tls(tls::Verify::kFull));
  {
    StoreBatch batch;
    for (int i = 1; i <= 3; ++i) StoreRequest("127.0.0.5", "add acl " + std::to_string(i));
  }
  client_->EventSend();
  ASSERT_TRUE(router->WaitForEntries(3, 10000));
  std::vector<JournalEntry> journal = router->Journal();
  ASSERT_EQ(journal.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(journal[i].Text(), "add acl " + std::to_string(i + 1));
    EXPECT_EQ(journal[i].conn, i + 1);  // one connection each
    EXPECT_EQ(journal[i].client, "");   // no client certificate offered
  }
  ASSERT_TRUE(log_->WaitFor(Cord("127.0.0.5", "OK"), 5000, 3));
  RouterDeliveryCounts counts = CountsOf("127.0.0.5");
  EXPECT_EQ(counts.tlsFullHandshakes, 1u);
  EXPECT_EQ(counts.tlsResumedHandshakes, 2u);
  EXPECT_EQ(counts.tlsFailures, 0u);
}

// Each refused certificate costs the four attempts of a refused connection, each logged with
// OpenSSL's reason, and then the request is given up (the router goes out of sync).
TEST_F(RouterTlsTest, ARouterCertificateThatFailsTheCheckFailsEveryAttempt) {
  const struct {
    const char* address;
    bool otherCa;
    testsupport::CertRequest request;
    const char* reason;
  } cases[] = {
      {"127.0.0.11",
       true,
       {"r", {"127.0.0.11"}, {}, false},
       "unable to get local issuer certificate"},
      {"127.0.0.12", false, {"r", {"127.0.0.99"}, {}, false}, "IP address mismatch"},
      {"127.0.0.13", false, {"r", {"127.0.0.13"}, {}, true}, "certificate has expired"},
  };
  StartClient(ShortTiming(), kDefaultHttpSenders, Tls(tls::Verify::kFull));
  std::vector<std::unique_ptr<Pvsim>> routers;
  for (const auto& c : cases) {
    routers.push_back(StartTlsRouter(c.address, c.otherCa ? other_ : ca_, c.address, c.request));
    StoreRequest(c.address, "add acl x");
  }
  client_->EventSend();
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].address);
    const std::string address = cases[i].address;
    ASSERT_TRUE(log_->WaitFor(
        "I failed in setting of quarantine inspection information for PV(" + address + ":880).",
        10000));
    const std::string failed =
        "TLS handshake with PV(" + address + ":880) failed: " + cases[i].reason + ".";
    EXPECT_EQ(log_->Count(failed), 4u);
    for (const testsupport::LogLine& line : testsupport::Logs().Lines()) {
      if (line.text == failed) {
        EXPECT_EQ(line.severity, kLogErr);
      }
    }
    RouterDeliveryCounts counts = CountsOf(address);
    EXPECT_EQ(counts.tlsFailures, 4u);
    EXPECT_EQ(counts.attemptsFailed, 4u);
    EXPECT_EQ(counts.dropped, 1u);
    EXPECT_EQ(counts.delivered, 0u);
    // pvsim saw the handshakes fail, and never a request.
    ASSERT_TRUE(routers[i]->WaitForEntries(4, 5000));
    for (const JournalEntry& e : routers[i]->Journal()) EXPECT_EQ(e.event, "tls-failed");
  }
  EXPECT_EQ(gDroppedReports.load(), 3);
}

// VERIFY=chain takes a certificate that names another address; a router that demands a client
// certificate gets the service's, and journals its subject.
TEST_F(RouterTlsTest, ChainAcceptsAnotherAddressAndTheClientCertificateIsShown) {
  auto router = StartTlsRouter("127.0.0.7", ca_, "router", {"router", {"127.0.0.99"}, {}, false},
                               {"--client-ca", ca_.certFile()});
  StartClient(ShortTiming(), kDefaultHttpSenders, Tls(tls::Verify::kChain, true));
  StoreRequest("127.0.0.7", "add acl 1");
  client_->EventSend();
  ASSERT_TRUE(router->WaitForEntries(1, 10000));
  EXPECT_EQ(router->Journal()[0].Text(), "add acl 1");
  EXPECT_EQ(router->Journal()[0].client, "CN=vokel");
  EXPECT_EQ(CountsOf("127.0.0.7").tlsFailures, 0u);
}

// Files that cannot be used: nothing goes out in plain HTTP, every attempt fails.
TEST_F(RouterTlsTest, UnusableSettingsFailEveryAttemptWithoutFallingBackToPlainHttp) {
  auto router = StartRouter("127.0.0.8");  // plain HTTP: would take a plain request
  RouterTls settings;
  settings.enabled = true;
  settings.error = "/nowhere/ca.pem: No such file or directory";
  StartClient(ShortTiming(), kDefaultHttpSenders, settings);
  StoreRequest("127.0.0.8", "add acl 1");
  client_->EventSend();
  ASSERT_TRUE(log_->WaitFor(
      "I failed in setting of quarantine inspection information for PV(127.0.0.8:880).", 10000));
  EXPECT_EQ(log_->Count("TLS handshake with PV(127.0.0.8:880) failed: the TLS settings cannot be "
                        "used (/nowhere/ca.pem: No such file or directory)."),
            4u);
  EXPECT_TRUE(router->Journal().empty());
}

}  // namespace
}  // namespace transporttest
