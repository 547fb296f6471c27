#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "vrc_debug.h"
#include "vrc_time.h"

namespace {

constexpr size_t kRingSize = 16384;

// One vrc_log_msg call from line 123; returns what it printed.
std::string log_line(int level, const std::string &message, const char *file = __FILE__)
{
    return vrc_test::printed_by([&] { vrc_log_msg(level, file, 123, "%s", message.c_str()); });
}

// Whether a clock text is "hh:mm:ss.mmm" of the local time of a reading.
bool shows_local_time(const std::string &clock, std::time_t reading)
{
    char hms[16];
    std::strftime(hms, sizeof hms, "%H:%M:%S", std::localtime(&reading));
    return std::regex_match(clock, std::regex(std::string(hms) + R"(\.\d\d\d)"));
}

std::time_t wall_clock_seconds()
{
    vrc_timeval_t tv{};
    vrc_gettimeofday(&tv);
    return static_cast<std::time_t>(tv.tv_sec);
}

}  // namespace

TEST(Log, LineIsColourClockLevelBaseNameAndLineThenTheMessage)
{
    const struct { int level; const char *file, *colour, *level_and_base; } cases[] = {
        {VRC_LOG_ERR, "/work/src/vrc_x.cpp", "\x1b[31m", "ERR vrc_x.cpp"},
        {VRC_LOG_WARN, "vrc_x.cpp", "\x1b[33m", "WARN vrc_x.cpp"},
        {VRC_LOG_INFO, "C:\\src\\vrc_x.cpp", "\x1b[0m", "INFO C:\\src\\vrc_x.cpp"},  // a backslash does not separate
        {7, "dir/", "\x1b[0m", "DEBUG "},  // levels outside 0..3 count as DEBUG
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.level);
        // Read the clock the log reads, so the line's second lies between the two.
        const std::time_t before = wall_clock_seconds();
        // C99 length modifiers reach the formatter on every platform (MinGW's
        // format check once refused %zu that its formatter handles).
        const std::string line = vrc_test::printed_by(
            [&] { vrc_log_msg(c.level, c.file, 123, "hello %zu %lld %llu\n", size_t{42}, -8LL, 9ULL); });
        const std::time_t after = wall_clock_seconds();
        const std::string clock = line.substr(std::strlen(c.colour) + 1, 12);
        EXPECT_EQ(line, c.colour + ("[" + clock + " ") + c.level_and_base + ":123]hello 42 -8 9\n");
        EXPECT_TRUE(shows_local_time(clock, before) || shows_local_time(clock, after)) << line;
    }
}

TEST(Log, ThresholdAndNullArgumentsKeepLinesFromOutputAndRing)
{
    // set_level keeps the low two bits; levels outside 0..3 count as DEBUG.
    const struct { int set, shown, hidden; } thresholds[] = {{1, 1, 2}, {6, 2, 3}, {-2, 2, 7}, {0, 0, 1}};
    for (const auto &t : thresholds) {
        SCOPED_TRACE(t.set);
        vrc_log_set_level(t.set);
        EXPECT_NE(log_line(t.shown, "x\n"), "");
        const std::string before = vrc_test::log_text();
        EXPECT_EQ(log_line(t.hidden, "x\n"), "");
        EXPECT_EQ(log_line(t.shown, "x\n", nullptr), "");
        const char *no_format = nullptr;
        EXPECT_EQ(vrc_test::printed_by([&] { vrc_log_msg(t.shown, "f.cpp", 1, no_format); }), "");
        EXPECT_EQ(vrc_test::log_text(), before);
    }
    vrc_log_set_level(VRC_LOG_DEBUG);  // process-wide: all cases share one process under Wine
}

// Lines longer than 1023 bytes are cut there, still ending in a newline, and
// go to the ring cut alike. The ring keeps the newest 16384 bytes printed.
TEST(Log, LongLinesAreCutTo1023BytesAndTheRingKeepsTheNewest16384Bytes)
{
    const size_t head = log_line(VRC_LOG_INFO, "").size();
    std::string printed;
    for (char fill = 'a'; fill < 'e'; ++fill) {
        for (size_t composed : {1021, 1022, 1023, 1024, 5000}) {  // head plus message
            const std::string message(composed - head, fill);
            const std::string line = log_line(VRC_LOG_INFO, message);
            EXPECT_EQ(line.substr(head), composed <= 1021 ? message : message.substr(0, 1022 - head) + "\n") << composed;
            printed += line;
        }
    }
    ASSERT_GT(printed.size(), kRingSize);
    const std::string newest = printed.substr(printed.size() - kRingSize);

    // Each copy gets a buffer of just its size, so a write past it shows.
    for (size_t size : {20000, 20000, 10, 1}) {
        std::vector<char> copy(size, 'x');
        const size_t n = std::min(size - 1, kRingSize);
        ASSERT_EQ(vrc_log_copy(copy.data(), static_cast<int>(size)), static_cast<int>(n));
        EXPECT_EQ(std::string(copy.data()), newest.substr(0, n));
    }
    EXPECT_EQ(vrc_log_copy(nullptr, 10), -1);
    EXPECT_EQ(vrc_log_copy(std::vector<char>(1).data(), 0), -1);
}

TEST(Log, LinesFromManyThreadsStayWhole)
{
    const std::string printed = vrc_test::printed_by([] {
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([t] {
                for (int i = 0; i < 150; ++i)
                    vrc_log_msg(VRC_LOG_INFO, "mt.cpp", 7, "thread %d line %03d\n", t, i);
            });
        for (std::thread &thread : threads) thread.join();
    });
    const std::regex whole(R"(\x1b\[0m\[\d\d:\d\d:\d\d\.\d\d\d INFO mt\.cpp:7\]thread \d line \d\d\d)");
    for (const std::string &text : {printed, vrc_test::log_text()}) {
        int lines = 0;
        size_t start = text.find('\n') + 1;  // the ring's oldest line may be cut
        for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1, ++lines)
            ASSERT_TRUE(std::regex_match(text.substr(start, end - start), whole)) << text.substr(start, end - start);
        EXPECT_GT(lines, 200);
    }
}
