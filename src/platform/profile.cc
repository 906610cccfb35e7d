#include "platform/profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/durable_file.h"

namespace platform {

namespace {

// Reads, modifies and rewrites of profile files do not interleave within the process.
std::mutex& ProfileMutex() {
  static std::mutex m;
  return m;
}

std::string Trim(const std::string& s) {
  const char* ws = " \t\r\n\v\f";
  size_t b = s.find_first_not_of(ws);
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(ws);
  return s.substr(b, e - b + 1);
}

bool SameText(const std::string& a, const char* b) {
  size_t n = a.size();
  for (size_t i = 0; i < n; ++i) {
    if (b[i] == '\0') return false;
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x != y && std::tolower(x) != std::tolower(y)) return false;
  }
  return b[n] == '\0';
}

// The file's lines without their line ends; nullopt when it cannot be read.
std::optional<std::vector<std::string>> ReadLines(const std::string& path, bool* crlf) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<std::string> lines;
  std::string line;
  bool first = true;
  while (std::getline(in, line)) {
    bool cr = !line.empty() && line.back() == '\r';
    if (cr) line.pop_back();
    if (first && crlf != nullptr) *crlf = cr;
    first = false;
    lines.push_back(line);
  }
  return lines;
}

// The section name of a "[NAME]" line, or nullopt for any other line.
std::optional<std::string> SectionOf(const std::string& line) {
  std::string t = Trim(line);
  if (t.size() < 2 || t.front() != '[') return std::nullopt;
  size_t close = t.find(']');
  if (close == std::string::npos) return std::nullopt;
  return Trim(t.substr(1, close - 1));
}

// The key of a "key=value" line, or nullopt when the line has no '='.
std::optional<std::string> KeyOf(const std::string& line) {
  size_t eq = line.find('=');
  if (eq == std::string::npos) return std::nullopt;
  return Trim(line.substr(0, eq));
}

std::string ValueOf(const std::string& line) {
  std::string v = Trim(line.substr(line.find('=') + 1));
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    v = v.substr(1, v.size() - 2);
  }
  return v;
}

}  // namespace

std::string ProfileDir() {
  const char* dir = std::getenv("VOKELMNG_CONFIG_DIR");
  std::string d = (dir != nullptr && dir[0] != '\0') ? dir : "/etc/vokelmng";
  while (d.size() > 1 && d.back() == '/') d.pop_back();
  return d;
}

std::string ProfilePath(const char* file) {
  return ProfileDir() + "/" + (file != nullptr ? file : "");
}

std::string ReadProfileString(const char* file, const char* section, const char* key,
                              const char* def, size_t buffer_size) {
  std::string value = def != nullptr ? def : "";
  if (file != nullptr && section != nullptr && key != nullptr) {
    std::lock_guard<std::mutex> lock(ProfileMutex());
    auto lines = ReadLines(ProfilePath(file), nullptr);
    if (lines) {
      bool in_section = false;
      for (const std::string& line : *lines) {
        if (auto s = SectionOf(line)) {
          if (in_section) break;
          in_section = SameText(*s, section);
          continue;
        }
        if (!in_section) continue;
        auto k = KeyOf(line);
        if (k && SameText(*k, key)) {
          value = ValueOf(line);
          break;
        }
      }
    }
  }
  if (buffer_size == 0) return std::string();
  if (value.size() > buffer_size - 1) value.resize(buffer_size - 1);
  return value;
}

bool ListProfileEntries(const char* file, std::vector<ProfileEntry>* entries, int* error) {
  entries->clear();
  const std::string path = ProfilePath(file);
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    return false;
  }
  close(fd);
  std::lock_guard<std::mutex> lock(ProfileMutex());
  auto lines = ReadLines(path, nullptr);
  if (!lines) {
    *error = EIO;
    return false;
  }
  std::string section;
  for (size_t i = 0; i < lines->size(); ++i) {
    const std::string& text = (*lines)[i];
    ProfileEntry entry;
    entry.line = static_cast<int>(i + 1);
    std::string trimmed = Trim(text);
    // A key can never begin so, whatever follows: these lines are comments for every reader.
    if (!trimmed.empty() && (trimmed[0] == ';' || trimmed[0] == '#')) continue;
    if (auto s = SectionOf(text)) {
      section = *s;
    } else if (auto k = KeyOf(text)) {
      entry.key = *k;
    } else {
      continue;
    }
    entry.section = section;
    entries->push_back(entry);
  }
  return true;
}

namespace {

// Applies one write to the lines of a profile file (see WriteProfileString).
void ApplyWrite(std::vector<std::string>* lines, const char* section, const char* key,
                const char* value) {
  size_t start = lines->size();  // index of the section header
  for (size_t i = 0; i < lines->size(); ++i) {
    auto s = SectionOf((*lines)[i]);
    if (s && SameText(*s, section)) {
      start = i;
      break;
    }
  }
  if (start == lines->size()) {
    if (key == nullptr || value == nullptr) return;  // nothing to remove
    lines->push_back(std::string("[") + section + "]");
    lines->push_back(std::string(key) + "=" + value);
    return;
  }
  size_t end = start + 1;  // one past the section's last line
  while (end < lines->size() && !SectionOf((*lines)[end])) ++end;
  if (key == nullptr) {
    lines->erase(lines->begin() + static_cast<long>(start),
                 lines->begin() + static_cast<long>(end));
    return;
  }
  size_t last_entry = start;
  for (size_t i = start + 1; i < end; ++i) {
    if (!Trim((*lines)[i]).empty()) last_entry = i;
    auto k = KeyOf((*lines)[i]);
    if (!k || !SameText(*k, key)) continue;
    if (value == nullptr) {
      lines->erase(lines->begin() + static_cast<long>(i));
    } else {
      (*lines)[i] = std::string(key) + "=" + value;
    }
    return;
  }
  if (value != nullptr) {
    lines->insert(lines->begin() + static_cast<long>(last_entry + 1),
                  std::string(key) + "=" + value);
  }
}

bool MakeDirs(const std::string& dir) {
  if (dir.empty()) return true;
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  size_t slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirs(dir.substr(0, slash))) return false;
  return mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST;
}

// Replaces the file durably, keeping its permission bits (0644 for a new file).
bool ReplaceFile(const std::string& path, const std::string& content) {
  struct stat st;
  DurableFile::Options options;
  options.mode = stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
  options.exactMode = true;
  return ReplaceFileDurably(path, content, options);
}

}  // namespace

bool WriteProfileString(const char* file, const char* section, const char* key, const char* value) {
  if (file == nullptr || file[0] == '\0' || section == nullptr) return false;
  std::lock_guard<std::mutex> lock(ProfileMutex());
  const std::string path = ProfilePath(file);
  if (!MakeDirs(path.substr(0, path.find_last_of('/')))) return false;
  bool crlf = false;
  std::vector<std::string> lines;
  if (auto existing = ReadLines(path, &crlf)) {
    lines = std::move(*existing);
  } else if (access(path.c_str(), F_OK) == 0) {
    return false;  // present but unreadable: do not overwrite it
  }
  ApplyWrite(&lines, section, key, value);
  std::string content;
  for (const std::string& line : lines) content += line + (crlf ? "\r\n" : "\n");
  return ReplaceFile(path, content);
}

}  // namespace platform
