// Profile (INI) files: "[SECTION]" headers and "key=value" lines, sections and keys matched
// without regard to case. Files are named bare ("VoKelMng.ini") and live in the profile
// directory: $VOKELMNG_CONFIG_DIR, default /etc/vokelmng.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// The profile directory, without a trailing slash.
std::string ProfileDir();
// ProfileDir() + "/" + file.
std::string ProfilePath(const char* file);

// Reads `key` of `section` in `file`. A missing file, section or key yields `def`. The value is
// cut to buffer_size - 1 characters, as a caller's fixed buffer of that size would hold.
std::string ReadProfileString(const char* file, const char* section, const char* key,
                              const char* def, size_t buffer_size);

// Writes `key`=`value` into `section` of `file`, creating the file (and directory) and section
// as needed. A null value removes the key; a null key removes the whole section. The file is
// replaced atomically. false on failure.
bool WriteProfileString(const char* file, const char* section, const char* key, const char* value);

}  // namespace platform
