// The profile reader and writer over an arbitrary VoKelMng.ini: the service's keys are read,
// then PORT is written as `service save` does. The written value must read back, and the other
// keys must read as before.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "platform/profile.h"

namespace {

constexpr char kFile[] = "VoKelMng.ini";

struct Key {
  const char* section;
  const char* key;
};
constexpr Key kOthers[] = {{"SERVICE", "REMOTE"}, {"PING", "MODE"}, {"SYSLOG", "DESTINATION"}};

std::string Read(const Key& k) {
  return platform::ReadProfileString(kFile, k.section, k.key, "-", 256);
}

void Expect(bool holds, const char* what, const std::string& got) {
  if (holds) return;
  std::fprintf(stderr, "%s: read \"%s\"\n", what, got.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = fuzzsupport::SetUp();
  if (!fuzzsupport::WriteFile(dir + "/" + kFile, data, size)) std::abort();
  std::string before[3];
  for (int i = 0; i < 3; ++i) before[i] = Read(kOthers[i]);
  std::string port = platform::ReadProfileString(kFile, "SERVICE", "PORT", "8000", 16);
  Expect(port.size() <= 15, "PORT cut to its buffer", port);
  if (!platform::WriteProfileString(kFile, "SERVICE", "PORT", "8123")) return 0;
  std::string written = platform::ReadProfileString(kFile, "service", "port", "", 16);
  Expect(written == "8123", "PORT after the write", written);
  for (int i = 0; i < 3; ++i) {
    std::string after = Read(kOthers[i]);
    Expect(after == before[i], kOthers[i].key, after);
  }
  return 0;
}
