#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "vrc_platform.h"

int vrc::file_seek64(std::FILE *stream, int64_t offset, int whence)
{
    return fseeko(stream, static_cast<off_t>(offset), whence);
}

int64_t vrc::file_tell64(std::FILE *stream)
{
    return static_cast<int64_t>(ftello(stream));
}

std::FILE *vrc::file_open(const char *path, const char *mode)
{
    return std::fopen(path, mode);
}

void vrc::file_remove(const char *path)
{
    std::remove(path);
}

bool vrc::file_identity(const char *path, FileIdentity *out)
{
    struct stat st;
    if (stat(path, &st) != 0) return false;
    *out = FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                        static_cast<uint64_t>(st.st_size), S_ISREG(st.st_mode), S_ISDIR(st.st_mode)};
    return true;
}

bool vrc::file_exists(const char *path)
{
    struct stat st;
    return lstat(path, &st) == 0;
}

vrc::FileOutcome vrc::directory_create(const char *path)
{
    if (mkdir(path, 0777) == 0) return FileOutcome::done;
    return errno == EEXIST ? FileOutcome::exists : FileOutcome::failed;
}

namespace {

// File systems that do not report kinds in the listing are asked per entry.
bool is_directory_entry(const char *directory, const dirent &entry)
{
    if (entry.d_type != DT_UNKNOWN) return entry.d_type == DT_DIR;
    struct stat st;
    const std::string path = std::string(directory) + "/" + entry.d_name;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Reads to the end; errno tells why it stopped short.
void read_entries(DIR *directory, const char *path, std::vector<vrc::DirectoryEntry> *entries)
{
    for (;;) {
        errno = 0;
        const dirent *entry = readdir(directory);
        if (!entry) return;
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        entries->push_back(vrc::DirectoryEntry{entry->d_name, is_directory_entry(path, *entry)});
    }
}

}  // namespace

bool vrc::directory_list(const char *path, std::vector<DirectoryEntry> *entries)
{
    DIR *directory = opendir(path);
    if (!directory) return false;
    int error = 0;
    try {
        read_entries(directory, path, entries);
        error = errno;
    } catch (const std::bad_alloc &) {
        error = ENOMEM;
    }
    closedir(directory);
    errno = error;
    return error == 0;
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

namespace {

// fsync of what path names, opened for reading only (a directory can be
// opened no other way); errno tells why it failed.
bool sync_path(const char *path, int flags)
{
    const int fd = open(path, O_RDONLY | flags);
    if (fd < 0) return false;
    const bool synced = fsync(fd) == 0;
    const int error = errno;
    close(fd);
    errno = error;
    return synced;
}

}  // namespace

bool vrc::file_sync_data(const char *path)
{
    return sync_path(path, 0);
}

// Some file systems keep no directory to sync and say so: nothing is lost.
bool vrc::file_sync_name(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    try {
        const std::string directory = !slash ? "." : slash == path ? "/" : std::string(path, slash);
        return sync_path(directory.c_str(), O_DIRECTORY) || errno == EINVAL || errno == ENOTSUP;
    } catch (const std::bad_alloc &) {  // nothing thrown leaves the seam
        errno = ENOMEM;
        return false;
    }
}

const char *vrc::file_error_text()
{
    return std::strerror(errno);
}

uint32_t vrc::process_id()
{
    return static_cast<uint32_t>(getpid());
}

const size_t vrc::file_slices_staging = 0;

uint64_t vrc::file_write_slices(std::FILE *stream, int64_t offset, const IoSlice *slices, int count, uint8_t *)
{
    constexpr int kMaxIovecs = 1024;  // the least IOV_MAX that POSIX systems have
    struct iovec iov[kMaxIovecs];
    const int fd = fileno(stream);
    uint64_t written = 0;
    int first = 0;
    while (first < count) {
        const int n = count - first < kMaxIovecs ? count - first : kMaxIovecs;
        for (int i = 0; i < n; ++i)
            iov[i] = iovec{const_cast<uint8_t *>(slices[first + i].data), slices[first + i].size};
        int done = 0;  // iovecs written whole
        while (done < n) {
            const ssize_t r = pwritev(fd, iov + done, n - done, static_cast<off_t>(offset + written));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return written;
            written += static_cast<uint64_t>(r);
            // A partial write: step past the iovecs it covered, into the one it cut.
            for (size_t left = static_cast<size_t>(r); left > 0;) {
                if (left >= iov[done].iov_len) {
                    left -= iov[done].iov_len;
                    ++done;
                } else {
                    iov[done].iov_base = static_cast<uint8_t *>(iov[done].iov_base) + left;
                    iov[done].iov_len -= left;
                    left = 0;
                }
            }
            while (done < n && iov[done].iov_len == 0) ++done;
        }
        first += n;
    }
    return written;
}
