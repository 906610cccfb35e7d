// The service settings (the command port, as typed and as a number) and the `service` command
// family that sets, saves, loads, clears and shows them. Stored as PORT in section SERVICE of
// VoKelMng.ini. One process-wide instance, guarded by its own lock.
#pragma once

#include <cstdint>
#include <string>

#include "platform/socket.h"

struct ServiceSettings {
  std::string portText = "8000";  // exactly as set or read; leading zeros stay
  uint16_t port = 8000;           // 1..65535, or 0 after a failed load
};

// A copy of the current settings.
ServiceSettings CurrentServiceSettings();
// Replaces the settings (start-up and tests).
void SetServiceSettings(const ServiceSettings& settings);

// Reads PORT (default "8000") from VoKelMng.ini into the settings, as `service load` does.
// Returns the port number, 0 when the text read is not a port (the text is kept anyway).
uint16_t LoadServiceSettings();

// Handler of the `service` family (see command_handler.h): 1 set, 3 load, 4 clear, 0 for
// show, save, usage texts and failed loads; negative when a reply could not be sent.
int ServiceCommand(platform::Socket s, int argc, char** argv);
