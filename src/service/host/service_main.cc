// VoKelMng: the quarantine service program.
#include "platform/host_os.h"
#include "service/base/messages.h"
#include "service/host/event_log.h"
#include "service/host/service_host.h"

int main(int argc, char** argv) {
  platform::BlockServiceSignals();
  HostSwitch which = FindHostSwitch(argc, argv);
  // The configuration test and the completion table write to standard output only: no
  // event-log line before them.
  if (which == HostSwitch::kConfigTest || which == HostSwitch::kCompletionTable) {
    return RunHostSwitch(which);
  }
  Msg();  // registers every message name before any component starts
  EventLog("WinMain of a module was called.");
  if (which != HostSwitch::kNone) return RunHostSwitch(which);
  return RunRegisteredProgram();
}
