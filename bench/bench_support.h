// Timing and file helpers shared by the benchmark programs.
#ifndef VRC_BENCH_SUPPORT_H
#define VRC_BENCH_SUPPORT_H

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace vrc_bench {

constexpr int kRuns = 5;

// Best of kRuns, in milliseconds: the least disturbed run.
inline double best_ms(const std::function<void()> &work)
{
    using Clock = std::chrono::steady_clock;
    double best = 1e300;
    for (int run = 0; run < kRuns; ++run) {
        const auto start = Clock::now();
        work();
        best = std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    return best;
}

inline std::vector<uint8_t> read_bytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_bytes(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A fixture of tests/data.
inline std::vector<uint8_t> read_fixture(const std::string &name)
{
    return read_bytes(std::string(VRC_TEST_DATA_DIR) + "/" + name);
}

}  // namespace vrc_bench

#endif
