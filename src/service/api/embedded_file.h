// Files built into the program (cmake/embed_files.cmake): the dashboard's page, script, style
// and icon, served by the operator API without anything installed beside the program.
#pragma once

#include <cstddef>
#include <string_view>

struct EmbeddedFile {
  const char* name;  // base name, "index.html"
  const unsigned char* data;
  size_t size;

  std::string_view Text() const { return {reinterpret_cast<const char*>(data), size}; }
};

// The files of src/service/api/dashboard/, sorted by name.
extern const EmbeddedFile kDashboardFiles[];
extern const size_t kDashboardFilesCount;
