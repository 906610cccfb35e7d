// The service program as a whole: registration switches, start-up and shutdown sequences of
// the controller, the syslog threshold, and registries surviving a restart.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "harness.h"
#include "netns.h"

namespace {

using e2e::ProgramResult;
using e2e::RunProgram;
using e2e::ServiceProcess;
using e2e::SyslogListener;

// Index of the first message after `from` that contains `text`, or -1.
int IndexOf(const std::vector<std::string>& messages, const std::string& text, int from = 0) {
  for (size_t i = static_cast<size_t>(from); i < messages.size(); ++i) {
    if (messages[i].find(text) != std::string::npos) return static_cast<int>(i);
  }
  return -1;
}

// Expects every text to appear, in this order, each after the one before.
void ExpectInOrder(const std::vector<std::string>& messages,
                   const std::vector<std::string>& texts) {
  int at = 0;
  for (const std::string& text : texts) {
    int found = IndexOf(messages, text, at);
    ASSERT_GE(found, 0) << "missing or out of order: " << text;
    at = found + 1;
  }
}

const std::vector<std::string> kStartLines = {"VoKelMng: service started.",
                                              "winsock version 2.2",
                                              "I succeeded in reading of PV data.",
                                              "I succeeded in reading of PVROUTE data.",
                                              "I succeeded in reading of PC data.",
                                              "I succeeded in reading of QUARANTINE data.",
                                              "I succeeded in reading of SERVICE data.",
                                              "I succeeded in making of a COMMAND thread.",
                                              "I succeeded in making of a HTTP CLIENT thread.",
                                              "I succeeded in making of a KEEP ALIVE thread.",
                                              "Start processing was finished."};

const std::vector<std::string> kCloseLines = {"I generated an end event of an KeepAlive.",
                                              "An KeepAlive was finished normally.",
                                              "I generated an end event of an KeepAliveStart.",
                                              "An KeepAliveStart was finished normally.",
                                              "I generated an end event of an KeepAliveStop.",
                                              "An KeepAliveStop was finished normally.",
                                              "I generated an end event of an HTTP client.",
                                              "An HTTP client was finished normally.",
                                              "I generated an end event of an command server.",
                                              "An command server was finished normally.",
                                              "service stopped."};

const char kDebugMask[] = "[SYSLOG]\nPRIORITYMASK=debug\n";

class ServiceHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ENTER_PRIVATE_NETWORK();
    ASSERT_TRUE(syslog_.Start());
  }
  SyslogListener syslog_;
};

TEST_F(ServiceHostTest, StartsServesAndStopsInOrder) {
  ServiceProcess service;
  service.WriteConfig("syslog.ini", kDebugMask);
  ASSERT_TRUE(service.Start()) << service.error();
  ASSERT_TRUE(syslog_.WaitFor("Start processing was finished."));
  const std::vector<std::string>& started = syslog_.Messages();
  ExpectInOrder(started, kStartLines);
  EXPECT_NE(started.back().find("Start processing was finished."), std::string::npos);
  // Daemon facility: info is <30>, debug <31>.
  EXPECT_EQ(started[static_cast<size_t>(IndexOf(started, "service started."))].rfind("<30>", 0),
            0u);

  e2e::CommandClient client;
  ASSERT_TRUE(client.Connect());
  ASSERT_TRUE(client.ReadReply().has_value());
  EXPECT_EQ(client.Command("kel add accept source 10.0.0.1"), "");
  client.Close();

  EXPECT_EQ(service.Stop(), 0);
  ASSERT_TRUE(syslog_.WaitFor("service stopped."));
  std::vector<std::string> texts = {"CKelControl::MsgProc: I received a service stop demand."};
  texts.insert(texts.end(), kCloseLines.begin(), kCloseLines.end());
  ExpectInOrder(syslog_.Messages(), texts);
  // The foreground process echoes its event-log texts.
  EXPECT_NE(service.Output().find("Service started"), std::string::npos);
  EXPECT_NE(service.Output().find("Service stopped"), std::string::npos);
}

TEST_F(ServiceHostTest, InvalidPortStopsAfterStartUp) {
  for (const char* port : {"0", "abc"}) {
    size_t before = syslog_.Messages().size();
    ServiceProcess service;
    service.WriteConfig("syslog.ini", kDebugMask);
    service.WriteConfig("VoKelMng.ini", std::string("[SERVICE]\nPORT=") + port + "\n");
    ASSERT_TRUE(service.Start({}, 0)) << service.error();
    for (int i = 0; i < 100 && service.Running(); ++i) usleep(50000);
    EXPECT_FALSE(service.Running()) << port;  // it ended by itself
    EXPECT_EQ(service.Stop(1000), 0) << port;
    ASSERT_TRUE(syslog_.WaitFor("service stopped.")) << port;
    while (syslog_.Count("service stopped.") < (port[0] == '0' ? 1 : 2)) {
      ASSERT_TRUE(syslog_.WaitFor("service stopped.", 100));
    }
    std::vector<std::string> round(syslog_.Messages().begin() + static_cast<long>(before),
                                   syslog_.Messages().end());
    std::vector<std::string> texts = kStartLines;
    texts.push_back("CKelControl::MsgProc: I received a service stop demand.");
    texts.insert(texts.end(), kCloseLines.begin(), kCloseLines.end());
    ExpectInOrder(round, texts);
  }
}

