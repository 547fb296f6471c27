// The legacy record demuxer on recordings packed from the H.264 and mu-law
// fixtures, on hand-made damaged headers, and on files reaching 4 GiB.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "legacy_record_packer.h"
#include "test_support.h"
#include "vrc_debug.h"
#include "vrc_oldrecord_demuxer.h"

namespace {

using vrc_pack::Frame;
using vrc_pack::HeaderFields;
using vrc_pack::PackedFrame;
using vrc_pack::PackedRecording;
using vrc_pack::PackOptions;

constexpr uint32_t kDefaultCapacity = VRC_OLDREC_DEFAULT_BUFFER_SIZE;
constexpr uint32_t kLargeCapacity = 1u << 20;
constexpr int kEof = VRC_ERR_OLDREC_EOF;

struct DemuxerDeleter {
    void operator()(vrc_oldrecord_demuxer_t *d) const { vrc_oldrecord_demuxer_free(d); }
};
using DemuxerPtr = std::unique_ptr<vrc_oldrecord_demuxer_t, DemuxerDeleter>;

std::vector<uint8_t> fixture(const std::string &name)
{
    return vrc_test::read_file(std::string(VRC_TEST_DATA_DIR) + "/" + name);
}

DemuxerPtr open_bytes(const std::string &name, const std::vector<uint8_t> &bytes)
{
    const std::string path = vrc_test::temp_path(name);
    vrc_test::write_file(path, bytes);
    return DemuxerPtr(vrc_oldrecord_demuxer_new(path.c_str()));
}

// Log text written after the capture began.
class LogCapture {
public:
    LogCapture()
    {
        static int captures = 0;
        vrc_log_set_level(VRC_LOG_DEBUG);
        marker_ = "---- log capture " + std::to_string(++captures) + " ----";
        vrc_log_msg(VRC_LOG_DEBUG, __FILE__, __LINE__, "%s\n", marker_.c_str());
    }

    std::string text() const
    {
        const std::string all = vrc_test::log_text();
        const size_t at = all.rfind(marker_);
        return at == std::string::npos ? all : all.substr(at + marker_.size());
    }

