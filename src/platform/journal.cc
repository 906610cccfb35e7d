#include "platform/journal.h"

#include <systemd/sd-journal.h>

namespace platform {

void JournalWrite(const char* identifier, int priority, std::string_view text) {
  sd_journal_send("MESSAGE=%.*s", static_cast<int>(text.size()), text.data(), "PRIORITY=%d",
                  priority, "SYSLOG_IDENTIFIER=%s", identifier, nullptr);
}

}  // namespace platform