TEST_F(ServiceHostTest, PriorityMaskWarningHoldsBackInfoAndDebug) {
  ServiceProcess service;
  service.WriteConfig("syslog.ini", "[SYSLOG]\nPRIORITYMASK=warning\n");
  service.WriteConfig("VoKelMng.ini", "[SERVICE]\nPORT=0\n");  // stops by itself
  ASSERT_TRUE(service.Start({}, 0)) << service.error();
  for (int i = 0; i < 100 && service.Running(); ++i) usleep(50000);
  EXPECT_EQ(service.Stop(1000), 0);
  usleep(200000);
  EXPECT_EQ(syslog_.Count("service started."), 0);
  EXPECT_EQ(syslog_.Count("Start processing was finished."), 0);
  EXPECT_EQ(syslog_.Count("service stopped."), 0);
}

TEST_F(ServiceHostTest, RegistrationSwitches) {
  e2e::TempDir config("vokelcfg");
  std::vector<std::string> env = {"VOKELMNG_CONFIG_DIR=" + config.path(),
                                  "VOKELMNG_UNIT_DIR=" + config.path()};
  std::string unit = config.File("VoKelMng.service");
  std::string reg = config.File("VoKelMng.reg");

  // Not registered: exit code 2 at once.
  ProgramResult none = RunProgram({"VoKelMng"}, 5000, env);
  EXPECT_EQ(none.status, 2);

  ASSERT_EQ(RunProgram({"VoKelMng", "-service"}, 5000, env).status, 0);
  std::optional<std::string> unit_text = e2e::ReadFile(unit);
  ASSERT_TRUE(unit_text.has_value());
  for (const char* line :
       {"Type=notify\n", "AmbientCapabilities=CAP_NET_RAW\n", "After=network-online.target\n",
        "ExecStart=\"/", "/VoKelMng\" -t\nExecStart=\"/"}) {
    EXPECT_NE(unit_text->find(line), std::string::npos) << line;
  }
  EXPECT_EQ(unit_text->find("[Install]"), std::string::npos);  // started on demand only
  // The shared template is filled in: the profile directory is passed on and stays writable.
  for (const char* placeholder : {"@PROGRAM@", "@PROFILE_DIR@"}) {
    EXPECT_EQ(unit_text->find(placeholder), std::string::npos) << *unit_text;
  }
  for (const std::string& line :
       {"Environment=\"VOKELMNG_CONFIG_DIR=" + config.path() + "\"\n",
        "ReadWritePaths=-" + config.path() + "\n", std::string("Restart=on-failure\n"),
        std::string("CapabilityBoundingSet=CAP_NET_RAW\n")}) {
    EXPECT_NE(unit_text->find(line), std::string::npos) << line;
  }
  std::optional<std::string> reg_text = e2e::ReadFile(reg);
  ASSERT_TRUE(reg_text.has_value());
  EXPECT_NE(reg_text->find("LocalService=VoKelMng"), std::string::npos);

  // A second -Service leaves both unchanged, even an edited unit.
  ASSERT_TRUE(e2e::WriteFile(unit, *unit_text + "# edited\n"));
  ASSERT_EQ(RunProgram({"VoKelMng", "/SeRvIcE"}, 5000, env).status, 0);
  EXPECT_EQ(e2e::ReadFile(unit), *unit_text + "# edited\n");
  EXPECT_EQ(e2e::ReadFile(reg), reg_text);

  // UnregServer wins over Service wherever it stands; RegServer removes the unit and the
  // LocalService value.
  ASSERT_EQ(RunProgram({"VoKelMng", "-Service", "-RegServer"}, 5000, env).status, 0);
  EXPECT_FALSE(e2e::ReadFile(unit).has_value());
  reg_text = e2e::ReadFile(reg);
  ASSERT_TRUE(reg_text.has_value());
  EXPECT_EQ(reg_text->find("LocalService"), std::string::npos);
  ASSERT_EQ(RunProgram({"VoKelMng", "-Service"}, 5000, env).status, 0);
  ASSERT_EQ(RunProgram({"VoKelMng", "/UNREGSERVER"}, 5000, env).status, 0);
  EXPECT_FALSE(e2e::ReadFile(unit).has_value());
  EXPECT_FALSE(e2e::ReadFile(reg).has_value());
  EXPECT_EQ(RunProgram({"VoKelMng"}, 5000, env).status, 2);
}

