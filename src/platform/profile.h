// Profile (INI) files: "[SECTION]" headers and "key=value" lines, sections and keys matched
// without regard to case. Files are named bare ("VoKelMng.ini") and live in the profile
// directory: $VOKELMNG_CONFIG_DIR, default /etc/vokelmng.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace platform {

// The profile directory, without a trailing slash.
std::string ProfileDir();
// ProfileDir() + "/" + file.
std::string ProfilePath(const char* file);

// Reads `key` of `section` in `file`. A missing file, section or key yields `def`. The value is
// cut to buffer_size - 1 characters, as a caller's fixed buffer of that size would hold.
std::string ReadProfileString(const char* file, const char* section, const char* key,
                              const char* def, size_t buffer_size);

// One section header or key line of a profile file, as ReadProfileString sees it.
struct ProfileEntry {
  int line = 0;         // from 1
  std::string section;  // the section the line opens or belongs to ("" before the first one)
  std::string key;      // empty for a section header
};

// The headers and keys of `file`, in file order; every other line, and one starting with ';'
// or '#', is a comment. false when
// the file cannot be read, with its errno in *error (ENOENT: no such file).
bool ListProfileEntries(const char* file, std::vector<ProfileEntry>* entries, int* error);

// Writes `key`=`value` into `section` of `file`, creating the file (and directory) and section
// as needed. A null value removes the key; a null key removes the whole section. The file is
// replaced atomically. false on failure.
bool WriteProfileString(const char* file, const char* section, const char* key, const char* value);

}  // namespace platform
