#include "time_text.h"

#include <cstdio>
#include <cstring>

#include "vrc_date_time.h"

namespace vrc_tool {
namespace {

// Days since 1970-01-01 of a date of the Gregorian calendar.
int64_t days_from_civil(int64_t year, uint32_t month, uint32_t day)
{
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t year_of_era = year - era * 400;
    const int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    return era * 146097 + year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year - 719468;
}

}  // namespace

bool parse_zone(const char *text, int64_t *east)
{
    while (*text == ' ') ++text;
    *east = 0;
    if (*text == '\0' || std::strcmp(text, "Z") == 0 || std::strcmp(text, "UTC") == 0) return true;
    unsigned hours = 0, minutes = 0;
    int used = 0;
    if ((*text != '+' && *text != '-') || std::sscanf(text + 1, "%2u:%2u%n", &hours, &minutes, &used) != 2 ||
        text[1 + used] != '\0' || hours > 23 || minutes > 59)
        return false;
    *east = (*text == '-' ? -1 : 1) * int64_t{hours * 3600 + minutes * 60};
    return true;
}

// The ".mmm" after the seconds, one to three digits; none is 0. text moves
// past it.
bool parse_milliseconds(const char **text, int64_t *ms)
{
    *ms = 0;
    if (**text != '.') return true;
    int digits = 0;
    for (++*text; digits < 3 && **text >= '0' && **text <= '9'; ++digits, ++*text) *ms = *ms * 10 + (**text - '0');
    if (digits == 0 || (**text >= '0' && **text <= '9')) return false;
    for (; digits < 3; ++digits) *ms *= 10;
    return true;
}

bool parse_calendar_time(const char *text, int64_t *utc_ms)
{
    unsigned year, month, day, hour, minute, second;
    char separator;
    int used = 0;
    if (std::sscanf(text, "%4u-%2u-%2u%c%2u:%2u:%2u%n", &year, &month, &day, &separator, &hour, &minute, &second,
                    &used) != 7 ||
        (separator != ' ' && separator != 'T') || year < 1970 || year > 2105 || month < 1 || month > 12)
        return false;
    const char *rest = text + used;
    int64_t ms, east;
    if (!parse_milliseconds(&rest, &ms) || !parse_zone(rest, &east)) return false;
    const int64_t local = days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    const vrc_date_time_t back = vrc_gmtime_to_date_time(local, 0, 0, 0);
    if (VRC_DT_MDAY(back) != day || VRC_DT_HOUR(back) != hour || VRC_DT_MIN(back) != minute ||
        VRC_DT_SEC(back) != second)
        return false;
    const int64_t utc = local - east;
    *utc_ms = utc * 1000 + ms;
    return utc >= 0 && utc <= UINT32_MAX;
}

bool parse_duration(const char *text, uint32_t *seconds)
{
    constexpr uint64_t kLongest = 49ull * 86400;
    unsigned long long count = 0;
    char unit = 's';
    int used = 0;
    if (std::sscanf(text, "%llu%n", &count, &used) != 1 || text[0] == '-' || text[0] == '+') return false;
    if (text[used] != '\0') {
        unit = text[used];
        if (text[used + 1] != '\0') return false;
    }
    const uint64_t scale = unit == 's' ? 1 : unit == 'm' ? 60 : unit == 'h' ? 3600 : 0;
    if (scale == 0 || count == 0 || count > kLongest / scale) return false;
    *seconds = static_cast<uint32_t>(count * scale);
    return true;
}

}  // namespace vrc_tool
