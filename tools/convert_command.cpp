// recfile-convert convert: converts legacy recordings into MP4 files beside
// them, several at once on separate threads when asked.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "library_output.h"
#include "subcommand.h"
#include "vrc_convert.h"

namespace {

constexpr const char *kName = "convert";
constexpr uint32_t kMaxJobs = 64;
// Each conversion holds a muxer of about 36 MB: a 32-bit process, with 2 GiB
// of address space, runs at most 16 at once.
constexpr uint32_t kMaxJobs32Bit = 16;

struct ConvertArgs {
    std::vector<std::string> inputs;
    uint32_t jobs = 1;
    bool verbose = false;
};

struct Report {
    std::FILE *out = stdout;
    std::mutex lock;
    unsigned converted = 0;
    unsigned failed = 0;
    uintmax_t bytes_written = 0;
};

int parse_args(int argc, char **argv, ConvertArgs *args)
{
    for (int i = 0; i < argc; ++i) {
        const char *arg = argv[i];
        if (std::strcmp(arg, "--verbose") == 0 || std::strcmp(arg, "-v") == 0) {
            args->verbose = true;
        } else if (std::strcmp(arg, "-j") == 0 || std::strcmp(arg, "--jobs") == 0) {
            if (i + 1 >= argc || !vrc_tool::parse_u32(argv[++i], &args->jobs) || args->jobs == 0)
                return vrc_tool::usage_error(kName, "-j needs a number of files to convert at once");
        } else if (arg[0] == '-' && arg[1] != '\0') {
            return vrc_tool::usage_error(kName, std::string("unknown option ") + arg);
        } else {
            args->inputs.emplace_back(arg);
        }
    }
    if (args->inputs.empty()) return vrc_tool::usage_error(kName, "no recording given");
    const uint32_t max_jobs = sizeof(void *) == 4 ? kMaxJobs32Bit : kMaxJobs;
    if (args->jobs > max_jobs)
        std::fprintf(stderr, "%s: -j %u is more than this %d-bit build can hold in memory; converting %u at once\n",
                     kName, args->jobs, static_cast<int>(sizeof(void *) * 8), max_jobs);
    args->jobs = std::min({args->jobs, max_jobs, static_cast<uint32_t>(args->inputs.size())});
    return 0;
}

void convert_one(const std::string &input, Report *report)
{
    const auto start = std::chrono::steady_clock::now();
    const int rc = vrc_convert_mp4(input.c_str());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::string output = input + ".mp4";
    std::error_code ec;
    const uintmax_t size = rc == 0 ? std::filesystem::file_size(output, ec) : 0;

    std::lock_guard<std::mutex> guard(report->lock);
    if (rc == 0) {
        ++report->converted;
        report->bytes_written += size;
        std::fprintf(report->out, "ok      %s -> %s (%ju bytes, %.3f s)\n", input.c_str(), output.c_str(), size,
                     seconds);
    } else {
        ++report->failed;
        std::fprintf(report->out, "FAILED  %s (%.3f s; --verbose shows why)\n", input.c_str(), seconds);
    }
    std::fflush(report->out);
}

// Each worker takes the next unconverted file until none is left.
void convert_all(const ConvertArgs &args, Report *report)
{
    std::atomic<size_t> next{0};
    auto worker = [&] {
        for (size_t i; (i = next.fetch_add(1)) < args.inputs.size();) convert_one(args.inputs[i], report);
    };
    std::vector<std::thread> threads;
    try {
        for (uint32_t j = 1; j < args.jobs; ++j) threads.emplace_back(worker);
    } catch (const std::system_error &) {
        // Out of threads or memory: the workers already started take every file.
    }
    worker();
    for (std::thread &thread : threads) thread.join();
}

int run_convert(int argc, char **argv)
{
    ConvertArgs args;
    const int usage = parse_args(argc, argv, &args);
    if (usage != 0) return usage;
    Report report;
    report.out = vrc_tool::report_stream(args.verbose);
    const auto start = std::chrono::steady_clock::now();
    convert_all(args, &report);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fprintf(report.out, "%u converted, %u failed, %ju bytes written in %.3f s\n", report.converted,
                 report.failed, report.bytes_written, seconds);
    std::fflush(report.out);
    return report.failed == 0 ? vrc_tool::kExitOk : vrc_tool::kExitFailure;
}

}  // namespace

namespace vrc_tool {

const Subcommand kConvertCommand = {
    kName,
    "convert legacy recordings into MP4 files (also: recfile-convert FILE...)",
    "usage: recfile-convert convert [-j N] [--verbose] FILE...\n"
    "       recfile-convert FILE...\n"
    "\n"
    "Converts each legacy recording FILE into FILE.mp4 beside it: one H.264 video\n"
    "track and one 8000 Hz G.711 mu-law audio track. Prints one line per file\n"
    "with its result, output size and time, then a summary. The exit status is 1\n"
    "when any file failed.\n"
    "\n"
    "  -j, --jobs N       convert N files at once, each on its own thread (at most\n"
    "                     64, or 16 in a 32-bit build)\n"
    "  -v, --verbose      show the library's own diagnostic lines\n",
    run_convert,
};

}  // namespace vrc_tool
