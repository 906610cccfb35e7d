// The route file "pvroute.csv": one line per live route of every router (routers marked deleted
// included), "ROUTER","DEV","NETWORK","NETMASK", an empty text written as an empty field.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "service/registry/pv_data.h"

constexpr const char kPvrouteFileName[] = "pvroute.csv";

// Writes the routes under the router registry's lock (each route list locked inside it),
// through a temporary file renamed over `name`. 0, or -1 with the old file left intact.
int SavePvrouteFile(CPvList& routers, const char* name = kPvrouteFileName);

enum class PvrouteLoadResult {
  kLoaded,     // every line read; lines whose router is not registered were skipped
  kNotOpened,  // the file could not be opened: no route was marked
  kFailed,     // a bad line or a read error: routes read before stay, old ones stay marked
  kNoMemory,   // a route could not be made (as kFailed otherwise)
};

// Removes a stale temporary file of `name` (CsvRemoveStaleTemporary), opens the file; then marks
// every route of every router deleted and appends one route per line to the live router with that
// address (whatever its port), pendingAdd set, without a duplicate check.
PvrouteLoadResult LoadPvrouteFile(CPvList& routers, const char* name = kPvrouteFileName);

// A route and its router's address from the fields of one file line ("ROUTER","DEV","NETWORK",
// "NETMASK"); false when a field does not parse.
bool PvrouteFromCsvFields(const std::vector<std::string>& fields, std::string* router_text,
                          std::array<uint8_t, 4>* router_address, CPvrouteData* route);
