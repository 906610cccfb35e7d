#include "service/acl/acl_process.h"

#include <chrono>
#include <exception>

#include "common/syslog.h"
#include "service/acl/acl_planning.h"
#include "service/acl/acl_request.h"
#include "service/acl/state_sync.h"

namespace {

// The planning of edits: each family's walks over what its marks say changed.
void EditPlanning(const AclEnvironment& env, CommandFamily family) {
  PlanningContext ctx(env);
  switch (family) {
    case CommandFamily::kKel:
      KelFamilyProcess(ctx);
      break;
    case CommandFamily::kPv:
      PvFamilyProcess(ctx);
      break;
    case CommandFamily::kPvroute:
      PvrouteFamilyProcess(ctx);
      break;
    case CommandFamily::kPc:
      PcFamilyProcess(ctx);
      break;
    case CommandFamily::kQuarantine:
      QuarantineFamilyProcess(ctx);
      break;
    default:
      break;
  }
}

}  // namespace

void AclCommandProcess(const AclEnvironment& env, CommandFamily family, uint32_t value) {
  (void)value;  // the kind of change plays no part: the marks say what changed
  const auto started = std::chrono::steady_clock::now();
  AclWakeBatch wakes(env);
  // A list or a text that cannot get memory must not end the controller's thread: the walk is
  // abandoned and the marks not yet settled stay for the next notification.
  try {
    if (StateSyncOn()) {
      // The marks only tell which family changed; the sync finds what changed itself.
      if (IsRegistryFamily(family)) {
        SettleFamilyMarks(family);
        StateSyncPlan(env);
      }
    } else {
      EditPlanning(env, family);
    }
  } catch (const char* text) {
    Syslog(kLogCrit, "%s", text);
  } catch (const std::exception&) {
    Syslog(kLogCrit, "AclCommandProcess: I failed in securing of memory.");
  }
  PlanningCounts& counts = PlanningStats();
  counts.runs.fetch_add(1, std::memory_order_relaxed);
  counts.nanoseconds.fetch_add(
      static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                std::chrono::steady_clock::now() - started)
                                .count()),
      std::memory_order_relaxed);
}

PlanningCounts& PlanningStats() {
  static PlanningCounts counts;
  return counts;
}
