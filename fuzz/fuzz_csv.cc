// The four registry file loaders. The first byte picks the file (pv, pvroute, pc, quarantine);
// the rest is the file. Whatever loads is saved and loaded again into a fresh list: the second
// save must be the first one byte for byte.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "fuzz_support.h"
#include "service/registry/pc_csv.h"
#include "service/registry/pc_data.h"
#include "service/registry/pv_csv.h"
#include "service/registry/pv_data.h"
#include "service/registry/pvroute_csv.h"
#include "service/registry/quarantine_csv.h"
#include "service/registry/quarantine_data.h"

namespace {

std::string Slurp(const char* name) {
  std::ifstream in(name, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void ExpectSame(const char* what, const std::string& first, const std::string& second) {
  if (first == second) return;
  std::fprintf(stderr, "%s: saved after the first load:\n%s\nsaved after the second:\n%s\n", what,
               first.c_str(), second.c_str());
  std::abort();
}

// Routers the route lines can belong to.
void AddRouters(CPvList& routers) {
  const char routerFile[] = "\"127.0.0.5\",880,\"admin\",\"pomvy\"\r\n\"10.0.0.1\",80,,\r\n";
  fuzzsupport::WriteFile("routers.csv", reinterpret_cast<const uint8_t*>(routerFile),
                         sizeof routerFile - 1);
  std::rename("routers.csv", kPvFileName);
  if (PvLoad(routers) != 0) std::abort();
}

template <class List, class Load, class Save>
void RoundTrip(const char* name, Load load, Save save) {
  List first;
  if (load(first, name) != 0) return;
  if (save(first, "first.csv") != 0) std::abort();
  List second;
  if (load(second, "first.csv") != 0) {
    std::fprintf(stderr, "%s: the saved file does not load:\n%s\n", name,
                 Slurp("first.csv").c_str());
    std::abort();
  }
  if (save(second, "second.csv") != 0) std::abort();
  ExpectSame(name, Slurp("first.csv"), Slurp("second.csv"));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::SetUp();
  if (size == 0) return 0;
  const char* names[] = {kPvFileName, kPvrouteFileName, kPcFileName, kQuarantineFileName};
  const char* name = names[data[0] % 4];
  if (!fuzzsupport::WriteFile(name, data + 1, size - 1)) std::abort();
  switch (data[0] % 4) {
    case 0:
      RoundTrip<CPvList>(
          name,
          [](CPvList& list, const char* file) {
            if (std::strcmp(file, kPvFileName) != 0) {
              std::filesystem::copy_file(file, kPvFileName,
                                         std::filesystem::copy_options::overwrite_existing);
            }
            return PvLoad(list);
          },
          [](CPvList& list, const char* file) {
            int saved = PvSave(list);
            std::filesystem::copy_file(kPvFileName, file,
                                       std::filesystem::copy_options::overwrite_existing);
            return saved;
          });
      break;
    case 1:
      RoundTrip<CPvList>(
          name,
          [](CPvList& routers, const char* file) {
            AddRouters(routers);
            return LoadPvrouteFile(routers, file) == PvrouteLoadResult::kLoaded ? 0 : -1;
          },
          [](CPvList& routers, const char* file) { return SavePvrouteFile(routers, file); });
      break;
    case 2:
      RoundTrip<CPcList>(
          name, [](CPcList& list, const char* file) { return LoadPcFile(list, file); },
          [](CPcList& list, const char* file) { return SavePcFile(list, file); });
      break;
    case 3:
      RoundTrip<CQuarantineList>(
          name,
          [](CQuarantineList& list, const char* file) { return LoadQuarantineFile(list, file); },
          [](CQuarantineList& list, const char* file) { return SaveQuarantineFile(list, file); });
      break;
  }
  return 0;
}
