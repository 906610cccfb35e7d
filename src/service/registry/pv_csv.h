// The router registry's file "pv.csv" in the working directory: one line per live router,
// "ADDRESS",PORT,"USER","PASSWORD" with CRLF line ends. The file holds passwords (mode 0600).
#pragma once

#include <string>
#include <vector>

#include "service/registry/pv_data.h"

constexpr const char* kPvFileName = "pv.csv";

// Writes every live router of `list`, holding its lock for the whole save, and replaces the file
// only when all of it was written. 0 on success, -1 on failure (the old file is left intact).
int PvSave(CPvList& list = PvList());

// Marks every router of `list` deleted, then adds one router per line with pendingAdd set.
// 0 at end of file. -1 when the file cannot be opened (the list is unchanged), on a read error,
// or at the first bad line (blank line, bad address or port, duplicate address); the routers
// read before it stay. Sends nothing: callers with a connection reply themselves.
int PvLoad(CPvList& list = PvList());

// One router from the fields of one file line (CsvSplitFields).
bool PvFromCsvFields(const std::vector<std::string>& fields, CPvData* router);
