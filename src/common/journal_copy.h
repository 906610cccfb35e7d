// A copy of every log line for the local journal, so that `journalctl -u VoKelMng` shows the
// service's lines with their severities while the UDP datagrams go out unchanged.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/syslog.h"

class JournalCopy : public SyslogSink {
 public:
  // `identifier` is the journal's SYSLOG_IDENTIFIER (the program name).
  explicit JournalCopy(const char* identifier) : identifier_(identifier) {}
  void Write(int severity, std::string_view text) override;

 private:
  const char* identifier_;
};

// While a scope lives, the lines its thread logs carry `fields` ("VOKEL_PEER=...") in their
// journal copy as well; the datagrams are the same. Scopes nest: the innermost one counts.
class JournalFieldsScope {
 public:
  explicit JournalFieldsScope(std::vector<std::string> fields);
  ~JournalFieldsScope();
  JournalFieldsScope(const JournalFieldsScope&) = delete;
  JournalFieldsScope& operator=(const JournalFieldsScope&) = delete;

  // The fields of this thread's innermost scope; null outside every scope.
  static const std::vector<std::string>* Current();

 private:
  std::vector<std::string> fields_;
  const JournalFieldsScope* outer_;
};

// The [SYSLOG] JOURNAL key of syslog.ini: true unless it says "disable" (any letter case).
bool JournalCopyEnabled();
