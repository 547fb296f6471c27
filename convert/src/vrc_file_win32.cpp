#include <windows.h>

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

namespace {

uint64_t join32(DWORD high, DWORD low)
{
    return static_cast<uint64_t>(high) << 32 | low;
}

}  // namespace

// Opening with no access right reads the identity of files that others hold
// open, directories included; links are followed.
bool vrc::file_identity(const char *path, FileIdentity *out)
{
    const HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    const bool ok = GetFileInformationByHandle(h, &info) != 0;
    CloseHandle(h);
    if (!ok) return false;
    *out = FileIdentity{info.dwVolumeSerialNumber, join32(info.nFileIndexHigh, info.nFileIndexLow),
                        join32(info.nFileSizeHigh, info.nFileSizeLow)};
    return true;
}

vrc::FileOutcome vrc::file_create_new(const char *path)
{
    const HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_EXISTS ? FileOutcome::exists : FileOutcome::failed;
    CloseHandle(h);
    return FileOutcome::done;
}

vrc::FileOutcome vrc::file_rename(const char *from, const char *to, bool replace)
{
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    if (MoveFileExA(from, to, flags)) return FileOutcome::done;
    const DWORD error = GetLastError();
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? FileOutcome::exists : FileOutcome::failed;
}

const char *vrc::file_error_text()
{
    // One buffer per thread: conversions run on several threads at once.
    static thread_local char text[160];
    const DWORD error = GetLastError();
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                   text, sizeof text, nullptr);
    if (n == 0) snprintf(text, sizeof text, "system error %lu", static_cast<unsigned long>(error));
    for (DWORD i = n; i > 0 && (text[i - 1] == '\r' || text[i - 1] == '\n' || text[i - 1] == '.'); --i)
        text[i - 1] = 0;
    return text;
}

uint32_t vrc::process_id()
{
    return static_cast<uint32_t>(GetCurrentProcessId());
}
