#include "service/acl/acl_process.h"

#include <exception>

#include "common/syslog.h"
#include "service/acl/acl_planning.h"

void AclCommandProcess(const AclEnvironment& env, uint32_t family, uint32_t value) {
  (void)value;  // the kind of change plays no part: the marks say what changed
  // A list or a text that cannot get memory must not end the controller's thread: the walk is
  // abandoned and the marks not yet settled stay for the next notification.
  try {
    PlanningContext ctx(env);
    switch (family) {
      case 1:
        KelFamilyProcess(ctx);
        break;
      case 2:
        PvFamilyProcess(ctx);
        break;
      case 3:
        PvrouteFamilyProcess(ctx);
        break;
      case 4:
        PcFamilyProcess(ctx);
        break;
      case 5:
        QuarantineFamilyProcess(ctx);
        break;
      default:
        break;
    }
  } catch (const char* text) {
    Syslog(kLogCrit, "%s", text);
  } catch (const std::exception&) {
    Syslog(kLogCrit, "AclCommandProcess: I failed in securing of memory.");
  }
}