    int count(const std::string &needle) const
    {
        const std::string all = text();
        int n = 0;
        for (size_t at = all.find(needle); at != std::string::npos; at = all.find(needle, at + 1)) ++n;
        return n;
    }

private:
    std::string marker_;
};

struct Delivered {
    int rc;
    vrc_media_packet_t packet;
    std::vector<uint8_t> payload;
};

// Reads until the end-of-file code, a -1, or a runaway count of calls; the
// buffer is reused from call to call as a host does and is fenced by guard
// bytes that must stay untouched.
std::vector<Delivered> read_all(vrc_oldrecord_demuxer_t *d, uint32_t capacity, int *end_rc)
{
    constexpr size_t kGuard = 64;
    constexpr uint8_t kGuardByte = 0xA5;
    std::vector<uint8_t> buffer(capacity + kGuard, kGuardByte);
    d->buffer_size = capacity;
    std::vector<Delivered> out;
    for (int calls = 0; calls < 100000; ++calls) {
        vrc_media_packet_t packet;
        std::memset(&packet, 0x5A, sizeof packet);
        const int rc = vrc_oldrecord_demuxer_read_packet(d, &packet, buffer.data());
        if (rc == kEof || rc == -1) {
            *end_rc = rc;
            break;
        }
        const size_t n = rc == 0 ? packet.size : 0;
        out.push_back(Delivered{rc, packet, std::vector<uint8_t>(buffer.begin(), buffer.begin() + n)});
    }
    EXPECT_TRUE(std::all_of(buffer.end() - kGuard, buffer.end(), [](uint8_t b) { return b == kGuardByte; }))
        << "the demuxer wrote past the capacity it was given";
    return out;
}

struct Kind {
    uint8_t media_type, frame_type, codec_id, key_frame;
};

Kind expected_kind(uint32_t type)
{
    switch (type) {
    case 0xF0: return {VRC_MEDIA_VIDEO, VRC_FRAME_I, VRC_CODEC_H264, 1};
    case 0xF1: return {VRC_MEDIA_VIDEO, VRC_FRAME_P, VRC_CODEC_H264, 0};
    case 0xF2: return {VRC_MEDIA_VIDEO, VRC_FRAME_VIDEO_OTHER, VRC_CODEC_H264, 0};
    case 0xFA: return {VRC_MEDIA_AUDIO, VRC_FRAME_AUDIO, VRC_CODEC_G711U, 0};
    default: return {VRC_MEDIA_VIDEO, 0, VRC_CODEC_H264, 0};
    }
}

// The packet and payload are exactly what was packed; a cut payload keeps
// its header size and reads as zeros past the bytes present.
void expect_delivered(const PackedFrame &packed, const Delivered &got, size_t n)
{
    SCOPED_TRACE("frame " + std::to_string(n) + " at offset " + std::to_string(packed.header_offset));
    const Kind kind = expected_kind(packed.frame.type);
    ASSERT_EQ(got.rc, 0);
    EXPECT_EQ(got.packet.size, packed.frame.size);
    EXPECT_EQ(got.packet.offset, packed.payload_offset);
    EXPECT_EQ(got.packet.timestamp, packed.frame.timestamp);
    EXPECT_EQ(got.packet.utctime, packed.frame.utctime);
    EXPECT_EQ(got.packet.media_type, kind.media_type);
    EXPECT_EQ(got.packet.frame_type, kind.frame_type);
    EXPECT_EQ(got.packet.codec_id, kind.codec_id);
    EXPECT_EQ(got.packet.key_frame, kind.key_frame);
    EXPECT_EQ(got.packet.track_id, 0);
    EXPECT_EQ(got.packet.seq, 0u);
    std::vector<uint8_t> expected(packed.frame.data, packed.frame.data + packed.stored);
    expected.resize(packed.frame.size, 0);
    EXPECT_TRUE(got.payload == expected) << "payload differs";
}

void expect_all_delivered(const std::vector<PackedFrame> &packed, const std::vector<Delivered> &got)
{
    ASSERT_EQ(got.size(), packed.size());
    for (size_t i = 0; i < packed.size(); ++i) expect_delivered(packed[i], got[i], i);
}

std::vector<uint8_t> frame_bytes(uint32_t magic, uint32_t type, uint32_t timestamp, uint32_t utctime,
                                 const std::vector<uint8_t> &payload)
{
    std::vector<uint8_t> out;
    vrc_pack::append_header(out, HeaderFields{magic, static_cast<uint32_t>(payload.size()), type, timestamp, utctime});
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> out;
    for (const auto &part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

std::vector<uint8_t> pattern(size_t n, uint8_t seed)
{
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(seed + i * 7);
    return out;
}

// ---- recordings packed from every fixture --------------------------------

const char *const kVideoFixtures[] = {
    "cam_320x240_25fps.h264", "cam_320x240_slices4.h264", "cam_320x240_aud.h264",
    "cam_704x576_4x3.h264",   "cam_1920x1080_large_i.h264",
};

struct Variant {
    const char *name;
    PackOptions options;
};

PackOptions variant_options(bool alternate, uint32_t head, uint32_t gap, uint32_t cut)
{
    PackOptions o;
    o.alternate_magic = alternate;
    o.foreign_head = head;
    o.foreign_gap = gap;
    o.cut_last = cut;
    return o;
}

const Variant kVariants[] = {
    {"plain", variant_options(false, 0, 0, 0)},
    {"alternate_magic", variant_options(true, 0, 0, 0)},
    {"foreign_bytes", variant_options(true, 3001, 97, 0)},
    {"cut_last", variant_options(false, 0, 0, 100)},
};

class PackedFixture : public testing::TestWithParam<std::tuple<const char *, Variant>> {};

TEST_P(PackedFixture, EveryFrameReadsBackAsPacked)
{
    const std::vector<uint8_t> video = fixture(std::get<0>(GetParam()));
    const std::vector<uint8_t> audio = fixture("tone_8000hz_mulaw.ul");
    ASSERT_FALSE(video.empty());
    const std::vector<Frame> frames = vrc_pack::plan_frames(video, audio, 25, 1700000000);
    const PackedRecording rec = vrc_pack::pack_recording(frames, std::get<1>(GetParam()).options);
    DemuxerPtr d = open_bytes("fixture.rec", rec.bytes);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->buffer_size, kDefaultCapacity);

    LogCapture log;
    int end_rc = 0;
    const std::vector<Delivered> got = read_all(d.get(), kLargeCapacity, &end_rc);
    expect_all_delivered(rec.frames, got);
    EXPECT_EQ(end_rc, kEof);
    EXPECT_EQ(log.count("read error! ret: 0"), 1);
    EXPECT_EQ(log.count("WARN"), 0) << log.text();
}

INSTANTIATE_TEST_SUITE_P(AllFixtures, PackedFixture,
                         testing::Combine(testing::ValuesIn(kVideoFixtures), testing::ValuesIn(kVariants)),
                         [](const testing::TestParamInfo<PackedFixture::ParamType> &info) {
                             std::string name = std::get<0>(info.param);
                             name = name.substr(0, name.find('.')) + "_" + std::get<1>(info.param).name;
                             return name;
                         });

// ---- frames larger than the caller's buffer --------------------------------

TEST(OldrecordDemuxer, FrameLargerThanCapacityIsSkippedWholeAndTheNextDelivered)
{
    const std::vector<uint8_t> video = fixture("cam_1920x1080_large_i.h264");
    const std::vector<uint8_t> audio = fixture("tone_8000hz_mulaw.ul");
    const PackedRecording rec = vrc_pack::pack_recording(vrc_pack::plan_frames(video, audio, 25, 0), PackOptions{});
    std::vector<PackedFrame> fitting, too_large;
    for (const PackedFrame &f : rec.frames) (f.frame.size > kDefaultCapacity ? too_large : fitting).push_back(f);
    ASSERT_FALSE(too_large.empty()) << "the 1080p fixture must hold an I-frame above 262144 bytes";
    EXPECT_EQ(too_large.front().frame.type, vrc_pack::kTypeVideoI);

    DemuxerPtr d = open_bytes("large.rec", rec.bytes);
    ASSERT_TRUE(d);
    LogCapture log;
    int end_rc = 0;
    const std::vector<Delivered> got = read_all(d.get(), kDefaultCapacity, &end_rc);
    expect_all_delivered(fitting, got);
    EXPECT_EQ(end_rc, kEof);
    EXPECT_EQ(log.count("WARN"), static_cast<int>(too_large.size()));
    for (const PackedFrame &f : too_large) {
        const std::string line = "frame at offset " + std::to_string(f.header_offset) + " of " +
                                 std::to_string(f.frame.size) + " bytes exceeds the buffer of 262144 bytes";
        EXPECT_EQ(log.count(line), 1) << log.text();
    }

    // A host with a larger buffer raises the capacity and gets the frame whole.
    d->read_offset = 0;
    const std::vector<Delivered> all = read_all(d.get(), kLargeCapacity, &end_rc);
    expect_all_delivered(rec.frames, all);
}

// ---- hand-made headers ----------------------------------------------------

TEST(OldrecordDemuxer, TypeCodesOffsetsAndZeroSizeHeader)
{
    const auto key = pattern(100, 1), audio = pattern(320, 2), other = pattern(30, 3), odd = pattern(20, 4),
               last = pattern(10, 5);
    const std::vector<uint8_t> bytes =
        concat({{0x00, 0x13, 0x18},  // three foreign bytes
                frame_bytes(5656, 0xF0, 1000, 77, key), frame_bytes(5099, 0xFA, 1040, 78, audio),
                frame_bytes(5656, 0xF2, 1080, 79, other), frame_bytes(5656, 0xF5, 1120, 80, odd),
                frame_bytes(5099, 0xF1, 1160, 81, {}), frame_bytes(5656, 0xF1, 1200, 82, last)});
    DemuxerPtr d = open_bytes("types.rec", bytes);
    ASSERT_TRUE(d);
    LogCapture log;
    int end_rc = 0;
    const std::vector<Delivered> got = read_all(d.get(), kDefaultCapacity, &end_rc);
    ASSERT_EQ(got.size(), 6u);

    const uint32_t first = 3 + 44;
    const Frame f0{0xF0, 1000, 77, key.data(), 100}, f1{0xFA, 1040, 78, audio.data(), 320},
        f2{0xF2, 1080, 79, other.data(), 30}, f3{0xF5, 1120, 80, odd.data(), 20}, f5{0xF1, 1200, 82, last.data(), 10};
    expect_delivered(PackedFrame{f0, 5656, 3, first, 100}, got[0], 0);
    expect_delivered(PackedFrame{f1, 5099, first + 100, first + 144, 320}, got[1], 1);
    expect_delivered(PackedFrame{f2, 5656, first + 464, first + 508, 30}, got[2], 2);
    expect_delivered(PackedFrame{f3, 5656, first + 538, first + 582, 20}, got[3], 3);
    // The empty frame fails with -3 and leaves read_offset at its payload,
    // which is where the next header begins.
    EXPECT_EQ(got[4].rc, VRC_ERR_FRAME_REFUSED);
    EXPECT_EQ(log.count("read error ret: 0"), 1);
    expect_delivered(PackedFrame{f5, 5656, first + 646, first + 690, 10}, got[5], 5);
    EXPECT_EQ(end_rc, kEof);
}

TEST(OldrecordDemuxer, OversizedHeaderIsCorruptionAndTheScanResumesAtTheNextByte)
{
    const auto payload = pattern(64, 9);
    // A header claiming 16 MiB whose own bytes hold a real header from byte 10 on.
    const std::vector<uint8_t> bogus = {0x18, 0x16, 0, 0, 0x00, 0x00, 0x00, 0x01, 0xF0, 0x00};
    // One claiming 0xFFFFFFFF, then a frame straight after its 44 bytes.
    std::vector<uint8_t> whole;
    vrc_pack::append_header(whole, HeaderFields{5099, 0xFFFFFFFFu, 0xF0, 0, 0});
    const std::vector<uint8_t> bytes =
        concat({bogus, frame_bytes(5656, 0xF0, 40, 1, payload), whole, frame_bytes(5099, 0xF1, 80, 2, payload)});
    DemuxerPtr d = open_bytes("oversized.rec", bytes);
    ASSERT_TRUE(d);
    LogCapture log;
    int end_rc = 0;
    const std::vector<Delivered> got = read_all(d.get(), kDefaultCapacity, &end_rc);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].packet.offset, 10u + 44);
    EXPECT_EQ(got[1].packet.offset, 10u + 44 + 64 + 44 + 44);
    EXPECT_TRUE(got[1].payload == payload);
    EXPECT_EQ(log.count("WARN"), 2);
    EXPECT_EQ(log.count("header at offset 0 claims 16777216 bytes"), 1) << log.text();
    EXPECT_EQ(log.count("header at offset 118 claims 4294967295 bytes"), 1) << log.text();
}

