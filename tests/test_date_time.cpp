#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "vrc_date_time.h"

namespace {

// Sets the C library's zone for one test and puts the old one back.
class ScopedTz {
public:
    explicit ScopedTz(const char *zone)
    {
        const char *old = std::getenv("TZ");
        had_old_ = old != nullptr;
        if (had_old_) old_ = old;
        set(zone);
    }
    ~ScopedTz() { set(had_old_ ? old_.c_str() : nullptr); }

private:
    static void set(const char *zone)
    {
#if defined(_WIN32)
        _putenv((std::string("TZ=") + (zone ? zone : "")).c_str());
        _tzset();
#else
        if (zone)
            setenv("TZ", zone, 1);
        else
            unsetenv("TZ");
        tzset();
#endif
    }
    bool had_old_ = false;
    std::string old_;
};

struct HostZone {
    const char *tz;     // in a syntax both C libraries read
    int32_t east;       // seconds east of UTC
};

const HostZone kUtc{"UTC0", 0};
const HostZone kEast8{"CST-8", 28800};
const HostZone kWest5{"EST5", -18000};

constexpr int64_t k2024 = 1704067200;  // 2024-01-01 00:00:00 UTC

vrc_date_time_t at(unsigned year, unsigned mon, unsigned mday, unsigned hour, unsigned min,
                   unsigned sec, unsigned tz = 0, unsigned tz_west = 0, unsigned dst = 0)
{
    return vrc_date_time_pack(year, mon, mday, hour, min, sec, tz, tz_west, dst);
}

// The C library's UTC breakdown, with a 64-bit time on every platform.
std::tm c_breakdown(int64_t t)
{
    std::tm out{};
#if defined(_WIN32)
    const __time64_t c_time = t;
    _gmtime64_s(&out, &c_time);
#else
    const time_t c_time = static_cast<time_t>(t);
    gmtime_r(&c_time, &out);
#endif
    return out;
}

std::string text(vrc_date_time_t d)
{
    char buf[64];
    return vrc_date_time_to_str(d, buf, sizeof buf);
}

class OnHost : public testing::TestWithParam<HostZone> {
protected:
    ScopedTz zone_{GetParam().tz};
};

}  // namespace

TEST_P(OnHost, ZoneQueriesDescribeTheHostZone)
{
    const int32_t east = GetParam().east;
    EXPECT_EQ(vrc_sys_time_tz_get_offset(), east < 0 ? -east : east);
    EXPECT_EQ(vrc_sys_time_tz_is_west(), east < 0 ? 1 : 0);
    EXPECT_EQ(vrc_sys_time_tz_is_daylight(), 0);
}

TEST_P(OnHost, RecordWithoutZoneNamesTheHostsLocalTime)
{
    const int32_t east = GetParam().east;
    EXPECT_EQ(vrc_date_time_to_gmtime(at(2024, 1, 1, 0, 0, 0)), k2024 - east);
    // The record's own zone and daylight flag come on top of the host's zone.
    const struct { unsigned tz, tz_west, dst; int64_t shift; } zones[] = {
        {28800, 0, 0, -28800}, {28800, 1, 0, 28800}, {28800, 0, 1, -25200},
        {28800, 1, 1, 32400},  {3600, 0, 0, -3600},  {18000, 1, 0, 18000}};
    for (const auto &z : zones)
        EXPECT_EQ(vrc_date_time_to_gmtime(at(2024, 1, 1, 0, 0, 0, z.tz, z.tz_west, z.dst)),
                  k2024 - east + z.shift)
            << z.tz << " " << z.tz_west << " " << z.dst;
    EXPECT_EQ(vrc_date_time_to_gmtime(at(2024, 3, 0, 12, 0, 0)), vrc_date_time_to_gmtime(at(2024, 2, 29, 12, 0, 0)));
}

TEST_P(OnHost, BreakdownIgnoresTheHostZone)
{
    EXPECT_EQ(vrc_gmtime_to_date_time(k2024, 28800, 0, 0), at(2024, 1, 1, 8, 0, 0, 28800));
    EXPECT_EQ(vrc_gmtime_to_date_time(k2024, 18000, 1, 0), at(2023, 12, 31, 19, 0, 0, 18000, 1));
    EXPECT_EQ(vrc_gmtime_to_date_time(k2024, 0, 0, 1), at(2023, 12, 31, 23, 0, 0, 0, 0, 1));
    EXPECT_EQ(vrc_gmtime_to_date_time(k2024, 0, 7, 9), at(2023, 12, 31, 23, 0, 0, 0, 1, 1));  // flags as bits
    // Converting there and back moves the fields by the host's offset.
    const int32_t east = GetParam().east;
    for (int64_t t : {int64_t{86400}, k2024, int64_t{2147483647}, int64_t{4107542400}}) {
        for (unsigned west = 0; west < 2; ++west)
            EXPECT_EQ(vrc_date_time_to_gmtime(vrc_gmtime_to_date_time(t, 19800, west, 1)), t - east) << t;
    }
}

TEST_P(OnHost, SameInstantInTwoZonesDiffersByNothing)
{
    EXPECT_EQ(vrc_date_time_diff(at(2024, 1, 15, 10, 0, 0, 3600), at(2024, 1, 15, 9, 0, 0)), 0);
    EXPECT_EQ(vrc_date_time_diff(at(2024, 1, 15, 9, 1, 30), at(2024, 1, 15, 9, 0, 0)), 90);
    EXPECT_EQ(vrc_date_time_diff(at(2024, 1, 15, 9, 0, 0), at(2024, 1, 15, 9, 1, 30)), -90);
    EXPECT_EQ(vrc_date_time_diff(at(2024, 1, 15, 4, 0, 0, 18000, 1), at(2024, 1, 15, 9, 0, 0)), 0);
}

