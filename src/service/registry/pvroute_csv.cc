#include "service/registry/pvroute_csv.h"

#include <array>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "common/address_util.h"
#include "common/syslog.h"
#include "service/registry/csv_file.h"
#include "service/registry/pc_data.h"

namespace {

// `"text"`, or nothing for an empty text.
std::string OptionalQuote(const std::string& text) {
  return text.empty() ? std::string() : CsvQuote(text);
}

// Writes the live routes of one router; the caller holds the router registry's lock.
bool WriteRoutes(CsvFileWriter& writer, CPvData& router) {
  CKelListLock hold(router.routes);
  for (CKelNode* node = router.routes.GetHead(1); node != nullptr;
       node = router.routes.GetNext(node, 1)) {
    const auto& route = *static_cast<const CPvrouteData*>(node->data);
    if (route.pendingDelete) continue;
    std::string line = OptionalQuote(router.addressText) + ',' + OptionalQuote(route.devText) +
                       ',' + OptionalQuote(route.networkText) + ',' +
                       OptionalQuote(route.netmaskText);
    if (!writer.WriteLine(line)) return false;
  }
  return true;
}

// Reads one line into `route` and the router address; false when a field does not parse.
bool RouteFromFields(const std::vector<std::string>& fields, std::string* router_text,
                     std::array<uint8_t, 4>* router_address, CPvrouteData* route) {
  size_t count = fields.size();
  if (count > 0) {
    *router_text = fields[0];
    if (!router_text->empty() && !IsIpAddress(router_text->c_str(), router_address->data())) {
      return false;
    }
  }
  if (count > 1) route->devText = fields[1];
  if (count > 2) {
    route->networkText = fields[2];
    if (!route->networkText.empty() &&
        !IsIpAddress(route->networkText.c_str(), route->network.data())) {
      return false;
    }
  }
  if (count > 3) {
    route->netmaskText = fields[3];
    if (!route->netmaskText.empty() && !ParseNetmask(route->netmaskText.c_str(), &route->netmask)) {
      return false;
    }
  }
  return true;
}

// Appends `route` to the live router with this address. True when the route was taken or its
// router is not registered (the route is then dropped); false when no node could be made.
bool AttachRoute(CPvList& routers, const std::string& router_text,
                 const std::array<uint8_t, 4>& router_address,
                 std::unique_ptr<CPvrouteData> route) {
  CKelListLock hold(routers);
  CPvData* router =
      router_text.empty() ? nullptr : routers.FindActiveByAddress(router_address.data(), 1);
  if (router == nullptr) return true;
  route->pendingAdd = 1;
  try {
    router->routes.AddTail(route.get());
  } catch (const char*) {
    return false;
  }
  route.release();
  return true;
}

void MarkAllRoutes(CPvList& routers) {
  CKelListLock hold(routers);
  for (CKelNode* node = routers.GetHead(1); node != nullptr; node = routers.GetNext(node, 1)) {
    static_cast<CPvData*>(node->data)->routes.MarkAll(1);
  }
}

}  // namespace

int SavePvrouteFile(CPvList& routers, const char* name) {
  CsvFileWriter writer(name);
  if (!writer.IsOpen()) return -1;
  CKelListLock hold(routers);
  for (CKelNode* node = routers.GetHead(1); node != nullptr; node = routers.GetNext(node, 1)) {
    if (!WriteRoutes(writer, *static_cast<CPvData*>(node->data))) return -1;
  }
  return writer.Commit() ? 0 : -1;
}

PvrouteLoadResult LoadPvrouteFile(CPvList& routers, const char* name) {
  {
    CKelListLock hold(routers);  // what a route save holds
    CsvRemoveStaleTemporary(name);
  }
  CsvFileReader reader(name);
  if (!reader.IsOpen()) return PvrouteLoadResult::kNotOpened;
  MarkAllRoutes(routers);
  std::string line;
  while (true) {
    int got = reader.ReadLine(&line);
    if (got == 0) return PvrouteLoadResult::kLoaded;
    if (got < 0) return PvrouteLoadResult::kFailed;
    std::unique_ptr<CPvrouteData> route(new (std::nothrow) CPvrouteData());
    if (!route) {
      Syslog(kLogCrit, "I failed in making of CPvrouteData.");
      return PvrouteLoadResult::kNoMemory;
    }
    std::string router_text;
    std::array<uint8_t, 4> router_address{};
    if (!RouteFromFields(CsvSplitFields(line), &router_text, &router_address, route.get())) {
      return PvrouteLoadResult::kFailed;
    }
    if (!AttachRoute(routers, router_text, router_address, std::move(route))) {
      return PvrouteLoadResult::kFailed;
    }
  }
}

bool PvrouteFromCsvFields(const std::vector<std::string>& fields, std::string* router_text,
                          std::array<uint8_t, 4>* router_address, CPvrouteData* route) {
  return RouteFromFields(fields, router_text, router_address, route);
}
