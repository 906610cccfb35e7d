#include "service/registry/pc_commands.h"

#include <memory>
#include <new>
#include <string>

#include "common/address_util.h"
#include "common/syslog.h"
#include "service/registry/csv_file.h"
#include "service/registry/pc_csv.h"
#include "service/registry/pc_data.h"
#include "service/registry/registry_commands.h"
#include "service/registry/registry_replica.h"

namespace {

constexpr char kAddUsage[] =
    "pc: invalid option\r\n"
    "\r\n"
    "Usage: pc add [source-mac SRC_MAC [source SRC_IP]] [network NW [netmask NM]]\r\n"
    "\r\n"
    "Examples:\r\n"
    "  pc add source-mac 00:00:00:00:00:00 source 192.168.0.1\r\n"
    "  pc add network 192.168.0.0 netmask 255.255.255.0\r\n";
constexpr char kDelUsage[] =
    "pc: invalid option\r\n"
    "\r\n"
    "Usage: pc del [source-mac SRC_MAC [source SRC_IP]] [network NW [netmask NM]]\r\n"
    "\r\n"
    "Examples:\r\n"
    "  pc del source-mac 00:00:00:00:00:00 source 192.168.0.1\r\n"
    "  pc del network 192.168.0.0 netmask 255.255.255.0\r\n";
constexpr char kSaveUsage[] =
    "pc: invalid option\r\n"
    "\r\n"
    "Usage: pc save\r\n"
    "\r\n"
    "Examples:\r\n"
    "  pc save\r\n";
constexpr char kLoadUsage[] =
    "pc: invalid option\r\n"
    "\r\n"
    "Usage: pc load\r\n"
    "\r\n"
    "Examples:\r\n"
    "  pc load\r\n";
constexpr char kClearUsage[] =
    "pc: invalid option\r\n"
    "\r\n"
    "Usage: pc clear\r\n"
    "\r\n"
    "Examples:\r\n"
    "  pc clear\r\n";
constexpr char kFamilyUsage[] =
    "pc: invalid option\r\n"
    "\r\n"
    "Usage: pc OPERATION [source-mac SRC_MAC [source SRC_IP]] [network NW [netmask NM]]\r\n"
    "\r\n"
    "Examples:\r\n"
    "  pc add source-mac 00:00:00:00:00:00 source 192.168.0.1\r\n"
    "  pc add network 192.168.0.0 netmask 255.255.255.0\r\n"
    "  pc del source-mac 00:00:00:00:00:00 source 192.168.0.1\r\n"
    "  pc del network 192.168.0.0 netmask 255.255.255.0\r\n"
    "  pc save\r\n"
    "  pc load\r\n"
    "  pc clear\r\n"
    "  pc show\r\n"
    "\r\n"
    "OPERATION:         (add/del/save/load/clear/show)\r\n"
    "SRC_MAC:           MAC address of PC\r\n"
    "SRC_IP:            IP address of PC\r\n"
    "NW:                Network address\r\n"
    "NM:                Netmask information\r\n";

// Reads one option value into `pc`; false when the keyword is unknown or the value is bad.
bool ParseOption(const char* keyword, const char* value, CPcData* pc) {
  if (IsPrefixOf(keyword, "source")) {
    pc->sourceText = value;
    return IsIpAddress(value, pc->source.data());
  }
  if (IsPrefixOf(keyword, "source-mac")) {
    pc->macText = value;
    return ParseMacAddress(value, pc->mac.data()) == 0;
  }
  if (IsPrefixOf(keyword, "network")) {
    pc->networkText = value;
    return IsIpAddress(value, pc->network.data());
  }
  if (IsPrefixOf(keyword, "netmask")) {
    pc->netmaskText = value;
    return ParseNetmask(value, &pc->netmask);
  }
  return false;
}

// The option pairs from argv[2] on.
bool ParseOptions(int argc, char** argv, CPcData* pc) {
  return ParseOptionPairs(argc, argv, 2, ParseOption, pc);
}

int PcAdd(platform::Socket s, int argc, char** argv) {
  if (argc < 4) return Reply(s, kAddUsage, 0);
  std::unique_ptr<CPcData> pc(new (std::nothrow) CPcData());
  if (!pc) {
    Syslog(kLogCrit, "I failed in making of CPcData.");
    return Reply(s, "memory throw\r\n", 0);
  }
  if (!ParseOptions(argc, argv, pc.get()) || !pc->HasValidShape() ||
      !CsvCanHold({pc->sourceText, pc->macText, pc->networkText, pc->netmaskText})) {
    return Reply(s, kAddUsage, 0);
  }
  if (pc->HasNetwork() && pc->netmaskText.empty() &&
      DefaultClassNetmask(pc->network, &pc->netmaskText, &pc->netmask) != 0) {
    return Reply(s, kAddUsage, 0);
  }
  if (RegistryReplica* replica = ActiveReplica()) {
    return ReplyReplicaOutcome(s, replica->Add(CommandFamily::kPc, *pc, nullptr));
  }
  pc->pendingAdd = 1;
  if (PcList().Add(pc.get()) != 0) return Reply(s, "duplication of data\r\n", 0);
  pc.release();
  return kResultAdd;
}

int PcDel(platform::Socket s, int argc, char** argv) {
  if (argc < 4) return Reply(s, kDelUsage, 0);
  CPcData key;
  if (!ParseOptions(argc, argv, &key)) return Reply(s, kDelUsage, 0);
  if (!key.HasMac() && !key.HasNetwork()) return Reply(s, kDelUsage, 0);
  if (RegistryReplica* replica = ActiveReplica()) {
    return ReplyReplicaOutcome(s, replica->Delete(CommandFamily::kPc, key, nullptr));
  }
  PcList().MarkDeleted(key);
  return kResultDel;
}

int PcSave(platform::Socket s, int argc, char**) {
  return SaveOperation(s, argc, kSaveUsage, [] { return SavePcFile(PcList()); });
}

int PcLoad(platform::Socket s, int argc, char**) {
  return LoadOperation(
      s, argc, kLoadUsage, [] { return LoadPcFile(PcList()); }, CommandFamily::kPc);
}

int PcClear(platform::Socket s, int argc, char**) {
  return ClearOperation(
      s, argc, kClearUsage, [] { PcList().MarkAll(1); }, CommandFamily::kPc);
}

// One show line: MAC (or two tabs), source, network and netmask in tab-aligned columns.
std::string ShowLine(const CPcData& pc) {
  std::string line = pc.HasMac() ? pc.macText : "\t\t";
  line += '\t';
  line += pc.sourceText;
  line += pc.sourceText.size() < 8 ? "\t\t" : "\t";
  line += pc.networkText;
  line += pc.networkText.size() < 8 ? "\t\t" : "\t";
  line += pc.netmaskText;
  line += "\r\n";
  return line;
}

int PcShow(platform::Socket s, int, char**) {
  return ShowSnapshot(s, "ADDRESS\t\t\tDESTINATION\tNETWORK\t\tNETMASK\r\n", PcList(), ShowLine);
}

constexpr RegistryOperation kOperations[] = {{"add", PcAdd},     {"del", PcDel},
                                             {"save", PcSave},   {"load", PcLoad},
                                             {"clear", PcClear}, {"show", PcShow}};

}  // namespace

int PcCommand(platform::Socket s, int argc, char** argv) {
  return DispatchOperation(s, argc, argv, kOperations, OperationMatch::kExact, PcShow,
                           kFamilyUsage);
}
