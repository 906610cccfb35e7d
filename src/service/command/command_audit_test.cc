#include "service/command/command_audit.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "log_capture.h"
#include "scratch_dir.h"
#include "service/base/command_handler.h"
#include "service/command/command_dispatch.h"

namespace {

using testsupport::Logs;

std::string Masked(const std::string& line) { return MaskedCommand(SplitAuditWords(line)); }

bool Changing(const std::string& line) { return IsChangingCommand(SplitAuditWords(line)); }

// The outcome of a line whose handler sent `reply`.
std::string OutcomeOfReply(const char* reply) {
  TakeCommandRefusal();
  NoteCommandReply(reply);
  return AuditOutcome(TakeCommandRefusal());
}

uint32_t Address(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  uint32_t value;
  const uint8_t bytes[4] = {a, b, c, d};
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

TEST(CommandAudit, EveryPasswordFormOfPvAddAndDelIsMasked) {
  EXPECT_EQ(Masked("pv add 10.0.0.1 pass secret"), "pv add 10.0.0.1 pass ********");
  EXPECT_EQ(Masked("  pv del 10.0.0.1 sport 8080 user root pass secret \r\n"),
            "pv del 10.0.0.1 sport 8080 user root pass ********");
  // Any prefix of the operation and of "pass"; every value when given twice.
  EXPECT_EQ(Masked("pv a 10.0.0.1 p one pa two"), "pv a 10.0.0.1 p ******** pa ********");
  EXPECT_EQ(Masked("pv d 10.0.0.1 pas secret"), "pv d 10.0.0.1 pas ********");
  EXPECT_EQ(Masked("pv  10.0.0.1 pass secret"), "pv  10.0.0.1 pass ********");
  // An empty word is skipped; a word taken as another option's value is no keyword.
  EXPECT_EQ(Masked("pv add 10.0.0.1  pass secret"), "pv add 10.0.0.1  pass ********");
  EXPECT_EQ(Masked("pv add 10.0.0.1 user pass pass secret"),
            "pv add 10.0.0.1 user pass pass ********");
  EXPECT_EQ(Masked("pv add 10.0.0.1 s pass"), "pv add 10.0.0.1 s pass");
  EXPECT_EQ(Masked("pv add 10.0.0.1 u p p secret"), "pv add 10.0.0.1 u p p ********");
  // A refused line is masked the same way: its password is no less secret.
  EXPECT_EQ(Masked("pv add 10.0.0.999 pass secret"), "pv add 10.0.0.999 pass ********");
  // Nothing else holds a password.
  EXPECT_EQ(Masked("pv add 10.0.0.1 pass"), "pv add 10.0.0.1 pass");
  EXPECT_EQ(Masked("kel add accept source 10.0.0.1"), "kel add accept source 10.0.0.1");
  EXPECT_EQ(Masked("service set sport 8000"), "service set sport 8000");
}

TEST(CommandAudit, OnlyLinesThatChangeOrWriteAreRecorded) {
  for (const char* family : {"kel", "pvroute", "pc", "quarantine"}) {
    for (const char* op : {"add", "del", "clear", "load", "save"}) {
      EXPECT_TRUE(Changing(std::string(family) + ' ' + op + " x")) << family << ' ' << op;
    }
    EXPECT_FALSE(Changing(family));
    EXPECT_FALSE(Changing(std::string(family) + " show"));
    EXPECT_FALSE(Changing(std::string(family) + " ad"));  // an unknown operation: usage only
  }
  // pv picks its operation by any prefix: "" and "a" add, "s" save, "sh" show.
  for (const char* line :
       {"pv add", "pv a 1.2.3.4", "pv  1.2.3.4", "pv d", "pv s", "pv l", "pv c", "pv clear"}) {
    EXPECT_TRUE(Changing(line)) << line;
  }
  for (const char* line : {"pv", "pv sh", "pv show", "pv x"}) EXPECT_FALSE(Changing(line)) << line;
  for (const char* line : {"service set sport 8000", "service save", "service load",
                           "service clear", "service save x"}) {
    EXPECT_TRUE(Changing(line)) << line;
  }
  for (const char* line :
       {"service", "service show", "help", "help add", "exit", "kelx add", "KEL add", "", "   "}) {
    EXPECT_FALSE(Changing(line)) << line;
  }
}

TEST(CommandAudit, OutcomeFollowsTheReply) {
  EXPECT_EQ(AuditOutcome(nullptr), "accepted");
  EXPECT_EQ(OutcomeOfReply("pv: invalid option\r\n\r\nUsage: pv save\r\n"), "refused");
  EXPECT_EQ(OutcomeOfReply("duplication of data\r\n"), "duplicate");
  EXPECT_EQ(OutcomeOfReply("save error\r\n"), "save error");
  EXPECT_EQ(OutcomeOfReply("cluster error\r\n"), "cluster error");
  EXPECT_EQ(OutcomeOfReply("TARGET is not registered.\r\n"), "TARGET is not registered.");
  EXPECT_EQ(OutcomeOfReply("PORT\r\n"), "accepted");
  EXPECT_EQ(AuditOutcome(kTooManyWordsReply), "too many words");
  // The first refusal of a line is its outcome.
  NoteCommandReply("load error\r\n");
  NoteCommandReply("cluster error\r\n");
  EXPECT_EQ(AuditOutcome(TakeCommandRefusal()), "load error");
}

TEST(CommandAudit, SyslogAndJsonTexts) {
  AuditRecord record;
  record.timeMs = 1796767803123;  // 2026-12-08 22:10:03.123 UTC
  record.origin.address = Address(127, 0, 0, 1);
  record.origin.port = 41234;
  record.command = "kel add accept source 192.168.0.1";
  record.outcome = "accepted";
  EXPECT_EQ(AuditSyslogText(record),
            "Command from 127.0.0.1:41234: kel add accept source 192.168.0.1 (accepted).");
  EXPECT_EQ(AuditJsonLine(record),
            R"({"time":"2026-12-08T22:10:03.123Z","peer":"127.0.0.1:41234",)"
            R"("command":"kel add accept source 192.168.0.1","outcome":"accepted"})");
  record.origin.address = Address(10, 1, 2, 3);
  record.origin.subject = "CN=alice";
  record.command = "pv add 10.0.0.1 \"x\"\t";
  record.outcome = "save error";
  EXPECT_EQ(AuditSyslogText(record),
            "Command from 10.1.2.3:41234 as CN=alice: pv add 10.0.0.1 \"x\"\t (save error).");
  EXPECT_EQ(AuditJsonLine(record),
            R"({"time":"2026-12-08T22:10:03.123Z","peer":"10.1.2.3:41234","subject":"CN=alice",)"
            R"("command":"pv add 10.0.0.1 \"x\"\t","outcome":"save error"})");
}

TEST(CommandAudit, SettingsAndFileFailuresAreReportedOncePerEpisode) {
  testsupport::ScratchDir profile("audit", testsupport::ScratchDir::kProfileDir);
  ASSERT_TRUE(profile.Write("VoKelMng.ini", "[AUDIT]\r\nSYSLOG=EnAbLe\r\nFILE=" +
                                                profile.File("no/such/dir/audit.jsonl") + "\r\n"));
  Logs().Clear();
  CommandAudit audit;
  EXPECT_FALSE(audit.Enabled());
  audit.Configure(ReadAuditSettings());
  ASSERT_TRUE(audit.Enabled());
  CommandOrigin origin{Address(127, 0, 0, 1), 5000, ""};
  audit.Record(origin, "kel add accept source 10.0.0.1", nullptr);
  audit.Record(origin, "kel show", nullptr);
  audit.Reopen();
  audit.Record(origin, "pv add 10.0.0.1 pass secret", "duplication of data\r\n");
  EXPECT_EQ(Logs().Count("I failed in opening of the audit file " +
                         profile.File("no/such/dir/audit.jsonl") + ": No such file or directory."),
            1);
  EXPECT_EQ(Logs().Count("Command from 127.0.0.1:5000: kel add accept source 10.0.0.1 (accepted)."),
            1);
  EXPECT_EQ(Logs().Count("pv add 10.0.0.1 pass ******** (duplicate)."), 1);
  EXPECT_EQ(Logs().Count("secret"), 0);
  AuditStatus status = audit.Status();
  EXPECT_FALSE(status.fileOk);
  EXPECT_EQ(status.records, 2u);
  EXPECT_EQ(status.failures, 2u);

  // Once the folder exists the next record lands in the file; a later failure is logged again.
  ASSERT_TRUE(std::filesystem::create_directories(profile.File("no/such/dir")));
  audit.Record(origin, "kel del accept source 10.0.0.1", nullptr);
  EXPECT_TRUE(audit.Status().fileOk);
  std::optional<std::string> file = profile.Read("no/such/dir/audit.jsonl");
  ASSERT_TRUE(file.has_value());
  EXPECT_NE(file->find(R"("command":"kel del accept source 10.0.0.1","outcome":"accepted"})"
                       "\n"),
            std::string::npos);
  std::filesystem::remove_all(profile.File("no"));
  audit.Reopen();
  EXPECT_EQ(Logs().Count("I failed in opening of the audit file"), 2);
}

TEST(CommandAudit, AFileThatTakesNoBytesIsReportedOnce) {
  Logs().Clear();
  CommandAudit audit;
  audit.Configure({false, "/dev/full"});
  CommandOrigin origin{Address(127, 0, 0, 1), 5000, ""};
  audit.Record(origin, "pc save", nullptr);
  audit.Record(origin, "pc clear", nullptr);
  EXPECT_EQ(
      Logs().Count("I failed in writing of the audit file /dev/full: No space left on device."), 1);
  EXPECT_EQ(Logs().Count("Command from"), 0);  // no syslog copy without SYSLOG
  AuditStatus status = audit.Status();
  EXPECT_FALSE(status.fileOk);
  EXPECT_EQ(status.failures, 2u);
}

}  // namespace
