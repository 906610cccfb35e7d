#include "service/host/run_loop.h"

#include <csignal>
#include <cstring>
#include <memory>

#include "common/journal_copy.h"
#include "common/syslog.h"
#include "platform/host_os.h"
#include "platform/profile.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "service/command/command_audit.h"
#include "service/control/kel_control.h"
#include "service/host/event_log.h"

namespace {

// PRIORITYMASK of syslog.ini, looked up in full and with case; unknown names select debug.
int ReadPriorityMask() {
  std::string text =
      platform::ReadProfileString("syslog.ini", "SYSLOG", "PRIORITYMASK", "info", 256);
  int severity = SyslogSeverityFromName(text.c_str());
  return severity < 0 ? kLogDebug : severity;
}

// Waits until the controller's message thread has ended, turning a stop signal into the stop
// control: stop pending, the stop flag, and the quit message to the controller.
void WaitForController(CKelControl& control) {
  bool stop_sent = false;
  while (!control.WaitEndedFor(0)) {
    int sig = platform::WaitServiceSignal(100);
    if (sig == 0) continue;
    if (sig == SIGHUP && CommandPortAudit().HasFile()) {
      // logrotate has moved the audit file: the next records go to a new one at its path.
      CommandPortAudit().Reopen();
    } else if (!platform::IsStopSignal(sig)) {
      EventLog("Bad service request");
    } else if (!stop_sent) {
      platform::NotifyServiceManager("STOPPING=1");
      control.RequestStop();
      stop_sent = true;
    }
  }
}

}  // namespace

int RunLoop() {
  int status = 0;
  EventLog("Service started");
  SyslogSetMask(ReadPriorityMask());
  // Under the service manager the lines also go to the journal, where operators look first.
  static JournalCopy journal("VoKelMng");
  if (RunningAsService() && JournalCopyEnabled()) SyslogSetCopy(&journal);
  SyslogOpen("VoKelMng", 32, 24);
  // A thread that meets an exception (memory exhausted, for one) ends its own work only.
  platform::SetThreadExceptionHandler(
      [](const char* what) { Syslog(kLogCrit, "A thread ended by an exception: %s.", what); });
  Syslog(kLogInfo, "service started.");
  Syslog(kLogDebug, "winsock version %d.%d", platform::kSocketVersionMajor,
         platform::kSocketVersionMinor);
  try {
    std::unique_ptr<CKelControl> control(new CKelControl());
    // The constructor returns once the controller has finished its start (the command port
    // listens), so only now is the service ready.
    platform::NotifyServiceManager("READY=1");
    WaitForController(*control);
    if (control->StartFailed()) status = 1;
    control.reset();
  } catch (const char* text) {
    Syslog(kLogCrit, "%s", text);
  } catch (...) {
    Syslog(kLogCrit, "CKelControl class did a throw.");
  }
  Syslog(kLogInfo, "service stopped.");
  SyslogClose();
  SyslogSetCopy(nullptr);
  EventLog("Service stopped");
  return status;
}

int RunAsService() {
  SetRunningAsService(true);
  platform::NotifyServiceManager("STATUS=start pending");
  int status = RunLoop();
  platform::NotifyServiceManager("STATUS=stopped");
  EventLog("Service stopped");
  return status;
}
