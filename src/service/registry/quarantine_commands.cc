#include "service/registry/quarantine_commands.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "common/address_util.h"
#include "common/socket_io.h"
#include "common/syslog.h"
#include "common/text_util.h"
#include "service/command/command_handler.h"
#include "service/registry/quarantine_csv.h"
#include "service/registry/quarantine_data.h"

namespace {

constexpr char kAddUsage[] =
    "quarantine: invalid option\r\n"
    "\r\n"
    "Usage: quarantine add source SRC_IP protocol PROTO sport SRC_PORT\r\n"
    "\r\n"
    "Examples:\r\n"
    "  quarantine add source 172.17.254.254 protocol tcp sport 4208\r\n";
constexpr char kDelUsage[] =
    "quarantine: invalid option\r\n"
    "\r\n"
    "Usage: quarantine del source SRC_IP protocol PROTO sport SRC_PORT\r\n"
    "\r\n"
    "Examples:\r\n"
    "  quarantine del source 172.17.254.254 protocol tcp sport 4208\r\n";
constexpr char kSaveUsage[] =
    "quarantine: invalid option\r\n"
    "\r\n"
    "Usage: quarantine save\r\n"
    "\r\n"
    "Examples:\r\n"
    "  quarantine save\r\n";
constexpr char kLoadUsage[] =
    "quarantine: invalid option\r\n"
    "\r\n"
    "Usage: quarantine load\r\n"
    "\r\n"
    "Examples:\r\n"
    "  quarantine load\r\n";
constexpr char kClearUsage[] =
    "quarantine: invalid option\r\n"
    "\r\n"
    "Usage: quarantine clear\r\n"
    "\r\n"
    "Examples:\r\n"
    "  quarantine clear\r\n";
constexpr char kFamilyUsage[] =
    "quarantine: invalid option\r\n"
    "\r\n"
    "Usage: quarantine OPERATION [source SRC_IP] [protocol PROTO] [sport SRC_PORT]\r\n"
    "\r\n"
    "Examples:\r\n"
    "  quarantine add source 172.17.254.254 protocol tcp sport 4208\r\n"
    "  quarantine del source 172.17.254.254 protocol tcp sport 4208\r\n"
    "  quarantine save\r\n"
    "  quarantine load\r\n"
    "  quarantine clear\r\n"
    "  quarantine show\r\n"
    "\r\n"
    "OPERATION:         (add/del/save/load/clear/show)\r\n"
    "SRC_IP:            IP address of Quarantine Server\r\n"
    "PROTO:             Communication protocol\r\n"
    "SRC_PORT:          Port number of Quarantine Server\r\n";

// Sends `text`; returns `result`, or -1 when the text cannot be sent.
int Reply(platform::Socket s, const char* text, int result) {
  return SocketSendAll(s, text, std::strlen(text)) < 0 ? -1 : result;
}

bool IsPrefixOf(const char* word, const char* keyword) {
  size_t length = std::strlen(word);
  return length <= std::strlen(keyword) && std::strncmp(word, keyword, length) == 0;
}

// Reads one option value into `server`; false when the keyword is unknown or the value bad.
// The protocol is kept whole when it merely begins with "tcp" or "udp".
bool ParseOption(const char* keyword, const char* value, CQuarantineData* server) {
  if (IsPrefixOf(keyword, "source")) {
    server->sourceText = value;
    return IsIpAddress(value, server->source.data());
  }
  if (IsPrefixOf(keyword, "protocol")) {
    server->protocolText = value;
    return std::strncmp(value, "tcp", 3) == 0 || std::strncmp(value, "udp", 3) == 0;
  }
  if (IsPrefixOf(keyword, "sport")) {
    server->portText = value;
    server->port = ParsePortNumber(value, 1, 65535);
    return server->port != 0;
  }
  return false;
}

// Walks argv[2..]: empty words are skipped, every keyword takes the next word. The walk goes
// on after a failure; the last value of a repeated option wins. All three values are needed.
bool ParseServer(int argc, char** argv, CQuarantineData* server) {
  bool ok = true;
  for (int i = 2; i < argc; ++i) {
    if (argv[i][0] == '\0') continue;
    if (i + 1 >= argc) {
      ok = false;
      break;
    }
    if (!ParseOption(argv[i], argv[i + 1], server)) ok = false;
    ++i;
  }
  return ok && !server->sourceText.empty() && !server->protocolText.empty() &&
         !server->portText.empty();
}

int QuarantineAdd(platform::Socket s, int argc, char** argv) {
  if (argc < 8) return Reply(s, kAddUsage, 0);
  std::unique_ptr<CQuarantineData> server(new (std::nothrow) CQuarantineData());
  if (!server) {
    Syslog(kLogCrit, "I failed in making of CQuarantineData.");
    return Reply(s, "memory throw\r\n", 0);
  }
  if (!ParseServer(argc, argv, server.get())) return Reply(s, kAddUsage, 0);
  server->pendingAdd = 1;
  if (QuarantineList().Add(server.get()) != 0) return Reply(s, "duplication of data\r\n", 0);
  server.release();
  return kResultAdd;
}

int QuarantineDel(platform::Socket s, int argc, char** argv) {
  if (argc < 8) return Reply(s, kDelUsage, 0);
  CQuarantineData key;
  if (!ParseServer(argc, argv, &key)) return Reply(s, kDelUsage, 0);
  QuarantineList().MarkDeleted(key);
  return kResultDel;
}

int QuarantineClear(platform::Socket s, int argc, char**) {
  if (argc != 2) return Reply(s, kClearUsage, 0);
  QuarantineList().MarkAll(1);
  return kResultClear;
}

int QuarantineSave(platform::Socket s, int argc, char**) {
  if (argc != 2) return Reply(s, kSaveUsage, 0);
  if (SaveQuarantineFile(QuarantineList()) != 0) return Reply(s, "save error\r\n", 0);
  return 0;
}

int QuarantineLoad(platform::Socket s, int argc, char**) {
  if (argc != 2) return Reply(s, kLoadUsage, 0);
  if (LoadQuarantineFile(QuarantineList()) != 0) {
    return Reply(s, "load error\r\n", kResultLoad);
  }
  return kResultLoad;
}

int QuarantineShow(platform::Socket s, int, char**) {
  if (Reply(s, "DESTINATION\tPROTOCOL\tPORT\r\n", 0) < 0) return -1;
  CQuarantineList snapshot;
  if (QuarantineList().CopyTo(&snapshot) < 0 && Reply(s, "show error\r\n", 0) < 0) return -1;
  for (CKelNode* node = snapshot.GetHead(); node != nullptr; node = snapshot.GetNext(node)) {
    const auto& server = *static_cast<const CQuarantineData*>(node->data);
    if (server.pendingDelete) continue;
    std::string line = server.sourceText;
    line += server.sourceText.size() < 8 ? "\t\t" : "\t";
    line += server.protocolText + "\t\t" + server.portText + "\r\n";
    if (Reply(s, line.c_str(), 0) < 0) return -1;
  }
  return 0;
}

struct Operation {
  const char* name;
  CommandHandler run;
};

constexpr Operation kOperations[] = {{"add", QuarantineAdd},     {"del", QuarantineDel},
                                     {"clear", QuarantineClear}, {"save", QuarantineSave},
                                     {"load", QuarantineLoad},   {"show", QuarantineShow}};

}  // namespace

int QuarantineCommand(platform::Socket s, int argc, char** argv) {
  if (argc == 1) return QuarantineShow(s, argc, argv);
  for (const Operation& operation : kOperations) {
    if (std::strcmp(argv[1], operation.name) == 0) return operation.run(s, argc, argv);
  }
  return Reply(s, kFamilyUsage, 0);
}
