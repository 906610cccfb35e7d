// Registry CSV files: an atomic writer, a line reader and the field splitter shared by every
// registry's save and load. Files are named bare (relative to the working directory).
#pragma once

#include <fstream>
#include <initializer_list>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "common/syslog.h"
#include "platform/durable_file.h"
#include "service/registry/kel_list.h"

// Writes "<name>.tmp" beside the file and renames it over `name` only when every line was
// written and synced, then syncs the folder (platform::DurableFile), so a failed save leaves the
// old file byte for byte and a successful one survives a power cut. Lines end with "\r\n" on
// disk. Not thread-safe: saves of one file must be serialised by the caller (the registry lock
// held across the whole save does that).
class CsvFileWriter {
 public:
  // `owner_only`: the file is created with mode 0600 (files holding passwords).
  explicit CsvFileWriter(const std::string& name, bool owner_only = false);
  // The temporary file is removed on destruction when Commit did not succeed.
  CsvFileWriter(const CsvFileWriter&) = delete;
  CsvFileWriter& operator=(const CsvFileWriter&) = delete;

  // False when the temporary file could not be created.
  bool IsOpen() const { return file_.IsOpen(); }
  // Appends `line` and "\r\n". False on failure; a failure makes Commit fail too.
  bool WriteLine(std::string_view line);
  // Writes, syncs and renames over the file, then syncs the folder. False on any failure: the
  // old file is intact, except after a failed folder sync (the new file is in place but may
  // not survive a power cut).
  bool Commit() { return file_.Commit(); }

 private:
  static platform::DurableFile::Options OptionsFor(const std::string& name, bool owner_only);

  platform::DurableFile file_;
};

// "<name>.tmp", where a save of `name` writes before it renames.
std::string CsvTemporaryName(const std::string& name);

// Removes "<name>.tmp" when it is a regular file: what a save that was killed (SIGKILL, a power
// loss) left behind. Anything else of that name (a directory, a link) and the file `name`
// itself are left alone. The caller holds the lock of the list saved to `name`, so no save of
// it in this process is under way.
void CsvRemoveStaleTemporary(const std::string& name);

// Reads a file line by line; a line ends with "\n" or "\r\n" (neither is returned).
class CsvFileReader {
 public:
  explicit CsvFileReader(const std::string& name);
  CsvFileReader(const CsvFileReader&) = delete;
  CsvFileReader& operator=(const CsvFileReader&) = delete;

  // False when the file could not be opened.
  bool IsOpen() const { return open_; }
  // 1: a line is in *line. 0: end of file. -1: read error.
  int ReadLine(std::string* line);

 private:
  std::ifstream in_;
  bool open_ = false;
};

// Splits one file line into fields. Trailing blanks, tabs, CRs and LFs of the line are cut
// first; an empty line then has no field at all. Otherwise every comma ends a field, so a line
// ending in a comma has a last field that is present and empty. Each field is trimmed of
// leading and trailing double quotes, blanks, tabs, CRs and LFs. Nothing is unescaped.
std::vector<std::string> CsvSplitFields(std::string_view line);

// True when every text can be written as a field and read back the same: none holds a comma,
// a double quote or a control character (below 0x20, or 0x7F), since the reader splits at
// commas, trims quotes, blanks, tabs and line ends, and ends a line at a line feed. A command
// must refuse to keep a value the files cannot hold.
bool CsvCanHold(std::initializer_list<std::string_view> texts);

// `"text"`: the text in double quotes, as the files write text fields.
std::string CsvQuote(std::string_view text);

// Loads the file `name` into `list`: removes a stale temporary file of `name` (see
// CsvRemoveStaleTemporary; the loads at start thus clean up after a killed save), marks every
// entry deleted first (when there is any), then
// for each line makes a T, fills it with `parse` from the line's fields, flags it pendingAdd
// and adds it with list.Add. 0 at the end of the file. -1 when the file cannot be opened, a read
// fails, a T cannot be made (logged at crit as `make_text`), `parse` refuses the fields or Add
// refuses the record; the load stops at that line and what was added so far stays.
template <class T, class List>
int CsvLoadRecords(const std::string& name, List& list,
                   bool (*parse)(const std::vector<std::string>& fields, T* record),
                   const char* make_text) {
  {
    CKelListLock hold(list);
    CsvRemoveStaleTemporary(name);
  }
  CsvFileReader reader(name);
  if (!reader.IsOpen()) return -1;
  if (!list.IsEmpty()) list.MarkAll(1);
  std::string line;
  while (true) {
    int got = reader.ReadLine(&line);
    if (got == 0) return 0;
    if (got < 0) return -1;
    std::unique_ptr<T> record(new (std::nothrow) T());
    if (!record) {
      Syslog(kLogCrit, "%s", make_text);
      return -1;
    }
    if (!parse(CsvSplitFields(line), record.get())) return -1;
    record->pendingAdd = 1;
    if (list.Add(record.get()) != 0) return -1;
    record.release();  // the list owns it now
  }
}

// Saves `list` as the file `name`: `line(record)` for every entry not marked deleted, all under
// one hold of the list's lock, taken before the temporary file is made so that two saves of one
// list cannot write it at once. `owner_only` as for CsvFileWriter. 0, or -1 (old file intact).
template <class T>
int CsvSaveRecords(const std::string& name, CKelList& list, std::string (*line)(const T&),
                   bool owner_only = false) {
  CKelListLock hold(list);
  CsvFileWriter writer(name, owner_only);
  if (!writer.IsOpen()) return -1;
  for (CKelNode* node = list.GetHead(1); node != nullptr; node = list.GetNext(node, 1)) {
    const T& record = *static_cast<const T*>(node->data);
    if (record.pendingDelete) continue;
    if (!writer.WriteLine(line(record))) return -1;
  }
  return writer.Commit() ? 0 : -1;
}
