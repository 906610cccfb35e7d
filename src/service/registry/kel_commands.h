// The `kel` command family: add, del and show access entries (stop and start are placeholders).
#pragma once

#include "platform/socket.h"

// Handler of the command port (see command_handler.h for the contract).
int KelCommand(platform::Socket s, int argc, char** argv);
