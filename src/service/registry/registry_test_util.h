// Test helpers for the registries: a private working directory, a command connection over a
// socketpair, and whole-file reads, over the shared test support.
#pragma once

#include <string>

#include "command_channel.h"
#include "scratch_dir.h"

namespace registrytest {

using testsupport::CommandChannel;
using testsupport::FileMode;

// A scratch folder made the working directory, where the CSV files are written.
class TempWorkDir : public testsupport::ScratchDir {
 public:
  TempWorkDir() : ScratchDir("vokel-registry", kWorkingDir) {}
};

// The whole file, byte for byte ("<missing>" when it cannot be opened).
inline std::string ReadFile(const std::string& name) {
  return testsupport::ReadFile(name).value_or("<missing>");
}

inline void WriteFile(const std::string& name, const std::string& bytes) {
  testsupport::WriteFile(name, bytes);
}

}  // namespace registrytest
