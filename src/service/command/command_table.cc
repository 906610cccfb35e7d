#include "service/command/command_table.h"

#include "service/command/builtin_commands.h"
#include "service/command/service_settings.h"
#include "service/registry/kel_commands.h"
#include "service/registry/pc_commands.h"
#include "service/registry/pv_commands.h"
#include "service/registry/pvroute_commands.h"
#include "service/registry/quarantine_commands.h"

namespace {

// A family's row: its word is its name.
constexpr CommandRow Row(CommandFamily family, CommandHandler handler) {
  return {CommandFamilyName(family), family, handler};
}

}  // namespace

const CommandRow kCommandTable[] = {
    Row(CommandFamily::kKel, KelCommand),
    Row(CommandFamily::kPv, PvCommand),
    Row(CommandFamily::kPvroute, PvrouteCommand),
    Row(CommandFamily::kPc, PcCommand),
    Row(CommandFamily::kQuarantine, QuarantineCommand),
    Row(CommandFamily::kService, ServiceCommand),
    Row(CommandFamily::kHelp, HelpCommand),
    Row(CommandFamily::kExit, ExitCommand),
};

const size_t kCommandTableRows = sizeof kCommandTable / sizeof kCommandTable[0];
