// The `pc` command family on the command port: add, del, save, load, clear, show (operation
// words matched exactly; the family word alone runs show).
#pragma once

#include "platform/socket.h"

// Handler of the command connection (see command_handler.h): -1 when a reply cannot be sent,
// 0 when nothing changed, 1 add, 2 del, 3 load, 4 clear.
int PcCommand(platform::Socket s, int argc, char** argv);
