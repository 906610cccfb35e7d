#include "common/journal_copy.h"

#include <strings.h>

#include <string>
#include <utility>

#include "platform/journal.h"
#include "platform/profile.h"

namespace {

thread_local const JournalFieldsScope* tFieldsScope = nullptr;

}  // namespace

JournalFieldsScope::JournalFieldsScope(std::vector<std::string> fields)
    : fields_(std::move(fields)), outer_(tFieldsScope) {
  tFieldsScope = this;
}

JournalFieldsScope::~JournalFieldsScope() { tFieldsScope = outer_; }

const std::vector<std::string>* JournalFieldsScope::Current() {
  return tFieldsScope == nullptr ? nullptr : &tFieldsScope->fields_;
}

void JournalCopy::Write(int severity, std::string_view text) {
  if (const std::vector<std::string>* fields = JournalFieldsScope::Current()) {
    platform::JournalWrite(identifier_, severity, text, *fields);
  } else {
    platform::JournalWrite(identifier_, severity, text);
  }
}

bool JournalCopyEnabled() {
  std::string value = platform::ReadProfileString("syslog.ini", "SYSLOG", "JOURNAL", "enable", 256);
  return strcasecmp(value.c_str(), "disable") != 0;
}
