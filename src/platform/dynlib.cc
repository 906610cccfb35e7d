#include "platform/dynlib.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <string>

namespace platform {
namespace {

// The loader locks itself, but in a way thread checkers cannot see; one lock of ours around every
// call keeps loads and unloads on different threads visibly ordered, at no cost worth measuring.
std::mutex& LoaderMutex() {
  static std::mutex mutex;
  return mutex;
}

// Directory of the running program, without a trailing slash; empty when unknown.
std::string ProgramDirectory() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return std::string();
  std::string full(path, static_cast<size_t>(n));
  size_t slash = full.rfind('/');
  return slash == std::string::npos ? std::string() : full.substr(0, slash);
}

void* OpenExact(const char* path) {
  std::lock_guard<std::mutex> hold(LoaderMutex());
  return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}

}  // namespace

DynLib DynLibOpen(const char* name) {
  if (name == nullptr || *name == '\0') return nullptr;
  if (std::strchr(name, '/') != nullptr) return OpenExact(name);
  std::string dir = ProgramDirectory();
  if (!dir.empty()) {
    if (void* lib = OpenExact((dir + "/" + name).c_str())) return lib;
    if (void* lib = OpenExact((dir + "/../lib/" + name).c_str())) return lib;
#ifdef VOKEL_PRIVATE_LIBDIR
    // The installed layout: the package's private library folder, relative to the program.
    if (void* lib = OpenExact((dir + "/" VOKEL_PRIVATE_LIBDIR "/" + name).c_str())) return lib;
#endif
  }
  return OpenExact(name);
}

void* DynLibSymbol(DynLib lib, const char* symbol) {
  if (lib == nullptr || symbol == nullptr) return nullptr;
  std::lock_guard<std::mutex> hold(LoaderMutex());
  return dlsym(lib, symbol);
}

void DynLibClose(DynLib lib) {
  if (lib == nullptr) return;
  std::lock_guard<std::mutex> hold(LoaderMutex());
  dlclose(lib);
}

}  // namespace platform
