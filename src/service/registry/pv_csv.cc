#include "service/registry/pv_csv.h"

#include <string>
#include <vector>

#include "common/address_util.h"
#include "common/text_util.h"
#include "service/registry/csv_file.h"

namespace {

// "ADDRESS",PORT,"USER","PASSWORD"; an empty field leaves nothing between its commas.
std::string PvLine(const CPvData& router) {
  std::string line = CsvQuote(router.addressText);
  line += ',';
  line += router.portText;
  line += ',';
  if (!router.user.empty()) line += CsvQuote(router.user);
  line += ',';
  if (!router.password.empty()) line += CsvQuote(router.password);
  return line;
}

// Fills `router` from the fields of one line; false when the line is not a router.
bool PvFromFields(const std::vector<std::string>& fields, CPvData* router) {
  if (fields.empty()) return false;
  router->addressText = fields[0];
  if (!IsIpAddress(router->addressText.c_str(), router->address.data())) return false;
  if (fields.size() > 1) {
    router->portText = fields[1];
    router->port = ParsePortNumber(router->portText.c_str(), 1, 65535);
    if (router->port == 0) return false;
  }
  if (fields.size() > 2) router->user = fields[2];
  if (fields.size() > 3) router->password = fields[3];
  return true;
}

}  // namespace

int PvSave(CPvList& list) { return CsvSaveRecords(kPvFileName, list, PvLine, /*owner_only=*/true); }

int PvLoad(CPvList& list) {
  return CsvLoadRecords(kPvFileName, list, PvFromFields, "I failed in making of CPvData.");
}

bool PvFromCsvFields(const std::vector<std::string>& fields, CPvData* router) {
  return PvFromFields(fields, router);
}
