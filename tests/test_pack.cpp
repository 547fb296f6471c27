// The packer: one access unit per picture, on the fixtures and on a hand-made
// stream, and packed recordings that read back as the streams they came from.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "h264_access_units.h"
#include "legacy_record_packer.h"
#include "mp4_test_support.h"
#include "test_support.h"
#include "vrc_oldrecord_demuxer.h"

namespace {

using namespace vrc_pack;
using mp4_test::Bytes;

const std::string kData = VRC_TEST_DATA_DIR "/";

struct FixtureShape {
    const char *name;
    uint32_t pictures, gop, slices;
    bool aud;
};

const FixtureShape kShapes[] = {
    {"cam_320x240_25fps.h264", 50, 25, 1, false}, {"cam_320x240_slices4.h264", 25, 10, 4, false},
    {"cam_320x240_aud.h264", 25, 10, 1, true},    {"cam_704x576_4x3.h264", 25, 12, 1, false},
    {"cam_1920x1080_large_i.h264", 4, 25, 1, false},
};

// Packed at 30 fps between foreign bytes with both magic values, with the
// tone cut to a short last frame, every fixture reads back through the
// demuxer as its streams byte for byte. Each picture is one frame: all its
// slices, a delimiter and, on a key frame, the parameter sets in front.
// Pictures come every 1000 / 30 ms, audio stamped at the end of its 40 ms,
// merged in time order with a picture before the audio of the same time.
TEST(Pack, EveryFixtureSplitsPerPictureAndReadsBackByteForByte)
{
    Bytes audio = vrc_test::read_file(kData + "tone_8000hz_mulaw.ul");
    audio.resize(audio.size() - 260);
    for (const FixtureShape &shape : kShapes) {
        SCOPED_TRACE(shape.name);
        const Bytes video = vrc_test::read_file(kData + shape.name);
        const PackedRecording rec = pack_recording(plan_frames(video, audio, 30, kDefaultStart), {true, 5000, 41});
        const std::string path = vrc_test::temp_path(std::string(shape.name) + ".rec");
        vrc_test::write_file(path, rec.bytes);
        vrc_oldrecord_demuxer_t *d = vrc_oldrecord_demuxer_new(path.c_str());
        ASSERT_NE(d, nullptr);
        d->buffer_size = 1 << 20;
        Bytes buffer(d->buffer_size), got_video, got_audio;
        uint32_t pictures = 0, sounds = 0, frame_end = 0;
        uint64_t last_order = 0;
        vrc_media_packet_t p;
        for (uint32_t i = 0; vrc_oldrecord_demuxer_read_packet(d, &p, buffer.data()) == 0; ++i) {
            SCOPED_TRACE("frame " + std::to_string(i));
            EXPECT_EQ(p.offset, frame_end + (i == 0 ? 5000 : 41) + kHeaderSize);
            const uint8_t *magic = rec.bytes.data() + p.offset - kHeaderSize;
            EXPECT_EQ(uint32_t(magic[0] | magic[1] << 8 | magic[2] << 16 | magic[3] << 24), i % 2 ? kMagicAlt : kMagic);
            frame_end = p.offset + p.size;
            const bool is_video = p.media_type == VRC_MEDIA_VIDEO;
            EXPECT_EQ(p.timestamp, is_video ? pictures * 1000 / 30 : (sounds + 1) * kAudioFrameMs);
            EXPECT_EQ(p.utctime, kDefaultStart + p.timestamp / 1000);
            const uint64_t order = uint64_t{p.timestamp} << 1 | !is_video;
            EXPECT_GE(order, last_order);
            last_order = order;
            EXPECT_EQ(p.key_frame, is_video && pictures % shape.gop == 0);
            ++(is_video ? pictures : sounds);
            if (is_video) {
                std::vector<uint8_t> types;
                for (const NalUnit &nal : split_nal_units(buffer.data(), p.size)) types.push_back(nal.type);
                const auto first = types.begin() + (shape.aud ? 1 : 0);
                EXPECT_EQ(!types.empty() && types[0] == kNalAud, shape.aud);
                EXPECT_EQ(types.end() - first > 2 && first[0] == kNalSps && first[1] == kNalPps, p.key_frame == 1);
                EXPECT_EQ(uint32_t(std::count(first, types.end(), kNalSliceIdr) +
                                   std::count(first, types.end(), kNalSliceNonIdr)),
                          shape.slices);
            }
            Bytes &stream = is_video ? got_video : got_audio;
            stream.insert(stream.end(), buffer.begin(), buffer.begin() + p.size);
        }
        vrc_oldrecord_demuxer_free(d);
        EXPECT_EQ(frame_end, rec.bytes.size());
        EXPECT_EQ(pictures, shape.pictures);
        EXPECT_TRUE(got_video == video);
        EXPECT_TRUE(got_audio == audio);
    }
}

// Bytes before the first start code, 3- and 4-byte start codes, a second
// slice (first_mb_in_slice 40), an SEI and a delimiter opening pictures, and
// filler staying with the slice before it.
TEST(Pack, SplitsAtTheFirstSliceOfEachPicture)
{
    using mp4_test::annexb;
    using mp4_test::cat;
    // ue(v) 0 is the bit 1; ue(v) 40 is 00000 101001.
    const Bytes p0 = {0x41, 0x88, 0x84, 0x21}, p40 = {0x41, 0x05, 0x28, 0x84};
    const Bytes i0 = {0x65, 0x88, 0x84, 0x21}, i40 = {0x65, 0x05, 0x28, 0x84};
    const Bytes pictures[] = {
        cat({{0xAB, 0xCD}, annexb({{0x67, 0x42, 0x00, 0x1E}}), annexb({{0x68, 0xCE}, i0}, 3), annexb({i40})}),
        annexb({{0x06, 0x05, 0x01, 0x00}, p0, p40}),
        cat({annexb({{0x09, 0xF0}}), annexb({p0}, 3), annexb({{0x0C, 0xFF, 0xFF}})}),
    };
    const Bytes stream = cat({pictures[0], pictures[1], pictures[2]});
    const std::vector<AccessUnit> units = split_access_units(stream.data(), stream.size());
    ASSERT_EQ(units.size(), 3u);
    size_t end = 0;
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(units[i].begin, end);
        end += pictures[i].size();
        EXPECT_EQ(units[i].end, end);
        EXPECT_EQ(units[i].idr, i == 0);
        EXPECT_EQ(units[i].slices, i == 2 ? 1u : 2u);
    }
    const Bytes no_slice = annexb({{0x67, 0x42, 0x00, 0x1E}});
    EXPECT_TRUE(split_access_units(no_slice.data(), no_slice.size()).empty());
}

}  // namespace