TEST(OldrecordDemuxer, LargestFrameSizeIsNotCorruption)
{
    // 16777215 bytes is a frame an MP4 record can still describe: it is
    // skipped for the capacity, not scanned through as corruption.
    std::vector<uint8_t> bytes;
    vrc_pack::append_header(bytes, HeaderFields{5656, VRC_OLDREC_MAX_FRAME_SIZE, 0xF0, 0, 0});
    DemuxerPtr d = open_bytes("largest.rec", bytes);
    ASSERT_TRUE(d);
    LogCapture log;
    std::vector<uint8_t> buffer(kDefaultCapacity);
    vrc_media_packet_t packet;
    EXPECT_EQ(vrc_oldrecord_demuxer_read_packet(d.get(), &packet, buffer.data()), kEof);
    EXPECT_EQ(log.count("frame at offset 0 of 16777215 bytes exceeds the buffer"), 1) << log.text();
    EXPECT_EQ(d->read_offset, 44u + VRC_OLDREC_MAX_FRAME_SIZE);
}

TEST(OldrecordDemuxer, RecordingWithoutAnyHeader)
{
    std::vector<uint8_t> foreign;
    vrc_pack::append_foreign_bytes(foreign, 100000, 7);
    for (const auto &bytes : {foreign, std::vector<uint8_t>{}}) {
        DemuxerPtr d = open_bytes("none.rec", bytes);
        ASSERT_TRUE(d);
        LogCapture log;
        std::vector<uint8_t> buffer(kDefaultCapacity);
        vrc_media_packet_t packet;
        EXPECT_EQ(vrc_oldrecord_demuxer_read_packet(d.get(), &packet, buffer.data()), kEof);
        EXPECT_EQ(log.count("ERR"), 1);
        EXPECT_EQ(log.count("read error! ret: 0"), 1) << log.text();
        EXPECT_EQ(d->read_offset, bytes.size());
    }
    EXPECT_EQ(vrc_oldrecord_demuxer_new(vrc_test::temp_path("missing.rec").c_str()), nullptr);
}

