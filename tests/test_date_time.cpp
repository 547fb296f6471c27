#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>

#include "vrc_date_time.h"

namespace {

constexpr int64_t k2024 = 1704067200;  // 2024-01-01 00:00:00 UTC

// Sets the C library's zone, in a syntax both C libraries read.
void use_host_zone(const char *tz)
{
#if defined(_WIN32)
    _putenv((std::string("TZ=") + tz).c_str());
    _tzset();
#else
    setenv("TZ", tz, 1);
    tzset();
#endif
}

vrc_date_time_t at(unsigned year, unsigned mon, unsigned mday, unsigned hour, unsigned min,
                   unsigned sec, unsigned tz = 0, unsigned tz_west = 0, unsigned dst = 0)
{
    return vrc_date_time_pack(year, mon, mday, hour, min, sec, tz, tz_west, dst);
}

std::string text(vrc_date_time_t d)
{
    char buf[64];
    return vrc_date_time_to_str(d, buf, sizeof buf);
}

}  // namespace

// A record's fields are the host's local time, its own zone and daylight flag
// on top; the breakdown of a UTC time ignores the host.
TEST(DateTime, OnlyReadingARecordDependsOnTheHostZone)
{
    const struct { const char *tz; int32_t east; } hosts[] = {{"UTC0", 0}, {"CST-8", 28800}, {"EST5", -18000}};
    for (const auto &[tz, east] : hosts) {
        SCOPED_TRACE(tz);
        use_host_zone(tz);
        EXPECT_EQ(vrc_sys_time_tz_get_offset(), std::abs(east));
        EXPECT_EQ(vrc_sys_time_tz_is_west(), east < 0 ? 1 : 0);
        EXPECT_EQ(vrc_sys_time_tz_is_daylight(), 0);

        const struct { unsigned tz, tz_west, dst; int64_t shift; } records[] = {
            {0, 0, 0, 0}, {28800, 0, 0, -28800}, {28800, 0, 1, -25200}, {28800, 1, 1, 32400}, {18000, 1, 0, 18000}};
        for (const auto &r : records)
            EXPECT_EQ(vrc_date_time_to_gmtime(at(2024, 1, 1, 0, 0, 0, r.tz, r.tz_west, r.dst)), k2024 - east + r.shift)
                << r.tz << " " << r.tz_west << " " << r.dst;
        EXPECT_EQ(vrc_date_time_to_gmtime(at(2024, 3, 0, 12, 0, 0)),
                  vrc_date_time_to_gmtime(at(2024, 2, 29, 12, 0, 0)));
        EXPECT_EQ(vrc_date_time_diff(at(2024, 1, 15, 10, 0, 0, 3600), at(2024, 1, 15, 4, 0, 0, 18000, 1)), 0);
        EXPECT_EQ(vrc_date_time_diff(at(2024, 1, 15, 9, 0, 0), at(2024, 1, 15, 9, 1, 30)), -90);

        EXPECT_EQ(vrc_gmtime_to_date_time(k2024, 28800, 0, 0), at(2024, 1, 1, 8, 0, 0, 28800));
        EXPECT_EQ(vrc_gmtime_to_date_time(k2024, 18000, 1, 0), at(2023, 12, 31, 19, 0, 0, 18000, 1));
        EXPECT_EQ(vrc_gmtime_to_date_time(k2024, 0, 7, 9), at(2023, 12, 31, 23, 0, 0, 0, 1, 1));  // flags as bits
        // There and back moves the fields by the host's offset.
        for (int64_t t : {int64_t{86400}, k2024, int64_t{2147483647}, int64_t{4107542400}})
            for (unsigned west = 0; west < 2; ++west)
                EXPECT_EQ(vrc_date_time_to_gmtime(vrc_gmtime_to_date_time(t, 19800, west, 1)), t - east) << t;
        EXPECT_EQ(text(vrc_date_time_update(at(2024, 1, 1, 12, 0, 0), 0)),
                  text(at(2024, 1, 1, static_cast<unsigned>(12 - east / 3600), 0, 0)));
    }
}

// Update moves the fields and keeps the zone; the text shows the fields, the
// offset (negative west) and the daylight flag, cut to the caller's buffer.
TEST(DateTime, UpdateMovesTheFieldsAcrossDaysAndYearsAndTextShowsThem)
{
    use_host_zone("UTC0");
    const struct { vrc_date_time_t from; int32_t seconds; const char *to; } cases[] = {
        {at(2024, 2, 28, 23, 59, 30), 60, "2024-02-29 00:00:30 tz:0, dst:0"},
        {at(2024, 2, 28, 23, 59, 30), -86400, "2024-02-27 23:59:30 tz:0, dst:0"},
        {at(2100, 2, 28, 12, 0, 0, 28800, 0, 1), 86400, "2100-03-01 12:00:00 tz:28800, dst:1"},
        {at(2024, 12, 31, 23, 0, 0, 18000, 1), 3600, "2025-01-01 00:00:00 tz:-18000, dst:0"},
    };
    for (const auto &c : cases) EXPECT_EQ(text(vrc_date_time_update(c.from, c.seconds)), c.to) << text(c.from);
    char small[8];
    EXPECT_EQ(vrc_date_time_to_str(at(2024, 3, 5, 6, 7, 8, 28800), small, sizeof small), small);
    EXPECT_STREQ(small, "2024-03");
    char one[1] = {'x'};
    vrc_date_time_to_str(at(2024, 3, 5, 6, 7, 8), one, 1);
    EXPECT_EQ(one[0], '\0');
}

TEST(DateTime, BreakdownMatchesTheCLibraryAndNeverFails)
{
    // Every day from 1970 to 2300 at a time of day that changes.
    for (int64_t day = 0; day < 330 * 366; ++day) {
        const int64_t t = day * 86400 + (day * 7919) % 86400;
        std::tm c{};
#if defined(_WIN32)
        const __time64_t c_time = t;
        _gmtime64_s(&c, &c_time);
#else
        const time_t c_time = static_cast<time_t>(t);
        gmtime_r(&c_time, &c);
#endif
        char expected[40];
        std::strftime(expected, sizeof expected, "%Y-%m-%d %H:%M:%S tz:0, dst:0", &c);
        ASSERT_EQ(text(vrc_gmtime_to_date_time(t, 0, 0, 0)), expected) << t;
    }
    // Before 1970 and far ahead there is still an answer.
    EXPECT_EQ(vrc_gmtime_to_date_time(-1, 0, 0, 0), at(1969, 12, 31, 23, 59, 59));
    for (int64_t t : {-(int64_t{1} << 40), int64_t{1} << 40, INT64_MAX, INT64_MIN})  // no overflow (UBSan watches)
        EXPECT_EQ(vrc_gmtime_to_date_time(t, 65535, t < 0 ? 1 : 0, 1) >> 56, 0u) << t;
}
