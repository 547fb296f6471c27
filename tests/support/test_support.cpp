#include "test_support.h"

#include <chrono>
#include <cstdio>
#include <random>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "vrc_debug.h"

namespace vrc_test {

namespace {

// Test cases run as separate processes at once: each gets its own folder,
// removed when the process ends.
struct ScratchDir {
    const std::filesystem::path path = std::filesystem::temp_directory_path() /
        ("vrc_test_" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "_" +
         std::to_string(std::random_device{}()));
    ScratchDir() { std::filesystem::create_directories(path); }
    ~ScratchDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

}  // namespace

std::string temp_path(const std::string &name)
{
    static const ScratchDir dir;
    return (dir.path / name).string();
}

std::vector<uint8_t> read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string log_text()
{
    static char buf[16384 + 1];
    const int n = vrc_log_copy(buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string printed_by(const std::function<void()> &action)
{
    testing::internal::CaptureStdout();
    action();
    return testing::internal::GetCapturedStdout();
}

}  // namespace vrc_test
