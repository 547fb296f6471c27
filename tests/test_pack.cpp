// The packer: H.264 access-unit splitting on the fixtures and on hand-made
// streams, frame timing and interleaving, and the damaged-recording options.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "h264_access_units.h"
#include "legacy_record_packer.h"
#include "test_support.h"

namespace {

using namespace vrc_pack;

std::string fixture_path(const std::string &name)
{
    return std::string(VRC_TEST_DATA_DIR) + "/" + name;
}

std::vector<uint8_t> fixture(const std::string &name)
{
    return vrc_test::read_file(fixture_path(name));
}

uint32_t le32_at(const std::vector<uint8_t> &bytes, size_t at)
{
    return static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8 |
           static_cast<uint32_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

bool holds_magic(const std::vector<uint8_t> &bytes, size_t from, size_t to)
{
    for (size_t i = from; i + 4 <= to; ++i)
        if (le32_at(bytes, i) == kMagic || le32_at(bytes, i) == kMagicAlt) return true;
    return false;
}

std::vector<uint8_t> nal_types_of(const std::vector<uint8_t> &stream, const AccessUnit &au)
{
    std::vector<uint8_t> types;
    for (const NalUnit &nal : split_nal_units(stream.data() + au.begin, au.end - au.begin)) types.push_back(nal.type);
    return types;
}

// ---- the fixtures -----------------------------------------------------------

struct FixtureShape {
    const char *name;
    size_t pictures;
    size_t gop;
    uint32_t slices;
    bool aud;
};

const FixtureShape kShapes[] = {
    {"cam_320x240_25fps.h264", 50, 25, 1, false},  {"cam_320x240_slices4.h264", 25, 10, 4, false},
    {"cam_320x240_aud.h264", 25, 10, 1, true},     {"cam_704x576_4x3.h264", 25, 12, 1, false},
    {"cam_1920x1080_large_i.h264", 4, 25, 1, false},
};

TEST(Pack, EveryFixtureSplitsIntoOneAccessUnitPerPicture)
{
    for (const FixtureShape &shape : kShapes) {
        SCOPED_TRACE(shape.name);
        const std::vector<uint8_t> stream = fixture(shape.name);
        const std::vector<AccessUnit> units = split_access_units(stream.data(), stream.size());
        ASSERT_EQ(units.size(), shape.pictures);
        size_t covered = 0;
        for (size_t i = 0; i < units.size(); ++i) {
            SCOPED_TRACE("picture " + std::to_string(i));
            EXPECT_EQ(units[i].begin, covered);
            covered = units[i].end;
            EXPECT_EQ(units[i].slices, shape.slices);
            EXPECT_EQ(units[i].idr, i % shape.gop == 0);
            const std::vector<uint8_t> types = nal_types_of(stream, units[i]);
            size_t first = 0;
            if (shape.aud) {
                ASSERT_FALSE(types.empty());
                EXPECT_EQ(types[0], kNalAud);
                first = 1;
            }
            // A camera's key frame carries its parameter sets in front.
            if (units[i].idr) {
                ASSERT_GT(types.size(), first + 2);
                EXPECT_EQ(types[first], kNalSps);
                EXPECT_EQ(types[first + 1], kNalPps);
            }
        }
        EXPECT_EQ(covered, stream.size());
    }
    const std::vector<uint8_t> large = fixture("cam_1920x1080_large_i.h264");
    const std::vector<AccessUnit> units = split_access_units(large.data(), large.size());
    EXPECT_GT(units[0].end - units[0].begin, 262144u);
}

std::string run_capture(const std::string &command)
{
#ifdef _WIN32
    FILE *pipe = _popen(command.c_str(), "r");
#else
    FILE *pipe = popen(command.c_str(), "r");
#endif
    if (!pipe) return {};
    std::string out;
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
#ifdef _WIN32
    _pclose(pipe);
#else
    pclose(pipe);
#endif
    return out;
}

TEST(Pack, AccessUnitsMatchWhatFfprobeReads)
{
    if (run_capture("ffprobe -version").find("ffprobe version") == std::string::npos)
        GTEST_SKIP() << "ffprobe is not installed";
    for (const FixtureShape &shape : kShapes) {
        SCOPED_TRACE(shape.name);
        const std::vector<uint8_t> stream = fixture(shape.name);
        std::ostringstream ours;
        for (const AccessUnit &au : split_access_units(stream.data(), stream.size()))
            ours << au.end - au.begin << "," << (au.idr ? "K" : "_") << "\n";
        std::string theirs;
        std::istringstream lines(run_capture("ffprobe -v error -show_entries packet=size,flags -of csv=p=0 \"" +
                                             fixture_path(shape.name) + "\""));
        for (std::string line; std::getline(lines, line);) theirs += line.substr(0, line.find(',') + 2) + "\n";
        EXPECT_EQ(ours.str(), theirs);
    }
}

// ---- hand-made streams ------------------------------------------------------

std::vector<uint8_t> nal(uint8_t header, std::vector<uint8_t> payload, bool long_start_code = true)
{
    std::vector<uint8_t> out = long_start_code ? std::vector<uint8_t>{0, 0, 0, 1} : std::vector<uint8_t>{0, 0, 1};
    out.push_back(header);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

// Slice payloads: ue(v) 0 is the bit 1; ue(v) 40 is 00000 101001.
const std::vector<uint8_t> kFirstMbZero = {0x88, 0x84, 0x21};
const std::vector<uint8_t> kFirstMbForty = {0x05, 0x28, 0x84};

TEST(Pack, SplitsAtSlicesWithFirstMbZeroAndKeepsTheirPrefix)
{
    const std::vector<std::vector<uint8_t>> parts = {
        {0xAB, 0xCD},                      // junk before the first start code
        nal(0x67, {0x42, 0x00, 0x1E}),     // SPS
        nal(0x68, {0xCE}, false),          // PPS, 3-byte start code
        nal(0x65, kFirstMbZero),           // IDR, first slice
        nal(0x65, kFirstMbForty, false),   // IDR, second slice
        nal(0x06, {0x05, 0x01, 0x00}),     // SEI: opens the next picture
        nal(0x41, kFirstMbZero),           // P, first slice
        nal(0x41, kFirstMbForty),          // P, second slice
        nal(0x09, {0xF0}),                 // AUD
        nal(0x41, kFirstMbZero, false),    // P
        nal(0x0C, {0xFF, 0xFF}),           // filler after the last slice stays with it
    };
    std::vector<uint8_t> stream;
    std::vector<size_t> at;
    for (const auto &part : parts) {
        at.push_back(stream.size());
        stream.insert(stream.end(), part.begin(), part.end());
    }
    const std::vector<AccessUnit> units = split_access_units(stream.data(), stream.size());
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(units[0].begin, 0u);
    EXPECT_EQ(units[0].end, at[5]);
    EXPECT_TRUE(units[0].idr);
    EXPECT_EQ(units[0].slices, 2u);
    EXPECT_EQ(units[1].end, at[8]);
    EXPECT_FALSE(units[1].idr);
    EXPECT_EQ(units[1].slices, 2u);
    EXPECT_EQ(units[2].end, stream.size());
    EXPECT_EQ(units[2].slices, 1u);

    const std::vector<NalUnit> nals = split_nal_units(stream.data(), stream.size());
    ASSERT_EQ(nals.size(), parts.size() - 1);
    EXPECT_EQ(nals[3].first_mb, 40u);
    EXPECT_EQ(nals[2].first_mb, 0u);

    const std::vector<uint8_t> no_slices = nal(0x67, {0x42, 0x00, 0x1E});
    EXPECT_TRUE(split_access_units(no_slices.data(), no_slices.size()).empty());
}

// ---- timing, interleaving and the recording's layout ---------------------

std::vector<uint8_t> three_pictures()
{
    std::vector<uint8_t> stream;
    for (const auto &part : {nal(0x67, {0x42}), nal(0x68, {0xCE}), nal(0x65, kFirstMbZero), nal(0x41, kFirstMbZero),
                             nal(0x41, kFirstMbZero)})
        stream.insert(stream.end(), part.begin(), part.end());
    return stream;
}

TEST(Pack, FramesAreTimedAndInterleavedInTimestampOrder)
{
    const std::vector<uint8_t> video = three_pictures();
    const std::vector<uint8_t> audio(700, 0xFF);  // two whole 40 ms frames and 60 bytes
    const std::vector<Frame> frames = plan_frames(video, audio, 30, 1000);
    struct Expected {
        uint32_t type, timestamp, size;
    };
    const Expected expected[] = {{kTypeVideoI, 0, 0},  {kTypeVideoP, 33, 0}, {kTypeAudio, 40, 320},
                                 {kTypeVideoP, 66, 0}, {kTypeAudio, 80, 320}, {kTypeAudio, 120, 60}};
    ASSERT_EQ(frames.size(), 6u);
    for (size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        EXPECT_EQ(frames[i].type, expected[i].type);
        EXPECT_EQ(frames[i].timestamp, expected[i].timestamp);
        EXPECT_EQ(frames[i].utctime, 1000u);
        if (expected[i].type == kTypeAudio) {
            EXPECT_EQ(frames[i].size, expected[i].size);
        }
    }
    // Audio stamped at the end of its 40 ms comes after the picture of the same time.
    const std::vector<Frame> at_25 = plan_frames(video, audio, 25, 1000);
    EXPECT_EQ(at_25[1].timestamp, 40u);
    EXPECT_EQ(at_25[1].type, kTypeVideoP);
    EXPECT_EQ(at_25[2].type, kTypeAudio);
    EXPECT_EQ(plan_frames(video, std::vector<uint8_t>(320 * 30), 25, 1000).back().utctime, 1001u);
}

TEST(Pack, RecordingLayoutAndDamageOptions)
{
    const std::vector<uint8_t> video = fixture("cam_320x240_aud.h264");
    const std::vector<uint8_t> audio = fixture("tone_8000hz_mulaw.ul");
    const std::vector<Frame> frames = plan_frames(video, audio, 25, 0);
    PackOptions options;
    options.alternate_magic = true;
    options.foreign_head = 5000;
    options.foreign_gap = 41;
    options.cut_last = 1000000;
    const PackedRecording rec = pack_recording(frames, options);
    ASSERT_EQ(rec.frames.size(), frames.size());

    size_t foreign_from = 0;
    for (size_t i = 0; i < rec.frames.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        const PackedFrame &f = rec.frames[i];
        EXPECT_EQ(f.header_offset, foreign_from + (i == 0 ? 5000 : 41));
        EXPECT_FALSE(holds_magic(rec.bytes, foreign_from, f.header_offset + 3));
        EXPECT_EQ(le32_at(rec.bytes, f.header_offset), i % 2 ? kMagicAlt : kMagic);
        EXPECT_EQ(le32_at(rec.bytes, f.header_offset + 4), f.frame.size);
        EXPECT_EQ(le32_at(rec.bytes, f.header_offset + 8), f.frame.type);
        EXPECT_EQ(le32_at(rec.bytes, f.header_offset + 12), f.frame.timestamp);
        EXPECT_EQ(f.payload_offset, f.header_offset + kHeaderSize);
        EXPECT_TRUE(std::equal(f.frame.data, f.frame.data + f.stored, rec.bytes.begin() + f.payload_offset));
        foreign_from = f.payload_offset + f.stored;
    }
    // The cut leaves one byte of the last payload, and nothing follows it.
    EXPECT_EQ(rec.frames.back().stored, 1u);
    EXPECT_EQ(rec.bytes.size(), foreign_from);

    // The foreign bytes are close misses: magic fragments without a whole magic.
    std::vector<uint8_t> foreign;
    append_foreign_bytes(foreign, 10000, 1);
    EXPECT_FALSE(holds_magic(foreign, 0, foreign.size()));
    EXPECT_GT(std::count(foreign.begin(), foreign.end(), 0x18), 500);
}

}  // namespace
