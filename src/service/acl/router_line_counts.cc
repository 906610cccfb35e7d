#include "service/acl/router_line_counts.h"

#include <string>
#include <utility>
#include <vector>

#include "common/syslog.h"
#include "service/acl/acl_client_process.h"

namespace statesync {

void RouterRun::Client(const CPvData& r, const CPvrouteData* t, const CPcData& p,
                       const CQuarantineData& q) {
  if (t != nullptr) {
    KelCommandAclClientProcessIsPvroute(r, *t, p, q, LineOpcode::kAdd);
  } else {
    KelCommandAclClientProcessNoPvroute(r, p, q, LineOpcode::kAdd);
  }
}

void RouterRun::Touch(LineClass lineClass, const std::string& text) {
  size_t space = text.find(' ');
  std::string rest = space == std::string::npos ? text : text.substr(space + 1);
  LineKey key = KeyOf(lineClass, rest);
  Counts& counts = lineClass == LineClass::kClient ? state_.client : state_.kel;
  auto found = counts.find(key);
  uint32_t now = found == counts.end() ? 0 : found->second;
  auto [at, added] = index_.try_emplace(key, touched_.size());
  if (added) {
    touched_.push_back({lineClass, std::move(rest), now,
                        entry_ != nullptr ? KelSubject(*entry_, *pc_) : std::string()});
  }
  if (sign_ > 0) {
    counts[key] = now + 1;
  } else if (sign_ < 0 && now > 0) {
    if (now == 1) {
      counts.erase(found);
    } else {
      found->second = now - 1;
    }
  }
}

bool RouterRun::Send(const CPvData& router) {
  int adds = 0;
  int deletes = 0;
  for (int pass = 0; pass < 2; ++pass) {  // deletes first, then adds
    const bool adding = pass == 1;
    std::vector<const std::string*> announced;
    for (const Touched& t : touched_) {
      const Counts& counts = t.lineClass == LineClass::kClient ? state_.client : state_.kel;
      auto found = counts.find(KeyOf(t.lineClass, t.rest));
      uint32_t now = found == counts.end() ? 0 : found->second;
      bool before = Wanted(t.lineClass, t.before, serversBefore_);
      bool after = Wanted(t.lineClass, now, serversAfter_);
      if (before == after || after != adding) continue;
      const LineOpcode opcode = adding ? LineOpcode::kAdd : LineOpcode::kDelete;
      std::string text = LineOpcodeWord(opcode) + (' ' + t.rest);
      if (QueueAclText(router, t.lineClass, text, "StateSyncPlan") == 0) continue;
      ++(adding ? adds : deletes);
      if (!t.subject.empty()) {
        bool seen = false;
        for (const std::string* s : announced) seen = seen || *s == t.subject;
        if (!seen) {
          announced.push_back(&t.subject);
          AnnounceKelLines(opcode, t.subject, router);
        }
      }
    }
  }
  if (adds + deletes == 0) return false;
  Syslog(kLogInfo, "I planned %d additions and %d deletions of ACL for PV of %s.", adds, deletes,
         router.addressText.c_str());
  return true;
}

}  // namespace statesync
