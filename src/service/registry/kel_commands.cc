#include "service/registry/kel_commands.h"

#include <memory>
#include <new>
#include <string>

#include "common/address_util.h"
#include "common/syslog.h"
#include "service/registry/kel_data.h"
#include "service/registry/kel_store.h"
#include "service/registry/registry_commands.h"
#include "service/registry/registry_replica.h"

namespace {

const char kAddUsage[] =
    "kel: invalid option\r\n\r\nUsage: kel add TARGET source SRC_IP [source-mac SRC_MAC]\r\n\r\n"
    "Examples:\r\n  kel add accept source 192.168.0.1 source-mac 00:00:00:00:00:00\r\n";
const char kDelUsage[] =
    "kel: invalid option\r\n\r\nUsage: kel del TARGET source SRC_IP [source-mac SRC_MAC]\r\n\r\n"
    "Examples:\r\n  kel del accept source 192.168.0.1 source-mac 00:00:00:00:00:00\r\n";
const char kShowUsage[] =
    "kel: invalid option\r\n\r\nUsage: kel show\r\n\r\nExamples:\r\n  kel show\r\n";
const char kStopText[] =
    "kel: invalid option\r\n\r\nUsage: kel stop\r\n\r\nExamples:\r\n  kel stop\r\n\r\n"
    "Nonimplement\r\n";
const char kStartText[] =
    "kel: invalid option\r\n\r\nUsage: kel start\r\n\r\nExamples:\r\n  kel start\r\n\r\n"
    "Nonimplement\r\n";
const char kFamilyUsage[] =
    "kel: invalid option\r\n\r\nUsage: kel OPERATION [TARGET] [source SRC_IP] [source-mac "
    "SRC_MAC]\r\n\r\nExamples:\r\n  kel add accept source 192.168.0.1 source-mac "
    "00:00:00:00:00:00\r\n  kel del accept source 192.168.0.1 source-mac 00:00:00:00:00:00\r\n"
    "  kel show\r\n\r\nOPERATION:         (add/del/show)\r\nTARGET:            (accept/drop)\r\n"
    "SRC_IP:            IP address of PC\r\nSRC_MAC:           MAC address of PC\r\n"
    "SRC_FQDN:          FQDN of PC\r\n";
const char kShowHeader[] = "TARGET\tDESTINATION\tADDRESS\t\t\tFQDN\r\n";

// Target word: a prefix of "accept" gives 1, else a prefix of "drop" gives 2, else 0.
uint16_t ParseTarget(const char* word) {
  if (IsPrefixOf(word, "accept")) return kKelTargetAccept;
  if (IsPrefixOf(word, "drop")) return kKelTargetDrop;
  return 0;
}

// Walks argv[first..argc) for "source ADDRESS" and "source-mac MAC"; false when any word is
// refused (the walk still goes to the end; the last value of a repeated option wins).
bool ParseOptions(int argc, char** argv, int first, CKelData* entry) {
  bool ok = true;
  for (int i = first; i < argc; ++i) {
    const char* word = argv[i];
    if (word[0] == '\0') continue;
    bool is_source = IsPrefixOf(word, "source");
    bool is_mac = !is_source && IsPrefixOf(word, "source-mac");
    if ((!is_source && !is_mac) || i + 1 >= argc) {
      ok = false;
      continue;
    }
    const char* value = argv[++i];
    if (is_source) {
      entry->sourceText = value;
      if (!IsIpAddress(value, entry->source)) ok = false;
    } else {
      entry->macText = value;
      if (ParseMacAddress(value, entry->mac) != 0) ok = false;
    }
  }
  return ok;
}

// Fills `entry` from "kel add|del TARGET options..."; false when the words are refused.
bool ParseEntry(int argc, char** argv, CKelData* entry) {
  if (argc < 5 || argv[2] == nullptr || argv[3] == nullptr || argv[4] == nullptr) return false;
  entry->target = ParseTarget(argv[2]);
  if (entry->target == 0) return false;
  if (!ParseOptions(argc, argv, 3, entry)) return false;
  return !entry->sourceText.empty();
}

int KelAdd(platform::Socket s, int argc, char** argv) {
  if (argc < 5) return Reply(s, kAddUsage, 0);
  std::unique_ptr<CKelData> entry(new (std::nothrow) CKelData());
  if (!entry) {
    Syslog(kLogCrit, "I failed in making of CKelData.");
    return Reply(s, "memory throw\r\n", 0);
  }
  if (!ParseEntry(argc, argv, entry.get())) return Reply(s, kAddUsage, 0);
  if (RegistryReplica* replica = ActiveReplica()) {
    return ReplyReplicaOutcome(s, replica->Add(CommandFamily::kKel, *entry, nullptr));
  }
  entry->pendingAdd = 1;
  KelStoreResult stored = KelStoreAdd(entry.get());
  if (stored == KelStoreResult::kDuplicate) return Reply(s, "duplication of data\r\n", 0);
  entry.release();  // the registry owns it now
  // Not on disk, but in memory and planned like any other entry.
  if (stored == KelStoreResult::kStoreError) return Reply(s, "store error\r\n", 1);
  return 1;
}

int KelDel(platform::Socket s, int argc, char** argv) {
  CKelData key;
  if (!ParseEntry(argc, argv, &key)) return Reply(s, kDelUsage, 0);
  if (RegistryReplica* replica = ActiveReplica()) {
    return ReplyReplicaOutcome(s, replica->Delete(CommandFamily::kKel, key, nullptr));
  }
  if (KelStoreDelete(key) == KelStoreResult::kStoreError) return Reply(s, "store error\r\n", 2);
  return 2;
}

// One show line: the target word, the source and the MAC in tab-aligned columns.
std::string ShowLine(const CKelData& e) {
  std::string line = e.target == kKelTargetAccept ? "accept"
                     : e.target == kKelTargetDrop ? "drop"
                                                  : "";
  line += "\t" + e.sourceText;
  if (e.sourceText.empty()) line += "\t";
  if (e.sourceText.size() < 8) line += "\t";
  line += "\t" + e.macText + "\r\n";
  return line;
}

int KelShow(platform::Socket s, int argc, char** argv) {
  CKelData filter;
  int first = argc >= 2 ? 2 : 1;
  if (!ParseOptions(argc, argv, first, &filter) || !filter.sourceText.empty() ||
      !filter.macText.empty()) {
    return Reply(s, kShowUsage, 0);
  }
  return ShowSnapshot(s, kShowHeader, KelDataList(), ShowLine);
}

int KelStop(platform::Socket s, int, char**) { return Reply(s, kStopText, 0); }
int KelStart(platform::Socket s, int, char**) { return Reply(s, kStartText, 0); }

const RegistryOperation kOperations[] = {
    {"add", KelAdd}, {"del", KelDel}, {"show", KelShow}, {"stop", KelStop}, {"start", KelStart}};

}  // namespace

int KelCommand(platform::Socket s, int argc, char** argv) {
  return DispatchOperation(s, argc, argv, kOperations, OperationMatch::kExact, KelShow,
                           kFamilyUsage);
}
