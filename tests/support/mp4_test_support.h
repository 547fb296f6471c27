// Helpers of the MP4 muxer tests: byte builders, a muxer driven with
// synthetic packets, and a small box finder for the files it writes.
#ifndef VRC_MP4_TEST_SUPPORT_H
#define VRC_MP4_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"
#include "vrc_debug.h"
#include "vrc_mp4_muxer.h"

namespace mp4_test {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kVideo = 0;
constexpr uint8_t kAudio = 1;
constexpr uint32_t kCreation = 1700000000;
constexpr uint32_t kStart = 123456;

inline Bytes u32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }
inline Bytes u16(uint32_t v) { return {uint8_t(v >> 8), uint8_t(v)}; }
inline Bytes tag(const char (&s)[5]) { return {uint8_t(s[0]), uint8_t(s[1]), uint8_t(s[2]), uint8_t(s[3])}; }

inline Bytes hex(const std::string &digits)
{
    Bytes out;
    for (size_t i = 0; i + 1 < digits.size(); i += 2) out.push_back(uint8_t(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return out;
}

inline Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline uint32_t be32(const Bytes &b, size_t at)
{
    return uint32_t(b.at(at)) << 24 | uint32_t(b.at(at + 1)) << 16 | uint32_t(b.at(at + 2)) << 8 | b.at(at + 3);
}

// A NAL unit: its header byte and `payload` bytes that never form a start code.
inline Bytes nal(uint8_t header, size_t payload)
{
    Bytes out{header};
    for (size_t i = 0; i < payload; ++i) out.push_back(uint8_t(0x80 | (i % 0x7F)));
    return out;
}

// NAL units joined with start codes of `start_code` bytes (3 or 4).
inline Bytes annexb(std::initializer_list<Bytes> nals, int start_code = 4)
{
    Bytes out;
    for (const Bytes &n : nals) out = cat({out, Bytes(size_t(start_code - 1), 0), {1}, n});
    return out;
}

inline vrc_track_info_t video_track()
{
    vrc_track_info_t t{};
    t.media_type = VRC_MEDIA_VIDEO;
    t.codec_id = VRC_CODEC_H264;
    t.timescale = 1000;
    t.width = 1920;
    t.height = 1080;
    return t;
}

inline vrc_track_info_t audio_track(uint32_t codec = VRC_CODEC_G711U, uint32_t rate = 8000)
{
    vrc_track_info_t t{};
    t.media_type = VRC_MEDIA_AUDIO;
    t.codec_id = codec;
    t.timescale = 1000;
    t.channels = 1;
    t.sample_rate = rate;
    t.bitwidth = 16;
    return t;
}

struct Config {
    bool private_records;
    bool pre_sized;
};

// A muxer on a fresh file (or the given path) with its header written; the
// creation time is the UTC second of the stream time `start`.
class TestMuxer {
public:
    explicit TestMuxer(Config config, std::vector<vrc_track_info_t> tracks = {video_track(), audio_track()},
                       std::string out_path = "", uint32_t creation = kCreation, uint32_t start = kStart)
        : path(out_path.empty() ? vrc_test::temp_path("mux_" + std::to_string(++files_) + ".mp4") : out_path)
    {
        muxer = vrc_mp4_muxer_new(path.c_str());
        EXPECT_NE(muxer, nullptr) << path;
        if (!muxer) return;
        vrc_mp4_muxer_set_config(muxer, config.private_records, config.pre_sized);
        vrc_mp4_muxer_set_create_time(muxer, creation, start);
        EXPECT_EQ(vrc_mp4_muxer_add_tracks(muxer, tracks.data(), int(tracks.size())), 0);
        EXPECT_EQ(vrc_mp4_muxer_write_header(muxer), 0);
    }
    ~TestMuxer() { vrc_mp4_muxer_free(muxer); }
    TestMuxer(const TestMuxer &) = delete;
    TestMuxer &operator=(const TestMuxer &) = delete;

    // One frame; video for the frame types 1 to 3, audio otherwise. The
    // sequence number counts per track unless one is given.
    int put(uint8_t track, uint8_t frame_type, uint32_t timestamp, const Bytes &data, uint32_t utc = 0,
            int64_t seq = -1)
    {
        vrc_media_packet_t p{};
        p.size = uint32_t(data.size());
        p.track_id = track;
        p.media_type = frame_type <= VRC_FRAME_VIDEO_OTHER ? VRC_MEDIA_VIDEO : VRC_MEDIA_AUDIO;
        p.frame_type = frame_type;
        p.seq = seq >= 0 ? uint32_t(seq) : next_seq[track % 3];
        p.utctime = utc;
        p.timestamp = timestamp;
        p.data = const_cast<uint8_t *>(data.data());
        p.key_frame = frame_type == VRC_FRAME_I;
        const int rc = vrc_mp4_muxer_write_packet(muxer, &p);
        if (rc == 0) next_seq[track % 3] = p.seq + 1;
        return rc;
    }

    // Writes the tail, closes the file and returns its bytes.
    Bytes finish()
    {
        EXPECT_EQ(vrc_mp4_muxer_write_tailer(muxer), 0);
        vrc_mp4_muxer_free(muxer);
        muxer = nullptr;
        return vrc_test::read_file(path);
    }

    std::string path;
    vrc_mp4_muxer_t *muxer = nullptr;

private:
    inline static int files_ = 0;
    uint32_t next_seq[3] = {};
};

struct Box {
    size_t offset;  // of the box header; 0 with size 0 when not found
    uint32_t size;
};

// Bytes between a box's header and its first child.
inline size_t child_skip(const std::string &type)
{
    if (type == "stsd" || type == "dref") return 8;
    if (type == "avc1") return 78;
    return 0;
}

// Finds a box by a path such as "moov/trak[1]/mdia/minf/stbl/stsz".
inline Box find_box(const Bytes &file, const std::string &path)
{
    size_t begin = 0, end = file.size();
    Box found{0, 0};
    std::istringstream steps(path);
    for (std::string name; std::getline(steps, name, '/');) {
        const size_t bracket = name.find('[');
        int wanted = bracket == std::string::npos ? 0 : std::stoi(name.substr(bracket + 1));
        name.resize(std::min(bracket, name.size()));
        found = Box{0, 0};
        for (size_t pos = begin; pos + 8 <= end;) {
            const uint32_t size = be32(file, pos);
            if (size < 8 || pos + size > end) break;
            if (std::string(file.begin() + pos + 4, file.begin() + pos + 8) == name && wanted-- == 0) {
                found = Box{pos, size};
                break;
            }
            pos += size;
        }
        if (found.size == 0) return found;
        begin = found.offset + 8 + child_skip(name);
        end = found.offset + found.size;
    }
    return found;
}

inline Bytes box_bytes(const Bytes &file, const std::string &path)
{
    const Box b = find_box(file, path);
    return Bytes(file.begin() + b.offset, file.begin() + b.offset + b.size);
}

// The 32-bit words of a table box behind its header fields (version and
// flags, then `fields` - 4 bytes: the entry count, for stsz also the size).
inline std::vector<uint32_t> table(const Bytes &file, const std::string &path, size_t fields = 8)
{
    const Box b = find_box(file, path);
    std::vector<uint32_t> words;
    for (size_t at = b.offset + 8 + fields; at + 4 <= b.offset + b.size; at += 4) words.push_back(be32(file, at));
    return words;
}

inline std::vector<uint32_t> sample_offsets(const Bytes &file, int trak)
{
    return table(file, "moov/trak[" + std::to_string(trak) + "]/mdia/minf/stbl/stco");
}

inline std::vector<uint32_t> sample_sizes(const Bytes &file, int trak)
{
    return table(file, "moov/trak[" + std::to_string(trak) + "]/mdia/minf/stbl/stsz", 12);
}

// FNV-1a of the bytes: a golden value pins a whole layout in one line.
inline uint64_t fnv1a(const Bytes &bytes)
{
    uint64_t h = 0xcbf29ce484222325ull;
    for (const uint8_t b : bytes) h = (h ^ b) * 0x100000001b3ull;
    return h;
}

// Each NAL unit of a sample behind its own 4-byte length; a length that runs
// past the sample (a start code left inside, say) fails the test.
inline std::vector<Bytes> split_sample(const Bytes &file, uint32_t offset, uint32_t size)
{
    std::vector<Bytes> nals;
    for (uint32_t at = offset; at < offset + size;) {
        const uint32_t n = be32(file, at);
        if (uint64_t(at) + 4 + n > uint64_t(offset) + size) {
            ADD_FAILURE() << "NAL length " << n << " at " << at << " runs past the sample";
            break;
        }
        nals.emplace_back(file.begin() + at + 4, file.begin() + at + 4 + n);
        at += 4 + n;
    }
    return nals;
}

// Log text written after the mark was set.
class LogMark {
public:
    LogMark() : marker_("]mark " + std::to_string(++marks_) + "\n")
    {
        vrc_log_msg(VRC_LOG_ERR, "mark", 0, "%s", marker_.c_str() + 1);
    }
    std::string since() const
    {
        const std::string text = vrc_test::log_text();
        const size_t at = text.rfind(marker_);
        return at == std::string::npos ? text : text.substr(at + marker_.size());
    }

private:
    inline static int marks_ = 0;
    std::string marker_;
};

}  // namespace mp4_test

#endif
