#include "service/registry/csv_file.h"

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

constexpr const char* kLineBlanks = " \t\r\n";
constexpr const char* kFieldBlanks = "\" \t\r\n";

std::string_view TrimRight(std::string_view text, const char* set) {
  size_t end = text.find_last_not_of(set);
  return end == std::string_view::npos ? std::string_view() : text.substr(0, end + 1);
}

std::string_view Trim(std::string_view text, const char* set) {
  size_t begin = text.find_first_not_of(set);
  if (begin == std::string_view::npos) return std::string_view();
  return TrimRight(text.substr(begin), set);
}

}  // namespace

CsvFileWriter::CsvFileWriter(const std::string& name, bool owner_only)
    : file_(name, OptionsFor(name, owner_only)) {}

platform::DurableFile::Options CsvFileWriter::OptionsFor(const std::string& name, bool owner_only) {
  platform::DurableFile::Options options;
  options.temporary = CsvTemporaryName(name);
  if (owner_only) {
    // Restricted before the first byte is written.
    options.mode = 0600;
    options.exactMode = true;
  }
  return options;
}

bool CsvFileWriter::WriteLine(std::string_view line) {
  return file_.Append(line) && file_.Append("\r\n");
}

std::string CsvTemporaryName(const std::string& name) { return name + ".tmp"; }

void CsvRemoveStaleTemporary(const std::string& name) {
  std::error_code ec;
  std::string temp = CsvTemporaryName(name);
  if (fs::is_regular_file(fs::symlink_status(temp, ec))) fs::remove(temp, ec);
}

CsvFileReader::CsvFileReader(const std::string& name) {
  in_.open(name, std::ios::in | std::ios::binary);
  open_ = in_.is_open();
}

int CsvFileReader::ReadLine(std::string* line) {
  if (!open_) return -1;
  line->clear();
  if (!std::getline(in_, *line)) {
    if (in_.bad()) return -1;
    return line->empty() && in_.eof() ? 0 : -1;
  }
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return 1;
}

std::vector<std::string> CsvSplitFields(std::string_view line) {
  std::vector<std::string> fields;
  line = TrimRight(line, kLineBlanks);
  if (line.empty()) return fields;
  while (true) {
    size_t comma = line.find(',');
    fields.emplace_back(Trim(line.substr(0, comma), kFieldBlanks));
    if (comma == std::string_view::npos) break;
    line.remove_prefix(comma + 1);
  }
  return fields;
}

bool CsvCanHold(std::initializer_list<std::string_view> texts) {
  for (std::string_view text : texts) {
    for (char c : text) {
      unsigned char u = static_cast<unsigned char>(c);
      if (c == ',' || c == '"' || u < 0x20 || u == 0x7F) return false;
    }
  }
  return true;
}

std::string CsvQuote(std::string_view text) {
  std::string quoted;
  quoted.reserve(text.size() + 2);
  quoted += '"';
  quoted += text;
  quoted += '"';
  return quoted;
}
