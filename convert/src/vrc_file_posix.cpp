#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "vrc_platform.h"

int vrc::file_seek64(std::FILE *stream, int64_t offset, int whence)
{
    return fseeko(stream, static_cast<off_t>(offset), whence);
}

int64_t vrc::file_tell64(std::FILE *stream)
{
    return static_cast<int64_t>(ftello(stream));
}

bool vrc::file_identity(const char *path, FileIdentity *out)
{
    struct stat st;
    if (stat(path, &st) != 0) return false;
    *out = FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                        static_cast<uint64_t>(st.st_size)};
    return true;
}

vrc::FileOutcome vrc::file_create_new(const char *path)
{
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd < 0) return errno == EEXIST ? FileOutcome::exists : FileOutcome::failed;
    close(fd);
    return FileOutcome::done;
}

// Without replacing, a hard link claims the name atomically; on a file
// system without hard links the name is checked first, which leaves a
// moment in which another writer may take it.
vrc::FileOutcome vrc::file_rename(const char *from, const char *to, bool replace)
{
    if (replace) return rename(from, to) == 0 ? FileOutcome::done : FileOutcome::failed;
    if (link(from, to) == 0) {
        unlink(from);
        return FileOutcome::done;
    }
    if (errno == EEXIST) return FileOutcome::exists;
    struct stat st;
    if (lstat(to, &st) == 0) return FileOutcome::exists;
    return rename(from, to) == 0 ? FileOutcome::done : FileOutcome::failed;
}

const char *vrc::file_error_text()
{
    return std::strerror(errno);
}

uint32_t vrc::process_id()
{
    return static_cast<uint32_t>(getpid());
}