// -t checks without being registered and before any other switch, and only prints.
TEST_F(ServiceHostTest, ConfigTestPrintsProblemsAndStartsNothing) {
  ServiceProcess service;  // its folders only: the program is never started
  ASSERT_TRUE(service.WriteConfig("VoKelMng.ini", "[HTTP]\nSENDERS=65\n[HTPP]\nSENDERS=6\n"));
  ASSERT_TRUE(service.WriteConfig("syslog.ini", kDebugMask));
  ASSERT_TRUE(
      service.WriteWork("pc.csv", "\"\",\"\",\"10.1.0.0\",\"\"\r\n\"zz\",\"\",\"\",\"\"\r\n"));
  ProgramResult broken =
      RunProgram({"VoKelMng", "-Service", "-T"}, 5000, service.Environment(), service.work_dir());
  EXPECT_EQ(broken.status, 1);
  EXPECT_EQ(broken.out,
            "VoKelMng.ini: warning: [HTPP] is not a section this service reads\n"
            "VoKelMng.ini: [HTTP] SENDERS: 65 is not a whole number from 1 to 64\n"
            "pc.csv: line 2: MAC \"zz\" is not a MAC address\n"
            "VoKelMng.ini, syslog.ini, 4 registry files and kel.journal: 2 problems, 1 warning\n");
  EXPECT_EQ(broken.err, "");
  EXPECT_FALSE(service.ReadConfig("VoKelMng.service").has_value());  // -Service did not run
  EXPECT_FALSE(service.ReadConfig("VoKelMng.reg").has_value());

  ASSERT_TRUE(service.WriteConfig("VoKelMng.ini", "[SERVICE]\nPORT=8000\n"));
  ASSERT_TRUE(service.WriteWork("pc.csv", "\"\",\"\",\"10.1.0.0\",\"\"\r\n"));
  ProgramResult clean =
      RunProgram({"VoKelMng", "/t"}, 5000, service.Environment(), service.work_dir());
  EXPECT_EQ(clean.status, 0);
  EXPECT_EQ(clean.out, "VoKelMng.ini, syslog.ini, 4 registry files and kel.journal: no problems\n");
  // No datagram reached the syslog server, although the mask lets every severity through.
  std::optional<std::string> datagram = syslog_.Next(300);
  EXPECT_FALSE(datagram.has_value()) << *datagram;
}

TEST_F(ServiceHostTest, RegisteredAsServiceRunsQuietly) {
  e2e::TempDir config("vokelcfg");
  e2e::TempDir work("vokelwork");
  std::vector<std::string> env = {"VOKELMNG_CONFIG_DIR=" + config.path(),
                                  "VOKELMNG_UNIT_DIR=" + config.path()};
  ASSERT_EQ(RunProgram({"VoKelMng", "-Service"}, 5000, env).status, 0);
  // Under a service manager the stop arrives as SIGTERM; here a shell plays that part.
  std::string script =
      "\"" + e2e::ProgramPath("VoKelMng") + "\" & pid=$!; sleep 1.5; kill -TERM $pid; wait $pid";
  ProgramResult run = RunProgram({"/bin/sh", "-c", script}, 10000, env, work.path());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.find("Service started"), std::string::npos);  // no console echo
  EXPECT_TRUE(syslog_.WaitFor("service stopped."));
}

TEST_F(ServiceHostTest, SavedRegistriesComeBackAfterRestart) {
  ServiceProcess service;
  ASSERT_TRUE(service.Start()) << service.error();
  {
    e2e::CommandClient client;
    ASSERT_TRUE(client.Connect());
    ASSERT_TRUE(client.ReadReply().has_value());
    for (const char* line :
         {"pv add 127.0.0.9 sport 8080 user u pass p", "pvroute add 127.0.0.9 network 10.1.0.0",
          "pc add source 10.1.0.7 source-mac 00:11:22:33:44:55",
          "quarantine add source 127.0.0.20 protocol tcp sport 4208", "pv save", "pvroute save",
          "pc save", "quarantine save"}) {
      EXPECT_EQ(client.Command(line), "") << line;
    }
  }
  ASSERT_EQ(service.Stop(), 0);
  ASSERT_TRUE(service.Start()) << service.error();
  e2e::CommandClient client;
  ASSERT_TRUE(client.Connect());
  ASSERT_TRUE(client.ReadReply().has_value());
  EXPECT_EQ(client.Command("pv show"), "PV\t\tPORT\tID\tPW\r\n127.0.0.9\t8080\tu\t********\r\n");
  EXPECT_NE(client.Command("pvroute show")->find("10.1.0.0"), std::string::npos);
  EXPECT_NE(client.Command("pc show")->find("00:11:22:33:44:55"), std::string::npos);
  EXPECT_NE(client.Command("quarantine show")->find("4208"), std::string::npos);
  EXPECT_EQ(service.Stop(), 0);
}

}  // namespace
