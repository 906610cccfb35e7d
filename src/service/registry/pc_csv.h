// The PC registry's file "pc.csv": one line per live entry, four fields
// "MAC","SOURCE","NETWORK","NETMASK" (an empty source is written as an empty field).
#pragma once

#include <string>
#include <vector>

#include "service/registry/pc_data.h"

constexpr const char kPcFileName[] = "pc.csv";

// Writes every live entry in registry order under the registry's lock, through a temporary
// file renamed over `name`. 0, or -1 with the old file left intact.
int SavePcFile(CPcList& list, const char* name = kPcFileName);

// Marks every entry deleted and adds one entry per line (pendingAdd set). -1 when the file
// cannot be opened (nothing changed) or a line fails (entries read before stay, old entries
// stay marked); 0 otherwise.
int LoadPcFile(CPcList& list, const char* name = kPcFileName);

// A PC entry from the fields of one file line (CsvSplitFields).
bool PcFromCsvFields(const std::vector<std::string>& fields, CPcData* pc);
