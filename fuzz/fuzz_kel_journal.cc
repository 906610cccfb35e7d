// The access entry store's journal: the bytes are written as kel.journal and loaded by the real
// store, which compacts the file at start. A file it takes must come back the same: loading the
// compacted file gives the same entries in the same order, and compacting it again changes no
// byte. A file it refuses stays on disk as it was, and nothing of it is loaded.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "platform/profile.h"
#include "service/registry/kel_data.h"
#include "service/registry/kel_store.h"

namespace {

std::string ReadAll(const char* path) {
  std::string text;
  FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return text;
  char chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
  std::fclose(f);
  return text;
}

// Every entry of the registry with every field, in list order.
std::vector<std::string> Entries() {
  std::vector<std::string> out;
  CKelListLock hold(KelDataList());
  for (CKelNode* n = KelDataList().GetHead(1); n != nullptr; n = KelDataList().GetNext(n, 1)) {
    const auto& e = *static_cast<const CKelData*>(n->data);
    char bytes[64];
    std::snprintf(bytes, sizeof bytes, " %u.%u.%u.%u %02x%02x%02x%02x%02x%02x %d%d", e.source[0],
                  e.source[1], e.source[2], e.source[3], e.mac[0], e.mac[1], e.mac[2], e.mac[3],
                  e.mac[4], e.mac[5], e.pendingAdd, e.pendingDelete);
    out.push_back(std::to_string(e.target) + " " + e.sourceText + " " + e.macText + bytes);
  }
  return out;
}

[[noreturn]] void Fail(const char* what, const std::vector<std::string>& before,
                       const std::vector<std::string>& after) {
  std::fprintf(stderr, "%s\nbefore:\n", what);
  for (const std::string& e : before) std::fprintf(stderr, "  %s\n", e.c_str());
  std::fprintf(stderr, "after:\n");
  for (const std::string& e : after) std::fprintf(stderr, "  %s\n", e.c_str());
  std::abort();
}

void Reset() {
  KelStoreClose();
  KelDataList().RemoveAll();
  unlink(kKelStoreFileName);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = [] {
    const std::string& folder = fuzzsupport::SetUp();
    return platform::WriteProfileString("VoKelMng.ini", "KEL", "STORE", "enable") &&
           !folder.empty();
  }();
  if (!ready) std::abort();
  Reset();
  if (!fuzzsupport::WriteFile(kKelStoreFileName, data, size)) std::abort();
  const std::string input(reinterpret_cast<const char*>(data), size);

  KelStoreStart();
  std::vector<std::string> loaded = Entries();
  if (KelStoreStateNow() != KelStoreState::kOk) {
    if (!loaded.empty()) Fail("a refused file left entries behind", {}, loaded);
    if (ReadAll(kKelStoreFileName) != input) Fail("a refused file was changed", {}, {});
    Reset();
    return 0;
  }
  const std::string compacted = ReadAll(kKelStoreFileName);

  KelStoreClose();
  KelDataList().RemoveAll();
  KelStoreStart();
  if (KelStoreStateNow() != KelStoreState::kOk) {
    Fail("the compacted file was refused", loaded, Entries());
  }
  std::vector<std::string> reloaded = Entries();
  if (reloaded != loaded) Fail("the compacted file loads other entries", loaded, reloaded);
  if (ReadAll(kKelStoreFileName) != compacted) {
    Fail("compacting the compacted file changed it", loaded, reloaded);
  }
  Reset();
  return 0;
}