TEST(OldrecordDemuxer, NullArguments)
{
    LogCapture log;
    vrc_media_packet_t packet;
    uint8_t buffer[16];
    EXPECT_EQ(vrc_oldrecord_demuxer_read_packet(nullptr, &packet, buffer), -1);
    DemuxerPtr d = open_bytes("null.rec", frame_bytes(5656, 0xF0, 0, 0, pattern(8, 0)));
    ASSERT_TRUE(d);
    EXPECT_EQ(vrc_oldrecord_demuxer_read_packet(d.get(), nullptr, buffer), -1);
    EXPECT_EQ(vrc_oldrecord_demuxer_read_packet(d.get(), &packet, nullptr), -1);
    EXPECT_EQ(log.count("[oldrec]Demuxer is error!"), 3);
    EXPECT_EQ(vrc_oldrecord_demuxer_free(nullptr), 0);
}

// ---- the header scan ------------------------------------------------------

struct Found {
    int rc;
    uint32_t offset, size, timestamp;
    bool operator==(const Found &o) const
    {
        return rc == o.rc && offset == o.offset && size == o.size && timestamp == o.timestamp;
    }
};

std::ostream &operator<<(std::ostream &os, const Found &f)
{
    return os << "{rc " << f.rc << ", offset " << f.offset << ", size " << f.size << "}";
}

