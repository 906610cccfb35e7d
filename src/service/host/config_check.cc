#include "service/host/config_check.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/syslog.h"
#include "common/text_util.h"
#include "common/tls_channel.h"
#include "platform/profile.h"
#include "service/api/api_settings.h"
#include "service/cluster/cluster_settings.h"
#include "service/command/command_tls.h"
#include "service/registry/csv_file.h"
#include "service/registry/kel_store.h"
#include "service/registry/pc_csv.h"
#include "service/registry/pv_csv.h"
#include "service/registry/pvroute_csv.h"
#include "service/registry/quarantine_csv.h"
#include "service/transport/http_settings.h"

namespace {

constexpr char kServiceIni[] = "VoKelMng.ini";
constexpr char kSyslogIni[] = "syslog.ini";

class Report {
 public:
  explicit Report(std::ostream& out) : out_(out) {}
  void Problem(std::string_view file, const std::string& text) {
    out_ << file << ": " << text << '\n';
    ++problems_;
  }
  void Warning(std::string_view file, const std::string& text) {
    out_ << file << ": warning: " << text << '\n';
    ++warnings_;
  }
  int problems() const { return problems_; }
  int warnings() const { return warnings_; }

 private:
  std::ostream& out_;
  int problems_ = 0;
  int warnings_ = 0;
};

// Whatever is logged while the test runs goes nowhere: the test sends no datagram.
class DiscardSink : public SyslogSink {
 public:
  void Write(int, std::string_view) override {}
};

struct KnownSection {
  const char* name;
  std::vector<const char*> keys;
};

// Every section and key the service reads from its two profile files.
const std::vector<KnownSection>& ServiceIniSections() {
  static const std::vector<KnownSection> sections = {
      {"SERVICE", {"PORT", "REMOTE", "TLSPORT", "TLSCERT", "TLSKEY", "TLSCLIENTCA"}},
      {"PING", {"MODE"}},
      {"ACL", {"SYNC"}},
      {"KEL", {"STORE"}},
      {"HTTP", {"SENDERS", "TLS", "CAFILE", "VERIFY", "CERTFILE", "KEYFILE"}},
      {"STATUS", {"LISTEN"}},
      {"AUDIT", {"SYSLOG", "FILE"}},
      {"CLUSTER", {"ETCD", "NAME", "PREFIX", "LEASE", "CAFILE", "CERTFILE", "KEYFILE"}},
  };
  return sections;
}

const std::vector<KnownSection>& SyslogIniSections() {
  static const std::vector<KnownSection> sections = {
      {"SYSLOG", {"DESTINATION", "PRIORITYMASK", "JOURNAL"}}};
  return sections;
}

bool Same(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

const KnownSection* FindSection(const std::vector<KnownSection>& known, const std::string& name) {
  for (const KnownSection& section : known) {
    if (Same(name, section.name)) return &section;
  }
  return nullptr;
}

// Sections and keys no reader looks at, and repeats that hide a value. false when the file
// cannot be read (a problem); a missing file is fine, every key then takes its default.
bool CheckLayout(Report& report, const char* file, const std::vector<KnownSection>& known) {
  std::vector<platform::ProfileEntry> entries;
  int error = 0;
  if (!platform::ListProfileEntries(file, &entries, &error)) {
    if (error == ENOENT) {
      report.Warning(file,
                     "not found in " + platform::ProfileDir() + "; every key takes its default");
      return true;
    }
    report.Problem(file, "cannot be read: " + std::string(std::strerror(error)));
    return false;
  }
  std::map<std::string, int> sectionLine;  // upper-case name: line of its first header
  std::map<std::string, int> keyLine;      // "SECTION\nKEY": line of its first setting
  bool readSection = false;                // the current section is the first of its name
  for (const platform::ProfileEntry& entry : entries) {
    std::string section = Upper(entry.section);
    const KnownSection* rules = FindSection(known, entry.section);
    std::string at = "line " + std::to_string(entry.line) + ": ";
    if (entry.key.empty()) {
      auto [first, added] = sectionLine.emplace(section, entry.line);
      readSection = added && rules != nullptr;
      if (rules == nullptr && added) {
        report.Warning(file, "[" + entry.section + "] is not a section this service reads");
      } else if (!added) {
        report.Warning(file, at + "[" + entry.section + "] repeats the section of line " +
                                 std::to_string(first->second) + "; only the first one is read");
      }
      continue;
    }
    if (entry.section.empty() && sectionLine.empty()) {
      report.Warning(file, at + entry.key + " stands before any section and is not read");
      continue;
    }
    if (!readSection) continue;  // already reported with its section
    bool knownKey = false;
    for (const char* key : rules->keys) knownKey = knownKey || Same(entry.key, key);
    if (!knownKey) {
      report.Warning(file, "[" + std::string(rules->name) + "] " + entry.key +
                               " is not a key this service reads");
      continue;
    }
    auto [first, added] = keyLine.emplace(section + "\n" + Upper(entry.key), entry.line);
    if (!added) {
      report.Warning(file, at + "[" + std::string(rules->name) + "] " + Upper(entry.key) +
                               " repeats the key of line " + std::to_string(first->second) +
                               "; only the first value is read");
    }
  }
  return true;
}

std::string Read(const char* file, const char* section, const char* key, const char* def,
                 size_t size) {
  return platform::ReadProfileString(file, section, key, def, size);
}

std::string Lower(std::string text) {
  StrLower(text.data());
  return text;
}

// For a key that only knows "enable": any other word is read as "disable".
void CheckSwitchWord(Report& report, const char* section, const char* key, const std::string& value,
                     const char* meaning) {
  std::string word = Lower(value);
  if (word.empty() || word == "enable" || word == "disable") return;
  report.Warning(kServiceIni, std::string("[") + section + "] " + key + ": " + value +
                                  " is neither enable nor disable; " + meaning);
}

// A file the service opens for appending, or creates: it or its folder must be writable.
bool Writable(const std::string& path, std::string* why) {
  if (access(path.c_str(), F_OK) == 0) {
    if (access(path.c_str(), W_OK) == 0) return true;
  } else {
    size_t slash = path.find_last_of('/');
    std::string folder = slash == std::string::npos ? "."
                         : slash == 0               ? "/"
                                                    : path.substr(0, slash);
    if (access(folder.c_str(), W_OK | X_OK) == 0) return true;
  }
  *why = std::strerror(errno);
  return false;
}

void CheckServiceIni(Report& report) {
  const char* f = kServiceIni;
  // [SERVICE]: the command port, as LoadServiceSettings reads it, and the TLS command port.
  std::string portText = Read(f, "SERVICE", "PORT", "8000", 256);
  uint16_t port = ParsePortNumber(portText.c_str(), 1, 65535);
  if (port == 0) {
    report.Problem(f, "[SERVICE] PORT: " + portText + " is not a port number from 1 to 65535");
  }
  CheckSwitchWord(report, "SERVICE", "REMOTE", Read(f, "SERVICE", "REMOTE", "disable", 256),
                  "connections are admitted from 127.0.0.1 only");
  CommandTlsPort tlsPort;
  std::string why;
  if (!MakeCommandTlsPort(ReadCommandTlsSettings(), port, &tlsPort, &why)) {
    report.Problem(f, "[SERVICE] the TLS command port cannot be opened: " + why);
  }

  std::string mode = Read(f, "PING", "MODE", "raw", 256);
  if (mode != "raw" && mode != "dll") {
    report.Warning(f, "[PING] MODE: " + mode + " is neither raw nor dll (lower case); raw is used");
  }
  std::string sync = Read(f, "ACL", "SYNC", "", 256);
  if (!sync.empty() && sync != "state") {
    report.Warning(
        f, "[ACL] SYNC: " + sync + " is not state (lower case); every change is sent as its edits");
  }
  CheckSwitchWord(report, "KEL", "STORE", Read(f, "KEL", "STORE", "disable", 256),
                  "the access entries are kept in memory only");

  // [HTTP]
  std::string senders = Read(f, "HTTP", "SENDERS", "", 256);
  int count = 0;
  if (!senders.empty() && !ParseHttpSenders(senders, &count)) {
    report.Problem(f, "[HTTP] SENDERS: " + senders + " is not a whole number from 1 to " +
                          std::to_string(kMaxHttpSenders));
  }
  std::string tlsWord = Read(f, "HTTP", "TLS", "", 4096);
  CheckSwitchWord(report, "HTTP", "TLS", tlsWord, "plain HTTP is used");
  if (Lower(tlsWord) == "enable") {
    tls::ClientSettings client;
    client.caFile = Read(f, "HTTP", "CAFILE", "", 4096);
    client.certFile = Read(f, "HTTP", "CERTFILE", "", 4096);
    client.keyFile = Read(f, "HTTP", "KEYFILE", "", 4096);
    std::string verify = Read(f, "HTTP", "VERIFY", "", 4096);
    if (!verify.empty() && !ParseRouterVerify(verify, &client.verify)) {
      report.Problem(f, "[HTTP] VERIFY: " + verify + " is not full, chain or none");
      client.verify = tls::Verify::kFull;  // what the service then uses
    }
    if (client.verify == tls::Verify::kNone) {
      report.Warning(f, "[HTTP] VERIFY: none: the routers' certificates are not checked");
    }
    std::string error;
    if (!tls::Context::ForClient(client, &error)) {
      report.Problem(f, "[HTTP] routers over TLS cannot be reached: " + error);
    }
  }

  std::string listen = Read(f, "STATUS", "LISTEN", "", 256);
  ApiListen parsed;
  if (!listen.empty() && !ParseApiListen(listen, &parsed)) {
    report.Problem(f, "[STATUS] LISTEN: " + listen +
                          " is not ADDRESS:PORT with a dotted IPv4 address and a port");
  }

  CheckSwitchWord(report, "AUDIT", "SYSLOG", Read(f, "AUDIT", "SYSLOG", "", 1024),
                  "no record is logged");
  std::string auditFile = Read(f, "AUDIT", "FILE", "", 1024);
  // Auditing never holds the service up: it starts, logs the failure and keeps trying.
  if (!auditFile.empty() && !Writable(auditFile, &why)) {
    report.Warning(f, "[AUDIT] FILE: " + auditFile + " cannot be written: " + why +
                          "; commands are carried out without their file record");
  }

  ClusterSettingsTexts t = ReadClusterSettingsTexts();
  ClusterSettings cluster;
  ClusterSettingsFault fault;
  if (!ParseClusterSettings(t.etcd, t.name, t.prefix, t.lease, t.caFile, t.certFile, t.keyFile,
                            &cluster, &why, &fault)) {
    std::string value = fault.value.empty() ? " " : ": " + fault.value + " ";
    report.Problem(f, "[CLUSTER] " + fault.key + value + fault.why);
  }
}

void CheckSyslogIni(Report& report) {
  const char* f = kSyslogIni;
  std::string destination = Read(f, "SYSLOG", "DESTINATION", "127.0.0.1", 1024);
  uint32_t address = 0;
  if (!SyslogDestinationAddress(destination.c_str(), &address)) {
    report.Problem(f, "[SYSLOG] DESTINATION: " + destination +
                          " is not an IPv4 address; no log line would be sent");
  }
  std::string mask = Read(f, "SYSLOG", "PRIORITYMASK", "info", 256);
  if (SyslogSeverityFromName(mask.c_str()) < 0) {
    report.Warning(f, "[SYSLOG] PRIORITYMASK: " + mask +
                          " is not one of emerg, alert, crit, err, warning, notice, info or "
                          "debug (lower case); debug is used");
  }
  std::string journal = Read(f, "SYSLOG", "JOURNAL", "enable", 256);
  std::string word = Lower(journal);
  if (word != "enable" && word != "disable") {
    report.Warning(f, "[SYSLOG] JOURNAL: " + journal +
                          " is neither enable nor disable; the journal copy stays on");
  }
}

// Opens a file of the working directory for reading. false when it is missing (fine: the
// service starts without it) or cannot be read (a problem).
bool Readable(Report& report, const char* name) {
  int fd = open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) report.Problem(name, "cannot be read: " + std::string(strerror(errno)));
    return false;
  }
  close(fd);
  return true;
}

