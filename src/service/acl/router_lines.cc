#include "service/acl/router_lines.h"

#include <unordered_map>

#include "service/acl/acl_planning.h"
#include "service/acl/acl_request.h"

RouterLines RouterReloadLines(const std::array<uint8_t, 4>& address,
                              const std::atomic<int32_t>* stop) {
  RouterLines result;
  AclEnvironment env;
  env.stopRequested = stop;
  env.eventSend = [] { return 1; };  // nothing was queued: nobody to wake
  PlanningContext ctx(env);
  RegistrySnapshot<CPvList, CPvData>* routers = ctx.Routers();
  if (routers == nullptr) return result;
  CPvData* router = nullptr;
  for (CPvData* r : routers->records) {
    if (!r->pendingDelete && r->address == address) {
      router = r;
      break;
    }
  }
  if (router == nullptr) return result;
  result.found = true;
  std::unordered_map<std::string, size_t> seen;
  AclLineCapture capture([&](const CPvData&, LineClass lineClass, const std::string& text) {
    std::string key = std::to_string(static_cast<int>(lineClass)) + ' ' + text;
    auto [at, added] = seen.try_emplace(std::move(key), result.lines.size());
    if (added) result.lines.push_back({lineClass, text, 0});
    ++result.lines[at->second].copies;
  });
  // The same walk, with the same opcode, as the recovery resend of a router that came back.
  RouterReloadWalkAlone(ctx, *router, LineOpcode::kAdd);
  result.complete = !ctx.Interrupted();
  return result;
}
