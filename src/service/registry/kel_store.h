// The access entries on disk, when section KEL, key STORE of VoKelMng.ini says "enable" (in any
// letter case): a journal "kel.journal" in the working directory, beside the CSV files.
//
// The file is a header line and one record a line, appended as commands arrive:
//   # VoKelMng access entries 1
//   add accept 192.168.0.1 - 3f1c0a2e
//   del accept 192.168.0.1 00:0A:95:9D:68:16 9b04c871
// (operation, target, source as typed, MAC or "-", CRC-32 of what precedes it in hex). A
// record is on disk (written and synced) before the command that made it is answered; records
// of commands that arrive together share one sync. At start the journal is replayed and written
// anew, compacted to one "add" per live entry, through a temporary file and a rename; it is
// compacted the same way once it holds far more records than live entries.
//
// Bytes after the last complete record (a crash in the middle of a write) are ignored with a
// warning. Any other damage refuses the whole file (err, naming file and record): the service
// then runs with no stored entries, memory only, and leaves the file as it is.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "service/registry/kel_data.h"

constexpr char kKelStoreFileName[] = "kel.journal";

enum class KelStoreState {
  kOff,      // STORE not enabled: memory only, as without a store
  kOk,       // every acknowledged change is on disk
  kFailing,  // the last write failed, or the file could not be used at start
};

// What a walk through a journal's text found.
struct KelJournalScan {
  enum Fault { kNone, kHeader, kDamagedRecord } fault = kNone;
  long records = 0;             // complete records walked (up to the damaged one)
  long damagedRecord = 0;       // kDamagedRecord: its number, from 1 (line damagedRecord + 1)
  bool incompleteTail = false;  // bytes after the last complete record, ignored
};

// Walks the journal's text the way the store loads it: the header line, then one record a
// line; each record's entry goes to `apply` (add or del), which takes it over. Stops at the
// first fault.
KelJournalScan ScanKelJournal(const std::string& text,
                              const std::function<void(bool add, CKelData* entry)>& apply);

// True when STORE of section KEL says the journal is kept.
bool KelStoreEnabledSetting();

// Reads the setting and, when enabled, loads the journal into KelDataList() (no marks) and
// rewrites it. Called once at start, before any router can come ON.
void KelStoreStart(const char* name = kKelStoreFileName);
// Closes the journal; the state becomes kOff. For tests and the end of the process.
void KelStoreClose();

enum class KelStoreResult {
  kDone,        // changed (and on disk when the store is on)
  kDuplicate,   // an equal live entry exists; nothing changed, the caller keeps `entry`
  kStoreError,  // changed in memory, but the record could not be written
};

// `kel add`: adds `entry` to KelDataList() and writes its record. Except for kDuplicate the
// registry owns `entry` afterwards.
KelStoreResult KelStoreAdd(CKelData* entry);
// `kel del`: marks every live entry matching `key` deleted and writes the record.
KelStoreResult KelStoreDelete(const CKelData& key);

KelStoreState KelStoreStateNow();
const char* KelStoreStateName(KelStoreState state);  // "off", "ok", "failing"

// While set, every write fails as on a full disk (ENOSPC). For tests.
void KelStoreFailWritesForTest(bool fail);
// For tests: `hook` runs at the start of every flush (one write and sync of all the records
// waiting), outside the store's lock; set it only while no command runs. nullptr removes it.
void KelStoreBeforeFlushForTest(std::function<void()> hook);
// For tests: the flushes since the process started.
uint64_t KelStoreFlushesForTest();