uint32_t le32_at(const std::vector<uint8_t> &bytes, uint64_t at)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | (at + i < bytes.size() ? bytes[at + i] : 0);
    return v;
}

// The reader's rules applied one byte at a time to the bytes in memory.
std::vector<Found> scan_one_byte_at_a_time(const std::vector<uint8_t> &bytes, uint32_t capacity)
{
    std::vector<Found> found;
    uint64_t at = 0;
    while (at < bytes.size()) {
        const uint32_t magic = le32_at(bytes, at);
        const uint32_t size = le32_at(bytes, at + 4);
        if ((magic != 5656 && magic != 5099) || size > VRC_OLDREC_MAX_FRAME_SIZE) {
            ++at;
        } else if (size > capacity) {
            at += 44 + size;
        } else {
            const uint64_t payload = at + 44;
            const bool readable = size > 0 && payload < bytes.size();
            found.push_back(Found{readable ? 0 : VRC_ERR_FRAME_REFUSED, static_cast<uint32_t>(payload), size,
                                  le32_at(bytes, at + 12)});
            at = readable ? payload + size : payload;
        }
    }
    return found;
}

// Random bytes made mostly of magic fragments, so that whole magic values
// with random sizes and types turn up by chance, plus planted frames.
std::vector<uint8_t> noisy_recording(uint32_t seed)
{
    std::mt19937 rng(seed);
    static constexpr uint8_t kPieces[] = {0x18, 0x16, 0x00, 0xEB, 0x13, 0x01, 0xF0};
    std::vector<uint8_t> bytes;
    for (int block = 0; block < 40; ++block) {
        // Runs longer than the reader's search window, too.
        const size_t noise = rng() % 3000;
        const bool zeros = rng() % 5 == 0;
        for (size_t i = 0; i < noise; ++i)
            bytes.push_back(zeros ? 0 : rng() % 4 ? kPieces[rng() % sizeof kPieces] : static_cast<uint8_t>(rng()));
        const auto payload = pattern(rng() % 400, static_cast<uint8_t>(block));
        const auto frame = frame_bytes(block % 2 ? 5099 : 5656, 0xF0 + rng() % 11, block, 0, payload);
        // Now and then a frame is cut short: at the end or inside the file.
        bytes.insert(bytes.end(), frame.begin(), frame.begin() + (rng() % 8 ? frame.size() : rng() % frame.size()));
    }
    return bytes;
}

TEST(OldrecordDemuxer, ScanFindsExactlyWhatAOneByteScanFinds)
{
    constexpr uint32_t kCapacity = 4096;  // so chance sizes also hit the capacity rule
    for (uint32_t seed = 1; seed <= 30; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const std::vector<uint8_t> bytes = noisy_recording(seed);
        DemuxerPtr d = open_bytes("noisy.rec", bytes);
        ASSERT_TRUE(d);
        int end_rc = 0;
        std::vector<Found> found;
        for (const Delivered &got : read_all(d.get(), kCapacity, &end_rc))
            found.push_back(Found{got.rc, got.packet.offset, got.packet.size, got.packet.timestamp});
        const std::vector<Found> expected = scan_one_byte_at_a_time(bytes, kCapacity);
        EXPECT_EQ(found, expected);
        ASSERT_FALSE(expected.empty());
        EXPECT_EQ(end_rc, kEof);
    }
}

