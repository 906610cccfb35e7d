#include "service/command/service_settings.h"

#include <cstring>
#include <mutex>

#include "common/socket_io.h"
#include "common/text_util.h"
#include "platform/profile.h"
#include "service/base/command_handler.h"

namespace {

constexpr char kProfile[] = "VoKelMng.ini";
constexpr char kSection[] = "SERVICE";
constexpr char kPortKey[] = "PORT";
constexpr size_t kValueBuffer = 256;

constexpr char kFamilyUsage[] =
    "service: invalid option\r\n\r\nUsage: service OPERATION [sport SRC_PORT]\r\n\r\n"
    "Examples:\r\n  service set sport 8000\r\n  service save\r\n  service load\r\n"
    "  service show\r\n\r\nOPERATION:         (set/save/load/show)\r\n"
    "SRC_PORT:          Port number of Service\r\n";
constexpr char kSetUsage[] =
    "service: invalid option\r\n\r\nUsage: service set sport SRC_PORT\r\n\r\n"
    "Examples:\r\n  service set sport 8000\r\n";
constexpr char kSaveUsage[] =
    "service: invalid option\r\n\r\nUsage: service save\r\n\r\nExamples:\r\n  service save\r\n";
constexpr char kLoadUsage[] =
    "service: invalid option\r\n\r\nUsage: service load\r\n\r\nExamples:\r\n  service load\r\n";
constexpr char kClearUsage[] =
    "service: invalid option\r\n\r\nUsage: service clear\r\n\r\nExamples:\r\n"
    "  service clear\r\n";

// Commands of several connections may run at once, so the settings have a lock of their own.
std::mutex g_mutex;
ServiceSettings g_settings;  // guarded by g_mutex

// Sends `text`; `result` when it went out, -1 when it did not.
int Send(platform::Socket s, const char* text, int result = 0) {
  NoteCommandReply(text);
  return SocketSendAll(s, text, std::strlen(text)) < 0 ? -1 : result;
}

// True for a leading part of "sport", the empty word included.
bool IsSportKeyword(const char* word) {
  size_t n = std::strlen(word);
  return n <= 5 && std::strncmp(word, "sport", n) == 0;
}

int SetCommand(platform::Socket s, int argc, char** argv) {
  if (argc < 4 || argv[2] == nullptr || argv[3] == nullptr) return Send(s, kSetUsage);
  ServiceSettings copy;  // starts from the defaults, not from the current settings
  bool valid = true;
  for (int i = 2; i < argc; ++i) {
    if (!IsSportKeyword(argv[i]) || i + 1 >= argc) {
      valid = false;
      continue;
    }
    copy.portText = argv[++i];
    copy.port = ParsePortNumber(copy.portText.c_str(), 1, 65535);
    if (copy.port == 0) valid = false;
  }
  if (!valid) return Send(s, kSetUsage);
  SetServiceSettings(copy);
  return kResultAdd;
}

int SaveCommand(platform::Socket s) {
  std::string text = CurrentServiceSettings().portText;
  if (platform::WriteProfileString(kProfile, kSection, kPortKey, text.c_str())) return 0;
  return Send(s, "save error\r\n");
}

int LoadCommand(platform::Socket s) {
  if (LoadServiceSettings() != 0) return kResultLoad;
  return Send(s, "load error\r\n");
}

int ShowCommand(platform::Socket s) {
  std::string text = CurrentServiceSettings().portText;
  if (Send(s, "PORT\r\n") < 0) return -1;
  if (text.empty()) return 0;
  text += "\r\n";
  return Send(s, text.c_str());
}

}  // namespace

ServiceSettings CurrentServiceSettings() {
  std::lock_guard<std::mutex> hold(g_mutex);
  return g_settings;
}

void SetServiceSettings(const ServiceSettings& settings) {
  std::lock_guard<std::mutex> hold(g_mutex);
  g_settings = settings;
}

uint16_t LoadServiceSettings() {
  ServiceSettings loaded;
  loaded.portText = platform::ReadProfileString(kProfile, kSection, kPortKey, "8000", kValueBuffer);
  loaded.port = ParsePortNumber(loaded.portText.c_str(), 1, 65535);
  SetServiceSettings(loaded);
  return loaded.port;
}

int ServiceCommand(platform::Socket s, int argc, char** argv) {
  if (argc < 2) return ShowCommand(s);
  const char* op = argv[1];
  if (std::strcmp(op, "set") == 0) return SetCommand(s, argc, argv);
  if (std::strcmp(op, "save") == 0) return argc == 2 ? SaveCommand(s) : Send(s, kSaveUsage);
  if (std::strcmp(op, "load") == 0) return argc == 2 ? LoadCommand(s) : Send(s, kLoadUsage);
  if (std::strcmp(op, "clear") == 0) {
    if (argc != 2) return Send(s, kClearUsage);
    SetServiceSettings(ServiceSettings());
    return kResultClear;
  }
  return Send(s, kFamilyUsage);
}
