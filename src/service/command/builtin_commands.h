// The two small command families: `help` (the list of families) and `exit` (farewell).
#pragma once

#include "platform/socket.h"

// Sends the family list whatever words follow; 0, or negative when the send failed.
int HelpCommand(platform::Socket s, int argc, char** argv);
// Sends "good by\r\n" and always returns a negative value, so the connection ends.
int ExitCommand(platform::Socket s, int argc, char** argv);
