#include "platform/journal.h"

#include <sys/uio.h>
#include <systemd/sd-journal.h>

#include <string>

namespace platform {

void JournalWrite(const char* identifier, int priority, std::string_view text) {
  sd_journal_send("MESSAGE=%.*s", static_cast<int>(text.size()), text.data(), "PRIORITY=%d",
                  priority, "SYSLOG_IDENTIFIER=%s", identifier, nullptr);
}

void JournalWrite(const char* identifier, int priority, std::string_view text,
                  const std::vector<std::string>& fields) {
  if (fields.empty()) {
    JournalWrite(identifier, priority, text);
    return;
  }
  std::string message = "MESSAGE=";
  message.append(text);
  std::string level = "PRIORITY=" + std::to_string(priority);
  std::string tag = std::string("SYSLOG_IDENTIFIER=") + identifier;
  std::vector<iovec> parts;
  parts.reserve(3 + fields.size());
  for (const std::string* part : {&message, &level, &tag}) {
    parts.push_back({const_cast<char*>(part->data()), part->size()});
  }
  for (const std::string& field : fields) {
    parts.push_back({const_cast<char*>(field.data()), field.size()});
  }
  sd_journal_sendv(parts.data(), static_cast<int>(parts.size()));
}

}  // namespace platform
