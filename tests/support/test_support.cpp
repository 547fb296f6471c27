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

struct ScratchCleanup {
    const std::filesystem::path &dir;
    ~ScratchCleanup()
    {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

std::filesystem::path scratch_dir()
{
    static const std::filesystem::path dir = [] {
        // Test cases run as separate processes at once: each gets its own folder.
        std::random_device entropy;
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        std::filesystem::path p = std::filesystem::temp_directory_path() /
                                  ("vrc_test_" + std::to_string(stamp) + "_" + std::to_string(entropy()));
        std::filesystem::create_directories(p);
        return p;
    }();
    // Made after dir, so destroyed before it: the folder goes at exit.
    static const ScratchCleanup cleanup{dir};
    return dir;
}

}  // namespace

std::string temp_path(const std::string &name)
{
    return (scratch_dir() / name).string();
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
