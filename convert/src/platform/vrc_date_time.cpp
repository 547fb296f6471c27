#include "vrc_date_time.h"

#include <cstdio>
#include <ctime>

#include "vrc_platform.h"

namespace {

int64_t signed_offset(uint32_t tz, uint32_t tz_west)
{
    return tz_west ? -static_cast<int64_t>(tz) : static_cast<int64_t>(tz);
}

struct CivilDate {
    int64_t year;
    unsigned month;  // 1-12
    unsigned day;    // 1-31
};

// Proleptic Gregorian date of a count of days since 1970-01-01. Unlike the C
// library's gmtime this has an answer for every input.
CivilDate civil_from_days(int64_t days)
{
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t doe = days - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const unsigned day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
    const unsigned month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
    return {yoe + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

int64_t floor_div(int64_t a, int64_t b)
{
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0);
}

}  // namespace

extern "C" VRC_API int64_t vrc_date_time_to_gmtime(vrc_date_time_t d)
{
    std::tm fields{};
    fields.tm_sec = static_cast<int>(VRC_DT_SEC(d));
    fields.tm_min = static_cast<int>(VRC_DT_MIN(d));
    fields.tm_hour = static_cast<int>(VRC_DT_HOUR(d));
    fields.tm_mday = static_cast<int>(VRC_DT_MDAY(d));
    fields.tm_mon = static_cast<int>(VRC_DT_MON(d)) - 1;
    fields.tm_year = static_cast<int>(VRC_DT_YEAR(d)) + 70;
    fields.tm_isdst = 0;  // the host's standard time, even in its daylight-saving season
    int64_t t = vrc::local_mktime(&fields);
    t -= signed_offset(VRC_DT_TZ(d), VRC_DT_TZ_WEST(d));
    if (VRC_DT_DST(d)) t += 3600;
    return t;
}

extern "C" VRC_API vrc_date_time_t vrc_gmtime_to_date_time(int64_t t, uint32_t tz,
                                                           uint32_t tz_west, uint32_t dst)
{
    // Far beyond any year the record can hold; keeps the sums below in range.
    constexpr int64_t kLimit = int64_t{1} << 50;
    t = t < -kLimit ? -kLimit : (t > kLimit ? kLimit : t);
    t += signed_offset(tz, tz_west);
    if (dst) t -= 3600;
    const int64_t days = floor_div(t, 86400);
    const int64_t second_of_day = t - days * 86400;
    const CivilDate date = civil_from_days(days);
    return vrc_date_time_pack(static_cast<unsigned>(date.year), date.month, date.day,
                              static_cast<unsigned>(second_of_day / 3600),
                              static_cast<unsigned>(second_of_day / 60 % 60),
                              static_cast<unsigned>(second_of_day % 60), tz, tz_west, dst);
}

extern "C" VRC_API vrc_date_time_t vrc_date_time_update(vrc_date_time_t d, int32_t seconds)
{
    return vrc_gmtime_to_date_time(vrc_date_time_to_gmtime(d) + seconds, VRC_DT_TZ(d),
                                   VRC_DT_TZ_WEST(d), VRC_DT_DST(d));
}

extern "C" VRC_API int32_t vrc_date_time_diff(vrc_date_time_t a, vrc_date_time_t b)
{
    const int64_t diff = vrc_date_time_to_gmtime(a) - vrc_date_time_to_gmtime(b);
    return static_cast<int32_t>(static_cast<uint32_t>(diff));
}

extern "C" VRC_API char *vrc_date_time_to_str(vrc_date_time_t d, char *buf, int size)
{
    if (!buf || size < 1) return buf;
    std::snprintf(buf, static_cast<size_t>(size), "%04d-%02d-%02d %02d:%02d:%02d tz:%d, dst:%d",
                  static_cast<int>(VRC_DT_YEAR(d)) + 1970, static_cast<int>(VRC_DT_MON(d)),
                  static_cast<int>(VRC_DT_MDAY(d)), static_cast<int>(VRC_DT_HOUR(d)),
                  static_cast<int>(VRC_DT_MIN(d)), static_cast<int>(VRC_DT_SEC(d)),
                  static_cast<int>(static_cast<int32_t>(signed_offset(VRC_DT_TZ(d), VRC_DT_TZ_WEST(d)))),
                  static_cast<int>(VRC_DT_DST(d)));
    return buf;
}
