#include "service/registry/pvroute_commands.h"

#include <array>
#include <memory>
#include <new>
#include <string>

#include "common/address_util.h"
#include "common/syslog.h"
#include "service/registry/csv_file.h"
#include "service/registry/pc_data.h"
#include "service/registry/pv_data.h"
#include "service/registry/pvroute_csv.h"
#include "service/registry/registry_commands.h"
#include "service/registry/registry_replica.h"

namespace {

constexpr char kAddUsage[] =
    "pvroute: invalid option\r\n"
    "\r\n"
    "Usage: pvroute add TARGET network NW [netmask NM] [dev IF]\r\n"
    "\r\n"
    "Examples:\r\n"
    "  pvroute add 172.16.0.1 network 192.168.0.0\r\n";
constexpr char kDelUsage[] =
    "pvroute: invalid option\r\n"
    "\r\n"
    "Usage: pvroute del TARGET network NW [netmask NM] [dev IF]\r\n"
    "\r\n"
    "Examples:\r\n"
    "  pvroute del 172.16.0.1 network 192.168.0.0\r\n";
constexpr char kSaveUsage[] =
    "pvroute: invalid option\r\n"
    "\r\n"
    "Usage: pvroute save\r\n"
    "\r\n"
    "Examples:\r\n"
    "  pvroute save\r\n";
constexpr char kLoadUsage[] =
    "pvroute: invalid option\r\n"
    "\r\n"
    "Usage: pvroute load\r\n"
    "\r\n"
    "Examples:\r\n"
    "  pvroute load\r\n";
constexpr char kClearUsage[] =
    "pvroute: invalid option\r\n"
    "\r\n"
    "Usage: pvroute clear\r\n"
    "\r\n"
    "Examples:\r\n"
    "  pvroute clear\r\n";
constexpr char kFamilyUsage[] =
    "pvroute: invalid option\r\n"
    "\r\n"
    "Usage: pvroute OPERATION [TARGET] [network NW] [netmask NM] [dev IF]\r\n"
    "\r\n"
    "Examples:\r\n"
    "  pvroute add 172.16.0.1 network 192.168.0.0\r\n"
    "  pvroute del 172.16.0.1 network 192.168.0.0\r\n"
    "  pvroute save\r\n"
    "  pvroute load\r\n"
    "  pvroute clear\r\n"
    "  pvroute show\r\n"
    "\r\n"
    "OPERATION:         (add/del/save/load/clear/show)\r\n"
    "TARGET:            IP address of PV\r\n"
    "NW:                Network address\r\n"
    "NM:                Netmask information\r\n"
    "IF:                Interface Device\r\n";
constexpr char kNotRegistered[] = "TARGET is not registered.\r\n";

// Reply, but nothing is sent without a connection (the load at start has none).
int ReplyIfConnected(platform::Socket s, const char* text, int result) {
  return s == platform::kInvalidSocket ? result : Reply(s, text, result);
}

bool ParseOption(const char* keyword, const char* value, CPvrouteData* route) {
  if (IsPrefixOf(keyword, "network")) {
    route->networkText = value;
    return IsIpAddress(value, route->network.data());
  }
  if (IsPrefixOf(keyword, "netmask")) {
    route->netmaskText = value;
    return ParseNetmask(value, &route->netmask);
  }
  if (IsPrefixOf(keyword, "dev")) {
    route->devText = value;
    return true;
  }
  return false;
}

// TARGET from argv[2] and the options from argv[3] on (empty words skipped, every keyword takes
// the next word, the last value wins); a network is required and gets the class default
// netmask when none is given. False when anything is refused.
bool ParseRoute(int argc, char** argv, std::array<uint8_t, 4>* target, CPvrouteData* route) {
  bool ok = IsIpAddress(argv[2], target->data()) != 0;
  if (!ParseOptionPairs(argc, argv, 3, ParseOption, route)) ok = false;
  if (!ok || route->networkText.empty()) return false;
  if (!route->netmaskText.empty()) return true;
  return DefaultClassNetmask(route->network, &route->netmaskText, &route->netmask) == 0;
}

int PvrouteAdd(platform::Socket s, int argc, char** argv) {
  if (argc < 5) return Reply(s, kAddUsage, 0);
  std::array<uint8_t, 4> target{};
  if (!IsIpAddress(argv[2], target.data())) return Reply(s, kAddUsage, 0);
  std::unique_ptr<CPvrouteData> route(new (std::nothrow) CPvrouteData());
  if (!route) {
    Syslog(kLogCrit, "I failed in making of CPvrouteData.");
    return Reply(s, "memory throw\r\n", 0);
  }
  if (!ParseRoute(argc, argv, &target, route.get()) ||
      !CsvCanHold({route->devText, route->networkText, route->netmaskText})) {
    return Reply(s, kAddUsage, 0);
  }
  if (RegistryReplica* replica = ActiveReplica()) {
    return ReplyReplicaOutcome(s, replica->Add(CommandFamily::kPvroute, *route, target.data()));
  }
  const char* refusal = kNotRegistered;
  {
    // Router registry first, then the route list inside it (the route list's own Add).
    CKelListLock hold(PvList());
    CPvData* router = PvList().FindActiveByAddress(target.data(), 1);
    if (router != nullptr) {
      route->pendingAdd = 1;
      if (router->routes.Add(route.get()) == 0) {
        route.release();
        return kResultAdd;
      }
      refusal = "duplication of data\r\n";
    }
  }
  // Replies go out after the registry lock is released, so a slow peer cannot stall it.
  return Reply(s, refusal, 0);
}

int PvrouteDel(platform::Socket s, int argc, char** argv) {
  if (argc < 5) return Reply(s, kDelUsage, 0);
  std::array<uint8_t, 4> target{};
  CPvrouteData key;
  if (!ParseRoute(argc, argv, &target, &key)) return Reply(s, kDelUsage, 0);
  if (RegistryReplica* replica = ActiveReplica()) {
    return ReplyReplicaOutcome(s, replica->Delete(CommandFamily::kPvroute, key, target.data()));
  }
  {
    CKelListLock hold(PvList());
    CPvData* router = PvList().FindActiveByAddress(target.data(), 1);
    if (router != nullptr) {
      router->routes.MarkDeleted(key);
      return kResultDel;
    }
  }
  return Reply(s, kNotRegistered, 0);
}

int PvrouteSave(platform::Socket s, int argc, char**) {
  return SaveOperation(s, argc, kSaveUsage, [] { return SavePvrouteFile(PvList()); });
}

int PvrouteLoadCommand(platform::Socket s, int argc, char**) {
  if (argc != 2) return Reply(s, kLoadUsage, 0);
  if (RegistryReplica* replica = ActiveReplica()) {
    return ReplyReplicaOutcome(s, replica->Load(CommandFamily::kPvroute));
  }
  return PvrouteLoad(s);
}

// Marks the routes of every router, the routers themselves stay.
void ClearRoutes() {
  CKelListLock hold(PvList());
  for (CKelNode* node = PvList().GetHead(1); node != nullptr; node = PvList().GetNext(node, 1)) {
    static_cast<CPvData*>(node->data)->routes.MarkAll(1);
  }
}

int PvrouteClear(platform::Socket s, int argc, char**) {
  return ClearOperation(s, argc, kClearUsage, ClearRoutes, CommandFamily::kPvroute);
}

// A column of the show table: the text and one tab, two when it is shorter than 8 characters.
void AppendColumn(std::string* line, const std::string& text) {
  *line += text;
  *line += text.size() < 8 ? "\t\t" : "\t";
}

// The live routes of one router of the snapshot; false when a send failed.
bool ShowRoutes(platform::Socket s, CPvData& router) {
  CKelListLock hold(router.routes);
  for (CKelNode* node = router.routes.GetHead(1); node != nullptr;
       node = router.routes.GetNext(node, 1)) {
    const auto& route = *static_cast<const CPvrouteData*>(node->data);
    if (route.pendingDelete) continue;
    std::string line;
    AppendColumn(&line, router.addressText);
    AppendColumn(&line, route.devText);
    AppendColumn(&line, route.networkText);
    line += route.netmaskText + "\r\n";
    if (Reply(s, line.c_str(), 0) < 0) return false;
  }
  return true;
}

int PvrouteShow(platform::Socket s, int, char**) {
  if (Reply(s, "PV\t\tIFACE\t\tDESTINATION\tGENMASK\r\n", 0) < 0) return -1;
  CPvList snapshot;
  if (PvList().CopyTo(&snapshot) < 0 && Reply(s, "show error\r\n", 0) < 0) return -1;
  for (CKelNode* node = snapshot.GetHead(); node != nullptr; node = snapshot.GetNext(node)) {
    auto& router = *static_cast<CPvData*>(node->data);
    if (router.pendingDelete) continue;
    if (!ShowRoutes(s, router)) return -1;
  }
  return 0;
}

constexpr RegistryOperation kOperations[] = {{"add", PvrouteAdd},     {"del", PvrouteDel},
                                             {"save", PvrouteSave},   {"load", PvrouteLoadCommand},
                                             {"clear", PvrouteClear}, {"show", PvrouteShow}};

}  // namespace

int PvrouteLoad(platform::Socket s) {
  switch (LoadPvrouteFile(PvList())) {
    case PvrouteLoadResult::kLoaded:
      return kResultLoad;
    case PvrouteLoadResult::kNotOpened:
      return ReplyIfConnected(s, "load error\r\n", 0);
    case PvrouteLoadResult::kNoMemory:
      // Routes were marked already: the controller must still hear of the load.
      return ReplyIfConnected(s, "memory throw\r\n", kResultLoad);
    case PvrouteLoadResult::kFailed:
      break;
  }
  return ReplyIfConnected(s, "load error\r\n", kResultLoad);
}

int PvrouteCommand(platform::Socket s, int argc, char** argv) {
  return DispatchOperation(s, argc, argv, kOperations, OperationMatch::kExact, PvrouteShow,
                           kFamilyUsage);
}
