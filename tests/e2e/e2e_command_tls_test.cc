// The TLS command port against the real service: a console program with a certificate from
// the operators' CA is served; a client without one, with one from another CA, a plain-text
// client and one that stalls in its handshake are closed with a warning line; the plain port
// goes on as before; settings that cannot be served leave the TLS port closed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "common/tls_channel.h"
#include "harness.h"
#include "netns.h"
#include "test_certs.h"

namespace {

constexpr uint16_t kTlsPort = 8443;

// Whether the service closes `fd` within timeoutMs (whatever it sent before).
bool ClosedWithin(int fd, int timeoutMs) {
  char buffer[4096];
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    if (!tls::WaitReady(fd, tls::kWantRead, 100)) continue;
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return true;
  }
  return false;
}

class CommandTlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ENTER_PRIVATE_NETWORK();
    ASSERT_TRUE(syslog_.Start());
    ASSERT_TRUE(operators_.ok() && strangers_.ok());
    ASSERT_TRUE(operators_.Issue("service", {"vokelmng", {"127.0.0.1"}, {}, false}));
    ASSERT_TRUE(operators_.Issue("alice", {"alice", {}, {}, false}));
    ASSERT_TRUE(strangers_.Issue("mallory", {"mallory", {}, {}, false}));
  }

  bool StartService(const std::string& extra = "") {
    std::string ini = "[SERVICE]\nTLSPORT=" + std::to_string(kTlsPort) +
                      "\nTLSCERT=" + operators_.CertPath("service") +
                      "\nTLSKEY=" + operators_.KeyPath("service") + "\n" + extra;
    return service_.WriteConfig("VoKelMng.ini", ini) && service_.Start();
  }

  // The TLS port opens beside the plain one, not necessarily before the service answers there.
  static bool TlsPortOpens() {
    for (int i = 0; i < 100; ++i, usleep(50 * 1000)) {
      if (e2e::IsListening(kTlsPort)) return true;
    }
    return false;
  }

  // A console program over the TLS port; its output after checking it ended with status 0.
  std::string Program(const std::vector<std::string>& words,
                      const std::vector<std::string>& env = {}) {
    e2e::ProgramResult result = e2e::RunProgram(words, 20000, env);
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    return result.out;
  }

  // A TLS client with `issuer`'s certificate `cert` (none when empty): the prompt it reads, or
  // what failed.
  std::string Greeting(const testsupport::TestCa& issuer, const std::string& cert) {
    std::string error;
    auto context = tls::Context::ForClient(
        {operators_.certFile(), tls::Verify::kFull, cert.empty() ? "" : issuer.CertPath(cert),
         cert.empty() ? "" : issuer.KeyPath(cert)},
        &error);
    if (!context) return error;
    int fd = testsupport::ConnectLoopbackTcp(kTlsPort);
    if (fd < 0) return "no connection";
    fcntl(fd, F_SETFL, O_NONBLOCK);
    tls::Channel channel(*context, fd, "127.0.0.1");
    std::string got;
    if (tls::HandshakeWithin(channel, fd, 5000) != tls::kDone) {
      got = "handshake: " + channel.reason();
    } else {
      char buffer[64];
      int n;
      while ((n = channel.Read(buffer, sizeof buffer)) == tls::kWantRead) {
        if (!tls::WaitReady(fd, tls::kWantRead, 5000)) break;
      }
      got = n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "read: " + channel.reason();
    }
    close(fd);
    return got;
  }

  testsupport::ScratchDir dir_;
  testsupport::TestCa operators_{dir_.path(), "operators"};
  testsupport::TestCa strangers_{dir_.path(), "strangers"};
  e2e::SyslogListener syslog_;
  e2e::ServiceProcess service_;
};

