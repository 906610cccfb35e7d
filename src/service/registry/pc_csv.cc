#include "service/registry/pc_csv.h"

#include <string>
#include <vector>

#include "common/address_util.h"
#include "service/registry/csv_file.h"

namespace {

std::string PcLine(const CPcData& pc) {
  std::string line = CsvQuote(pc.macText);
  line += ',';
  if (pc.HasSource()) line += CsvQuote(pc.sourceText);
  line += ',';
  line += CsvQuote(pc.networkText);
  line += ',';
  line += CsvQuote(pc.netmaskText);
  return line;
}

// Fills `pc` from the fields of one line; false when a field does not parse.
bool PcFromFields(const std::vector<std::string>& fields, CPcData* pc) {
  size_t count = fields.size();
  if (count > 0 && !fields[0].empty()) {
    pc->macText = fields[0];
    if (ParseMacAddress(pc->macText.c_str(), pc->mac.data()) != 0) return false;
  }
  if (count > 1 && !fields[1].empty()) {
    pc->sourceText = fields[1];
    if (!IsIpAddress(pc->sourceText.c_str(), pc->source.data())) return false;
  }
  if (count > 2 && !fields[2].empty()) {
    pc->networkText = fields[2];
    if (!IsIpAddress(pc->networkText.c_str(), pc->network.data())) return false;
  }
  if (count > 3 && !fields[3].empty()) {
    pc->netmaskText = fields[3];
    if (!ParseNetmask(pc->netmaskText.c_str(), &pc->netmask)) return false;
  }
  return true;
}

}  // namespace

int SavePcFile(CPcList& list, const char* name) { return CsvSaveRecords(name, list, PcLine); }

int LoadPcFile(CPcList& list, const char* name) {
  // Add also applies the shape rules, so an empty line or a wrong shape ends the load.
  return CsvLoadRecords(name, list, PcFromFields, "I failed in making of CPcData.");
}

bool PcFromCsvFields(const std::vector<std::string>& fields, CPcData* pc) {
  return PcFromFields(fields, pc);
}