TEST(OldrecordDemuxer, FindsTheFrameAfterForeignRunsOfEveryLength)
{
    // Runs of 0 to 2600 foreign bytes put the next header at every position
    // relative to wherever the reader's search steps, chunk borders included.
    constexpr uint32_t kLongestRun = 2600;
    std::vector<uint8_t> bytes;
    std::vector<uint32_t> payload_offsets;
    for (uint32_t run = 0; run <= kLongestRun; ++run) {
        vrc_pack::append_foreign_bytes(bytes, run, run);
        vrc_pack::append_header(bytes, HeaderFields{run % 2 ? 5099u : 5656u, 3, 0xF1, run, 0});
        payload_offsets.push_back(static_cast<uint32_t>(bytes.size()));
        bytes.insert(bytes.end(), {0x18, 0x16, 0x00});  // a near miss as payload
    }
    DemuxerPtr d = open_bytes("runs.rec", bytes);
    ASSERT_TRUE(d);
    int end_rc = 0;
    const std::vector<Delivered> got = read_all(d.get(), kDefaultCapacity, &end_rc);
    ASSERT_EQ(got.size(), payload_offsets.size());
    for (uint32_t run = 0; run <= kLongestRun; ++run) {
        ASSERT_EQ(got[run].packet.offset, payload_offsets[run]) << "after a run of " << run;
        ASSERT_EQ(got[run].packet.timestamp, run);
    }
}

// ---- seeking through an attached index ------------------------------------

struct IndexBuilder {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(4, 0);

    void add(uint32_t utctime, uint32_t offset, uint32_t magic = 5656, uint32_t size = 12)
    {
        const uint8_t entry[12] = {uint8_t(magic), uint8_t(magic >> 8), uint8_t(size), uint8_t(size >> 8),
                                   uint8_t(utctime), uint8_t(utctime >> 8), uint8_t(utctime >> 16),
                                   uint8_t(utctime >> 24), uint8_t(offset), uint8_t(offset >> 8),
                                   uint8_t(offset >> 16), uint8_t(offset >> 24)};
        bytes.insert(bytes.end(), entry, entry + 12);
        set_count(static_cast<uint32_t>(bytes.size() - 4));
    }

    void set_count(uint32_t count)
    {
        for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(count >> (8 * i));
    }
};

TEST(OldrecordDemuxer, SeekWithoutIndexOrDemuxer)
{
    LogCapture log;
    const vrc_date_time_t when = vrc_date_time_pack(2024, 1, 1, 0, 0, 0, 0, 0, 0);
    EXPECT_EQ(vrc_oldrecord_demuxer_seek(nullptr, when), -1);
    DemuxerPtr d = open_bytes("noindex.rec", {});
    ASSERT_TRUE(d);
    EXPECT_EQ(d->index, nullptr);
    EXPECT_EQ(vrc_oldrecord_demuxer_seek(d.get(), when), -1);
    EXPECT_EQ(log.count("[oldrec]Demuxer is error!"), 2);
}

TEST(OldrecordDemuxer, SeekWalksTheIndexToTheKeyFrameAtOrBeforeTheWantedTime)
{
    // The wanted time is read in the demuxer's zone (0 here: the host's local
    // time), whatever zone the date-time itself carries.
    const vrc_date_time_t wanted = vrc_date_time_pack(2024, 3, 10, 12, 0, 5, 7200, 1, 1);
    const int64_t t = vrc_date_time_to_gmtime(vrc_date_time_pack(2024, 3, 10, 12, 0, 5, 0, 0, 0));
    const auto start = static_cast<uint32_t>(t - 1);

    // Two seconds of video: key frames at start and start + 1.
    const std::vector<uint8_t> video = fixture("cam_320x240_25fps.h264");
    const PackedRecording rec = vrc_pack::pack_recording(vrc_pack::plan_frames(video, {}, 25, start), PackOptions{});
    IndexBuilder index;
    for (const PackedFrame &f : rec.frames)
        if (f.frame.type == vrc_pack::kTypeVideoI) index.add(f.frame.utctime, f.header_offset);
    ASSERT_EQ(index.bytes.size(), 4u + 2 * 12);

    DemuxerPtr d = open_bytes("indexed.rec", rec.bytes);
    ASSERT_TRUE(d);
    d->index = index.bytes.data();
    EXPECT_EQ(vrc_oldrecord_demuxer_seek(d.get(), wanted), 1);
    std::vector<uint8_t> buffer(kDefaultCapacity);
    vrc_media_packet_t packet;
    ASSERT_EQ(vrc_oldrecord_demuxer_read_packet(d.get(), &packet, buffer.data()), 0);
    EXPECT_EQ(packet.key_frame, 1);
    EXPECT_EQ(packet.utctime, start + 1);
    EXPECT_EQ(packet.timestamp, 1000u);

    // Within 2 seconds past the last entry still counts; beyond is -1.
    EXPECT_EQ(vrc_oldrecord_demuxer_seek(d.get(), vrc_date_time_update(wanted, 2)), 1);
    EXPECT_EQ(vrc_oldrecord_demuxer_seek(d.get(), vrc_date_time_update(wanted, 3)), -1);
    // An earlier wanted time stops at the first entry later than it.
    EXPECT_EQ(vrc_oldrecord_demuxer_seek(d.get(), vrc_date_time_update(wanted, -1)), 1);
    EXPECT_EQ(d->read_offset, 0u);
}