INSTANTIATE_TEST_SUITE_P(Zones, OnHost, testing::Values(kUtc, kEast8, kWest5),
                         [](const testing::TestParamInfo<HostZone> &info) {
                             return std::string(info.param.east == 0  ? "Utc"
                                                : info.param.east > 0 ? "East8"
                                                                      : "West5");
                         });

TEST(DateTime, UpdateOnAUtcHostShiftsTheFieldsAndKeepsTheZone)
{
    ScopedTz utc(kUtc.tz);
    const struct { vrc_date_time_t from; int32_t seconds; vrc_date_time_t to; } cases[] = {
        {at(2024, 2, 28, 23, 59, 30), 60, at(2024, 2, 29, 0, 0, 30)},
        {at(2024, 2, 28, 23, 59, 30), -86400, at(2024, 2, 27, 23, 59, 30)},
        {at(2023, 2, 28, 23, 59, 30), 60, at(2023, 3, 1, 0, 0, 30)},
        {at(2100, 2, 28, 12, 0, 0, 28800, 0, 1), 86400, at(2100, 3, 1, 12, 0, 0, 28800, 0, 1)},
        {at(2024, 12, 31, 23, 0, 0, 18000, 1), 3600, at(2025, 1, 1, 0, 0, 0, 18000, 1)},
        {at(2024, 6, 1, 12, 0, 0, 3600, 0, 1), 0, at(2024, 6, 1, 12, 0, 0, 3600, 0, 1)},
    };
    for (const auto &c : cases) EXPECT_EQ(text(vrc_date_time_update(c.from, c.seconds)), text(c.to)) << text(c.from);
}

TEST(DateTime, UpdateOnAHostEastOfUtcMovesTheFieldsBack)
{
    ScopedTz east(kEast8.tz);
    EXPECT_EQ(vrc_date_time_update(at(2024, 1, 1, 8, 0, 0), 0), at(2024, 1, 1, 0, 0, 0));
}

TEST(DateTime, BreakdownMatchesTheCLibraryAndNeverFails)
{
    // Every day from 1970 to 2300 at a time of day that changes.
    for (int64_t day = 0; day < 330 * 366; ++day) {
        const int64_t t = day * 86400 + (day * 7919) % 86400;
        const std::tm c = c_breakdown(t);
        const vrc_date_time_t d = vrc_gmtime_to_date_time(t, 0, 0, 0);
        ASSERT_EQ(VRC_DT_YEAR(d), static_cast<unsigned>(c.tm_year - 70)) << t;
        ASSERT_EQ(VRC_DT_MON(d), static_cast<unsigned>(c.tm_mon + 1)) << t;
        ASSERT_EQ(VRC_DT_MDAY(d), static_cast<unsigned>(c.tm_mday)) << t;
        ASSERT_EQ(VRC_DT_HOUR(d) * 3600 + VRC_DT_MIN(d) * 60 + VRC_DT_SEC(d),
                  static_cast<unsigned>(c.tm_hour * 3600 + c.tm_min * 60 + c.tm_sec))
            << t;
    }
    // Before 1970 and far ahead there is still an answer.
    const vrc_date_time_t before = vrc_gmtime_to_date_time(-1, 0, 0, 0);
    EXPECT_EQ(VRC_DT_MON(before) * 100 + VRC_DT_MDAY(before), 1231u);
    EXPECT_EQ(VRC_DT_HOUR(before) * 3600 + VRC_DT_MIN(before) * 60 + VRC_DT_SEC(before), 86399u);
    EXPECT_EQ(vrc_gmtime_to_date_time(-(int64_t{1} << 40), 65535, 1, 1) >> 56, 0u);
    EXPECT_EQ(vrc_gmtime_to_date_time(int64_t{1} << 40, 65535, 0, 1) >> 56, 0u);
    EXPECT_EQ(vrc_gmtime_to_date_time(INT64_MAX, 65535, 0, 0) >> 56, 0u);  // no overflow (UBSan watches)
    EXPECT_EQ(vrc_gmtime_to_date_time(INT64_MIN, 65535, 1, 1) >> 56, 0u);
}

TEST(DateTime, TextShowsFieldsSignedOffsetAndDaylightFlag)
{
    EXPECT_EQ(text(at(2024, 3, 5, 6, 7, 8, 28800)), "2024-03-05 06:07:08 tz:28800, dst:0");
    EXPECT_EQ(text(at(1999, 12, 31, 23, 59, 59, 18000, 1, 1)), "1999-12-31 23:59:59 tz:-18000, dst:1");
    EXPECT_EQ(text(at(1970, 1, 1, 0, 0, 0)), "1970-01-01 00:00:00 tz:0, dst:0");
    char small[8];
    EXPECT_EQ(vrc_date_time_to_str(at(2024, 3, 5, 6, 7, 8, 28800), small, sizeof small), small);
    EXPECT_STREQ(small, "2024-03");
    char one[1] = {'x'};
    vrc_date_time_to_str(at(2024, 3, 5, 6, 7, 8), one, 1);
    EXPECT_EQ(one[0], '\0');
}
