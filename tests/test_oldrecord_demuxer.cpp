// The legacy record demuxer on recordings packed from the H.264 and mu-law
// fixtures, on hand-made damaged headers and noise, with a seek index, and on
// files reaching 4 GiB.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "legacy_record_packer.h"
#include "mp4_test_support.h"
#include "test_support.h"
#include "vrc_oldrecord_demuxer.h"

namespace {

using mp4_test::Bytes;
using mp4_test::LogMark;
using vrc_pack::PackedFrame;

constexpr uint32_t kDefaultCapacity = VRC_OLDREC_DEFAULT_BUFFER_SIZE;
constexpr uint32_t kLargeCapacity = 1u << 20;
constexpr int kEof = VRC_ERR_OLDREC_EOF;

using DemuxerPtr = std::unique_ptr<vrc_oldrecord_demuxer_t, decltype(&vrc_oldrecord_demuxer_free)>;

// A demuxer on a fresh file of these bytes.
DemuxerPtr open_bytes(const Bytes &bytes)
{
    static int files = 0;
    const std::string path = vrc_test::temp_path("demux_" + std::to_string(++files) + ".rec");
    vrc_test::write_file(path, bytes);
    return DemuxerPtr(vrc_oldrecord_demuxer_new(path.c_str()), &vrc_oldrecord_demuxer_free);
}

size_t occurrences(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// {media type, frame type, key frame} of each type code.
std::tuple<int, int, int> expected_kind(uint32_t type)
{
    if (type == 0xFA) return {VRC_MEDIA_AUDIO, VRC_FRAME_AUDIO, 0};
    return {VRC_MEDIA_VIDEO, type == 0xF0 ? VRC_FRAME_I : type == 0xF1 ? VRC_FRAME_P : VRC_FRAME_VIDEO_OTHER, type == 0xF0};
}

uint32_t le32_at(const Bytes &bytes, uint64_t at)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | (at + i < bytes.size() ? bytes[at + i] : 0);
    return v;
}

// Reads a file of these bytes to the end as a host does, into one reused
// buffer fenced by guard bytes, and requires exactly the expected frames,
// then -90113. A payload cut by the end of the file comes with the bytes
// present and the count of those missing; one with no byte to read fails
// with -3.
void expect_frames(const Bytes &bytes, uint32_t capacity, const std::vector<PackedFrame> &expected)
{
    constexpr size_t kGuard = 64;
    DemuxerPtr d = open_bytes(bytes);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->buffer_size, kDefaultCapacity);
    Bytes buffer(capacity + kGuard, 0xA5);
    d->buffer_size = capacity;
    vrc_media_packet_t p;
    const auto read = [&] {
        std::memset(&p, 0x5A, sizeof p);
        return vrc_oldrecord_demuxer_read_packet(d.get(), &p, buffer.data());
    };
    for (const PackedFrame &want : expected) {
        SCOPED_TRACE("frame at offset " + std::to_string(want.header_offset));
        ASSERT_EQ(read(), want.stored == 0 ? VRC_ERR_FRAME_REFUSED : 0);
        if (want.stored == 0) continue;
        EXPECT_EQ(p.size, want.stored);
        const bool at_end = want.payload_offset + want.stored == bytes.size();
        EXPECT_EQ(d->payload_cut, at_end ? le32_at(bytes, want.header_offset + 4) - want.stored : 0u);
        EXPECT_EQ(p.offset, want.payload_offset);
        EXPECT_EQ(p.timestamp, want.frame.timestamp);
        EXPECT_EQ(p.utctime, want.frame.utctime);
        EXPECT_EQ(std::make_tuple(int(p.media_type), int(p.frame_type), int(p.key_frame)), expected_kind(want.frame.type));
        EXPECT_EQ(p.codec_id, p.media_type == VRC_MEDIA_AUDIO ? VRC_CODEC_G711U : VRC_CODEC_H264);
        EXPECT_EQ(p.track_id + p.seq, 0u) << "left over from an earlier packet";
        EXPECT_TRUE(std::equal(want.frame.data, want.frame.data + want.stored, buffer.begin())) << "payload differs";
    }
    EXPECT_EQ(read(), kEof) << "after the last expected frame";
    EXPECT_TRUE(std::all_of(buffer.end() - kGuard, buffer.end(), [](uint8_t b) { return b == 0xA5; }))
        << "the demuxer wrote past the capacity it was given";
}

