// Internal seams to the platform files (*_posix.cpp, *_win32.cpp). Nothing
// here is exported, and nothing here throws: exported functions call these
// straight, and a failure, out of memory included, comes back as a result.
#ifndef VRC_PLATFORM_H
#define VRC_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "vrc_thread.h"

// Lets the compiler check a printf-like function's arguments against its
// format (argument numbers from 1); MinGW's runtime formats as GNU does.
#if defined(__MINGW32__)
#define VRC_PRINTF_FORMAT(string_at, args_at) __attribute__((format(gnu_printf, string_at, args_at)))
#elif defined(__GNUC__)
#define VRC_PRINTF_FORMAT(string_at, args_at) __attribute__((format(printf, string_at, args_at)))
#else
#define VRC_PRINTF_FORMAT(string_at, args_at)
#endif

namespace vrc {

// Local calendar breakdown of seconds since 1970; false when there is none.
bool local_time(int64_t seconds, std::tm *out);
// mktime with a 64-bit result on every platform (the 32-bit Windows C
// library's own time_t ends in 2038).
int64_t local_mktime(std::tm *fields);

// The C library's zone settings after it has read the zone: seconds west of
// UTC and the daylight-saving flag.
int32_t tz_seconds_west();
int32_t tz_daylight();

// 64-bit positions on stdio streams on every platform.
int file_seek64(std::FILE *stream, int64_t offset, int whence);
int64_t file_tell64(std::FILE *stream);

// One piece of memory to write.
struct IoSlice {
    const uint8_t *data;
    uint32_t size;
};
// Bytes of copy space file_write_slices needs: 0 where the system writes
// scattered memory itself.
extern const size_t file_slices_staging;
// Writes the slices one after another at offset of stream's file, past the
// stream's own buffering (it must hold none). staging holds
// file_slices_staging bytes. Returns the bytes written: fewer than the
// slices hold when the file takes no more.
uint64_t file_write_slices(std::FILE *stream, int64_t offset, const IoSlice *slices, int count, uint8_t *staging);

// Windows: whether the narrow paths given to the functions below, and the
// reasons file_error_text hands back, are UTF-8 rather than the ANSI code
// page (which cannot name every file). The library answers for the calling
// thread, as its host chose (vrc_uri_io_set_path_encoding); the command,
// which builds these functions in as well, speaks UTF-8 throughout.
// Elsewhere paths are bytes and nothing asks.
bool utf8_paths();

// fopen for every path the platform takes, however long.
std::FILE *file_open(const char *path, const char *mode);
// Removes the file at path where it can (a leftover is all a failure costs).
void file_remove(const char *path);

// What tells two names of one file apart from two files: the volume and the
// file's number on it, links followed; and the file's size and kind.
struct FileIdentity {
    uint64_t volume;
    uint64_t number;
    uint64_t size;
    bool regular;  // a plain file: no directory, device or pipe
    bool directory;
};
// False when nothing exists at path (or it cannot be examined).
bool file_identity(const char *path, FileIdentity *out);

enum class FileOutcome { done, exists, failed };
// Creates path as a new empty file; exists when a file of that name is
// already there, so that two writers never share one name.
FileOutcome file_create_new(const char *path);
// Whether anything is at path; a link counts itself, whatever it points at.
bool file_exists(const char *path);

// Creates the directory path in an existing parent; exists when something
// is there already.
FileOutcome directory_create(const char *path);
struct DirectoryEntry {
    std::string name;
    bool directory;  // a directory itself, not a link to one
};
// The entries of the directory at path in no particular order, "." and ".."
// left out. False when it cannot be read to its end (file_error_text says why).
bool directory_list(const char *path, std::vector<DirectoryEntry> *entries);

// Moves from to the name to in one step, replacing a file there when
// replace is set; otherwise exists when to is taken.
FileOutcome file_rename(const char *from, const char *to, bool replace);
// The bytes of the file at path reach the disk, past the system's cache.
bool file_sync_data(const char *path);
// The directory entry that names path reaches the disk, so that a rename
// done before survives a power cut.
bool file_sync_name(const char *path);
// The reason of the last failed file operation, for messages.
const char *file_error_text();
uint32_t process_id();

// Starts a detached thread that runs routine(context) at one of the seven
// platform priorities (VRC_THREAD_PRIORITY_*). When the priority cannot be
// applied the routine never runs, nothing is left behind, and -1 is returned.
int thread_start(vrc_thread_routine_t routine, void *context, int platform_priority,
                 int32_t stack_size);

// Zeroed memory mapped straight from the system for a large block: its
// pages are touched only when first used, however the process allocated
// before (a C library may clear recycled heap memory by hand). Null on
// failure; page_free takes the size that was asked for.
void *page_alloc(size_t size);
void page_free(void *block, size_t size);

// Address space for a block that grows in place: reserve takes the most it
// will ever need without memory behind it (null on failure); commit makes
// bytes [offset, offset + size) of it usable and zeroed (false when the
// system has no memory left); release gives back the whole reservation.
void *page_reserve(size_t size);
bool page_commit(void *block, size_t offset, size_t size);
void page_release(void *block, size_t size);

}  // namespace vrc

#endif
