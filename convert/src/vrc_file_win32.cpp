#include <windows.h>

#include <io.h>
#include <stdio.h>

#include <cstring>
#include <string>

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

// Narrow text in the ANSI code page, as the narrow C library reads paths.
std::wstring widen(const char *text)
{
    const int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], n);
    wide.resize(static_cast<size_t>(n - 1));
    return wide;
}

bool starts_with(const std::wstring &text, const wchar_t *prefix)
{
    return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

// The name to give the wide functions for path. Windows refuses a path of
// MAX_PATH characters or more unless it is absolute and in the extended
// form, which bypasses the system's own clean-up of names (separators, dots,
// device names). Shorter paths go as they are, so that "NUL" and relative
// paths keep their meaning; longer ones are made absolute first (the system
// resolves "." and ".." there) and then marked extended.
std::wstring system_path(const char *path)
{
    const std::wstring wide = widen(path);
    if (starts_with(wide, L"\\\\?\\") || starts_with(wide, L"\\\\.\\")) return wide;
    const DWORD room = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (room == 0) return wide;
    std::wstring full(room, L'\0');
    const DWORD n = GetFullPathNameW(wide.c_str(), room, &full[0], nullptr);
    if (n == 0 || n >= room) return wide;
    full.resize(n);
    if (n < MAX_PATH) return wide;
    if (starts_with(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

}  // namespace

std::FILE *vrc::file_open(const char *path, const char *mode)
{
    return _wfopen(system_path(path).c_str(), widen(mode).c_str());
}

void vrc::file_remove(const char *path)
{
    DeleteFileW(system_path(path).c_str());
}

// Opening with no access right reads the identity of files that others hold
// open, directories included; links are followed.
bool vrc::file_identity(const char *path, FileIdentity *out)
{
    const HANDLE h = CreateFileW(system_path(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
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
    const HANDLE h = CreateFileW(system_path(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_EXISTS ? FileOutcome::exists : FileOutcome::failed;
    CloseHandle(h);
    return FileOutcome::done;
}

vrc::FileOutcome vrc::file_rename(const char *from, const char *to, bool replace)
{
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    if (MoveFileExW(system_path(from).c_str(), system_path(to).c_str(), flags)) return FileOutcome::done;
    const DWORD error = GetLastError();
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? FileOutcome::exists : FileOutcome::failed;
}

bool vrc::file_sync_data(const char *path)
{
    const HANDLE h = CreateFileW(system_path(path).c_str(), GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool flushed = FlushFileBuffers(h) != 0;
    const DWORD error = GetLastError();
    CloseHandle(h);
    SetLastError(error);
    return flushed;
}

// file_rename moves with MOVEFILE_WRITE_THROUGH: the new name is on the disk
// when it returns.
bool vrc::file_sync_name(const char *)
{
    return true;
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

// Windows has no gathering write for ordinary files: the slices are copied
// into the staging block and written a MiB at a time.
const size_t vrc::file_slices_staging = 1 << 20;

namespace {

bool write_at(HANDLE file, int64_t offset, const uint8_t *data, DWORD size)
{
    while (size > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset));
        at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
        DWORD done = 0;
        if (!WriteFile(file, data, size, &done, &at) || done == 0) return false;
        offset += done;
        data += done;
        size -= done;
    }
    return true;
}

}  // namespace

uint64_t vrc::file_write_slices(std::FILE *stream, int64_t offset, const IoSlice *slices, int count,
                                uint8_t *staging)
{
    const HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    uint64_t written = 0;
    size_t staged = 0;
    for (int i = 0; i < count; ++i) {
        const uint8_t *data = slices[i].data;
        size_t left = slices[i].size;
        while (left > 0) {
            const size_t n = left < file_slices_staging - staged ? left : file_slices_staging - staged;
            std::memcpy(staging + staged, data, n);
            staged += n;
            data += n;
            left -= n;
            if (staged < file_slices_staging) continue;
            if (!write_at(file, offset + static_cast<int64_t>(written), staging, static_cast<DWORD>(staged)))
                return written;
            written += staged;
            staged = 0;
        }
    }
    if (staged > 0 && write_at(file, offset + static_cast<int64_t>(written), staging, static_cast<DWORD>(staged)))
        written += staged;
    return written;
}
