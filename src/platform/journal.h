// The local systemd journal.
#pragma once

#include <string_view>

namespace platform {

// Sends one entry (MESSAGE, PRIORITY 0..7, SYSLOG_IDENTIFIER) to the local journal. Without a
// journal the entry is dropped. Safe from any thread.
void JournalWrite(const char* identifier, int priority, std::string_view text);

}  // namespace platform
