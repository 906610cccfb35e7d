// Shared libraries loaded at run time by file name, and their functions looked up by name.
#pragma once

namespace platform {

using DynLib = void*;

// Loads a shared library. A bare file name is looked for, as the original platform did, first
// in the running program's own directory, then in "../lib" beside it (where the build places
// the project's own libraries), then, in an installed build, in the package's private library
// folder (VOKEL_PRIVATE_LIBDIR, relative to the program's directory, e.g. "../lib/vokelmng"),
// then along the system's search path. A name holding a '/' is loaded as given. nullptr on
// failure.
DynLib DynLibOpen(const char* name);

// The address of the function or object `symbol` in `lib`; nullptr when it has none.
void* DynLibSymbol(DynLib lib, const char* symbol);

// Releases one load of `lib` (null is ignored).
void DynLibClose(DynLib lib);

}  // namespace platform
