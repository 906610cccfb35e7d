// The configuration test over scratch profile and working directories: each broken file is
// named with its problem, a clean or packaged configuration has none, warnings keep status 0,
// and nothing is written.
#include "service/host/config_check.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "scratch_dir.h"

namespace {

using testsupport::ScratchDir;

constexpr char kSummary[] = "VoKelMng.ini, syslog.ini, 4 registry files and kel.journal: ";

struct Site {
  ScratchDir profile{"vokelcfg", ScratchDir::kProfileDir};
  ScratchDir work{"vokelwork", ScratchDir::kWorkingDir};

  Site() {
    profile.Write("VoKelMng.ini", "[SERVICE]\nPORT=8000\n[KEL]\nSTORE=enable\n");
    profile.Write("syslog.ini", "[SYSLOG]\nDESTINATION=127.0.0.1\nPRIORITYMASK=info\n");
  }
  // The exit status and the output.
  std::pair<int, std::string> Check() const {
    std::ostringstream out;
    int status = RunConfigCheck(out);
    return {status, out.str()};
  }
};

const char kJournalHeader[] = "# VoKelMng access entries 1\n";

TEST(ConfigCheckTest, EachBrokenFileIsNamedWithItsProblem) {
  struct Case {
    bool profile;  // the file lives in the profile directory (else the working directory)
    const char* file;
    std::string text;
    std::string expected;  // a whole line of the output
  };
  const std::vector<Case> cases = {
      {true, "VoKelMng.ini", "[HTTP]\nSENDERS=65\n",
       "VoKelMng.ini: [HTTP] SENDERS: 65 is not a whole number from 1 to 64"},
      {true, "VoKelMng.ini", "[SERVICE]\nPORT=70000\n",
       "VoKelMng.ini: [SERVICE] PORT: 70000 is not a port number from 1 to 65535"},
      {true, "VoKelMng.ini", "[STATUS]\nLISTEN=localhost:9100\n",
       "VoKelMng.ini: [STATUS] LISTEN: localhost:9100 is not ADDRESS:PORT with a dotted IPv4 "
       "address and a port"},
      {true, "VoKelMng.ini", "[CLUSTER]\nETCD=http://127.0.0.1:2379\nNAME=a\nLEASE=99\n",
       "VoKelMng.ini: [CLUSTER] LEASE: 99 is not a whole number of seconds from 2 to 60"},
      {true, "VoKelMng.ini", "[SERVICE]\nTLSPORT=8000\nTLSCERT=c.pem\nTLSCLIENTCA=ca.pem\n",
       "VoKelMng.ini: [SERVICE] the TLS command port cannot be opened: TLSPORT=8000 is the plain "
       "command port"},
      {true, "VoKelMng.ini", "[HTTP]\nTLS=Enable\nVERIFY=strict\n",
       "VoKelMng.ini: [HTTP] VERIFY: strict is not full, chain or none"},
      {true, "syslog.ini", "[SYSLOG]\nDESTINATION=logs.example\n",
       "syslog.ini: [SYSLOG] DESTINATION: logs.example is not an IPv4 address; no log line "
       "would be sent"},
      {false, "pv.csv", "\"10.0.0.1\",80,,\n\"10.0.0.2\",99999,,\n",
       "pv.csv: line 2: PORT \"99999\" is not a port number from 1 to 65535"},
      {false, "pvroute.csv", "\"\",\"eth0\",\"10.1.0.0\",\"255.0.255.0\"\n",
       "pvroute.csv: line 1: NETMASK \"255.0.255.0\" is not a netmask"},
      {false, "pc.csv",
       "\"00:0A:95:9D:68:16\",\"10.0.0.9\",\"\",\"\"\n"
       "\"00:0A:95:9D:68:16\",\"10.0.0.9\",\"\",\"\"\n",
       "pc.csv: line 2: the entry is registered on an earlier line"},
      {false, "quarantine.csv", "\"10.0.0.5\",\"tcp\",\"80\"\n\"10.0.0.6\",\"icmp\",\"80\"\n",
       "quarantine.csv: line 2: PROTOCOL \"icmp\" is not tcp or udp"},
      {false, "kel.journal", std::string(kJournalHeader) + "add accept 10.0.0.9 - 00000000\n",
       "kel.journal: line 2: record 1 is damaged; the service would refuse the file and keep "
       "no stored entry"},
  };
  for (const Case& c : cases) {
    Site site;
    ASSERT_TRUE((c.profile ? site.profile : site.work).Write(c.file, c.text));
    auto [status, out] = site.Check();
    EXPECT_EQ(status, 1) << c.file << "\n" << out;
    EXPECT_NE(out.find(c.expected + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find(std::string(kSummary) + "1 problem\n"), std::string::npos) << out;
  }
}

TEST(ConfigCheckTest, RegistryFilesTheLoadTakesAndWarningsKeepStatusZero) {
  Site site;
  site.work.Write("pv.csv", "\"10.0.0.1\",80,\"admin\",\"secret\"\r\n\"10.0.0.2\",8080,,\r\n");
  site.work.Write("pvroute.csv", "\"10.0.0.1\",\"eth0\",\"10.1.0.0\",\"255.255.0.0\"\r\n");
  site.work.Write("pc.csv", "\"\",\"\",\"10.1.0.0\",\"\"\r\n");
  site.work.Write("quarantine.csv", "\"10.0.0.5\",\"udp\",\"53\"\r\n");
  site.work.Write("kel.journal", kJournalHeader);
  auto [status, out] = site.Check();
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out, std::string(kSummary) + "no problems\n");

  site.profile.Write("VoKelMng.ini",
                     "[SERVICE]\nPORT=8000\nPROT=1\n[HTPP]\nSENDERS=65\n[PING]\nMODE=DLL\n"
                     "[SERVICE]\nPORT=x\n");
  site.work.Write("pvroute.csv", "\"10.0.0.7\",\"eth0\",\"10.1.0.0\",\"255.255.0.0\"\r\n");
  std::tie(status, out) = site.Check();
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(out,
            "VoKelMng.ini: warning: [SERVICE] PROT is not a key this service reads\n"
            "VoKelMng.ini: warning: [HTPP] is not a section this service reads\n"
            "VoKelMng.ini: warning: line 8: [SERVICE] repeats the section of line 1; only the "
            "first one is read\n"
            "VoKelMng.ini: warning: [PING] MODE: DLL is neither raw nor dll (lower case); raw "
            "is used\n"
            "pvroute.csv: warning: line 1: ROUTER 10.0.0.7 is not in pv.csv; the route is "
            "dropped\n" +
                std::string(kSummary) + "no problems, 5 warnings\n");
}

TEST(ConfigCheckTest, PackagedConfigurationHasNoProblemAndNothingIsWritten) {
  Site site;
  for (const char* name : {"VoKelMng.ini", "syslog.ini"}) {
    auto text = testsupport::ReadFile(std::string(VOKEL_SOURCE_DIR) + "/debian/conf/" + name);
    ASSERT_TRUE(text.has_value()) << name;
    site.profile.Write(name, *text);
  }
  // What a killed save left: the service's load removes it, the test must not.
  site.work.Write("pv.csv.tmp", "\"10.0.0.1\",80,,\r\n");
  auto [status, out] = site.Check();
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out, std::string(kSummary) + "no problems\n");
  EXPECT_TRUE(site.work.Read("pv.csv.tmp").has_value());
  EXPECT_FALSE(site.work.Read("kel.journal").has_value());  // STORE=enable, yet not created
}

}  // namespace
