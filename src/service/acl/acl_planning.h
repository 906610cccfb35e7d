// The processing of each command family: walk the changed records of one registry, queue the
// lines their additions (add) and deletions (delete) give the routers that are ON, then
// clear the pendingAdd marks and remove the records marked pendingDelete in the registry.
// All run on the controller's message thread; a set stop flag ends them before the next element
// and leaves the marks of the records not finished.
#pragma once

#include "service/acl/acl_line.h"
#include "service/acl/acl_walks.h"
#include "service/base/command_handler.h"

void KelFamilyProcess(PlanningContext& ctx);         // access entries
void PvFamilyProcess(PlanningContext& ctx);          // routers
void PvrouteFamilyProcess(PlanningContext& ctx);     // routes
void PcFamilyProcess(PlanningContext& ctx);          // PC entries
void QuarantineFamilyProcess(PlanningContext& ctx);  // quarantine servers

// Everything router R should hold, with `opcode`, for each of its route steps, each PC and
// each quarantine server (what an added router gets; also used by the recovery resend).
void RouterReloadWalk(PlanningContext& ctx, CPvData& router, LineOpcode opcode);
// The same walk in a context that serves router R alone (its resend, its lines): only the PCs
// that can lie behind its routes are copied (PcsBehind), and the walk makes the same lines in
// the same order.
void RouterReloadWalkAlone(PlanningContext& ctx, CPvData& router, LineOpcode opcode);

// What the family's processing does to the registries' marks, without walking or sending: used
// with state-based sync, which finds the changes itself.
void SettleFamilyMarks(CommandFamily family);
