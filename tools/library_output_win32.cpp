#include <fcntl.h>
#include <io.h>

#include "library_output.h"

std::FILE *vrc_tool::silence_library_output()
{
    std::fflush(stdout);
    const int report = _dup(_fileno(stdout));
    const int null_device = _open("NUL", _O_WRONLY);
    if (report < 0 || null_device < 0 || _dup2(null_device, _fileno(stdout)) < 0) return nullptr;
    _close(null_device);
    return _fdopen(report, "w");
}