TEST(OldrecordDemuxer, SeekRefusesForeignIndexesAndTimesBeforeThem)
{
    const vrc_date_time_t wanted = vrc_date_time_pack(2024, 3, 10, 12, 0, 0, 0, 0, 0);
    const auto t = static_cast<uint32_t>(vrc_date_time_to_gmtime(wanted));
    DemuxerPtr d = open_bytes("index.rec", {});
    ASSERT_TRUE(d);
    d->read_offset = 1234;

    IndexBuilder later, bad_magic, bad_size, empty;
    later.add(t + 1, 100);
    bad_magic.add(t, 100, 4242);
    bad_size.add(t, 100, 5099, 16);
    for (IndexBuilder *index : {&later, &bad_magic, &bad_size, &empty}) {
        LogCapture log;
        d->index = index->bytes.data();
        EXPECT_EQ(vrc_oldrecord_demuxer_seek(d.get(), wanted), VRC_ERR_OLDREC_BAD_INDEX);
        EXPECT_EQ(log.count("[oldrec]File format error or seek time not in curr file!"), 1);
    }
    LogCapture log;
    d->index = later.bytes.data();
    vrc_oldrecord_demuxer_seek(d.get(), wanted);
    EXPECT_EQ(log.count("start time:" + std::to_string(int(t + 1)) + ", utctime:" + std::to_string(int(t))), 1)
        << log.text();
    EXPECT_EQ(d->read_offset, 1234u);

    // A byte count that is no multiple of 12 walks whole entries only: the
    // table below ends right after its one entry.
    IndexBuilder ragged;
    ragged.add(t, 500, 5099);
    ragged.set_count(13);
    const std::unique_ptr<uint8_t[]> exact(new uint8_t[ragged.bytes.size()]);
    std::memcpy(exact.get(), ragged.bytes.data(), ragged.bytes.size());
    d->index = exact.get();
    EXPECT_EQ(vrc_oldrecord_demuxer_seek(d.get(), wanted), 1);
    EXPECT_EQ(d->read_offset, 500u);
}

// ---- recordings near 4 GiB --------------------------------------------------

// Writes each part at its offset into a sparse file through the library's
// own 64-bit file layer; false when the file system refuses.
bool write_sparse(const std::string &path, const std::vector<std::pair<uint64_t, std::vector<uint8_t>>> &parts)
{
    vrc_uri_io_file_t *h = vrc_uri_io_file_new(VRC_URI_IO_FLAG_WRITE, path.c_str());
    if (!h) return false;
    bool ok = true;
    for (const auto &part : parts) {
        ok = ok && vrc_uri_io_file_seek(h, static_cast<int64_t>(part.first), SEEK_SET) ==
                       static_cast<int64_t>(part.first);
        ok = ok && vrc_uri_io_file_write(h, part.second.data(), static_cast<int>(part.second.size())) == 0;
    }
    ok = vrc_uri_io_file_flush(h) == 0 && ok;
    vrc_uri_io_file_free(h);
    return ok;
}

