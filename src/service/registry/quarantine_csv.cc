#include "service/registry/quarantine_csv.h"

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "common/address_util.h"
#include "common/syslog.h"
#include "common/text_util.h"
#include "service/registry/csv_file.h"

namespace {

// Fills `server` from the fields of one line; false when a field is missing or bad.
bool ServerFromFields(const std::vector<std::string>& fields, CQuarantineData* server) {
  size_t count = fields.size();
  if (count > 0) {
    server->sourceText = fields[0];
    if (!server->sourceText.empty() &&
        !IsIpAddress(server->sourceText.c_str(), server->source.data())) {
      return false;
    }
  }
  if (count > 1) {
    server->protocolText = fields[1];
    if (server->protocolText != "tcp" && server->protocolText != "udp") return false;
  }
  if (count > 2) {
    server->portText = fields[2];
    server->port = ParsePortNumber(server->portText.c_str(), 1, 65535);
    if (server->port == 0) return false;
  }
  return !server->sourceText.empty() && !server->protocolText.empty() && !server->portText.empty();
}

}  // namespace

int SaveQuarantineFile(CQuarantineList& list, const char* name) {
  CsvFileWriter writer(name);
  if (!writer.IsOpen()) return -1;
  CKelListLock hold(list);
  for (CKelNode* node = list.GetHead(1); node != nullptr; node = list.GetNext(node, 1)) {
    const auto& server = *static_cast<const CQuarantineData*>(node->data);
    if (server.pendingDelete) continue;
    std::string line = CsvQuote(server.sourceText) + ',' + CsvQuote(server.protocolText) + ',' +
                       CsvQuote(server.portText);
    if (!writer.WriteLine(line)) return -1;
  }
  return writer.Commit() ? 0 : -1;
}

int LoadQuarantineFile(CQuarantineList& list, const char* name) {
  CsvFileReader reader(name);
  if (!reader.IsOpen()) return -1;
  if (!list.IsEmpty()) list.MarkAll(1);
  std::string line;
  while (true) {
    int got = reader.ReadLine(&line);
    if (got == 0) return 0;
    if (got < 0) return -1;
    std::unique_ptr<CQuarantineData> server(new (std::nothrow) CQuarantineData());
    if (!server) {
      Syslog(kLogCrit, "I failed in making of CQuarantineData.");
      return -1;
    }
    if (!ServerFromFields(CsvSplitFields(line), server.get())) return -1;
    server->pendingAdd = 1;
    if (list.Add(server.get()) != 0) return -1;
    server.release();
  }
}
