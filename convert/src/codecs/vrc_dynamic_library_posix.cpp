#include <dlfcn.h>

#include <cstdio>

#include "vrc_dynamic_library.h"

// RTLD_LOCAL: the library's symbols stay out of the process's namespace,
// where they could take the place of a host's own.
void *vrc::library_open(const char *file_name, char *reason, size_t size)
{
    void *library = dlopen(file_name, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char *why = dlerror();
        std::snprintf(reason, size, "%s", why ? why : "the dynamic loader gives no reason");
    }
    return library;
}

vrc::LibraryFunction vrc::library_function(void *library, const char *name)
{
    return reinterpret_cast<LibraryFunction>(dlsym(library, name));
}
