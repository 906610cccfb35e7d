#include "service/command/command_table.h"

#include "service/command/builtin_commands.h"
#include "service/command/service_settings.h"
#include "service/registry/kel_commands.h"
#include "service/registry/pc_commands.h"
#include "service/registry/pv_commands.h"
#include "service/registry/pvroute_commands.h"
#include "service/registry/quarantine_commands.h"

const CommandRow kCommandTable[] = {
    {"kel", kFamilyKel, KelCommand},
    {"pv", kFamilyPv, PvCommand},
    {"pvroute", kFamilyPvroute, PvrouteCommand},
    {"pc", kFamilyPc, PcCommand},
    {"quarantine", kFamilyQuarantine, QuarantineCommand},
    {"service", kFamilyService, ServiceCommand},
    {"help", kFamilyHelp, HelpCommand},
    {"exit", kFamilyExit, ExitCommand},
};

const size_t kCommandTableRows = sizeof kCommandTable / sizeof kCommandTable[0];
