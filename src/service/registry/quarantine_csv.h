// The quarantine server registry's file "quarantine.csv": one line per live server,
// "ADDRESS","PROTOCOL","PORT", all three always quoted.
#pragma once

#include <string>
#include <vector>

#include "service/registry/quarantine_data.h"

constexpr const char kQuarantineFileName[] = "quarantine.csv";

// Writes every live server in registry order under the registry's lock, through a temporary
// file renamed over `name`. 0, or -1 with the old file left intact.
int SaveQuarantineFile(CQuarantineList& list, const char* name = kQuarantineFileName);

// Marks every server deleted and adds one server per line (pendingAdd set). The protocol must
// be exactly "tcp" or "udp" here. -1 when the file cannot be opened (nothing changed) or a line
// fails (servers read before stay, old ones stay marked); 0 otherwise.
int LoadQuarantineFile(CQuarantineList& list, const char* name = kQuarantineFileName);

// A server from the fields of one file line (CsvSplitFields).
bool QuarantineFromCsvFields(const std::vector<std::string>& fields, CQuarantineData* server);
