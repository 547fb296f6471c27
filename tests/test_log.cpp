#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <ctime>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "vrc_debug.h"

namespace {

constexpr int kLogLine = 123;
constexpr size_t kRingSize = 16384;

// One vrc_log_msg call from a fixed line; returns what it printed.
std::string log_line(int level, const std::string &message, const char *file = __FILE__)
{
    return vrc_test::printed_by([&] { vrc_log_msg(level, file, kLogLine, "%s", message.c_str()); });
}

bool ends_with(const std::string &text, const std::string &tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// hh, mm, ss of a line head against the local time of a clock reading.
bool shows_local_time(const std::smatch &head, std::time_t reading)
{
    const std::tm local = *std::localtime(&reading);
    return std::stoi(head[1]) == local.tm_hour && std::stoi(head[2]) == local.tm_min &&
           std::stoi(head[3]) == local.tm_sec;
}

// The threshold is process-wide (all cases share one process under Wine).
class Log : public testing::Test {
protected:
    void TearDown() override { vrc_log_set_level(VRC_LOG_DEBUG); }
};

}  // namespace

// Holds only while nothing has logged yet in this process: keep it first.
TEST(LogStart, CopyIsEmptyAtStart)
{
    char buf[100];
    EXPECT_EQ(vrc_log_copy(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");
}

TEST_F(Log, LineHeadCarriesColourTimeLevelBaseNameAndLine)
{
    struct Case {
        int level;
        const char *colour;
        const char *name;
    };
    const Case cases[] = {
        {VRC_LOG_ERR, "\x1b[31m", "ERR"},   {VRC_LOG_WARN, "\x1b[33m", "WARN"},
        {VRC_LOG_INFO, "\x1b[0m", "INFO"},  {VRC_LOG_DEBUG, "\x1b[0m", "DEBUG"},
        {7, "\x1b[0m", "DEBUG"},            {-1, "\x1b[0m", "DEBUG"},
        {INT_MIN, "\x1b[0m", "DEBUG"},
    };
    for (int level = 0; level < 4; ++level) EXPECT_STREQ(vrc_level_color[level], cases[level].colour);

    const std::regex head(R"(\[(\d\d):(\d\d):(\d\d)\.\d\d\d (\w+) test_log\.cpp:123\]hello 42\n)");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.level);
        const std::time_t before = std::time(nullptr);
        const std::string line = log_line(c.level, "hello 42\n");
        const std::time_t after = std::time(nullptr);
        const size_t colour = std::strlen(c.colour);
        ASSERT_EQ(line.compare(0, colour, c.colour), 0) << line;
        const std::string rest = line.substr(colour);
        std::smatch m;
        ASSERT_TRUE(std::regex_match(rest, m, head)) << line;
        EXPECT_EQ(m[4], c.name);
        EXPECT_TRUE(shows_local_time(m, before) || shows_local_time(m, after)) << line;
        EXPECT_TRUE(ends_with(vrc_test::log_text(), line));
    }
}

TEST_F(Log, SourcePathShowsOnlyTheTextAfterTheLastSlash)
{
    const struct { const char *path; const char *shown; } cases[] = {
        {"/work/src/vrc_x.cpp", "vrc_x.cpp"},
        {"vrc_x.cpp", "vrc_x.cpp"},
        {"C:\\src\\vrc_x.cpp", "C:\\src\\vrc_x.cpp"},  // a backslash does not separate
        {"a/b\\c.cpp", "b\\c.cpp"},
        {"dir/", ""},
    };
    for (const auto &c : cases) {
        const std::string line = log_line(VRC_LOG_WARN, "m\n", c.path);
        EXPECT_TRUE(ends_with(line, std::string(" WARN ") + c.shown + ":123]m\n")) << line;
    }
}

TEST_F(Log, ThresholdDropsLessImportantLinesFromOutputAndRing)
{
    // set_level keeps the low two bits; levels outside 0..3 count as DEBUG.
    const struct { int set, threshold; } thresholds[] = {{3, 3}, {0, 0}, {1, 1}, {2, 2}, {4, 0},
                                                         {5, 1}, {6, 2}, {7, 3}, {-1, 3}};
    const struct { int level, effective; } levels[] = {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {7, 3}, {-1, 3}};
    for (const auto &t : thresholds) {
        vrc_log_set_level(t.set);
        for (const auto &l : levels) {
            SCOPED_TRACE(testing::Message() << "set " << t.set << " level " << l.level);
            const std::string before = vrc_test::log_text();
            const std::string line = log_line(l.level, "x\n");
            if (l.effective <= t.threshold) {
                EXPECT_FALSE(line.empty());
            } else {
                EXPECT_EQ(line, "");
                EXPECT_EQ(vrc_test::log_text(), before);
            }
        }
    }
}

TEST_F(Log, NullFileOrFormatWritesNothing)
{
    const char *no_format = nullptr;
    const std::string before = vrc_test::log_text();
    const std::string printed = vrc_test::printed_by([&] {
        vrc_log_msg(VRC_LOG_ERR, nullptr, 1, "x\n");
        vrc_log_msg(VRC_LOG_ERR, "f.cpp", 1, no_format);
    });
    EXPECT_EQ(printed, "");
    EXPECT_EQ(vrc_test::log_text(), before);
}

TEST_F(Log, LongLinesAreCutTo1023BytesEndingInNewline)
{
    const size_t head = log_line(VRC_LOG_INFO, "").size();
    const struct {
        size_t composed;  // head plus message
        size_t printed;
    } cases[] = {{1021, 1021}, {1022, 1023}, {1023, 1023}, {1024, 1023}, {5000, 1023}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.composed);
        const std::string message(c.composed - head, 'x');
        const std::string line = log_line(VRC_LOG_INFO, message);
        ASSERT_EQ(line.size(), c.printed);
        if (c.composed <= 1021)
            EXPECT_EQ(line.substr(head), message);
        else
            EXPECT_EQ(line.substr(head), message.substr(0, 1022 - head) + "\n");
        EXPECT_TRUE(ends_with(vrc_test::log_text(), line));
    }
}

