// A copy of every log line for the local journal, so that `journalctl -u VoKelMng` shows the
// service's lines with their severities while the UDP datagrams go out unchanged.
#pragma once

#include <string_view>

#include "common/syslog.h"

class JournalCopy : public SyslogSink {
 public:
  // `identifier` is the journal's SYSLOG_IDENTIFIER (the program name).
  explicit JournalCopy(const char* identifier) : identifier_(identifier) {}
  void Write(int severity, std::string_view text) override;

 private:
  const char* identifier_;
};

// The [SYSLOG] JOURNAL key of syslog.ini: true unless it says "disable" (any letter case).
bool JournalCopyEnabled();
