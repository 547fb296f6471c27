#include <windows.h>

#include <time.h>

#include "vrc_platform.h"
#include "vrc_time.h"

bool vrc::local_time(int64_t seconds, std::tm *out)
{
    const __time64_t t = static_cast<__time64_t>(seconds);
    return _localtime64_s(out, &t) == 0;
}

int64_t vrc::local_mktime(std::tm *fields)
{
    return static_cast<int64_t>(_mktime64(fields));
}

int32_t vrc::tz_seconds_west()
{
    _tzset();
    return static_cast<int32_t>(_timezone);
}

int32_t vrc::tz_daylight()
{
    _tzset();
    return static_cast<int32_t>(_daylight);
}

extern "C" VRC_API int vrc_sleep(uint32_t seconds)
{
    // Widened first: seconds * 1000 overflows 32 bits above 4294967 s.
    return vrc_usleep(static_cast<uint64_t>(seconds) * 1000000u);
}

extern "C" VRC_API int vrc_usleep(uint64_t microseconds)
{
    // Sleep counts milliseconds; round up so the wait is never shorter.
    uint64_t ms = (microseconds + 999u) / 1000u;
    while (ms > 0) {
        const DWORD step = ms > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<DWORD>(ms);
        Sleep(step);
        ms -= step;
    }
    return 0;
}

extern "C" VRC_API int vrc_gettimeofday(vrc_timeval_t *tv)
{
    if (!tv) return -1;
    SYSTEMTIME now;
    GetLocalTime(&now);
    std::tm local{};
    local.tm_year = now.wYear - 1900;
    local.tm_mon = now.wMonth - 1;
    local.tm_mday = now.wDay;
    local.tm_hour = now.wHour;
    local.tm_min = now.wMinute;
    local.tm_sec = now.wSecond;
    local.tm_isdst = -1;  // let the runtime decide whether daylight saving applies
    tv->tv_sec = static_cast<int64_t>(_mktime64(&local));
    tv->tv_usec = static_cast<int64_t>(now.wMilliseconds) * 1000;
    return 0;
}

extern "C" VRC_API int64_t vrc_utc_time(void)
{
    return static_cast<int64_t>(_time64(nullptr));
}
