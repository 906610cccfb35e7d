// What the service host needs from the operating system: the system log for event-log texts,
// readiness and stop reports to the service manager, running a helper command, and the path of
// the running program.
#pragma once

#include <string>
#include <vector>

namespace platform {

// Writes one information entry to the local system log (syslog(3)) under `source`.
void EventLogWrite(const char* source, const char* text);

// Reports to the service manager when it started us with NOTIFY_SOCKET (sd_notify protocol,
// e.g. "READY=1", "STOPPING=1", "STATUS=..."). false when there is no manager to tell.
bool NotifyServiceManager(const char* state);

// True when systemd is the running init system.
bool SystemdRunning();

// Runs argv[0] (searched in PATH) with the arguments, waits for it; its exit status, or -1.
// Standard output and error go to /dev/null.
int RunCommand(const std::vector<std::string>& argv);

// Blocks the service-control signals (SIGTERM and SIGINT: stop; SIGHUP, SIGUSR1, SIGUSR2:
// requests the service does not know) in the calling thread and every thread it creates later,
// and ignores SIGPIPE. Call first thing in main, before any thread exists.
void BlockServiceSignals();
// Waits at most timeout_ms for one of the blocked signals; the signal number, or 0.
int WaitServiceSignal(int timeout_ms);
// True for the signals that mean "stop".
bool IsStopSignal(int sig);

// Full path of the running program (/proc/self/exe); empty on failure.
std::string SelfExecutablePath();

}  // namespace platform