TEST_F(Log, RingKeepsTheNewest16384BytesAndCopyDoesNotConsume)
{
    const std::string printed = vrc_test::printed_by([] {
        for (int i = 0; i < 40; ++i)
            vrc_log_msg(VRC_LOG_WARN, __FILE__, __LINE__, "line %02d %s\n", i,
                        std::string(500, static_cast<char>('a' + i % 26)).c_str());
    });
    ASSERT_GT(printed.size(), kRingSize);
    const std::string newest = printed.substr(printed.size() - kRingSize);

    std::vector<char> big(20000);
    ASSERT_EQ(vrc_log_copy(big.data(), static_cast<int>(big.size())), static_cast<int>(kRingSize));
    EXPECT_EQ(std::string(big.data()), newest);
    ASSERT_EQ(vrc_log_copy(big.data(), static_cast<int>(big.size())), static_cast<int>(kRingSize));
    EXPECT_EQ(std::string(big.data()), newest);

    char small[10];
    EXPECT_EQ(vrc_log_copy(small, sizeof small), 9);
    EXPECT_EQ(std::string(small), newest.substr(0, 9));
    EXPECT_EQ(vrc_log_copy(small, 1), 0);
    EXPECT_STREQ(small, "");
    EXPECT_EQ(vrc_log_copy(nullptr, 10), -1);
    EXPECT_EQ(vrc_log_copy(small, 0), -1);
    EXPECT_EQ(vrc_log_copy(small, -5), -1);
}

TEST_F(Log, LinesFromManyThreadsStayWhole)
{
    constexpr int kThreads = 4;
    constexpr int kLines = 150;
    const std::string printed = vrc_test::printed_by([] {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([t] {
                for (int i = 0; i < kLines; ++i)
                    vrc_log_msg(VRC_LOG_INFO, "mt.cpp", 7, "thread %d line %03d\n", t, i);
            });
        for (std::thread &thread : threads) thread.join();
    });
    const std::regex whole(R"(\x1b\[0m\[\d\d:\d\d:\d\d\.\d\d\d INFO mt\.cpp:7\]thread \d line \d\d\d)");
    for (const std::string &text : {printed, vrc_test::log_text()}) {
        std::vector<std::string> lines;
        size_t start = text.find('\n') + 1;  // the ring's oldest line may be cut
        for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
            lines.push_back(text.substr(start, end - start));
        ASSERT_GT(lines.size(), 200u);
        for (const std::string &line : lines) ASSERT_TRUE(std::regex_match(line, whole)) << line;
    }
}
