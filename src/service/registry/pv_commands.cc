#include "service/registry/pv_commands.h"

#include <memory>
#include <new>
#include <string>

#include "common/address_util.h"
#include "common/syslog.h"
#include "common/text_util.h"
#include "service/registry/csv_file.h"
#include "service/registry/pv_csv.h"
#include "service/registry/pv_data.h"
#include "service/registry/registry_commands.h"
#include "service/registry/registry_replica.h"

namespace {

constexpr const char* kAddUsage =
    "pv: invalid option\r\n\r\nUsage: pv add TARGET [sport SRC_PORT] [user ID] [pass PW]\r\n\r\n"
    "Examples:\r\n  pv add 172.16.0.1\r\n";
constexpr const char* kDelUsage =
    "pv: invalid option\r\n\r\nUsage: pv del TARGET [sport SRC_PORT] [user ID] [pass PW]\r\n\r\n"
    "Examples:\r\n  pv del 172.16.0.1\r\n";
constexpr const char* kSaveUsage =
    "pv: invalid option\r\n\r\nUsage: pv save\r\n\r\nExamples:\r\n  pv save\r\n";
constexpr const char* kLoadUsage =
    "pv: invalid option\r\n\r\nUsage: pv load\r\n\r\nExamples:\r\n  pv load\r\n";
constexpr const char* kClearUsage =
    "pv: invalid option\r\n\r\nUsage: pv clear\r\n\r\nExamples:\r\n  pv clear\r\n";
constexpr const char* kFamilyUsage =
    "pv: invalid option\r\n\r\n"
    "Usage: pv OPERATION [TARGET] [sport SRC_PORT] [user ID] [pass PW]\r\n\r\n"
    "Examples:\r\n  pv add 172.16.0.1\r\n  pv del 172.16.0.1\r\n  pv save\r\n  pv load\r\n"
    "  pv clear\r\n  pv show\r\n\r\n"
    "OPERATION:         (add/del/save/load/clear/show)\r\n"
    "TARGET:            IP address of PV\r\n"
    "SRC_PORT:          Port number of HTTP protocol\r\n"
    "ID:                user id of PV\r\n"
    "PW:                Password of PV\r\n";

// Options from argv[3] on: sport, user and pass (any prefix), in any order, last one wins.
// Every token is examined; false when any of them was not understood.
bool ParsePvOptions(int argc, char** argv, CPvData* router) {
  bool ok = true;
  for (int i = 3; i < argc; ++i) {
    const char* token = argv[i];
    if (*token == '\0') continue;
    bool has_value = i + 1 < argc;
    if (has_value && IsPrefixOf(token, "sport")) {
      router->portText = argv[++i];
      router->port = ParsePortNumber(argv[i], 1, 65535);
      if (router->port == 0) ok = false;
    } else if (has_value && IsPrefixOf(token, "user")) {
      router->user = argv[++i];
    } else if (has_value && IsPrefixOf(token, "pass")) {
      router->password = argv[++i];
    } else {
      ok = false;
    }
  }
  return ok;
}

// Address from argv[2], then the options; false when either is refused.
bool ParsePvTarget(int argc, char** argv, CPvData* router) {
  router->addressText = argv[2];
  if (!IsIpAddress(argv[2], router->address.data())) return false;
  return ParsePvOptions(argc, argv, router);
}

int PvAdd(platform::Socket s, int argc, char** argv) {
  if (argc < 3) return Reply(s, kAddUsage, 0);
  std::unique_ptr<CPvData> router(new (std::nothrow) CPvData);
  if (!router) {
    Syslog(kLogCrit, "I failed in making of CPvData.");
    return Reply(s, "memory throw\r\n", 0);
  }
  if (!ParsePvTarget(argc, argv, router.get()) ||
      !CsvCanHold({router->user, router->password, router->portText})) {
    return Reply(s, kAddUsage, 0);
  }
  if (RegistryReplica* replica = ActiveReplica()) {
    return ReplyReplicaOutcome(s, replica->Add(CommandFamily::kPv, *router, nullptr));
  }
  router->pendingAdd = 1;
  if (PvList().Add(router.get()) != 0) return Reply(s, "duplication of data\r\n", 0);
  router.release();  // the registry owns it now
  return 1;
}

int PvDel(platform::Socket s, int argc, char** argv) {
  if (argc < 3) return Reply(s, kDelUsage, 0);
  CPvData key;
  if (!ParsePvTarget(argc, argv, &key)) return Reply(s, kDelUsage, 0);
  if (RegistryReplica* replica = ActiveReplica()) {
    return ReplyReplicaOutcome(s, replica->Delete(CommandFamily::kPv, key, nullptr));
  }
  PvList().MarkDeleted(key);
  return 2;
}

int PvSaveCommand(platform::Socket s, int argc, char**) {
  return SaveOperation(s, argc, kSaveUsage, [] { return PvSave(); });
}

int PvLoadCommand(platform::Socket s, int argc, char**) {
  return LoadOperation(
      s, argc, kLoadUsage, [] { return PvLoad(); }, CommandFamily::kPv);
}

int PvClear(platform::Socket s, int argc, char**) {
  return ClearOperation(
      s, argc, kClearUsage, [] { PvList().MarkAll(1); }, CommandFamily::kPv);
}

// ADDRESS, one more tab when it is shorter than 8, then PORT, ID and a masked PW.
std::string PvShowLine(const CPvData& router) {
  std::string line = router.addressText;
  if (router.addressText.size() < 8) line += '\t';
  line += '\t' + router.portText + '\t' + router.user + '\t';
  if (!router.password.empty()) line += "********";
  line += "\r\n";
  return line;
}

int PvShow(platform::Socket s, int, char**) {
  return ShowSnapshot(s, "PV\t\tPORT\tID\tPW\r\n", PvList(), PvShowLine);
}

constexpr RegistryOperation kPvOperations[] = {
    {"add", PvAdd},          {"del", PvDel},     {"save", PvSaveCommand},
    {"load", PvLoadCommand}, {"clear", PvClear}, {"show", PvShow},
};

}  // namespace

int PvCommand(platform::Socket s, int argc, char** argv) {
  // Any prefix picks the first operation it begins: "" is add, "s" save, "sh" show.
  return DispatchOperation(s, argc, argv, kPvOperations, OperationMatch::kPrefix, PvShow,
                           kFamilyUsage);
}
