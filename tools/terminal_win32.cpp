#include <io.h>
#include <windows.h>

#include "terminal.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004  // older MinGW headers lack it
#endif

bool vrc_tool::is_terminal(std::FILE *stream)
{
    return _isatty(_fileno(stream)) != 0;
}

// A console shows escape codes as text unless asked to act on them.
bool vrc_tool::enable_colour_codes(std::FILE *stream)
{
    const HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    return GetConsoleMode(console, &mode) && SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}