struct Field {
  const char* name;
  const char* expected;  // what the field must be, for the report
};

// A registry file's line format: its fields, and a line every parser takes, into which one
// field of a refused line is put at a time to find the field the parser refuses.
struct LineFormat {
  std::vector<Field> fields;
  std::vector<std::string> good;
};

using FieldsParser = std::function<bool(const std::vector<std::string>& fields)>;

// What is wrong with a line the parser refused: its first bad field, or a missing one.
std::string BadFieldText(const std::vector<std::string>& fields, const LineFormat& format,
                         const FieldsParser& parses) {
  const size_t n = format.fields.size();
  for (size_t i = 0; i < n && i < fields.size(); ++i) {
    std::vector<std::string> probe = format.good;
    probe[i] = fields[i];
    if (parses(probe)) continue;
    const Field& field = format.fields[i];
    if (fields[i].empty()) return std::string(field.name) + " is empty";
    return std::string(field.name) + " \"" + fields[i] + "\" is not " + field.expected;
  }
  if (fields.size() < n) {
    std::vector<std::string> probe(format.good.begin(), format.good.begin() + fields.size());
    if (!parses(probe)) return std::string(format.fields[fields.size()].name) + " is missing";
  }
  return "the fields are refused";
}

// Judges the fields of line `number` that parsed: what is wrong with them, "" when the load
// takes the line.
using LineTaker = std::function<std::string(const std::vector<std::string>& fields, int number)>;

