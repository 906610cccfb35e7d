// The access lists a router would hold after the requests pvsim accepted: a multiset of lines per
// class ("client", "quarantine"). An add inserts one copy, a delete removes one copy (a delete of
// a line not held is counted), a reset clears its class.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace pvsim {

class Table {
 public:
  // The file rewritten after every change; empty: the table is kept but never written.
  explicit Table(std::string path = "") : path_(std::move(path)) {}

  // Applies one accepted request's form fields; true when the table changed. The file is then
  // rewritten through a temporary file and a rename (a failure is reported on stderr).
  bool Apply(const std::vector<std::pair<std::string, std::string>>& form);

  // The file's text: "# deletes of lines not held: N", then one "CLASS LINE" per copy, sorted.
  std::string Text();
  // Writes the file now (the empty table at start); false when it could not be written.
  bool Save();

 private:
  std::string TextLocked() const;
  bool SaveLocked() const;
  std::mutex mutex_;
  std::string path_;
  std::map<std::string, std::map<std::string, long>> copies_;  // class -> line -> copies
  long missingDeletes_ = 0;
};

}  // namespace pvsim
