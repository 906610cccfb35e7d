// The `pvroute` command family on the command port: add, del, save, load, clear, show
// (operation words matched exactly; the family word alone runs show). Routes hang on the
// routers of the router registry: its lock is always taken before a route list's.
#pragma once

#include "platform/socket.h"

// Handler of the command connection (see command_handler.h): -1 when a reply cannot be sent,
// 0 when nothing changed, 1 add, 2 del, 3 load, 4 clear.
int PvrouteCommand(platform::Socket s, int argc, char** argv);

// Loads "pvroute.csv" into the routers' route lists. With platform::kInvalidSocket (the
// controller at start-up) nothing is sent. 3 when routes were marked (even when a line then
// failed: "load error\r\n"), 0 when the file could not be opened ("load error\r\n"; nothing
// changed), -1 when a reply cannot be sent.
int PvrouteLoad(platform::Socket s);
