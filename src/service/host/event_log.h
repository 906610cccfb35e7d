// Event-log texts of the service host: written to the system log, and echoed on standard
// output while the program does not run as a service.
#pragma once

// Whether the process runs as a service (true until the start-up decision says otherwise).
void SetRunningAsService(bool service);
bool RunningAsService();

// Writes one event-log entry.
void EventLog(const char* text);
