#include "service/registry/pv_csv.h"

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "common/address_util.h"
#include "common/syslog.h"
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

// 0: the line's router was added. -1: the load must stop.
int PvLoadLine(CPvList& list, const std::string& line) {
  std::unique_ptr<CPvData> router(new (std::nothrow) CPvData);
  if (!router) {
    Syslog(kLogCrit, "I failed in making of CPvData.");
    return -1;
  }
  if (!PvFromFields(CsvSplitFields(line), router.get())) return -1;
  router->pendingAdd = 1;
  if (list.Add(router.get()) != 0) return -1;
  router.release();  // the list owns it now
  return 0;
}

}  // namespace

int PvSave(CPvList& list) {
  CKelListLock lock(list);
  CsvFileWriter writer(kPvFileName, /*owner_only=*/true);
  if (!writer.IsOpen()) return -1;
  for (CKelNode* node = list.GetHead(1); node != nullptr; node = list.GetNext(node, 1)) {
    const CPvData& router = *static_cast<const CPvData*>(node->data);
    if (router.pendingDelete) continue;
    if (!writer.WriteLine(PvLine(router))) return -1;
  }
  return writer.Commit() ? 0 : -1;
}

int PvLoad(CPvList& list) {
  CsvFileReader reader(kPvFileName);
  if (!reader.IsOpen()) return -1;
  if (!list.IsEmpty()) list.MarkAll(1);
  std::string line;
  while (true) {
    int got = reader.ReadLine(&line);
    if (got == 0) return 0;
    if (got < 0) return -1;
    if (PvLoadLine(list, line) != 0) return -1;
  }
}
