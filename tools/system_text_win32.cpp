#include <io.h>
#include <windows.h>

#include <new>

#include "system_text.h"
#include "vrc_platform.h"
#include "vrc_text_win32.h"

// The library's file functions and text conversions, built into the
// command, take its names in UTF-8 on every thread.
bool vrc::utf8_paths()
{
    return true;
}

namespace {

// Older consoles take at most about 64 KiB per call.
constexpr size_t kConsoleChunk = 8192;

void write_console(HANDLE console, const std::wstring &text)
{
    for (size_t at = 0; at < text.size();) {
        size_t n = text.size() - at < kConsoleChunk ? text.size() - at : kConsoleChunk;
        if (at + n < text.size() && IS_HIGH_SURROGATE(text[at + n - 1])) --n;  // a pair stays whole
        DWORD written = 0;
        if (!WriteConsoleW(console, text.data() + at, static_cast<DWORD>(n), &written, nullptr) || written == 0)
            return;
        at += written;
    }
}

}  // namespace

std::vector<std::string> vrc_tool::utf8_arguments(int, char **)
{
    int count = 0;
    wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide) throw std::bad_alloc();  // the system's only reason to fail
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i) arguments.push_back(vrc::narrow(wide[i]));
    LocalFree(wide);
    return arguments;
}

// What the stream holds in its buffer goes out first, so that the order of
// the text stays as it was printed.
void vrc_tool::write_text(std::FILE *stream, const std::string &text)
{
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (!GetConsoleMode(handle, &mode)) {
        std::fwrite(text.data(), 1, text.size(), stream);
        return;
    }
    std::fflush(stream);
    write_console(handle, vrc::widen(text.c_str()));
}