TEST_F(CommandTlsTest, CertifiedClientsAreServedOthersAreClosedWithAWarning) {
  ASSERT_TRUE(StartService("TLSCLIENTCA=" + operators_.certFile() + "\n[AUDIT]\nSYSLOG=enable\n"))
      << service_.error();
  ASSERT_TRUE(TlsPortOpens());
  const std::vector<std::string> tlsWords = {"--tls",
                                             "--dport",
                                             "8443",
                                             "--cacert",
                                             operators_.certFile(),
                                             "--cert",
                                             operators_.CertPath("alice"),
                                             "--key",
                                             operators_.KeyPath("alice")};
  std::vector<std::string> add = {"VoKel", "add", "accept", "source", "192.168.0.1"};
  add.insert(add.end(), tlsWords.begin(), tlsWords.end());
  EXPECT_EQ(Program(add), "");
  // The audit record names the operator by the certificate.
  EXPECT_TRUE(syslog_.WaitFor(" as CN=alice: kel add accept source 192.168.0.1 (accepted)."));
  // The files from the environment; the reply is the one the plain port gives.
  std::string shown = Program({"VoKel", "show", "--tls", "--dport", "8443"},
                              {"VOKEL_TLS_CACERT=" + operators_.certFile(),
                               "VOKEL_TLS_CERT=" + operators_.CertPath("alice"),
                               "VOKEL_TLS_KEY=" + operators_.KeyPath("alice")});
  EXPECT_NE(shown.find("192.168.0.1"), std::string::npos) << shown;
  e2e::CommandClient plain;
  ASSERT_TRUE(plain.Connect());
  ASSERT_EQ(plain.ReadReply(), "");
  EXPECT_EQ(plain.Command("kel show"), shown);

  EXPECT_EQ(Greeting(operators_, "alice"), "$ ");
  EXPECT_EQ(Greeting(operators_, "").rfind("read: ", 0), 0u);  // the alert comes after it
  EXPECT_TRUE(syslog_.WaitFor("failed: peer did not return a certificate."));
  EXPECT_EQ(Greeting(strangers_, "mallory").rfind("read: ", 0), 0u);
  EXPECT_TRUE(syslog_.WaitFor("failed: unable to get local issuer certificate."));

  int text = testsupport::ConnectLoopbackTcp(kTlsPort);
  ASSERT_GE(text, 0);
  ASSERT_EQ(send(text, "kel show\r\n", 10, 0), 10);
  EXPECT_TRUE(ClosedWithin(text, 3000));
  close(text);
  EXPECT_EQ(syslog_.Count("TLS handshake with command client 127.0.0.1:"), 3);
}

TEST_F(CommandTlsTest, HandshakesThatStallHoldSlotsForTenSecondsAtMost) {
  ASSERT_TRUE(StartService("TLSCLIENTCA=" + operators_.certFile() + "\n")) << service_.error();
  ASSERT_TRUE(TlsPortOpens());
  std::vector<int> stalled;
  for (int i = 0; i < 10; ++i) {
    stalled.push_back(testsupport::ConnectLoopbackTcp(kTlsPort));
    ASSERT_GE(stalled.back(), 0) << "connection " << i;
  }
  usleep(300 * 1000);
  // Every slot is held: the plain port's next client is turned away.
  e2e::CommandClient turnedAway;
  ASSERT_TRUE(turnedAway.Connect());
  EXPECT_TRUE(turnedAway.WaitClosed(3000));
  auto start = std::chrono::steady_clock::now();
  for (int fd : stalled) {
    EXPECT_TRUE(ClosedWithin(fd, 12000));
    close(fd);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(11));
  EXPECT_TRUE(syslog_.WaitFor("failed: handshake timed out."));
  e2e::CommandClient served;
  ASSERT_TRUE(served.Connect());
  EXPECT_EQ(served.ReadReply(), "");
}

TEST_F(CommandTlsTest, SettingsThatCannotBeServedLeaveOnlyThePlainPort) {
  ASSERT_TRUE(StartService()) << service_.error();  // no TLSCLIENTCA
  EXPECT_TRUE(syslog_.WaitFor(
      "The TLS command port is not opened: TLSCLIENTCA is not set (only clients with a "
      "certificate are admitted)."));
  EXPECT_FALSE(e2e::IsListening(kTlsPort));
  e2e::CommandClient plain;
  ASSERT_TRUE(plain.Connect());
  EXPECT_EQ(plain.ReadReply(), "");
  EXPECT_EQ(service_.Stop(), 0);

  ASSERT_TRUE(StartService("TLSCLIENTCA=" + dir_.path() + "/none.pem\n")) << service_.error();
  EXPECT_TRUE(syslog_.WaitFor("The TLS command port is not opened: client CA file " + dir_.path() +
                              "/none.pem: No such file or directory."));
  EXPECT_FALSE(e2e::IsListening(kTlsPort));
}

}  // namespace
