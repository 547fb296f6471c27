#include <windows.h>

#include <io.h>
#include <stdio.h>

#include <cstring>
#include <new>
#include <string>

#include "vrc_platform.h"
#include "vrc_text_win32.h"

int vrc::file_seek64(std::FILE *stream, int64_t offset, int whence)
{
    return _fseeki64(stream, offset, whence);
}

int64_t vrc::file_tell64(std::FILE *stream)
{
    return _ftelli64(stream);
}

namespace {

// The code page of the narrow text this thread exchanges with the seam.
UINT narrow_code_page()
{
    return vrc::utf8_paths() ? CP_UTF8 : CP_ACP;
}

}  // namespace

std::wstring vrc::widen(const char *text)
{
    const UINT code_page = narrow_code_page();
    const int n = MultiByteToWideChar(code_page, 0, text, -1, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(code_page, 0, text, -1, &wide[0], n);
    wide.resize(static_cast<size_t>(n - 1));
    return wide;
}

std::string vrc::narrow(const wchar_t *text)
{
    const UINT code_page = narrow_code_page();
    const int n = WideCharToMultiByte(code_page, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string narrowed(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(code_page, 0, text, -1, &narrowed[0], n, nullptr, nullptr);
    narrowed.resize(static_cast<size_t>(n - 1));
    return narrowed;
}

namespace {

uint64_t join32(DWORD high, DWORD low)
{
    return static_cast<uint64_t>(high) << 32 | low;
}

bool starts_with(const std::wstring &text, const wchar_t *prefix)
{
    return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

// Windows refuses a path as long as this unless it is in the extended form:
// MAX_PATH for files, 12 less for a directory to be created (room for an
// 8.3 name inside it).
constexpr DWORD kLongPath = MAX_PATH - 12;

// The name to give the wide functions for path. A long path goes absolute
// and in the extended form, which bypasses the system's own clean-up of
// names (separators, dots, device names): the system resolves "." and ".."
// while making it absolute. Shorter paths go as they are, so that "NUL" and
// relative paths keep their meaning.
std::wstring system_path_or_throw(const char *path)
{
    const std::wstring wide = vrc::widen(path);
    if (starts_with(wide, L"\\\\?\\") || starts_with(wide, L"\\\\.\\")) return wide;
    const DWORD room = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (room == 0) return wide;
    std::wstring full(room, L'\0');
    const DWORD n = GetFullPathNameW(wide.c_str(), room, &full[0], nullptr);
    if (n == 0 || n >= room) return wide;
    full.resize(n);
    if (n < kLongPath) return wide;
    if (starts_with(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// Out of memory, the name is empty, which every call below refuses as it
// refuses a missing file: nothing thrown may leave the library.
std::wstring system_path(const char *path) noexcept
{
    try {
        return system_path_or_throw(path);
    } catch (const std::bad_alloc &) {
        return std::wstring();
    }
}

}  // namespace

std::FILE *vrc::file_open(const char *path, const char *mode)
{
    wchar_t wide_mode[8] = {};  // a few ASCII letters: no allocation that could fail
    for (size_t i = 0; mode[i] != '\0' && i + 1 < sizeof wide_mode / sizeof wide_mode[0]; ++i) wide_mode[i] = mode[i];
    return _wfopen(system_path(path).c_str(), wide_mode);
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
    // Devices (NUL, CON) may have no file information: their kind is enough.
    BY_HANDLE_FILE_INFORMATION info{};
    const bool on_disk = GetFileType(h) == FILE_TYPE_DISK;
    const bool ok = GetFileInformationByHandle(h, &info) != 0 || !on_disk;
    CloseHandle(h);
    if (!ok) return false;
    *out = FileIdentity{info.dwVolumeSerialNumber, join32(info.nFileIndexHigh, info.nFileIndexLow),
                        join32(info.nFileSizeHigh, info.nFileSizeLow),
                        on_disk && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0,
                        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0};
    return true;
}

bool vrc::file_exists(const char *path)
{
    return GetFileAttributesW(system_path(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

vrc::FileOutcome vrc::directory_create(const char *path)
{
    if (CreateDirectoryW(system_path(path).c_str(), nullptr)) return FileOutcome::done;
    return GetLastError() == ERROR_ALREADY_EXISTS ? FileOutcome::exists : FileOutcome::failed;
}

// Junctions and symbolic links to directories are reparse points: they are
// listed, not entered.
bool vrc::directory_list(const char *path, std::vector<DirectoryEntry> *entries)
{
    HANDLE h = INVALID_HANDLE_VALUE;
    DWORD error = ERROR_NOT_ENOUGH_MEMORY;
    try {
        std::wstring pattern = system_path(path);
        const wchar_t last = pattern.empty() ? L'\0' : pattern.back();
        pattern += last == L'\\' || last == L'/' || last == L':' ? L"*" : L"\\*";
        WIN32_FIND_DATAW found;
        h = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
                             FIND_FIRST_EX_LARGE_FETCH);
        if (h == INVALID_HANDLE_VALUE) return false;
        do {
            if (std::wcscmp(found.cFileName, L".") == 0 || std::wcscmp(found.cFileName, L"..") == 0) continue;
            const DWORD attributes = found.dwFileAttributes;
            const bool directory =
                (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
            entries->push_back(DirectoryEntry{narrow(found.cFileName), directory});
        } while (FindNextFileW(h, &found));
        error = GetLastError();
    } catch (const std::bad_alloc &) {
    }
    if (h != INVALID_HANDLE_VALUE) FindClose(h);
    SetLastError(error);
    return error == ERROR_NO_MORE_FILES;
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

// In the thread's narrow code page, like the paths in the same message.
const char *vrc::file_error_text()
{
    // One buffer per thread: conversions run on several threads at once.
    static thread_local char text[480];  // 160 UTF-16 units take at most 480 UTF-8 bytes
    const DWORD error = GetLastError();
    wchar_t wide[160];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, wide,
                             sizeof wide / sizeof wide[0], nullptr);
    for (; n > 0 && (wide[n - 1] == L'\r' || wide[n - 1] == L'\n' || wide[n - 1] == L'.'); --n) wide[n - 1] = 0;
    if (n == 0 || WideCharToMultiByte(narrow_code_page(), 0, wide, -1, text, sizeof text, nullptr, nullptr) == 0)
        snprintf(text, sizeof text, "system error %lu", static_cast<unsigned long>(error));
    SetLastError(error);
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
