#include "service/command/command_stats.h"

#include <cstring>

void CommandStats::CountCommand(const char* family, bool refused) {
  size_t index = kFamilies.size() - 1;
  for (size_t i = 0; i + 1 < kFamilies.size(); ++i) {
    if (family != nullptr && std::strcmp(family, kFamilies[i]) == 0) {
      index = i;
      break;
    }
  }
  (refused ? refusedLines_ : ok_)[index].fetch_add(1, std::memory_order_relaxed);
}

std::vector<CommandStats::FamilyCounts> CommandStats::Commands() const {
  std::vector<FamilyCounts> counts;
  for (size_t i = 0; i < kFamilies.size(); ++i) {
    counts.push_back({kFamilies[i], ok_[i].load(std::memory_order_relaxed),
                      refusedLines_[i].load(std::memory_order_relaxed)});
  }
  return counts;
}

CommandStats& CommandPortStats() {
  static CommandStats* stats = new CommandStats;
  return *stats;
}
