#include "service/host/event_log.h"

#include <atomic>
#include <cstdio>

#include "platform/host_os.h"
#include "service/host/service_identity.h"

namespace {
std::atomic<bool> running_as_service{true};
}

void SetRunningAsService(bool service) { running_as_service = service; }
bool RunningAsService() { return running_as_service; }

void EventLog(const char* text) {
  platform::EventLogWrite(kServiceName, text);
  if (!running_as_service) {
    printf("%s\n", text);
    fflush(stdout);
  }
}
