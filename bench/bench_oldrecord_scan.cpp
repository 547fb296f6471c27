// Times the legacy record demuxer: the header scan through foreign bytes in
// front of a frame, next to plain reads of the same bytes and to a one-byte
// step scan, and the reading of a large recording frame by frame.
//
// Usage: bench_oldrecord_scan [--large-mib N]
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

constexpr uint32_t kMiB = 1u << 20;

using vrc_bench::best_ms;
using vrc_bench::read_fixture;
using vrc_bench::write_bytes;

std::string scratch(const std::string &name)
{
    return (std::filesystem::temp_directory_path() / ("vrc_bench_" + name)).string();
}

enum class Foreign { kMagicFragments, kRandomBytes, kZeros };

const char *foreign_name(Foreign kind)
{
    switch (kind) {
    case Foreign::kMagicFragments: return "magic fragments";
    case Foreign::kRandomBytes: return "random bytes";
    case Foreign::kZeros: return "zero bytes";
    }
    return "";
}

// count foreign bytes, then one 1000-byte video frame.
std::vector<uint8_t> foreign_then_frame(uint32_t count, Foreign kind)
{
    std::vector<uint8_t> bytes;
    if (kind == Foreign::kMagicFragments) {
        vrc_pack::append_foreign_bytes(bytes, count, 1);
    } else if (kind == Foreign::kRandomBytes) {
        uint32_t state = 12345;
        for (uint32_t i = 0; i < count; ++i) {
            state = state * 1664525u + 1013904223u;
            bytes.push_back(static_cast<uint8_t>(state >> 24 | 1));  // never 00: no magic
        }
    } else {
        bytes.assign(count, 0);
    }
    vrc_pack::append_header(bytes, vrc_pack::HeaderFields{vrc_pack::kMagic, 1000, vrc_pack::kTypeVideoI, 0, 0});
    bytes.insert(bytes.end(), 1000, 0x42);
    return bytes;
}

void demux_first_frame(const std::string &path, std::vector<uint8_t> &buffer, uint32_t expected_offset)
{
    vrc_oldrecord_demuxer_t *d = vrc_oldrecord_demuxer_new(path.c_str());
    vrc_media_packet_t packet;
    if (!d || vrc_oldrecord_demuxer_read_packet(d, &packet, buffer.data()) != 0 || packet.offset != expected_offset) {
        std::fprintf(stderr, "scan did not find the frame in %s\n", path.c_str());
        std::exit(1);
    }
    vrc_oldrecord_demuxer_free(d);
}

void read_through_io_layer(const std::string &path, std::vector<uint8_t> &buffer)
{
    vrc_uri_io_file_t *h = vrc_uri_io_file_new(VRC_URI_IO_FLAG_READ, path.c_str());
    while (vrc_uri_io_file_read(h, buffer.data(), 4096) > 0) {
    }
    vrc_uri_io_file_free(h);
}

// What a scan stepping one byte per attempt costs over the in-buffer seek.
void one_byte_scan_in_buffer(const std::string &path, uint32_t foreign)
{
    vrc_uri_io_file_t *h = vrc_uri_io_file_new(VRC_URI_IO_FLAG_READ, path.c_str());
    uint8_t area[44];
    for (uint32_t offset = 0; offset <= foreign; ++offset) {
        vrc_uri_io_file_seek(h, offset, SEEK_SET);
        std::memset(area, 0, sizeof area);
        vrc_uri_io_file_read(h, area, sizeof area);
    }
    vrc_uri_io_file_free(h);
}

// What it costs when every attempt goes to the stream: a seek and a read.
void one_byte_scan_through_stdio(const std::string &path, uint32_t foreign)
{
    std::FILE *f = std::fopen(path.c_str(), "rb");
    uint8_t area[44];
    for (uint32_t offset = 0; offset <= foreign; ++offset) {
        std::fseek(f, static_cast<long>(offset), SEEK_SET);
        if (std::fread(area, 1, sizeof area, f) == 0) break;
    }
    std::fclose(f);
}

void bench_scan(uint32_t foreign, Foreign kind, bool with_stdio_step)
{
    const std::string path = scratch("scan.rec");
    write_bytes(path, foreign_then_frame(foreign, kind));
    std::vector<uint8_t> buffer(VRC_OLDREC_DEFAULT_BUFFER_SIZE);
    const double mib = double(foreign) / kMiB;
    const double scan = best_ms([&] { demux_first_frame(path, buffer, foreign + 44); });
    const double read = best_ms([&] { read_through_io_layer(path, buffer); });
    const double step = best_ms([&] { one_byte_scan_in_buffer(path, foreign); });
    std::printf("%5.1f MiB %-18s scan %8.2f ms   plain read %6.2f ms   one-byte step %8.1f ms",
                mib, foreign_name(kind), scan, read, step);
    if (with_stdio_step) std::printf("   one-byte fseek+fread %8.1f ms", best_ms([&] { one_byte_scan_through_stdio(path, foreign); }));
    std::printf("\n");
    std::remove(path.c_str());
}

// Copies of the 1080p fixture's recording back to back, about mib MiB.
void bench_large_recording(uint32_t mib)
{
    const std::vector<uint8_t> video = read_fixture("cam_1920x1080_large_i.h264");
    const std::vector<uint8_t> audio = read_fixture("tone_8000hz_mulaw.ul");
    const vrc_pack::PackedRecording rec =
        vrc_pack::pack_recording(vrc_pack::plan_frames(video, audio, 25, 0), vrc_pack::PackOptions{});
    const std::string path = scratch("large.rec");
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    uint64_t written = 0;
    size_t copies = 0;
    for (; written < uint64_t{mib} * kMiB; ++copies, written += rec.bytes.size())
        out.write(reinterpret_cast<const char *>(rec.bytes.data()), static_cast<std::streamsize>(rec.bytes.size()));
    out.close();

    std::vector<uint8_t> buffer(kMiB);
    size_t frames = 0;
    const double ms = best_ms([&] {
        vrc_oldrecord_demuxer_t *d = vrc_oldrecord_demuxer_new(path.c_str());
        d->buffer_size = kMiB;
        vrc_media_packet_t packet;
        frames = 0;
        while (vrc_oldrecord_demuxer_read_packet(d, &packet, buffer.data()) == 0) ++frames;
        vrc_oldrecord_demuxer_free(d);
    });
    std::printf("large recording: %.1f MiB, %zu frames read in %.1f ms (%.0f MiB/s, %.0f frames/s)\n",
                double(written) / kMiB, frames, ms, double(written) / kMiB / (ms / 1000), frames / (ms / 1000));
    if (frames != copies * rec.frames.size()) {
        std::fprintf(stderr, "expected %zu frames\n", copies * rec.frames.size());
        std::exit(1);
    }
    std::remove(path.c_str());
}

}  // namespace

int main(int argc, char **argv)
{
    uint32_t large_mib = 200;
    if (argc == 3 && std::strcmp(argv[1], "--large-mib") == 0) large_mib = static_cast<uint32_t>(std::atoi(argv[2]));
    vrc_log_set_level(VRC_LOG_WARN);  // the end of each file is logged as an ERR line
    std::printf("best of %d runs; the file is in the page cache\n", vrc_bench::kRuns);
    for (Foreign kind : {Foreign::kMagicFragments, Foreign::kRandomBytes, Foreign::kZeros}) {
        bench_scan(1 * kMiB, kind, true);
        bench_scan(10 * kMiB, kind, false);
    }
    bench_large_recording(large_mib);
    return 0;
}
