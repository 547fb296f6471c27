/* A calendar date-time that carries its own time zone, packed into 64 bits
 * and passed by value, and the host's time-zone settings.
 *
 *  bits  0-5  sec      bits 17-21 mday   bits 38-53 tz (offset size, seconds)
 *  bits  6-11 min      bits 22-25 mon    bit  54    tz_west (offset negative)
 *  bits 12-16 hour     bits 26-37 year   bit  55    dst
 *  (mon is 1-12, year counts from 1970; bits 56-63 are zero)
 */
#ifndef VRC_DATE_TIME_H
#define VRC_DATE_TIME_H

#include <stdint.h>

#include "vrc_export.h"

VRC_BEGIN_DECLS

typedef uint64_t vrc_date_time_t;

#define VRC_DT_SEC_SHIFT 0
#define VRC_DT_MIN_SHIFT 6
#define VRC_DT_HOUR_SHIFT 12
#define VRC_DT_MDAY_SHIFT 17
#define VRC_DT_MON_SHIFT 22
#define VRC_DT_YEAR_SHIFT 26
#define VRC_DT_TZ_SHIFT 38
#define VRC_DT_TZ_WEST_SHIFT 54
#define VRC_DT_DST_SHIFT 55

#define VRC_DT_FIELD(d, shift, bits) ((unsigned)(((d) >> (shift)) & ((1ull << (bits)) - 1u)))
#define VRC_DT_SEC(d) VRC_DT_FIELD(d, VRC_DT_SEC_SHIFT, 6)
#define VRC_DT_MIN(d) VRC_DT_FIELD(d, VRC_DT_MIN_SHIFT, 6)
#define VRC_DT_HOUR(d) VRC_DT_FIELD(d, VRC_DT_HOUR_SHIFT, 5)
#define VRC_DT_MDAY(d) VRC_DT_FIELD(d, VRC_DT_MDAY_SHIFT, 5)
#define VRC_DT_MON(d) VRC_DT_FIELD(d, VRC_DT_MON_SHIFT, 4)
#define VRC_DT_YEAR(d) VRC_DT_FIELD(d, VRC_DT_YEAR_SHIFT, 12)
#define VRC_DT_TZ(d) VRC_DT_FIELD(d, VRC_DT_TZ_SHIFT, 16)
#define VRC_DT_TZ_WEST(d) VRC_DT_FIELD(d, VRC_DT_TZ_WEST_SHIFT, 1)
#define VRC_DT_DST(d) VRC_DT_FIELD(d, VRC_DT_DST_SHIFT, 1)

/* Packs a calendar date-time; year is the full year (2024), mon 1-12. */
static inline vrc_date_time_t vrc_date_time_pack(unsigned year, unsigned mon, unsigned mday,
                                                 unsigned hour, unsigned min, unsigned sec,
                                                 unsigned tz, unsigned tz_west, unsigned dst)
{
    return ((vrc_date_time_t)(sec & 63u) << VRC_DT_SEC_SHIFT) |
           ((vrc_date_time_t)(min & 63u) << VRC_DT_MIN_SHIFT) |
           ((vrc_date_time_t)(hour & 31u) << VRC_DT_HOUR_SHIFT) |
           ((vrc_date_time_t)(mday & 31u) << VRC_DT_MDAY_SHIFT) |
           ((vrc_date_time_t)(mon & 15u) << VRC_DT_MON_SHIFT) |
           ((vrc_date_time_t)((year - 1970u) & 4095u) << VRC_DT_YEAR_SHIFT) |
           ((vrc_date_time_t)(tz & 65535u) << VRC_DT_TZ_SHIFT) |
           ((vrc_date_time_t)(tz_west ? 1u : 0u) << VRC_DT_TZ_WEST_SHIFT) |
           ((vrc_date_time_t)(dst ? 1u : 0u) << VRC_DT_DST_SHIFT);
}

/* Seconds since 1970 UTC of a record: its fields read as the host's local
 * standard time, shifted by the record's own zone and daylight flag. */
VRC_API int64_t vrc_date_time_to_gmtime(vrc_date_time_t d);
VRC_API vrc_date_time_t vrc_gmtime_to_date_time(int64_t t, uint32_t tz, uint32_t tz_west,
                                                uint32_t dst);
VRC_API vrc_date_time_t vrc_date_time_update(vrc_date_time_t d, int32_t seconds);
/* a minus b in seconds. */
VRC_API int32_t vrc_date_time_diff(vrc_date_time_t a, vrc_date_time_t b);
/* "YYYY-MM-DD hh:mm:ss tz:<signed offset>, dst:<0|1>", cut to size - 1. */
VRC_API char *vrc_date_time_to_str(vrc_date_time_t d, char *buf, int size);

/* The host zone: offset size in seconds, whether it lies west, daylight flag. */
VRC_API int32_t vrc_sys_time_tz_get_offset(void);
VRC_API int32_t vrc_sys_time_tz_is_west(void);
VRC_API int32_t vrc_sys_time_tz_is_daylight(void);

VRC_END_DECLS

#endif
