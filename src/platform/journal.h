// The local systemd journal.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Sends one entry (MESSAGE, PRIORITY 0..7, SYSLOG_IDENTIFIER) to the local journal. Without a
// journal the entry is dropped. Safe from any thread.
void JournalWrite(const char* identifier, int priority, std::string_view text);
// The same entry with more fields, each "NAME=value" (NAME in capitals, digits and '_').
void JournalWrite(const char* identifier, int priority, std::string_view text,
                  const std::vector<std::string>& fields);

}  // namespace platform
