// Shared libraries that a feature opens when it is first asked for, so that
// the library itself loads, and does everything else, where they are
// missing. Code for one platform lives in vrc_dynamic_library_posix.cpp and
// vrc_dynamic_library_win32.cpp. Nothing here throws.
#ifndef VRC_DYNAMIC_LIBRARY_H
#define VRC_DYNAMIC_LIBRARY_H

#include <cstddef>

namespace vrc {

// A function of an opened library, of a type that says nothing of its
// signature: the caller converts it back to the type it has.
using LibraryFunction = void (*)();

// Opens the shared library file_name (no folder): on Windows from the folder
// of this library's own DLL first, then from the program's folder and the
// system's; elsewhere wherever the dynamic loader looks. It stays loaded
// until the process ends. Null when it cannot be loaded, with the system's
// reason in reason (size bytes, always terminated).
void *library_open(const char *file_name, char *reason, size_t size);

// The function exported under name, or null.
LibraryFunction library_function(void *library, const char *name);

}  // namespace vrc

#endif
