#include "pvsim_table.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/durable_file.h"

namespace pvsim {

namespace {

std::string Field(const std::vector<std::pair<std::string, std::string>>& form, const char* name) {
  for (const auto& [key, value] : form) {
    if (key == name) return value;
  }
  return "";
}

// Splits "add access-list ..." into its first word and the rest.
std::pair<std::string, std::string> SplitVerb(const std::string& line) {
  size_t space = line.find(' ');
  if (space == std::string::npos) return {line, ""};
  return {line.substr(0, space), line.substr(space + 1)};
}

}  // namespace

bool Table::Apply(const std::vector<std::pair<std::string, std::string>>& form) {
  const std::string cls = Field(form, "class");
  const std::string opcode = Field(form, "opcode");
  if (cls.empty()) return false;
  std::lock_guard<std::mutex> hold(mutex_);
  if (opcode == "reset") {
    copies_.erase(cls);
  } else if (opcode == "set") {
    auto [verb, line] = SplitVerb(Field(form, "acl"));
    if (line.empty()) return false;
    if (verb == "add" || verb == "insert") {
      ++copies_[cls][line];
    } else if (verb == "delete") {
      std::map<std::string, long>& lines = copies_[cls];
      auto at = lines.find(line);
      if (at == lines.end()) {
        ++missingDeletes_;
      } else if (--at->second == 0) {
        lines.erase(at);
      }
    } else {
      return false;
    }
  } else {
    return false;
  }
  SaveLocked();
  return true;
}

bool Table::Save() {
  std::lock_guard<std::mutex> hold(mutex_);
  return SaveLocked();
}

bool Table::SaveLocked() const {
  if (path_.empty()) return true;
  std::string text = TextLocked();
  platform::DurableFile::Options options;
  options.mode = 0644;
  bool ok = platform::ReplaceFileDurably(path_, text, options);
  if (!ok) std::fprintf(stderr, "pvsim: table %s: %s\n", path_.c_str(), std::strerror(errno));
  return ok;
}

std::string Table::Text() {
  std::lock_guard<std::mutex> hold(mutex_);
  return TextLocked();
}

std::string Table::TextLocked() const {
  std::string text = "# deletes of lines not held: " + std::to_string(missingDeletes_) + "\n";
  for (const auto& [cls, lines] : copies_) {
    for (const auto& [line, count] : lines) {
      for (long i = 0; i < count; ++i) text += cls + " " + line + "\n";
    }
  }
  return text;
}

}  // namespace pvsim
