// Times vrc_convert_mp4 on the bundled sample and on a recording of about
// 100 MB (the 1080p fixture's pictures over and over, with audio), next to a
// plain copy of the same file through 1 MiB reads and writes.
//
// Usage: bench_convert [--mib N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "bench_support.h"
#include "legacy_record_packer.h"
#include "recfile_convert.h"

namespace {

using vrc_bench::best_ms;
using vrc_bench::read_fixture;
using vrc_bench::write_bytes;

void copy_file(const std::string &from, const std::string &to)
{
    static std::vector<char> chunk(1 << 20);
    std::FILE *in = std::fopen(from.c_str(), "rb");
    std::FILE *out = std::fopen(to.c_str(), "wb");
    for (size_t n; in && out && (n = std::fread(chunk.data(), 1, chunk.size(), in)) > 0;)
        std::fwrite(chunk.data(), 1, n, out);
    if (in) std::fclose(in);
    if (out) std::fclose(out);
}

// The stream repeated until the recording reaches about mib MiB.
std::string make_large_recording(const std::string &path, uint32_t mib)
{
    const std::vector<uint8_t> picture = read_fixture("cam_1920x1080_large_i.h264");
    const std::vector<uint8_t> tone = read_fixture("tone_8000hz_mulaw.ul");
    std::vector<uint8_t> video, audio;
    while (video.size() < uint64_t{mib} << 20) video.insert(video.end(), picture.begin(), picture.end());
    const size_t seconds = video.size() / picture.size() * 4 / 25 + 1;  // 4 pictures of 40 ms each time
    while (audio.size() < seconds * 8000) audio.insert(audio.end(), tone.begin(), tone.end());
    const auto frames = vrc_pack::plan_frames(video, audio, 25, vrc_pack::kDefaultStart);
    write_bytes(path, vrc_pack::pack_recording(frames, {}).bytes);
    return path;
}

void report(const char *name, const std::string &path)
{
    const double mb = static_cast<double>(std::filesystem::file_size(path)) / 1e6;
    const double convert = best_ms([&] { vrc_convert_mp4(path.c_str()); });
    const double copy = best_ms([&] { copy_file(path, path + ".copy"); });
    std::fprintf(stderr, "%-8s %8.1f MB  convert %8.2f ms (%7.0f MB/s)  copy %8.2f ms (%7.0f MB/s)  ratio %.2f\n", name,
                 mb, convert, mb / convert * 1000, copy, mb / copy * 1000, convert / copy);
}

}  // namespace

int main(int argc, char **argv)
{
    uint32_t mib = 100;
    if (argc == 3 && std::strcmp(argv[1], "--mib") == 0) mib = static_cast<uint32_t>(std::atoi(argv[2]));
    vrc_log_set_level(VRC_LOG_ERR);
    const auto dir = std::filesystem::temp_directory_path() / "vrc_bench_convert";
    std::filesystem::create_directories(dir);
    const std::string sample = (dir / "sample.rec").string();
    std::filesystem::copy_file(std::string(VRC_SOURCE_DIR) + "/samples/sample.rec", sample,
                               std::filesystem::copy_options::overwrite_existing);
    const std::string large = make_large_recording((dir / "large.rec").string(), mib);
    report("sample", sample);
    report("large", large);
    std::filesystem::remove_all(dir);
    return 0;
}
