/* Wall clock, millisecond clock and sleeping. */
#ifndef VRC_TIME_H
#define VRC_TIME_H

#include <stdint.h>

#include "vrc_export.h"

VRC_BEGIN_DECLS

typedef struct vrc_timeval_t {
    int64_t tv_sec;  /* seconds since 1970-01-01 00:00:00 UTC */
    int64_t tv_usec; /* microseconds within the second, a multiple of 1000 */
} vrc_timeval_t;

VRC_API int vrc_sleep(uint32_t seconds);
VRC_API int vrc_usleep(uint64_t microseconds);
VRC_API int vrc_gettimeofday(vrc_timeval_t *tv);
VRC_API int64_t vrc_utc_time(void);
/* Wall-clock milliseconds since 1970 (not immune to clock changes). */
VRC_API int64_t vrc_clock_monotonic_get(void);

VRC_END_DECLS

#endif
