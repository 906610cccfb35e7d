// The lines of one match: the kel lines of one access entry for one PC behind one router, and
// the pc lines between one PC and one quarantine server followed by the kel lines of every entry
// for that PC. `route` is null for a router without routes. The planning makes add and delete
// lines only.
#pragma once

#include <string>

#include "service/acl/acl_environment.h"
#include "service/acl/acl_line.h"
#include "service/acl/acl_walks.h"

// What the info line of an entry's kel lines names: the entry's address and, in brackets, the
// MAC they carry (the entry's, else the PC's).
std::string KelSubject(const CKelData& entry, const CPcData& pc);
// "I started processing to add|delete ACL for SUBJECT to PV of ROUTER." (info).
void AnnounceKelLines(LineOpcode opcode, const std::string& subject, const CPvData& router);

// The two kel lines (in, then out) and the info log line, then the wake-up of the HTTP client;
// nothing unless the entry applies to the PC behind this route.
void KelCommandAclQuarantineProcess(const AclEnvironment& env, const CKelData* entry,
                                    const CPvData* router, const CPvrouteData* route,
                                    const CPcData* pc, LineOpcode opcode);

// The pc lines for a router with routes: the address part, then the network part.
void KelCommandAclClientProcessIsPvroute(const CPvData& router, const CPvrouteData& route,
                                         const CPcData& pc, const CQuarantineData& server,
                                         LineOpcode opcode);
// The pc lines for a router without routes (a PC known by MAC only).
void KelCommandAclClientProcessNoPvroute(const CPvData& router, const CPcData& pc,
                                         const CQuarantineData& server, LineOpcode opcode);

// True when KelCommandAclClientProcess makes no line for PC `pc` behind route `route`,
// whatever the server and the entries: the PC has a source address outside the route and no
// network, so neither its pc lines (its address must lie in the route) nor an entry's kel lines
// (EntryAppliesTo asks the same) go there. The walks pass such PCs over: at a large site a
// router's reload would otherwise visit every server and every entry of every other router's PCs.
bool PcOutsideRoute(const CPcData& pc, const CPvrouteData& route);

// The pc lines, the wake-up, then the kel lines of every live access entry for the PC.
void KelCommandAclClientProcess(PlanningContext& ctx, CPvData& router, const CPvrouteData* route,
                                const CPcData& pc, const CQuarantineData& server,
                                LineOpcode opcode);
