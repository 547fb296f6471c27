#include <stdio.h>

#include "vrc_platform.h"

int vrc::file_seek64(std::FILE *stream, int64_t offset, int whence)
{
    return _fseeki64(stream, offset, whence);
}

int64_t vrc::file_tell64(std::FILE *stream)
{
    return _ftelli64(stream);
}
