// Copies of the service's state for the operator API. Every registry and queue lock is held
// only while its records are copied; rendering happens after all locks are released.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "service/api/api_view.h"

class CKelHttpClient;

// Where the API reads from. All members may be left empty.
struct ApiSources {
  CKelHttpClient* httpClient = nullptr;  // null: no sender figures
  std::function<bool()> controllerStarted;
  int64_t startTime = 0;  // seconds since 1970
  std::string version;
  std::function<ClusterView()> cluster;  // null: standalone
};

ServiceView CollectService(const ApiSources& sources);
// The live router with this address; nullopt when there is none.
std::optional<RouterView> CollectRouter(const ApiSources& sources,
                                        const std::array<uint8_t, 4>& address);

// The dry run of the router's reload (see service/acl/router_lines.h). nullopt: no such router.
// *complete is false when `stop` cut the walk short.
std::optional<std::vector<LineView>> CollectLines(const std::array<uint8_t, 4>& address,
                                                  const std::atomic<int32_t>* stop, bool* complete);