// Little-endian 32-bit words, as frame headers and seek indexes are laid out.
Bytes le32s(std::initializer_list<uint32_t> words)
{
    Bytes out;
    for (const uint32_t w : words)
        for (int shift = 0; shift < 32; shift += 8) out.push_back(uint8_t(w >> shift));
    return out;
}

// A frame: the 44-byte header, then the payload; `claimed` replaces the
// payload's size in the header.
Bytes frame_bytes(uint32_t magic, uint32_t type, uint32_t timestamp, const Bytes &payload, int64_t claimed = -1)
{
    Bytes out;
    const auto size = uint32_t(claimed < 0 ? int64_t(payload.size()) : claimed);
    vrc_pack::append_header(out, {magic, size, type, timestamp, vrc_pack::kDefaultStart + timestamp / 1000});
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

// Every fixture packed each way reads back frame by frame, once with a buffer
// for the largest frame and once with the default capacity, which skips the
// 1080p I-pictures whole with one WARN each and delivers the frames after.
TEST(OldrecordDemuxer, EveryPackedFixtureReadsBackAsPacked)
{
    const std::pair<const char *, vrc_pack::PackOptions> variants[] = {
        {"plain", {}}, {"foreign bytes, both magic values", {true, 3001, 97}}, {"cut", {false, 0, 0, 100}}};
    const std::string data = std::string(VRC_TEST_DATA_DIR) + "/";
    const Bytes audio = vrc_test::read_file(data + "tone_8000hz_mulaw.ul");
    // Only the 1080p fixture holds frames above the default capacity.
    for (const auto &[name, oversize] :
         {std::make_pair("cam_320x240_25fps.h264", false), std::make_pair("cam_1920x1080_large_i.h264", true)}) {
        const Bytes video = vrc_test::read_file(data + name);
        ASSERT_FALSE(video.empty()) << name;
        for (const auto &[variant, options] : variants) {
            const auto rec = vrc_pack::pack_recording(vrc_pack::plan_frames(video, audio, 25, 1700000000), options);
            for (const uint32_t capacity : {kLargeCapacity, kDefaultCapacity}) {
                SCOPED_TRACE(std::string(name) + ", " + variant + ", capacity " + std::to_string(capacity));
                const LogMark log;
                std::vector<PackedFrame> fitting;
                std::copy_if(rec.frames.begin(), rec.frames.end(), std::back_inserter(fitting),
                             [&](const PackedFrame &f) { return f.frame.size <= capacity; });
                expect_frames(rec.bytes, capacity, fitting);
                EXPECT_EQ(fitting.size() < rec.frames.size(), oversize && capacity == kDefaultCapacity);
                const size_t cut = options.cut_last != 0;  // the last frame, with a WARN of its own
                EXPECT_EQ(occurrences(log.since(), "WARN"), rec.frames.size() - fitting.size() + cut) << log.since();
                EXPECT_EQ(occurrences(log.since(), "DEBUG vrc_oldrecord_demuxer.cpp"), 1u);  // the end is no error
                EXPECT_EQ(occurrences(log.since(), "read error! ret: 0"), 1u);
            }
        }
    }
}

// The frames a reader must deliver from these bytes, found by stepping one
// byte at a time: a header is a magic value with a known type and a size up
// to 16777215. A frame has the size its header says when its payload is all
// there and a magic value or the end of the file follows; otherwise it ends
// at the first header inside what the buffer takes of it whose stamp follows
// its own, or at the end of the file; with neither, a frame above the
// capacity is stepped over whole. An unreadable payload (none at all) leaves
// the next search at the payload.
std::vector<PackedFrame> frames_by_one_byte_scan(const Bytes &bytes, uint32_t capacity)
{
    const auto plausible = [&](uint64_t at) {
        const uint32_t magic = le32_at(bytes, at), type = le32_at(bytes, at + 8);
        return (magic == 5656 || magic == 5099) && (type == 0xF0 || type == 0xF1 || type == 0xF2 || type == 0xFA) &&
               le32_at(bytes, at + 4) <= VRC_OLDREC_MAX_FRAME_SIZE;
    };
    std::vector<PackedFrame> found;
    for (uint64_t at = 0; at < bytes.size();) {
        if (!plausible(at)) {
            ++at;
            continue;
        }
        const uint32_t claimed = le32_at(bytes, at + 4), timestamp = le32_at(bytes, at + 12);
        const uint64_t payload = at + 44, end = payload + claimed;
        const uint64_t present = payload < bytes.size() ? std::min<uint64_t>(claimed, bytes.size() - payload) : 0;
        uint64_t size = present;
        const bool whole = present == claimed && claimed <= capacity;
        const bool followed = end == bytes.size() || (end + 4 <= bytes.size() && (le32_at(bytes, end) == 5656 ||
                                                                                   le32_at(bytes, end) == 5099));
        const bool confirmed = present == 0 || (whole && followed);
        if (!confirmed) {
            const uint64_t held = std::min<uint64_t>(present, capacity);
            size = held;
            for (uint64_t p = payload; p + 44 <= payload + held; ++p) {
                const int64_t step = int32_t(le32_at(bytes, p + 12) - timestamp);
                if (plausible(p) && step >= -1000 && step <= 86400000) {
                    size = p - payload;
                    break;
                }
            }
            if (size == held && claimed > capacity) {
                at = end;
                continue;
            }
        }
        const auto stored = uint32_t(size);
        const uint8_t *data = stored ? bytes.data() + payload : nullptr;
        found.push_back({{le32_at(bytes, at + 8), timestamp, le32_at(bytes, at + 16), data, stored}, le32_at(bytes, at),
                         uint32_t(at), uint32_t(payload), stored});
        at = payload + size;
    }
    return found;
}

// Frames of every type code between damaged headers: one claiming 16777216
// bytes that hides a real header 10 bytes on (the scan resumes at its next
// byte), one claiming 0xFFFFFFFF, one of an unknown type, a header of size 0
// (-3, and the next call goes on), one whose size takes in a stale header
// stamped 2 s before it and the whole header of the next frame, an audio
// frame stamped a little earlier as audio interleaves (it ends at that
// header, not at the stale one), and last a header of 16777215 bytes with
// none of them in the file (-3, then the end).
TEST(OldrecordDemuxer, HandMadeHeadersAroundDamage)
{
    Bytes bytes = mp4_test::cat({{0x00, 0x13, 0x18, 0x18, 0x16, 0, 0, 0x00, 0x00, 0x00, 0x01, 0xF0, 0x00},
                                 frame_bytes(5656, 0xF0, 40, Bytes(100, 1)),
                                 frame_bytes(5099, 0xFA, 80, Bytes(320, 2))});
    const size_t huge_at = bytes.size();
    const Bytes stale = frame_bytes(5099, 0xF1, 280, Bytes(4, 8));
    bytes = mp4_test::cat({bytes, frame_bytes(5099, 0xF0, 0, {}, 0xFFFFFFFFu),
                           frame_bytes(5656, 0xF2, 120, Bytes(30, 3)), frame_bytes(5656, 0xF5, 160, Bytes(20, 4)),
                           frame_bytes(5099, 0xF1, 200, {}), frame_bytes(5656, 0xF1, 240, Bytes(10, 5)),
                           frame_bytes(5656, 0xF1, 2280, mp4_test::cat({Bytes(10, 6), stale}), 10 + 48 + 44),
                           frame_bytes(5099, 0xFA, 2270, Bytes(9, 7)),
                           frame_bytes(5656, 0xF0, 0, {}, VRC_OLDREC_MAX_FRAME_SIZE)});
    const std::vector<PackedFrame> expected = frames_by_one_byte_scan(bytes, kDefaultCapacity);
    ASSERT_EQ(expected.size(), 8u);  // the last two unreadable

    const LogMark log;
    expect_frames(bytes, kDefaultCapacity, expected);
    const std::string text = log.since();
    EXPECT_EQ(occurrences(text, "WARN"), 4u) << text;
    const std::string lines[] = {"header at offset 3 claims 16777216 bytes",
                                 "header at offset " + std::to_string(huge_at) + " claims 4294967295 bytes",
                                 "claims 20 bytes of type 0xF5: skipped as corrupt",
                                 "claims 102 bytes, but the next frame's header follows after 58: cut there"};
    for (const std::string &line : lines) EXPECT_EQ(occurrences(text, line), 1u) << line << "\n" << text;
    EXPECT_EQ(occurrences(text, "read error ret: 0"), 2u) << text;
}

// Foreign runs of every length from 0 to 2600 bytes put a header at every
// position relative to the reader's search window; random bytes made mostly
// of magic fragments hold whole magic values with random sizes and types,
// runs of zeros, and planted frames, some cut short; the last two recordings,
// foreign bytes only and nothing, end at once.
TEST(OldrecordDemuxer, ScanFindsExactlyWhatAOneByteScanFinds)
{
    constexpr uint32_t kCapacity = 4096;  // so chance sizes also hit the capacity rule
    static constexpr uint8_t kPieces[] = {0x18, 0x16, 0x00, 0xEB, 0x13, 0x01, 0xF0};
    std::vector<Bytes> recordings(33);
    vrc_pack::append_foreign_bytes(recordings[31], 100000, 7);
    for (uint32_t run = 0; run <= 2600; ++run) {
        vrc_pack::append_foreign_bytes(recordings[0], run, run);
        const Bytes frame = frame_bytes(run % 2 ? 5099 : 5656, 0xF1, run, {0x18, 0x16, 0x00});
        recordings[0].insert(recordings[0].end(), frame.begin(), frame.end());
    }
    for (uint32_t seed = 1; seed < 31; ++seed) {
        std::mt19937 rng(seed);
        for (uint32_t block = 0; block < 40; ++block) {
            const size_t noise = rng() % 3000;
            const bool zeros = rng() % 5 == 0;
            for (size_t i = 0; i < noise; ++i)
                recordings[seed].push_back(zeros ? 0 : rng() % 4 ? kPieces[rng() % sizeof kPieces] : uint8_t(rng()));
            const Bytes frame =
                frame_bytes(block % 2 ? 5099 : 5656, 0xF0 + rng() % 11, block, Bytes(rng() % 400, uint8_t(block)));
            const size_t kept = rng() % 8 ? frame.size() : rng() % frame.size();
            recordings[seed].insert(recordings[seed].end(), frame.begin(), frame.begin() + kept);
        }
    }
    for (size_t n = 0; n < recordings.size(); ++n) {
        SCOPED_TRACE("recording " + std::to_string(n));
        expect_frames(recordings[n], kCapacity, frames_by_one_byte_scan(recordings[n], kCapacity));
    }
}

// A read without a buffer and a seek without an index are refused. The
// index: a byte count, then entries {16-bit magic, 16-bit size 12, utctime,
// frame offset}; a count that is no multiple of 12 walks whole entries only
// (the count here leaves out the third). A seek moves read_offset to the
// last entry at or before the wanted time, read in the demuxer's zone (0
// here: the host's local time) whatever zone the date-time carries; up to 2
// seconds past the last entry still count.
TEST(OldrecordDemuxer, SeekWalksTheAttachedIndex)
{
    constexpr uint32_t kEntry = 5656 | 12 << 16;
    const vrc_date_time_t wanted = vrc_date_time_pack(2024, 3, 10, 12, 0, 5, 7200, 1, 1);
    const auto t = static_cast<uint32_t>(vrc_date_time_to_gmtime(vrc_date_time_pack(2024, 3, 10, 12, 0, 5, 0, 0, 0)));
    DemuxerPtr d = open_bytes({});
    ASSERT_TRUE(d);
    vrc_media_packet_t packet;
    EXPECT_EQ(vrc_oldrecord_demuxer_read_packet(d.get(), &packet, nullptr), -1);
    EXPECT_EQ(vrc_oldrecord_demuxer_seek(d.get(), wanted), -1);
    const Bytes index = le32s({25, kEntry, t - 1, 0, kEntry, t, 5000, kEntry, t, 9000});
    d->index = index.data();
    const int walks[][3] = {{0, 1, 5000}, {2, 1, 5000}, {3, -1, 5000}, {-1, 1, 0}};  // seconds, result, offset
    for (const auto &[seconds, result, offset] : walks) {
        EXPECT_EQ(vrc_oldrecord_demuxer_seek(d.get(), vrc_date_time_update(wanted, seconds)), result) << seconds;
        EXPECT_EQ(d->read_offset, uint32_t(offset)) << seconds;
    }

    // A foreign or empty index, or a time before it, is refused and leaves
    // read_offset alone.
    const std::pair<Bytes, uint32_t> refused[] = {
        {le32s({12, kEntry, t + 1, 100}), t + 1}, {le32s({12, 4242 | 12 << 16, t, 100}), t}, {le32s({0}), 0}};
    for (const auto &[bad, start] : refused) {
        const LogMark log;
        d->index = bad.data();
        EXPECT_EQ(vrc_oldrecord_demuxer_seek(d.get(), wanted), VRC_ERR_OLDREC_BAD_INDEX);
        const std::string times = "start time:" + std::to_string(start) + ", utctime:" + std::to_string(t);
        EXPECT_EQ(occurrences(log.since(), "[oldrec]File format error or seek time not in curr file! " + times), 1u);
        EXPECT_EQ(d->read_offset, 0u);
    }
}

// A sparse file above 4 GiB: frames past 2 GiB, across 4 GiB and past it
// come back at their 64-bit positions, which read_offset and a packet's
// offset show the low 32 bits of; a host setting read_offset names a
// position in the first 4 GiB.
TEST(OldrecordDemuxer, PositionsPast4GiB)
{
    constexpr uint64_t k2GiB = 1ull << 31, k4GiB = 1ull << 32, frame_at = k2GiB + 16, straddle_at = k4GiB - 200;
    const Bytes payload(200, 2), straddling(300, 4), beyond(100, 5);
    const uint64_t beyond_at = straddle_at + 44 + straddling.size();
    const std::string path = vrc_test::temp_path("huge.rec");
    vrc_uri_io_file_t *h = vrc_uri_io_file_new(VRC_URI_IO_FLAG_WRITE, path.c_str());
    ASSERT_NE(h, nullptr);
    bool written = true;
    for (const auto &[at, part] : {std::make_pair(frame_at, frame_bytes(5099, 0xF1, 40, payload)),
                                   std::make_pair(straddle_at, frame_bytes(5656, 0xF1, 120, straddling)),
                                   std::make_pair(beyond_at, frame_bytes(5656, 0xFA, 160, beyond))})
        written = written && vrc_uri_io_file_seek(h, int64_t(at), SEEK_SET) == int64_t(at) &&
                  vrc_uri_io_file_write(h, part.data(), int(part.size())) == 0;
    written = vrc_uri_io_file_flush(h) == 0 && written;
    vrc_uri_io_file_free(h);
    if (!written) GTEST_SKIP() << "the file system refuses a sparse file above 4 GiB";

    DemuxerPtr d(vrc_oldrecord_demuxer_new(path.c_str()), &vrc_oldrecord_demuxer_free);
    ASSERT_TRUE(d);
    Bytes buffer(kDefaultCapacity);
    vrc_media_packet_t packet;
    const struct {
        uint64_t from;  // ~0: where the last read stopped
        uint64_t payload_at;
        const Bytes &bytes;
    } reads[] = {{k2GiB, frame_at + 44, payload},
                 {straddle_at - 500, straddle_at + 44, straddling},
                 {~0ull, beyond_at + 44, beyond},
                 {k2GiB, frame_at + 44, payload}};
    for (const auto &r : reads) {
        if (r.from != ~0ull) d->read_offset = uint32_t(r.from);  // as a host sets it
        ASSERT_EQ(vrc_oldrecord_demuxer_read_packet(d.get(), &packet, buffer.data()), 0) << r.payload_at;
        EXPECT_EQ(vrc_oldrecord_demuxer_payload_position(d.get()), r.payload_at);
        EXPECT_EQ(packet.offset, uint32_t(r.payload_at));
        EXPECT_EQ(vrc_oldrecord_demuxer_position(d.get()), r.payload_at + r.bytes.size());
        EXPECT_EQ(d->read_offset, uint32_t(r.payload_at + r.bytes.size()));
        EXPECT_TRUE(std::equal(r.bytes.begin(), r.bytes.end(), buffer.begin()));
    }
    ASSERT_EQ(vrc_oldrecord_demuxer_move(d.get(), beyond_at), 0);
    ASSERT_EQ(vrc_oldrecord_demuxer_read_packet(d.get(), &packet, buffer.data()), 0);
    EXPECT_EQ(packet.timestamp, 160u);
    EXPECT_EQ(vrc_oldrecord_demuxer_read_packet(d.get(), &packet, buffer.data()), kEof);
}

}  // namespace
