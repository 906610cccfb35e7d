#include "common/tls_channel.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <future>
#include <memory>
#include <string>

#include "scratch_dir.h"
#include "test_certs.h"

namespace {

using testsupport::CertRequest;

// Both ends of one handshake over a socketpair: the client's and the server's verdicts.
struct Handshaken {
  int client = tls::kFailed;
  int server = tls::kFailed;
  std::string clientReason;
  std::string serverReason;
  std::string subject;  // the client's certificate as the server saw it
  bool resumed = false;
  int clientRead = tls::kFailed;  // the client's read of the server's byte
};

class TlsChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);  // a side writes after the other has given up
    ASSERT_TRUE(ca_.ok());
    ASSERT_TRUE(other_.ok());
    ASSERT_TRUE(ca_.Issue("router", {"router", {"127.0.0.5"}, {}, false}));
    ASSERT_TRUE(ca_.Issue("old", {"old", {"127.0.0.5"}, {}, true}));
    ASSERT_TRUE(ca_.Issue("alice", {"alice", {}, {}, false}));
    ASSERT_TRUE(other_.Issue("stranger", {"stranger", {"127.0.0.5"}, {}, false}));
  }

  std::unique_ptr<tls::Context> Client(tls::Verify verify, const std::string& cert = "") {
    std::string error;
    auto context =
        tls::Context::ForClient({ca_.certFile(), verify, cert.empty() ? "" : ca_.CertPath(cert),
                                 cert.empty() ? "" : ca_.KeyPath(cert)},
                                &error);
    EXPECT_NE(context, nullptr) << error;
    return context;
  }

  std::unique_ptr<tls::Context> Server(const testsupport::TestCa& issuer, const std::string& cert,
                                       bool askClient = false) {
    std::string error;
    auto context = tls::Context::ForServer(
        {issuer.CertPath(cert), issuer.KeyPath(cert), askClient ? ca_.certFile() : ""}, &error);
    EXPECT_NE(context, nullptr) << error;
    return context;
  }

  static Handshaken Run(tls::Context& client, tls::Context& server, const std::string& peer) {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    for (int fd : fds) fcntl(fd, F_SETFL, O_NONBLOCK);
    Handshaken out;
    auto serverSide = std::async(std::launch::async, [&] {
      tls::Channel channel(server, fds[1]);
      out.server = tls::HandshakeWithin(channel, fds[1], 3000);
      out.serverReason = channel.reason();
      out.subject = channel.PeerSubject();
      char byte = 0;
      // A byte each way, so that a ticket the server sends after its handshake reaches the client.
      if (out.server == tls::kDone) {
        while (channel.Read(&byte, 1) == tls::kWantRead)
          tls::WaitReady(fds[1], tls::kWantRead, 3000);
        channel.Write(&byte, 1);
      }
      close(fds[1]);
    });
    {
      tls::Channel channel(client, fds[0], peer, "key");
      out.client = tls::HandshakeWithin(channel, fds[0], 3000);
      out.clientReason = channel.reason();
      out.resumed = channel.Resumed();
      if (out.client == tls::kDone) {
        // A refused client may learn it only here, from the write or the read.
        char byte = 'x';
        int n = channel.Write(&byte, 1);
        if (n == 1) {
          while ((n = channel.Read(&byte, 1)) == tls::kWantRead) {
            tls::WaitReady(fds[0], tls::kWantRead, 3000);
          }
        }
        out.clientRead = n;
        out.clientReason = channel.reason();
      }
      close(fds[0]);
    }
    serverSide.get();
    return out;
  }

  testsupport::ScratchDir dir_;
  testsupport::TestCa ca_{dir_.path(), "ca"};
  testsupport::TestCa other_{dir_.path(), "other"};
};

TEST_F(TlsChannelTest, ServerCertificateIsCheckedAsConfigured) {
  auto full = Client(tls::Verify::kFull);
  auto chain = Client(tls::Verify::kChain);
  auto none = Client(tls::Verify::kNone);
  auto good = Server(ca_, "router");
  auto expired = Server(ca_, "old");
  auto stranger = Server(other_, "stranger");

  EXPECT_EQ(Run(*full, *good, "127.0.0.5").client, tls::kDone);
  Handshaken mismatch = Run(*full, *good, "127.0.0.6");
  EXPECT_EQ(mismatch.client, tls::kFailed);
  EXPECT_EQ(mismatch.clientReason, "IP address mismatch");
  EXPECT_EQ(Run(*chain, *good, "127.0.0.6").client, tls::kDone);

  Handshaken old = Run(*full, *expired, "127.0.0.5");
  EXPECT_EQ(old.client, tls::kFailed);
  EXPECT_EQ(old.clientReason, "certificate has expired");
  Handshaken foreign = Run(*chain, *stranger, "127.0.0.5");
  EXPECT_EQ(foreign.client, tls::kFailed);
  EXPECT_EQ(foreign.clientReason, "unable to get local issuer certificate");
  EXPECT_EQ(Run(*none, *stranger, "127.0.0.9").client, tls::kDone);
}

TEST_F(TlsChannelTest, ServerThatAsksForAClientCertificateAdmitsOnlyItsCasClients) {
  auto server = Server(ca_, "router", true);
  auto alice = Client(tls::Verify::kFull, "alice");
  Handshaken admitted = Run(*alice, *server, "127.0.0.5");
  EXPECT_EQ(admitted.server, tls::kDone) << admitted.serverReason;
  EXPECT_EQ(admitted.subject, "CN=alice");
  EXPECT_EQ(admitted.clientRead, 1);

  auto anonymous = Client(tls::Verify::kFull);
  Handshaken refused = Run(*anonymous, *server, "127.0.0.5");
  EXPECT_EQ(refused.server, tls::kFailed);
  EXPECT_NE(refused.serverReason.find("certificate"), std::string::npos) << refused.serverReason;
  EXPECT_EQ(refused.clientRead, tls::kFailed);

  std::string error;
  auto foreignClient = tls::Context::ForClient(
      {ca_.certFile(), tls::Verify::kFull, other_.CertPath("stranger"), other_.KeyPath("stranger")},
      &error);
  ASSERT_NE(foreignClient, nullptr) << error;
  EXPECT_EQ(Run(*foreignClient, *server, "127.0.0.5").server, tls::kFailed);
}

TEST_F(TlsChannelTest, ASecondConnectionToThePeerResumesItsSession) {
  auto client = Client(tls::Verify::kFull);
  auto server = Server(ca_, "router");
  EXPECT_FALSE(Run(*client, *server, "127.0.0.5").resumed);
  EXPECT_TRUE(Run(*client, *server, "127.0.0.5").resumed);
}

TEST_F(TlsChannelTest, FilesThatCannotBeUsedAreNamedWithTheReason) {
  std::string error;
  EXPECT_EQ(
      tls::Context::ForClient({dir_.path() + "/missing.pem", tls::Verify::kFull, "", ""}, &error),
      nullptr);
  EXPECT_EQ(error, "CA file " + dir_.path() + "/missing.pem: No such file or directory");
  // A key that belongs to another certificate.
  EXPECT_EQ(tls::Context::ForServer({ca_.CertPath("router"), ca_.KeyPath("alice"), ""}, &error),
            nullptr);
  EXPECT_EQ(error, "key file " + ca_.KeyPath("alice") + ": key values mismatch");
  EXPECT_EQ(tls::Context::ForServer({ca_.KeyPath("router"), "", ""}, &error), nullptr);
  EXPECT_EQ(error.rfind("certificate file " + ca_.KeyPath("router") + ": ", 0), 0u) << error;
}

}  // namespace