TEST(OldrecordDemuxer, OffsetsUpTo4GiBAndAStopBeyond)
{
    constexpr uint64_t k2GiB = 1ull << 31, k4GiB = 1ull << 32;
    const auto a = pattern(100, 1), b = pattern(200, 2), c = pattern(300, 3);
    std::vector<uint8_t> foreign;
    vrc_pack::append_foreign_bytes(foreign, 8192, 3);
    const uint64_t b_at = k2GiB + 16, c_at = k4GiB - 1000, straddle_at = k4GiB - 200;
    const std::string path = vrc_test::temp_path("huge.rec");
    if (!write_sparse(path, {{0, frame_bytes(5656, 0xF0, 0, 0, a)},
                             {b_at, frame_bytes(5099, 0xF1, 40, 1, b)},
                             {c_at, frame_bytes(5656, 0xF1, 80, 2, c)},
                             {straddle_at, frame_bytes(5656, 0xF1, 120, 3, pattern(300, 4))},
                             {k4GiB + 1000, foreign}}))
        GTEST_SKIP() << "the file system refuses a sparse file above 4 GiB";

    DemuxerPtr d(vrc_oldrecord_demuxer_new(path.c_str()));
    ASSERT_TRUE(d);
    std::vector<uint8_t> buffer(kDefaultCapacity);
    vrc_media_packet_t packet;
    ASSERT_EQ(vrc_oldrecord_demuxer_read_packet(d.get(), &packet, buffer.data()), 0);
    EXPECT_EQ(packet.offset, 44u);

    // Past 2 GiB: offsets that a signed 32-bit value cannot hold.
    d->read_offset = static_cast<uint32_t>(k2GiB);
    ASSERT_EQ(vrc_oldrecord_demuxer_read_packet(d.get(), &packet, buffer.data()), 0);
    EXPECT_EQ(packet.offset, b_at + 44);
    EXPECT_TRUE(std::equal(b.begin(), b.end(), buffer.begin()));

    d->read_offset = static_cast<uint32_t>(c_at - 500);
    ASSERT_EQ(vrc_oldrecord_demuxer_read_packet(d.get(), &packet, buffer.data()), 0);
    EXPECT_EQ(packet.offset, c_at + 44);
    EXPECT_TRUE(std::equal(c.begin(), c.end(), buffer.begin()));

    // The next frame ends past 4 GiB, where read_offset cannot follow: the
    // demuxer stops instead of wrapping around to the first frame.
    LogCapture log;
    EXPECT_EQ(vrc_oldrecord_demuxer_read_packet(d.get(), &packet, buffer.data()), kEof);
    EXPECT_EQ(d->read_offset, straddle_at);
    EXPECT_EQ(log.count("ERR"), 1);
    EXPECT_EQ(log.count("past 4 GiB"), 1) << log.text();

    // So does a scan through foreign bytes that reaches 4 GiB.
    d->read_offset = static_cast<uint32_t>(k4GiB - 60);
    EXPECT_EQ(vrc_oldrecord_demuxer_read_packet(d.get(), &packet, buffer.data()), kEof);
    EXPECT_EQ(log.count("past 4 GiB"), 2) << log.text();
    EXPECT_GE(d->read_offset, k4GiB - 60);
}

// ---- the bundled sample ---------------------------------------------------

TEST(OldrecordDemuxer, BundledSampleReadsToTheEnd)
{
    DemuxerPtr d(vrc_oldrecord_demuxer_new(VRC_SOURCE_DIR "/samples/sample.rec"));
    ASSERT_TRUE(d);
    LogCapture log;
    int end_rc = 0;
    const std::vector<Delivered> got = read_all(d.get(), kDefaultCapacity, &end_rc);
    EXPECT_EQ(end_rc, kEof);
    EXPECT_EQ(log.count("WARN"), 0);
    size_t video = 0, keys = 0, audio = 0;
    uint32_t last_timestamp = 0;
    for (const Delivered &f : got) {
        ASSERT_EQ(f.rc, 0);
        EXPECT_GE(f.packet.timestamp, last_timestamp);
        last_timestamp = f.packet.timestamp;
        if (f.packet.media_type == VRC_MEDIA_AUDIO) {
            ++audio;
        } else {
            ++video;
            keys += f.packet.key_frame;
        }
    }
    EXPECT_EQ(video, 250u);  // 10 s at 25 fps
    EXPECT_EQ(keys, 10u);
    EXPECT_EQ(audio, 250u);  // 10 s of 40 ms frames
    EXPECT_EQ(got.front().packet.key_frame, 1);
}

}  // namespace
