#include "vrc_debug.h"

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "vrc_mutex.h"
#include "vrc_output.h"
#include "vrc_platform.h"
#include "vrc_time.h"

extern "C" VRC_API const char *const vrc_level_color[4] = {
    "\x1b[31m",  // ERR: red
    "\x1b[33m",  // WARN: yellow
    "\x1b[0m",   // INFO: reset
    "\x1b[0m",   // DEBUG: reset
};

namespace {

constexpr uint32_t kRingSize = 16384;
constexpr uint32_t kRingMask = kRingSize - 1;
constexpr int kLineSize = 1024;
const char *const kLevelNames[4] = {"ERR", "WARN", "INFO", "DEBUG"};

// Read and set without the ring lock; atomic so that is not a data race.
std::atomic<int> cur_debug_level{VRC_LOG_DEBUG};
char g_vrc_log_buf[kRingSize];
// Free-running counts: only their difference and low 14 bits are used, so
// they may wrap at 2^32.
uint32_t g_vrc_log_start;
uint32_t g_vrc_log_end;
vrc_mutex_t g_vrc_log_lock;

const char *vrc_basename(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// The caller holds g_vrc_log_lock.
void vrc_log_write_char_unsafe(char c)
{
    g_vrc_log_buf[g_vrc_log_end & kRingMask] = c;
    ++g_vrc_log_end;
    if (g_vrc_log_end - g_vrc_log_start > kRingSize) g_vrc_log_start = g_vrc_log_end - kRingSize;
}

int vrc_log_write_msg(const char *text)
{
    // A lock that cannot be taken does not silence the log.
    const bool locked = vrc_mutex_lock(&g_vrc_log_lock) == 0;
    int n = 0;
    for (; text[n] != '\0'; ++n) vrc_log_write_char_unsafe(text[n]);
    if (locked) vrc_mutex_unlock(&g_vrc_log_lock);
    return n;
}

int format_line_head(char *line, int level, const char *base, int source_line)
{
    vrc_timeval_t tv{};
    vrc_gettimeofday(&tv);
    std::tm local{};
    vrc::local_time(tv.tv_sec, &local);
    return std::snprintf(line, kLineSize, "%s[%02d:%02d:%02d.%03lld %s %s:%d]",
                         vrc_level_color[level], local.tm_hour, local.tm_min, local.tm_sec,
                         static_cast<long long>(tv.tv_usec / 1000), kLevelNames[level], base,
                         source_line);
}

}  // namespace

extern "C" VRC_API void vrc_log_msg(int level, const char *file, int line, const char *format, ...)
{
    if (!file || !format) return;
    char text[kLineSize] = {0};
    const char *base = vrc_basename(file);
    if (static_cast<unsigned>(level) > VRC_LOG_DEBUG) level = VRC_LOG_DEBUG;
    if (level > cur_debug_level.load(std::memory_order_relaxed)) return;

    int head = format_line_head(text, level, base, line);
    if (head < 0) head = 0;
    if (head < kLineSize - 1) {
        va_list args;
        va_start(args, format);
        std::vsnprintf(text + head, static_cast<size_t>(kLineSize - head), format, args);
        va_end(args);
    }
    // A line cut at 1023 bytes still ends with a newline.
    text[kLineSize - 2] = '\n';
    vrc_log_write_msg(text);
    vrc::out_printf("%s", text);
}

extern "C" VRC_API void vrc_log_set_level(int level)
{
    cur_debug_level.store(level & 3, std::memory_order_relaxed);
}

extern "C" VRC_API int vrc_log_copy(char *dst, int size)
{
    if (!dst || size <= 0) return -1;
    const bool locked = vrc_mutex_lock(&g_vrc_log_lock) == 0;
    const uint32_t held = g_vrc_log_end - g_vrc_log_start;
    const uint32_t n = held < static_cast<uint32_t>(size - 1) ? held : static_cast<uint32_t>(size - 1);
    for (uint32_t i = 0; i < n; ++i) dst[i] = g_vrc_log_buf[(g_vrc_log_start + i) & kRingMask];
    if (locked) vrc_mutex_unlock(&g_vrc_log_lock);
    dst[n] = '\0';
    return static_cast<int>(n);
}
