// [HTTP] SENDERS: what is taken as a sender count and what falls back to the default.
#include "service/transport/http_settings.h"

#include <gtest/gtest.h>

#include <string>

#include "log_capture.h"
#include "scratch_dir.h"

namespace {

using testsupport::Logs;
using testsupport::ScratchDir;

TEST(HttpSendersParseTest, TakesDecimalWholeNumbersFromOneToSixtyFour) {
  const struct {
    const char* text;
    int value;
  } good[] = {{"1", 1}, {"5", 5}, {"20", 20}, {"63", 63}, {"64", 64}, {"064", 64}, {"0007", 7}};
  for (const auto& g : good) {
    SCOPED_TRACE(g.text);
    int value = -1;
    EXPECT_TRUE(ParseHttpSenders(g.text, &value));
    EXPECT_EQ(value, g.value);
  }
  const char* bad[] = {
      "",   "0",  "00", "65",  "100", "-5",   "+5",         " 5",
      "5 ", "5x", "x5", "2.5", "1e1", "0x10", "4294967301", "99999999999999999999"};
  for (const char* text : bad) {
    SCOPED_TRACE(text);
    int value = 42;
    EXPECT_FALSE(ParseHttpSenders(text, &value));
    EXPECT_EQ(value, 42);  // left alone
  }
}

class HttpSendersLoadTest : public ::testing::Test {
 protected:
  void SetUp() override { Logs().Clear(); }
  int LoadWith(const std::string& ini) {
    EXPECT_TRUE(profile_.Write("VoKelMng.ini", ini));
    return LoadHttpSenders();
  }
  ScratchDir profile_{"http-senders-ini", ScratchDir::kProfileDir};
};

TEST_F(HttpSendersLoadTest, AbsentOrEmptyGivesFiveSilently) {
  EXPECT_EQ(LoadHttpSenders(), 5);  // no file at all
  EXPECT_EQ(LoadWith("[SERVICE]\nPORT=8000\n"), 5);
  EXPECT_EQ(LoadWith("[HTTP]\nSENDERS=\n"), 5);
  EXPECT_EQ(LoadWith("[OTHER]\nSENDERS=20\n"), 5);  // the key of another section
  EXPECT_TRUE(Logs().Lines().empty());
}

TEST_F(HttpSendersLoadTest, AConfiguredCountIsUsedInAnyLetterCaseOfSectionAndKey) {
  EXPECT_EQ(LoadWith("[HTTP]\nSENDERS=20\n"), 20);
  EXPECT_EQ(LoadWith("[http]\nsenders=64\n"), 64);
  EXPECT_EQ(LoadWith("[HTTP]\nSENDERS=1\n[STATUS]\nLISTEN=127.0.0.1:9100\n"), 1);
  EXPECT_TRUE(Logs().Lines().empty());
}

TEST_F(HttpSendersLoadTest, ABadValueIsLoggedOnceAtErrWithTheValueAndFiveAreUsed) {
  for (const char* value : {"0", "65", "many", "-3", "12abc"}) {
    SCOPED_TRACE(value);
    Logs().Clear();
    EXPECT_EQ(LoadWith(std::string("[HTTP]\nSENDERS=") + value + "\n"), 5);
    std::vector<testsupport::LogLine> lines = Logs().Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].severity, kLogErr);
    EXPECT_EQ(lines[0].text, std::string("The HTTP SENDERS value ") + value +
                                 " is not a whole number from 1 to 64; 5 senders are used.");
  }
}

// Routers over TLS: off unless TLS=enable; what a bad VERIFY, VERIFY=none and unusable files
// leave behind.
class RouterTlsLoadTest : public HttpSendersLoadTest {
 protected:
  RouterTls TlsWith(const std::string& ini) {
    EXPECT_TRUE(profile_.Write("VoKelMng.ini", ini));
    return LoadRouterTls();
  }
};

TEST_F(RouterTlsLoadTest, OnlyEnableInAnyLetterCaseTurnsTlsOn) {
  EXPECT_FALSE(TlsWith("[HTTP]\nSENDERS=5\n").enabled);
  EXPECT_FALSE(TlsWith("[HTTP]\nTLS=yes\nVERIFY=bogus\nCAFILE=/nowhere.pem\n").enabled);
  EXPECT_TRUE(Logs().Lines().empty());             // the other TLS keys are not even read
  RouterTls on = TlsWith("[HTTP]\nTLS=Enable\n");  // the system's store
  EXPECT_TRUE(on.enabled);
  ASSERT_NE(on.context, nullptr) << on.error;
  EXPECT_EQ(on.context->verify(), tls::Verify::kFull);
  EXPECT_TRUE(Logs().Lines().empty());
}

TEST_F(RouterTlsLoadTest, ABadVerifyIsLoggedAndFullIsUsedNoneWarnsChainIsTaken) {
  RouterTls bad = TlsWith("[HTTP]\nTLS=enable\nVERIFY=sideways\n");
  ASSERT_NE(bad.context, nullptr);
  EXPECT_EQ(bad.context->verify(), tls::Verify::kFull);
  std::vector<testsupport::LogLine> lines = Logs().Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].severity, kLogErr);
  EXPECT_EQ(lines[0].text,
            "The HTTP VERIFY value sideways is not full, chain or none; full is used.");

  Logs().Clear();
  EXPECT_EQ(TlsWith("[HTTP]\nTLS=enable\nVERIFY=Chain\n").context->verify(), tls::Verify::kChain);
  EXPECT_TRUE(Logs().Lines().empty());
  EXPECT_EQ(TlsWith("[HTTP]\nTLS=enable\nVERIFY=NONE\n").context->verify(), tls::Verify::kNone);
  lines = Logs().Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].severity, kLogWarning);
}

TEST_F(RouterTlsLoadTest, AFileThatCannotBeUsedIsNamedOnceAtErrAndLeavesNoContext) {
  const std::string missing = profile_.path() + "/missing-ca.pem";
  RouterTls tls = TlsWith("[HTTP]\nTLS=enable\nCAFILE=" + missing + "\n");
  EXPECT_TRUE(tls.enabled);
  EXPECT_EQ(tls.context, nullptr);
  EXPECT_NE(tls.error.find(missing), std::string::npos) << tls.error;
  std::vector<testsupport::LogLine> lines = Logs().Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].severity, kLogErr);
  EXPECT_EQ(lines[0].text, "Routers over TLS cannot be reached: " + tls.error + ".");
}

}  // namespace
