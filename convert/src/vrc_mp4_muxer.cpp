#include "vrc_time.h"

extern "C" VRC_API int64_t vrc_clock_monotonic_get(void)
{
    vrc_timeval_t tv{};
    vrc_gettimeofday(&tv);
    return tv.tv_sec * 1000 + tv.tv_usec / 1000;
}
