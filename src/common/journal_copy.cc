#include "common/journal_copy.h"

#include <strings.h>

#include <string>

#include "platform/journal.h"
#include "platform/profile.h"

void JournalCopy::Write(int severity, std::string_view text) {
  platform::JournalWrite(identifier_, severity, text);
}

bool JournalCopyEnabled() {
  std::string value = platform::ReadProfileString("syslog.ini", "SYSLOG", "JOURNAL", "enable", 256);
  return strcasecmp(value.c_str(), "disable") != 0;
}
