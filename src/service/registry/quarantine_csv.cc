#include "service/registry/quarantine_csv.h"

#include <string>
#include <vector>

#include "common/address_util.h"
#include "common/text_util.h"
#include "service/registry/csv_file.h"

namespace {

// "SOURCE","PROTOCOL","PORT".
std::string ServerLine(const CQuarantineData& server) {
  return CsvQuote(server.sourceText) + ',' + CsvQuote(server.protocolText) + ',' +
         CsvQuote(server.portText);
}

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
  return CsvSaveRecords(name, list, ServerLine);
}

int LoadQuarantineFile(CQuarantineList& list, const char* name) {
  return CsvLoadRecords(name, list, ServerFromFields, "I failed in making of CQuarantineData.");
}

bool QuarantineFromCsvFields(const std::vector<std::string>& fields, CQuarantineData* server) {
  return ServerFromFields(fields, server);
}
