#include <fcntl.h>
#include <unistd.h>

#include "library_output.h"

std::FILE *vrc_tool::silence_library_output()
{
    std::fflush(stdout);
    const int report = dup(STDOUT_FILENO);
    const int null_device = open("/dev/null", O_WRONLY);
    if (report < 0 || null_device < 0 || dup2(null_device, STDOUT_FILENO) < 0) return nullptr;
    close(null_device);
    return fdopen(report, "w");
}
