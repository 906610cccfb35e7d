#include "service/acl/acl_client_process.h"

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "common/address_util.h"
#include "common/syslog.h"
#include "service/acl/acl_request.h"
#include "service/acl/entry_match.h"

namespace {

using Quad = std::array<uint8_t, 4>;

const std::string kEmpty;

bool SameUnderMask(const uint8_t* a, const uint8_t* b, const uint8_t* mask) {
  for (int i = 0; i < 4; ++i) {
    if ((a[i] & mask[i]) != (b[i] & mask[i])) return false;
  }
  return true;
}

bool NonZero(const Quad& q) { return q != Quad{}; }

// One pc line (list "pc", accept); logs `who`'s failure line when it cannot be queued.
void ClientLine(const CPvData& r, LineOpcode opcode, const char* who, const std::string& in,
                const std::string& out, const std::string& mac, const std::string& source,
                const std::string& destination, const std::string& protocol,
                const std::string& sport, const std::string& dport) {
  if (KelCommandAclClientMake(r, opcode, "pc", 1, in, out, mac, source, destination, protocol,
                              sport, dport) == 0) {
    Syslog(kLogErr, "%s: An error occurred in KelCommandAclClientMake.", who);
  }
}

}  // namespace

std::string KelSubject(const CKelData& entry, const CPcData& pc) {
  const std::string& mac = !entry.macText.empty() ? entry.macText : pc.macText;
  return entry.sourceText + (mac.empty() ? " " : " (" + mac + ")");
}

void AnnounceKelLines(LineOpcode opcode, const std::string& subject, const CPvData& router) {
  Syslog(kLogInfo, "I started processing to %s ACL for %s to PV of %s.", LineOpcodeWord(opcode),
         subject.c_str(), router.addressText.c_str());
}

void KelCommandAclQuarantineProcess(const AclEnvironment& env, const CKelData* entry,
                                    const CPvData* router, const CPvrouteData* route,
                                    const CPcData* pc, LineOpcode opcode) {
  if (entry == nullptr || router == nullptr || pc == nullptr) return;
  if (!EntryAppliesTo(*entry, route, *pc)) return;
  const std::string& mac = !entry->macText.empty() ? entry->macText : pc->macText;
  const std::string& dev = route != nullptr ? route->devText : kEmpty;
  static const char kFailed[] =
      "KelCommandAclQuarantineProcess: An error occurred in KelCommandKelMake.";
  if (KelCommandKelMake(*router, opcode, "kel", entry->target, dev, kEmpty, entry->sourceText,
                        kEmpty, mac) == 0) {
    Syslog(kLogErr, "%s", kFailed);
    return;
  }
  if (KelCommandKelMake(*router, opcode, "kel", entry->target, kEmpty, dev, kEmpty,
                        entry->sourceText, kEmpty) == 0) {
    Syslog(kLogErr, "%s", kFailed);
    return;
  }
  if (!AclLineCapture::Active()) {  // a dry run announces nothing
    AnnounceKelLines(opcode, KelSubject(*entry, *pc), *router);
  }
  if (AclEventSend(env) == 0) {
    Syslog(kLogErr, "KelCommandAclQuarantineProcess: An error occurred in EventSend.");
  }
}

void KelCommandAclClientProcessIsPvroute(const CPvData& r, const CPvrouteData& t, const CPcData& p,
                                         const CQuarantineData& q, LineOpcode opcode) {
  static const char kWho[] = "KelCommandAclClientProcessIsPvroute";
  const std::string& dev = t.devText;
  bool routeSet = NonZero(t.network) && NonZero(t.netmask);
  bool addressInRoute = p.HasMac() && p.HasSource() && routeSet &&
                        SameUnderMask(p.source.data(), t.network.data(), t.netmask.data());
  bool macOnly = !p.HasSource() && !p.HasNetwork();
  if (addressInRoute || macOnly) {
    ClientLine(r, opcode, kWho, dev, kEmpty, p.macText, p.sourceText, q.sourceText, q.protocolText,
               kEmpty, q.portText);
    ClientLine(r, opcode, kWho, kEmpty, dev, kEmpty, q.sourceText, p.sourceText, q.protocolText,
               q.portText, kEmpty);
  }
  if (p.HasNetwork() && routeSet &&
      SameUnderMask(p.network.data(), t.network.data(), t.netmask.data())) {
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "/%d", NetmaskToPrefix(p.netmaskText.c_str()));
    std::string net = p.networkText + prefix;
    ClientLine(r, opcode, kWho, dev, kEmpty, p.macText, net, q.sourceText, q.protocolText, kEmpty,
               q.portText);
    ClientLine(r, opcode, kWho, kEmpty, dev, kEmpty, q.sourceText, net, q.protocolText, q.portText,
               kEmpty);
  }
}

void KelCommandAclClientProcessNoPvroute(const CPvData& r, const CPcData& p,
                                         const CQuarantineData& q, LineOpcode opcode) {
  if (p.HasSource() || p.HasNetwork()) return;
  static const char kWho[] = "KelCommandAclClientProcessNoPvroute";
  ClientLine(r, opcode, kWho, kEmpty, kEmpty, p.macText, kEmpty, q.sourceText, q.protocolText,
             kEmpty, q.portText);
  ClientLine(r, opcode, kWho, kEmpty, kEmpty, kEmpty, q.sourceText, kEmpty, q.protocolText,
             q.portText, kEmpty);
}

bool PcOutsideRoute(const CPcData& pc, const CPvrouteData& route) {
  return pc.HasSource() && !pc.HasNetwork() &&
         !SameUnderMask(pc.source.data(), route.network.data(), route.netmask.data());
}

void KelCommandAclClientProcess(PlanningContext& ctx, CPvData& router, const CPvrouteData* route,
                                const CPcData& pc, const CQuarantineData& server,
                                LineOpcode opcode) {
  if (route != nullptr) {
    KelCommandAclClientProcessIsPvroute(router, *route, pc, server, opcode);
  } else {
    KelCommandAclClientProcessNoPvroute(router, pc, server, opcode);
  }
  if (AclEventSend(ctx.env()) == 0) {
    Syslog(kLogErr, "KelCommandAclClientProcess: An error occurred in EventSend.");
    return;
  }
  // Only the entries that may apply to this PC: the route decides the rest.
  const std::vector<const CKelData*>* entries = ctx.EntriesFor(pc);
  if (entries == nullptr) return;
  for (const CKelData* e : *entries) {
    if (ctx.StopNow()) return;
    KelCommandAclQuarantineProcess(ctx.env(), e, &router, route, &pc, opcode);
  }
}
