#include "service/registry/quarantine_commands.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "common/address_util.h"
#include "common/syslog.h"
#include "common/text_util.h"
#include "service/registry/csv_file.h"
#include "service/registry/quarantine_csv.h"
#include "service/registry/quarantine_data.h"
#include "service/registry/registry_commands.h"
#include "service/registry/registry_replica.h"

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

// The option pairs from argv[2] on; all three values are needed.
bool ParseServer(int argc, char** argv, CQuarantineData* server) {
  return ParseOptionPairs(argc, argv, 2, ParseOption, server) && !server->sourceText.empty() &&
         !server->protocolText.empty() && !server->portText.empty();
}

int QuarantineAdd(platform::Socket s, int argc, char** argv) {
  if (argc < 8) return Reply(s, kAddUsage, 0);
  std::unique_ptr<CQuarantineData> server(new (std::nothrow) CQuarantineData());
  if (!server) {
    Syslog(kLogCrit, "I failed in making of CQuarantineData.");
    return Reply(s, "memory throw\r\n", 0);
  }
  // The file keeps only "tcp" and "udp": a protocol that merely begins with one of them would
  // be saved and then fail the load.
  if (!ParseServer(argc, argv, server.get()) ||
      (server->protocolText != "tcp" && server->protocolText != "udp") ||
      !CsvCanHold({server->sourceText, server->protocolText, server->portText})) {
    return Reply(s, kAddUsage, 0);
  }
  if (RegistryReplica* replica = ActiveReplica()) {
    return ReplyReplicaOutcome(s, replica->Add(CommandFamily::kQuarantine, *server, nullptr));
  }
  server->pendingAdd = 1;
  if (QuarantineList().Add(server.get()) != 0) return Reply(s, "duplication of data\r\n", 0);
  server.release();
  return kResultAdd;
}

int QuarantineDel(platform::Socket s, int argc, char** argv) {
  if (argc < 8) return Reply(s, kDelUsage, 0);
  CQuarantineData key;
  if (!ParseServer(argc, argv, &key)) return Reply(s, kDelUsage, 0);
  if (RegistryReplica* replica = ActiveReplica()) {
    return ReplyReplicaOutcome(s, replica->Delete(CommandFamily::kQuarantine, key, nullptr));
  }
  QuarantineList().MarkDeleted(key);
  return kResultDel;
}

int QuarantineClear(platform::Socket s, int argc, char**) {
  return ClearOperation(
      s, argc, kClearUsage, [] { QuarantineList().MarkAll(1); }, CommandFamily::kQuarantine);
}

int QuarantineSave(platform::Socket s, int argc, char**) {
  return SaveOperation(s, argc, kSaveUsage, [] { return SaveQuarantineFile(QuarantineList()); });
}

int QuarantineLoad(platform::Socket s, int argc, char**) {
  return LoadOperation(
      s, argc, kLoadUsage, [] { return LoadQuarantineFile(QuarantineList()); },
      CommandFamily::kQuarantine);
}

// One show line: source, protocol and port in tab-aligned columns.
std::string ShowLine(const CQuarantineData& server) {
  std::string line = server.sourceText;
  line += server.sourceText.size() < 8 ? "\t\t" : "\t";
  line += server.protocolText + "\t\t" + server.portText + "\r\n";
  return line;
}

int QuarantineShow(platform::Socket s, int, char**) {
  return ShowSnapshot(s, "DESTINATION\tPROTOCOL\tPORT\r\n", QuarantineList(), ShowLine);
}

constexpr RegistryOperation kOperations[] = {{"add", QuarantineAdd},     {"del", QuarantineDel},
                                             {"clear", QuarantineClear}, {"save", QuarantineSave},
                                             {"load", QuarantineLoad},   {"show", QuarantineShow}};

}  // namespace

int QuarantineCommand(platform::Socket s, int argc, char** argv) {
  return DispatchOperation(s, argc, argv, kOperations, OperationMatch::kExact, QuarantineShow,
                           kFamilyUsage);
}
