// The service host: command-line switches that register and unregister the service, the
// start-up decision (foreground process or service under systemd), and the run loop that keeps
// the controller alive until a stop request or its own end.
#pragma once

#include <string>

#include "service/host/service_identity.h"

enum class HostSwitch { kNone, kRegServer, kUnregServer, kService, kConfigTest, kCompletionTable };

// t (the configuration test, which changes nothing) is looked for first, then UnregServer and
// RegServer (the first of the two found decides), then Service. A switch starts with '-' or '/'
// and is compared without regard to case. `--completion-table` as the only argument prints the
// switches for the shell completion (as the console programs do) and starts nothing.
HostSwitch FindHostSwitch(int argc, char** argv);

// Performs a switch; the process exit status (0 on success).
int RunHostSwitch(HostSwitch which);

// Path of the systemd unit written by -Service: $VOKELMNG_UNIT_DIR (default
// /etc/systemd/system) + "/VoKelMng.service".
std::string ServiceUnitPath();

// Program entry without a switch: exit status 2 when the program is not registered; otherwise
// runs the service (LocalService registered) or the foreground process until stopped.
int RunRegisteredProgram();
