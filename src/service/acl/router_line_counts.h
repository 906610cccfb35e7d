// The line counts state sync keeps for one router, and one router's share of one run: the lines
// whose counts it touched, sent as deletes, then adds, when their counts cross zero.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "service/acl/acl_request.h"
#include "service/acl/sync_identity.h"
#include "service/registry/kel_data.h"
#include "service/registry/pc_data.h"
#include "service/registry/pv_data.h"
#include "service/registry/pvroute_data.h"
#include "service/registry/quarantine_data.h"

namespace statesync {

using Counts = std::unordered_map<LineKey, uint32_t, LineKeyHash>;

struct RouterState {
  CPvData router;  // as last seen: connection data and the route steps counted
  // The route steps of `router` (its routes not marked deleted, or one step without a route),
  // taken each time it is: they point into its route list.
  std::vector<const CPvrouteData*> steps;
  // The live record last found to make the lines of `router`, with the change counts of the
  // router registry and of that record's routes then: while all three stay, it still does (the
  // registries change no field of a listed record but its marks and keepalive state, and every
  // mark moves the counts). Null until Plan has compared them.
  const CPvData* live = nullptr;
  uint64_t routersChanges = 0;
  uint64_t routesChanges = 0;
  Counts client;  // per line: the (route, PC, server) steps that make it
  Counts kel;     // per line: the (entry, route, PC) steps that make it
};

// One router's share of one run: the lines whose counts it touched, with their counts before.
class RouterRun {
 public:
  RouterRun(RouterState& state, bool serversBefore, bool serversAfter)
      : state_(state), serversBefore_(serversBefore), serversAfter_(serversAfter) {}

  // While the capture lives, every line made on this thread is counted with `sign` (+1, -1,
  // or 0 to name it only).
  AclLineCapture Capture(int sign) {
    sign_ = sign;
    return AclLineCapture([this](const CPvData&, LineClass lineClass, const std::string& text) {
      Touch(lineClass, text);
    });
  }
  // The entry and PC of the kel lines made next (null: client lines).
  void MakingKel(const CKelData* entry, const CPcData* pc) {
    entry_ = entry;
    pc_ = pc;
  }

  // Makes the pc lines of one (route step, PC, server) step, to be counted.
  void Client(const CPvData& r, const CPvrouteData* t, const CPcData& p, const CQuarantineData& q);

  // Queues deletes, then adds, for the lines that crossed zero; the info lines; true when
  // something was queued.
  bool Send(const CPvData& router);

 private:
  struct Touched {
    LineClass lineClass;
    std::string rest;  // the text after the operation word
    uint32_t before;
    std::string subject;  // kel lines: what their info line names
  };

  void Touch(LineClass lineClass, const std::string& text);

  bool Wanted(LineClass lineClass, uint32_t count, bool servers) const {
    return count > 0 && (lineClass == LineClass::kClient || servers);
  }

  RouterState& state_;
  bool serversBefore_;
  bool serversAfter_;
  int sign_ = 0;
  const CKelData* entry_ = nullptr;
  const CPcData* pc_ = nullptr;
  std::unordered_map<LineKey, size_t, LineKeyHash> index_;
  std::vector<Touched> touched_;
};

}  // namespace statesync
