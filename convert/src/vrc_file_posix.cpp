#include <stdio.h>
#include <sys/types.h>

#include "vrc_platform.h"

int vrc::file_seek64(std::FILE *stream, int64_t offset, int whence)
{
    return fseeko(stream, static_cast<off_t>(offset), whence);
}

int64_t vrc::file_tell64(std::FILE *stream)
{
    return static_cast<int64_t>(ftello(stream));
}