// Walks a registry file as its load does, reporting every line the load would refuse (the
// load itself stops at the first one).
void CheckRecords(Report& report, const char* name, const LineFormat& format,
                  const FieldsParser& parses, const LineTaker& take) {
  if (!Readable(report, name)) return;
  CsvFileReader reader(name);
  std::string line;
  for (int number = 1;; ++number) {
    int got = reader.ReadLine(&line);
    if (got == 0) return;
    if (got < 0) {
      report.Problem(name, "line " + std::to_string(number) + ": cannot be read");
      return;
    }
    std::vector<std::string> fields = CsvSplitFields(line);
    std::string wrong;
    if (fields.empty()) {
      wrong = "an empty line";
    } else if (!parses(fields)) {
      wrong = BadFieldText(fields, format, parses);
    } else {
      wrong = take(fields, number);
    }
    if (!wrong.empty()) report.Problem(name, "line " + std::to_string(number) + ": " + wrong);
  }
}

void CheckRegistryFiles(Report& report) {
  const Field address{"ADDRESS", "an IPv4 address"};
  const Field port{"PORT", "a port number from 1 to 65535"};
  const Field netmask{"NETMASK", "a netmask"};

  CPvList routers;  // the routers of pv.csv, for the routes' check
  LineFormat pv{{address, port, {"USER", ""}, {"PASSWORD", ""}}, {"192.0.2.1", "80", "", ""}};
  CheckRecords(
      report, kPvFileName, pv,
      [](const std::vector<std::string>& fields) {
        CPvData router;
        return PvFromCsvFields(fields, &router);
      },
      [&routers](const std::vector<std::string>& fields, int) -> std::string {
        auto router = std::make_unique<CPvData>();
        PvFromCsvFields(fields, router.get());
        if (routers.Add(router.get()) != 0) {
          return "ADDRESS " + fields[0] + " is registered on an earlier line";
        }
        router.release();
        return "";
      });

  LineFormat route{
      {{"ROUTER", "an IPv4 address"}, {"DEV", ""}, {"NETWORK", "an IPv4 address"}, netmask},
      {"", "", "", ""}};
  auto parseRoute = [](const std::vector<std::string>& fields, std::array<uint8_t, 4>* at) {
    std::string text;
    CPvrouteData data;
    return PvrouteFromCsvFields(fields, &text, at, &data);
  };
  CheckRecords(
      report, kPvrouteFileName, route,
      [&parseRoute](const std::vector<std::string>& fields) {
        std::array<uint8_t, 4> at{};
        return parseRoute(fields, &at);
      },
      [&](const std::vector<std::string>& fields, int number) -> std::string {
        std::array<uint8_t, 4> at{};
        parseRoute(fields, &at);
        // A route of a router that is not registered is dropped at load, not refused.
        std::string where = "line " + std::to_string(number) + ": ";
        if (fields[0].empty()) {
          report.Warning(kPvrouteFileName, where + "ROUTER is empty; the route is dropped");
        } else if (routers.FindActiveByAddress(at.data()) == nullptr) {
          report.Warning(kPvrouteFileName, where + "ROUTER " + fields[0] + " is not in " +
                                               kPvFileName + "; the route is dropped");
        }
        return "";
      });

  CPcList pcs;
  LineFormat pc{{{"MAC", "a MAC address"},
                 {"SOURCE", "an IPv4 address"},
                 {"NETWORK", "an IPv4 address"},
                 netmask},
                {"", "", "", ""}};
  CheckRecords(
      report, kPcFileName, pc,
      [](const std::vector<std::string>& fields) {
        CPcData entry;
        return PcFromCsvFields(fields, &entry);
      },
      [&pcs](const std::vector<std::string>& fields, int) -> std::string {
        auto entry = std::make_unique<CPcData>();
        PcFromCsvFields(fields, entry.get());
        if (!entry->HasValidShape()) {
          return "not a PC entry: a MAC (with a SOURCE or a NETWORK, or neither), or a NETWORK "
                 "without MAC and SOURCE";
        }
        if (pcs.Add(entry.get()) != 0) return "the entry is registered on an earlier line";
        entry.release();
        return "";
      });

  CQuarantineList servers;
  LineFormat quarantine{{address, {"PROTOCOL", "tcp or udp"}, port}, {"192.0.2.1", "tcp", "80"}};
  CheckRecords(
      report, kQuarantineFileName, quarantine,
      [](const std::vector<std::string>& fields) {
        CQuarantineData server;
        return QuarantineFromCsvFields(fields, &server);
      },
      [&servers](const std::vector<std::string>& fields, int) -> std::string {
        auto server = std::make_unique<CQuarantineData>();
        QuarantineFromCsvFields(fields, server.get());
        if (servers.Add(server.get()) != 0) return "the server is registered on an earlier line";
        server.release();
        return "";
      });
}

