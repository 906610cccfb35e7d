#include "scratch_dir.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

namespace testsupport {

ScratchDir::ScratchDir(const std::string& prefix, Use use) : use_(use) {
  std::string pattern = "/tmp/" + prefix + "-XXXXXX";
  if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  if (path_.empty()) return;
  if (use_ == kWorkingDir) {
    old_cwd_ = std::filesystem::current_path();
    std::filesystem::current_path(path_);
  } else if (use_ == kProfileDir) {
    if (const char* old = getenv("VOKELMNG_CONFIG_DIR")) old_profile_ = old;
    setenv("VOKELMNG_CONFIG_DIR", path_.c_str(), 1);
  }
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  if (use_ == kWorkingDir && !old_cwd_.empty()) std::filesystem::current_path(old_cwd_, ec);
  if (use_ == kProfileDir) {
    if (old_profile_) {
      setenv("VOKELMNG_CONFIG_DIR", old_profile_->c_str(), 1);
    } else {
      unsetenv("VOKELMNG_CONFIG_DIR");
    }
  }
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

bool ScratchDir::Write(const std::string& name, const std::string& contents) const {
  return WriteFile(File(name), contents);
}

std::optional<std::string> ScratchDir::Read(const std::string& name) const {
  return ReadFile(File(name));
}

bool WriteFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
  return static_cast<bool>(out.flush());
}

std::optional<std::string> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

unsigned FileMode(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0;
}

}  // namespace testsupport
