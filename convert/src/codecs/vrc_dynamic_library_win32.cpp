#include <windows.h>

#include <cstdio>
#include <new>
#include <string>

#include "vrc_dynamic_library.h"
#include "vrc_platform.h"
#include "vrc_text_win32.h"

// The linker's name for the first byte of this DLL: its module handle.
extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {

// The full path of file_name in the folder this DLL was loaded from; empty
// when that cannot be had.
std::wstring beside_this_dll(const char *file_name)
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(reinterpret_cast<HMODULE>(&__ImageBase), &path[0],
                                           static_cast<DWORD>(path.size()));
        if (n == 0) return std::wstring();
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    const size_t folder_end = path.find_last_of(L"\\/");
    if (folder_end == std::wstring::npos) return std::wstring();
    path.resize(folder_end + 1);
    return path + vrc::widen(file_name);
}

// Beside this DLL, the library's own imports are looked for in its folder
// too (LOAD_WITH_ALTERED_SEARCH_PATH). Elsewhere, the default folders are
// the program's and the system's: neither the current folder nor PATH,
// where anyone may have put a file of that name.
HMODULE load(const char *file_name)
{
    const std::wstring beside = beside_this_dll(file_name);
    HMODULE library = beside.empty() ? nullptr : LoadLibraryExW(beside.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!library) library = LoadLibraryExW(vrc::widen(file_name).c_str(), nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    return library;
}

}  // namespace

void *vrc::library_open(const char *file_name, char *reason, size_t size)
{
    try {
        HMODULE library = load(file_name);
        if (!library) std::snprintf(reason, size, "%s", file_error_text());
        return library;
    } catch (const std::bad_alloc &) {
        std::snprintf(reason, size, "out of memory");
        return nullptr;
    }
}

// FARPROC is a function pointer already: converting it to another function
// pointer type is what GetProcAddress is made for.
vrc::LibraryFunction vrc::library_function(void *library, const char *name)
{
    return reinterpret_cast<LibraryFunction>(GetProcAddress(static_cast<HMODULE>(library), name));
}
