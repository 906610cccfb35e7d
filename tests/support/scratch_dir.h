// Test support: scratch folders and whole-file reads and writes.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace testsupport {

// A fresh folder under /tmp, removed with everything in it on destruction. It can be made
// the working directory (the registries' CSV files) or the profile directory
// ($VOKELMNG_CONFIG_DIR) for its lifetime; both are restored on destruction.
class ScratchDir {
 public:
  enum Use { kPlain, kWorkingDir, kProfileDir };
  explicit ScratchDir(const std::string& prefix = "vokel", Use use = kPlain);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  bool Write(const std::string& name, const std::string& contents) const;
  std::optional<std::string> Read(const std::string& name) const;

 private:
  std::string path_;
  Use use_;
  std::filesystem::path old_cwd_;
  std::optional<std::string> old_profile_;
};

bool WriteFile(const std::string& path, const std::string& contents);
// The file's bytes; nullopt when it cannot be read.
std::optional<std::string> ReadFile(const std::string& path);
// Permission bits of the file, 0 when it does not exist.
unsigned FileMode(const std::string& path);

}  // namespace testsupport
