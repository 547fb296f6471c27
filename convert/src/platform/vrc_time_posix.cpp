#include <time.h>

#include <cerrno>

#include "vrc_platform.h"
#include "vrc_time.h"

bool vrc::local_time(int64_t seconds, std::tm *out)
{
    const time_t t = static_cast<time_t>(seconds);
    return localtime_r(&t, out) != nullptr;
}

int64_t vrc::local_mktime(std::tm *fields)
{
    return static_cast<int64_t>(mktime(fields));
}

int32_t vrc::tz_seconds_west()
{
    tzset();
    return static_cast<int32_t>(timezone);
}

int32_t vrc::tz_daylight()
{
    tzset();
    return static_cast<int32_t>(daylight);
}

extern "C" VRC_API int vrc_sleep(uint32_t seconds)
{
    return vrc_usleep(static_cast<uint64_t>(seconds) * 1000000u);
}

extern "C" VRC_API int vrc_usleep(uint64_t microseconds)
{
    timespec want{};
    want.tv_sec = static_cast<time_t>(microseconds / 1000000u);
    want.tv_nsec = static_cast<long>(microseconds % 1000000u) * 1000L;
    while (nanosleep(&want, &want) != 0 && errno == EINTR) {
    }
    return 0;
}

extern "C" VRC_API int vrc_gettimeofday(vrc_timeval_t *tv)
{
    if (!tv) return -1;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tv->tv_sec = static_cast<int64_t>(now.tv_sec);
    // The clock is read to the millisecond.
    tv->tv_usec = static_cast<int64_t>(now.tv_nsec / 1000000L) * 1000;
    return 0;
}

extern "C" VRC_API int64_t vrc_utc_time(void)
{
    return static_cast<int64_t>(time(nullptr));
}
