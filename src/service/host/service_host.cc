#include "service/host/service_host.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "common/syslog.h"
#include "platform/durable_file.h"
#include "platform/host_os.h"
#include "platform/profile.h"
#include "platform/socket.h"
#include "service/control/kel_control.h"
#include "service/host/config_check.h"
#include "service/host/event_log.h"
#include "service/host/run_loop.h"
#include "service/host/unit_template.h"

namespace {

constexpr int kExitNotRegistered = 2;  // "file not found", as the original platform reports it

std::string AppIdSection() { return std::string("AppID\\") + kAppId; }
std::string ExeSection() { return std::string("AppID\\") + kServiceName + ".EXE"; }

bool IsSwitch(const char* arg, const char* name) {
  return (arg[0] == '-' || arg[0] == '/') && strcasecmp(arg + 1, name) == 0;
}

// The switches the program takes: the one table that FindHostSwitch reads and the shell
// completion prints. rank: the order in which they are looked for (lowest first).
struct HostSwitchWord {
  const char* name;
  HostSwitch which;
  int rank;
};
constexpr HostSwitchWord kHostSwitchWords[] = {{"t", HostSwitch::kConfigTest, 0},
                                               {"UnregServer", HostSwitch::kUnregServer, 1},
                                               {"RegServer", HostSwitch::kRegServer, 1},
                                               {"Service", HostSwitch::kService, 2}};
constexpr char kCompletionTableWord[] = "--completion-table";

// One line per switch, as the console programs print their words: "WORD<TAB>KIND<TAB>HINT".
// A switch is the whole command line, so each is an operation with nothing after it.
int PrintCompletionTable() {
  for (const HostSwitchWord& word : kHostSwitchWords) printf("-%s\toperation\t-\n", word.name);
  return 0;
}

void MessageBoxLine(const char* text) { fprintf(stderr, "%s: %s\n", kServiceName, text); }

bool WriteRegistration(bool local_service) {
  const char* reg = kRegistrationFile;
  bool ok = platform::WriteProfileString(reg, AppIdSection().c_str(), "(default)", kServiceName);
  ok = ok && platform::WriteProfileString(reg, AppIdSection().c_str(), "LocalService",
                                          local_service ? kServiceName : nullptr);
  ok = ok && platform::WriteProfileString(reg, ExeSection().c_str(), "AppID", kAppId);
  return ok;
}

// Stops (when systemd runs) and deletes an installed unit. false after a reported failure.
bool UninstallService() {
  std::error_code ec;
  std::string unit = ServiceUnitPath();
  if (!std::filesystem::exists(unit, ec)) return true;
  if (platform::SystemdRunning()) {
    if (platform::RunCommand({"systemctl", "stop", std::string(kServiceName) + ".service"}) != 0) {
      MessageBoxLine("Could not stop service");
    }
  }
  if (!std::filesystem::remove(unit, ec) || ec) {
    MessageBoxLine("Could not delete service");
    return false;
  }
  if (platform::SystemdRunning()) platform::RunCommand({"systemctl", "daemon-reload"});
  return true;
}

// Replaces every `name` in `text` by `value`.
void ReplaceAll(std::string& text, const std::string& name, const std::string& value) {
  for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at)) {
    text.replace(at, name.size(), value);
    at += value.size();
  }
}

std::string UnitText() {
  std::string text = kUnitTemplate;
  ReplaceAll(text, "@PROGRAM@", platform::SelfExecutablePath());
  ReplaceAll(text, "@PROFILE_DIR@", platform::ProfileDir());
  return text;  // no [Install] section: started on demand only
}

// Writes the unit unless one is installed already (that one is left unchanged).
bool InstallService() {
  std::error_code ec;
  std::string unit = ServiceUnitPath();
  if (std::filesystem::exists(unit, ec)) return true;
  std::filesystem::create_directories(std::filesystem::path(unit).parent_path(), ec);
  if (!platform::ReplaceFileDurably(unit, UnitText())) {
    MessageBoxLine("Could not start service");
    return false;
  }
  if (platform::SystemdRunning()) platform::RunCommand({"systemctl", "daemon-reload"});
  return true;
}

int UnregServer() {
  bool ok = UninstallService();
  std::error_code ec;
  std::filesystem::remove(platform::ProfilePath(kRegistrationFile), ec);
  return ok && !ec ? 0 : 1;
}

int RegServer() {
  bool ok = UninstallService();
  if (!WriteRegistration(false)) {
    fprintf(stderr, "%s: cannot write %s\n", kServiceName,
            platform::ProfilePath(kRegistrationFile).c_str());
    return 1;
  }
  return ok ? 0 : 1;
}

int InstallAsService() {
  if (!WriteRegistration(true)) {
    fprintf(stderr, "%s: cannot write %s\n", kServiceName,
            platform::ProfilePath(kRegistrationFile).c_str());
    return 1;
  }
  return InstallService() ? 0 : 1;
}

}  // namespace

HostSwitch FindHostSwitch(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], kCompletionTableWord) == 0) return HostSwitch::kCompletionTable;
  // Rank by rank; within a rank the first one on the command line decides.
  for (int rank = 0; rank < 3; ++rank) {
    for (int i = 1; i < argc; ++i) {
      for (const HostSwitchWord& word : kHostSwitchWords) {
        if (word.rank == rank && IsSwitch(argv[i], word.name)) return word.which;
      }
    }
  }
  return HostSwitch::kNone;
}

int RunHostSwitch(HostSwitch which) {
  switch (which) {
    case HostSwitch::kUnregServer:
      return UnregServer();
    case HostSwitch::kRegServer:
      return RegServer();
    case HostSwitch::kService:
      return InstallAsService();
    case HostSwitch::kCompletionTable:
      return PrintCompletionTable();
    case HostSwitch::kConfigTest:
      return RunConfigCheck(std::cout);
    case HostSwitch::kNone:
      break;
  }
  return 0;
}

std::string ServiceUnitPath() {
  const char* dir = getenv("VOKELMNG_UNIT_DIR");
  std::string base = (dir != nullptr && dir[0] != '\0') ? dir : "/etc/systemd/system";
  return base + "/" + kServiceName + ".service";
}

int RunRegisteredProgram() {
  std::error_code ec;
  std::string reg = platform::ProfilePath(kRegistrationFile);
  std::string name =
      platform::ReadProfileString(kRegistrationFile, AppIdSection().c_str(), "(default)", "", 256);
  if (!std::filesystem::exists(reg, ec) || name.empty()) return kExitNotRegistered;
  std::string local = platform::ReadProfileString(kRegistrationFile, AppIdSection().c_str(),
                                                  "LocalService", "", 256);
  if (!local.empty()) return RunAsService();
  SetRunningAsService(false);
  return RunLoop();
}
