#include "service/command/builtin_commands.h"

#include "common/socket_io.h"

namespace {

constexpr char kHelpText[] =
    "Usage: quarantine\r\n       pc\r\n       pv\r\n       pvroute\r\n       kel\r\n"
    "       service\r\n";
constexpr char kFarewell[] = "good by\r\n";

}  // namespace

int HelpCommand(platform::Socket s, int /*argc*/, char** /*argv*/) {
  return SocketSendAll(s, kHelpText, sizeof kHelpText - 1) < 0 ? -1 : 0;
}

int ExitCommand(platform::Socket s, int /*argc*/, char** /*argv*/) {
  SocketSendAll(s, kFarewell, sizeof kFarewell - 1);
  return -1;
}