void CheckKelJournal(Report& report, bool used) {
  if (!used || !Readable(report, kKelStoreFileName)) return;
  std::string text;
  int fd = open(kKelStoreFileName, O_RDONLY | O_CLOEXEC);
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      report.Problem(kKelStoreFileName, "cannot be read: " + std::string(strerror(errno)));
      close(fd);
      return;
    }
    if (n == 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  KelJournalScan scan = ScanKelJournal(text, [](bool, CKelData* entry) { delete entry; });
  const char* refused = "; the service would refuse the file and keep no stored entry";
  switch (scan.fault) {
    case KelJournalScan::kHeader:
      report.Problem(kKelStoreFileName, std::string("line 1: not the journal's header") + refused);
      return;
    case KelJournalScan::kDamagedRecord:
      report.Problem(kKelStoreFileName, "line " + std::to_string(scan.damagedRecord + 1) +
                                            ": record " + std::to_string(scan.damagedRecord) +
                                            " is damaged" + refused);
      return;
    case KelJournalScan::kNone:
      break;
  }
  if (scan.incompleteTail) {
    report.Warning(kKelStoreFileName, "an incomplete last record is ignored");
  }
}

}  // namespace

int RunConfigCheck(std::ostream& out) {
  static DiscardSink discard;
  SyslogSetSink(&discard);
  Report report(out);
  if (CheckLayout(report, kServiceIni, ServiceIniSections())) CheckServiceIni(report);
  if (CheckLayout(report, kSyslogIni, SyslogIniSections())) CheckSyslogIni(report);
  CheckRegistryFiles(report);
  ClusterSettingsTexts cluster = ReadClusterSettingsTexts();
  CheckKelJournal(report, KelStoreEnabledSetting() || !cluster.etcd.empty());
  SyslogSetSink(nullptr);

  auto counted = [](int n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
  };
  out << kServiceIni << ", " << kSyslogIni << ", 4 registry files and " << kKelStoreFileName
      << ": ";
  if (report.problems() == 0 && report.warnings() == 0) {
    out << "no problems\n";
  } else {
    out << (report.problems() == 0 ? "no problems"
                                   : counted(report.problems(), "problem", "problems"));
    if (report.warnings() > 0) out << ", " << counted(report.warnings(), "warning", "warnings");
    out << '\n';
  }
  out.flush();
  return report.problems() == 0 ? 0 : 1;
}
