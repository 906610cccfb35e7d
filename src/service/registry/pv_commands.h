// The `pv` command family: add, del, save, load, clear and show over the router registry.
#pragma once

#include "platform/socket.h"

// Command handler (see service/base/command_handler.h): argv[0] is "pv", argv[1] the
// operation (a prefix picks the first of add, del, save, load, clear, show; none runs show).
// Returns -1 when a reply could not be sent, 0, or 1 add, 2 del, 3 load, 4 clear.
int PvCommand(platform::Socket s, int argc, char** argv);
