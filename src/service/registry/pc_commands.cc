#include "service/registry/pc_commands.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "common/address_util.h"
#include "common/socket_io.h"
#include "common/syslog.h"
#include "service/command/command_handler.h"
#include "service/registry/pc_csv.h"
#include "service/registry/pc_data.h"

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

// Sends `text`; returns `result`, or -1 when the text cannot be sent.
int Reply(platform::Socket s, const char* text, int result) {
  return SocketSendAll(s, text, std::strlen(text)) < 0 ? -1 : result;
}

bool IsPrefixOf(const char* word, const char* keyword) {
  size_t length = std::strlen(word);
  return length <= std::strlen(keyword) && std::strncmp(word, keyword, length) == 0;
}

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

// Walks argv[2..]: empty words are skipped, every keyword takes the next word. The walk goes
// on after a failure; the last value of a repeated option wins.
bool ParseOptions(int argc, char** argv, CPcData* pc) {
  bool ok = true;
  for (int i = 2; i < argc; ++i) {
    if (argv[i][0] == '\0') continue;
    if (i + 1 >= argc) {
      ok = false;
      break;
    }
    if (!ParseOption(argv[i], argv[i + 1], pc)) ok = false;
    ++i;
  }
  return ok;
}

int PcAdd(platform::Socket s, int argc, char** argv) {
  if (argc < 4) return Reply(s, kAddUsage, 0);
  std::unique_ptr<CPcData> pc(new (std::nothrow) CPcData());
  if (!pc) {
    Syslog(kLogCrit, "I failed in making of CPcData.");
    return Reply(s, "memory throw\r\n", 0);
  }
  if (!ParseOptions(argc, argv, pc.get()) || !pc->HasValidShape()) return Reply(s, kAddUsage, 0);
  if (pc->HasNetwork() && pc->netmaskText.empty() &&
      DefaultClassNetmask(pc->network, &pc->netmaskText, &pc->netmask) != 0) {
    return Reply(s, kAddUsage, 0);
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
  PcList().MarkDeleted(key);
  return kResultDel;
}

int PcSave(platform::Socket s, int argc, char**) {
  if (argc != 2) return Reply(s, kSaveUsage, 0);
  if (SavePcFile(PcList()) != 0) return Reply(s, "save error\r\n", 0);
  return 0;
}

int PcLoad(platform::Socket s, int argc, char**) {
  if (argc != 2) return Reply(s, kLoadUsage, 0);
  if (LoadPcFile(PcList()) != 0) return Reply(s, "load error\r\n", kResultLoad);
  return kResultLoad;
}

int PcClear(platform::Socket s, int argc, char**) {
  if (argc != 2) return Reply(s, kClearUsage, 0);
  PcList().MarkAll(1);
  return kResultClear;
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
  if (Reply(s, "ADDRESS\t\t\tDESTINATION\tNETWORK\t\tNETMASK\r\n", 0) < 0) return -1;
  CPcList snapshot;
  if (PcList().CopyTo(&snapshot) < 0 && Reply(s, "show error\r\n", 0) < 0) return -1;
  for (CKelNode* node = snapshot.GetHead(); node != nullptr; node = snapshot.GetNext(node)) {
    const CPcData& pc = *static_cast<const CPcData*>(node->data);
    if (pc.pendingDelete) continue;
    if (Reply(s, ShowLine(pc).c_str(), 0) < 0) return -1;
  }
  return 0;
}

struct Operation {
  const char* name;
  CommandHandler run;
};

constexpr Operation kOperations[] = {{"add", PcAdd},   {"del", PcDel},     {"save", PcSave},
                                     {"load", PcLoad}, {"clear", PcClear}, {"show", PcShow}};

}  // namespace

int PcCommand(platform::Socket s, int argc, char** argv) {
  if (argc == 1) return PcShow(s, argc, argv);
  for (const Operation& operation : kOperations) {
    if (std::strcmp(argv[1], operation.name) == 0) return operation.run(s, argc, argv);
  }
  return Reply(s, kFamilyUsage, 0);
}
