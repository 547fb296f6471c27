// The MP4 muxer's packet path: refusals and limits, I/O failures, H.264
// reshaping and parameter sets, picture size, and real players reading the
// files back.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "../convert/src/vrc_mp4_muxer_internal.h"
#include "mp4_test_support.h"
#include "test_support.h"
#include "vrc_mp4_muxer.h"

using namespace mp4_test;

namespace {

const std::string kAvc1 = "moov/trak[0]/mdia/minf/stbl/stsd/avc1";

// ---- the small interface ------------------------------------------------

TEST(Mp4MuxerApi, ArgumentsAndDefaults)
{
    EXPECT_EQ(vrc_mp4_muxer_set_config(nullptr, 1, 1), -1);
    EXPECT_EQ(vrc_mp4_muxer_set_create_time(nullptr, 1, 1), -1);
    EXPECT_EQ(vrc_mp4_muxer_get_video_duration(nullptr), -1);
    EXPECT_EQ(vrc_mp4_muxer_flush(nullptr), 0);
    vrc_mp4_muxer_free(nullptr);

    vrc_mp4_muxer_t *m = vrc_mp4_muxer_new(vrc_test::temp_path("api.mp4").c_str());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->private_enable, 1u);
    EXPECT_EQ(m->mdat_size_fixed, uint32_t(VRC_MUXER_MDAT_SIZE_FIXED));
    EXPECT_EQ(m->max_frames, uint32_t(VRC_MUXER_MAX_FRAMES));
    EXPECT_EQ(m->bitrate_interval, 2u);
    EXPECT_EQ(vrc_mp4_muxer_set_config(m, 5, 0), 0);
    EXPECT_EQ(m->private_enable, 1u);
    EXPECT_EQ(m->mdat_size_fixed, 0u);

    vrc_track_info_t tracks[4] = {video_track(), audio_track(), audio_track(), audio_track()};
    EXPECT_EQ(vrc_mp4_muxer_add_tracks(m, nullptr, 1), -1);
    EXPECT_EQ(vrc_mp4_muxer_add_tracks(m, tracks, 4), -1);
    EXPECT_EQ(m->nr_tracks, 0u);
    EXPECT_EQ(vrc_mp4_muxer_add_tracks(m, tracks, 2), 0);
    EXPECT_EQ(vrc_mp4_muxer_add_tracks(m, tracks, 1), -1);  // once only: slots are never refilled
    EXPECT_EQ(m->nr_tracks, 2u);

    m->tracks[0].duration = 4999;
    EXPECT_EQ(vrc_mp4_muxer_get_video_duration(m), 4);
    m->tracks[0].timescale = 0;
    EXPECT_EQ(vrc_mp4_muxer_get_video_duration(m), -1);
    EXPECT_EQ(vrc_mp4_muxer_write_packet(m, nullptr), -1);
    EXPECT_EQ(vrc_mp4_muxer_try_to_write(m, nullptr), -2);
    vrc_mp4_muxer_free(m);
}

TEST(Mp4MuxerApi, BitrateOverTwoSecondWindows)
{
    TestMuxer mux(Config{false, false});
    for (uint32_t ts = 0; ts <= 2000; ts += 500) mux.put(kAudio, VRC_FRAME_AUDIO, ts, Bytes(1000, 1));
    EXPECT_EQ(mux.muxer->bitrate[kAudio], 2500u);
    EXPECT_EQ(mux.muxer->bitrate_bytes[kAudio], 0u);  // the next packet opens a new window
}

// ---- refusals -----------------------------------------------------------

TEST(Mp4MuxerRefusal, UnknownTrackChangesNothing)
{
    TestMuxer mux(Config{true, false});
    ASSERT_EQ(mux.put(kVideo, VRC_FRAME_P, 0, annexb({nal(0x41, 9)})), 0);
    const LogMark mark;
    EXPECT_EQ(mux.put(2, VRC_FRAME_AUDIO, 40, Bytes(10, 1)), VRC_ERR_FRAME_REFUSED);
    const std::string log = mark.since();
    EXPECT_NE(log.find("track_id error 2 >= 2!\n"), std::string::npos);
    EXPECT_NE(log.find("write is err\n"), std::string::npos);
    EXPECT_EQ(mux.muxer->nr_frames, 1u);
    EXPECT_EQ(mux.muxer->mdat_size, 8u + 20 + 14);
    ASSERT_EQ(mux.put(kVideo, VRC_FRAME_P, 40, annexb({nal(0x41, 9)})), 0);
    EXPECT_EQ(mark.since().find("not continous"), std::string::npos);
    EXPECT_EQ(sample_sizes(mux.finish(), 0), (std::vector<uint32_t>{14, 14}));
}

TEST(Mp4MuxerRefusal, SequenceGapIsWrittenWithAWarning)
{
    TestMuxer mux(Config{false, false});
    const LogMark mark;
    ASSERT_EQ(mux.put(kVideo, VRC_FRAME_P, 0, annexb({nal(0x41, 9)}), 0, 3), 0);
    ASSERT_EQ(mux.put(kVideo, VRC_FRAME_P, 40, annexb({nal(0x41, 9)}), 0, 5), 0);
    EXPECT_EQ(occurrences(mark.since(), "track 0 frame sequence not continous, 5, 3!\n"), 1u);
    EXPECT_EQ(sample_sizes(mux.finish(), 0).size(), 2u);
}

// The space check of a pre-sized mdat counts the bytes that are really
// written: a 3-byte start code becomes a 4-byte length.
TEST(Mp4MuxerRefusal, PreSizedMdatNeverOverflows)
{
    TestMuxer mux(Config{true, true});
    const uint32_t room = 880;
    ASSERT_EQ(mux.put(kAudio, VRC_FRAME_AUDIO, 0, Bytes(VRC_MUXER_MDAT_SIZE_FIXED - room - 8 - 20, 0x33)), 0);
    const LogMark mark;
    EXPECT_EQ(mux.put(kAudio, VRC_FRAME_AUDIO, 40, Bytes(900, 1)), VRC_ERR_FRAME_REFUSED);
    EXPECT_NE(mark.since().find("mdat small, mdat_szie 5242000, frame size 900, need_space 20, mdat_size_fixed "
                                "5242880!\n"),
              std::string::npos);
    EXPECT_EQ(mux.put(kVideo, VRC_FRAME_P, 40, annexb({nal(0x41, 856)}, 3)), VRC_ERR_FRAME_REFUSED);  // 881
    ASSERT_EQ(mux.put(kVideo, VRC_FRAME_P, 40, annexb({nal(0x41, 855)})), 0);  // 860 + 20: full to the byte
    const LogMark tail;
    const Bytes file = mux.finish();
    EXPECT_NE(tail.since().find("write more 0\n"), std::string::npos);
    EXPECT_EQ(file.size(), 116u + VRC_MUXER_MDAT_SIZE_FIXED + find_box(file, "moov").size);
}

TEST(Mp4MuxerRefusal, SamplesOf16MiBAndMore)
{
    TestMuxer mux(Config{false, false});
    const LogMark mark;
    EXPECT_EQ(mux.put(kAudio, VRC_FRAME_AUDIO, 0, Bytes(VRC_MUXER_MAX_SAMPLE_SIZE + 1, 1)), VRC_ERR_FRAME_REFUSED);
    EXPECT_NE(mark.since().find("track 1 sample of 16777216 bytes exceeds the max sample size 16777215!\n"),
              std::string::npos);
    Bytes video = annexb({nal(0x41, VRC_MUXER_MAX_SAMPLE_SIZE - 4)}, 3);  // the payload fits, the sample does not
    ASSERT_EQ(video.size(), size_t(VRC_MUXER_MAX_SAMPLE_SIZE));
    EXPECT_EQ(mux.put(kVideo, VRC_FRAME_P, 0, video), VRC_ERR_FRAME_REFUSED);
    EXPECT_EQ(mux.put(kAudio, VRC_FRAME_AUDIO, 0, Bytes(VRC_MUXER_MAX_SAMPLE_SIZE, 1)), 0);
    EXPECT_EQ(mux.put(kAudio, VRC_FRAME_AUDIO_ADTS, 40, Bytes(6, 1)), VRC_ERR_FRAME_REFUSED);  // no ADTS header
    EXPECT_EQ(mux.muxer->nr_frames, 1u);
    EXPECT_EQ(mux.muxer->frames[0].size, uint32_t(VRC_MUXER_MAX_SAMPLE_SIZE));
}

// A long recording keeps every frame up to the track capacity.
TEST(Mp4MuxerRefusal, TrackFrameLimit)
{
    vrc_log_set_level(VRC_LOG_WARN);
    TestMuxer mux(Config{false, false});
    const Bytes one(1, 0xFF);
    for (uint32_t i = 0; i < VRC_MUXER_MAX_TRACK_FRAMES; ++i) ASSERT_EQ(mux.put(kAudio, VRC_FRAME_AUDIO, i, one), 0);
    const LogMark mark;
    EXPECT_EQ(mux.put(kAudio, VRC_FRAME_AUDIO, 0, one), VRC_ERR_FRAME_REFUSED);
    EXPECT_NE(mark.since().find("track frames exceed max number 1000000\n"), std::string::npos);
    EXPECT_EQ(mux.put(kVideo, VRC_FRAME_P, 0, annexb({nal(0x41, 3)})), 0);
    const Bytes file = mux.finish();
    vrc_log_set_level(VRC_LOG_DEBUG);
    EXPECT_EQ(sample_sizes(file, 1).size(), size_t(VRC_MUXER_MAX_TRACK_FRAMES));
    EXPECT_EQ(table(file, "moov/trak[1]/mdia/minf/stbl/stts"), (std::vector<uint32_t>{999999, 1, 1, 0}));
}

bool have_dev_files()
{
#ifdef _WIN32
    return false;
#else
    return true;
#endif
}

// Chunk offsets are 32 bits: a frame that would end past 4 GiB - 1 is refused.
TEST(Mp4MuxerRefusal, NothingBeyondThe32BitOffsets)
{
    if (!have_dev_files()) GTEST_SKIP() << "no /dev/null or /dev/full on Windows";
    TestMuxer mux(Config{false, false}, {video_track(), audio_track()}, "/dev/null");
    const Bytes big(VRC_MUXER_MAX_SAMPLE_SIZE, 1);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(mux.put(kAudio, VRC_FRAME_AUDIO, 0, big), 0) << i;  // to 4294967080
    const LogMark mark;
    EXPECT_EQ(mux.put(kAudio, VRC_FRAME_AUDIO, 0, big), VRC_ERR_FRAME_REFUSED);
    EXPECT_NE(mark.since().find("beyond 32-bit offsets"), std::string::npos);
    EXPECT_EQ(mux.put(kAudio, VRC_FRAME_AUDIO, 0, Bytes(215, 1)), 0);  // ends at 4294967295
    EXPECT_EQ(mux.put(kAudio, VRC_FRAME_AUDIO, 0, Bytes(1, 1)), VRC_ERR_FRAME_REFUSED);
}

// /dev/full accepts the open and fails every write.
TEST(Mp4MuxerIoError, FullDiskFailsPacketsAndTail)
{
    if (!have_dev_files()) GTEST_SKIP() << "no /dev/null or /dev/full on Windows";
    TestMuxer mux(Config{false, false}, {video_track(), audio_track()}, "/dev/full");
    int rc = 0;
    for (int i = 0; i < 100 && rc == 0; ++i) rc = mux.put(kAudio, VRC_FRAME_AUDIO, 0, Bytes(100, 1));
    EXPECT_EQ(rc, VRC_ERR_MUXER_IO);
    EXPECT_LT(vrc_mp4_muxer_write_tailer(mux.muxer), 0);
}

TEST(Mp4MuxerIoError, FullDiskFailsTheTailOfASmallFile)
{
    if (!have_dev_files()) GTEST_SKIP() << "no /dev/null or /dev/full on Windows";
    for (const Config config : {Config{false, false}, Config{true, true}}) {
        TestMuxer mux(config, {video_track(), audio_track()}, "/dev/full");
        ASSERT_EQ(mux.put(kAudio, VRC_FRAME_AUDIO, 0, Bytes(100, 1)), 0);  // still in the buffer
        EXPECT_LT(vrc_mp4_muxer_write_tailer(mux.muxer), 0) << config.pre_sized;
    }
}

// ---- H.264 reshaping ----------------------------------------------------

TEST(Mp4MuxerH264, ParameterSetsBehindDelimiterAndSei)
{
    TestMuxer mux(Config{false, false});
    const Bytes aud = {0x09, 0xF0}, sei = nal(0x06, 12), sps = nal(0x67, 15), pps = nal(0x68, 4);
    const Bytes idr = nal(0x65, 40), p = nal(0x41, 30);
    ASSERT_EQ(mux.put(kVideo, VRC_FRAME_I, 0, annexb({aud, sps, pps, sei, idr})), 0);
    ASSERT_EQ(mux.put(kVideo, VRC_FRAME_P, 40, annexb({aud, p}, 3)), 0);
    const Bytes file = mux.finish();
    EXPECT_EQ(box_bytes(file, kAvc1 + "/avcC"),
              cat({u32(19 + 16 + 5), tag("avcC"), {1, sps[1], sps[2], sps[3], 0xFF, 0xE1}, u16(16), sps, {1}, u16(5),
                   pps}));
    const std::vector<uint32_t> offsets = sample_offsets(file, 0), sizes = sample_sizes(file, 0);
    EXPECT_EQ(split_sample(file, offsets[0], sizes[0]), std::vector<Bytes>{idr});
    EXPECT_EQ(split_sample(file, offsets[1], sizes[1]), std::vector<Bytes>{p});
}

TEST(Mp4MuxerH264, EveryNalUnitOfAMultiSliceFrameHasItsOwnLength)
{
    TestMuxer mux(Config{true, false});
    const Bytes a = nal(0x65, 20), b = nal(0x65, 1), c = nal(0x65, 33);
    Bytes frame = annexb({nal(0x67, 10), nal(0x68, 3), a});
    frame.insert(frame.end(), {0, 0, 1});  // an empty NAL unit between start codes is dropped
    const Bytes rest = annexb({b, c}, 3);
    frame.insert(frame.end(), rest.begin(), rest.end());
    ASSERT_EQ(mux.put(kVideo, VRC_FRAME_I, 0, frame), 0);
    const Bytes file = mux.finish();
    const uint32_t size = sample_sizes(file, 0).at(0);
    EXPECT_EQ(size, 3 * 4u + 21 + 2 + 34);
    EXPECT_EQ(split_sample(file, sample_offsets(file, 0).at(0), size), (std::vector<Bytes>{a, b, c}));
    EXPECT_EQ(be32(file, 124), 20 + 140 + size);  // mr01 counts the sample as written
}

TEST(Mp4MuxerH264, OversizedParameterSetKeepsThePreviousOne)
{
    TestMuxer mux(Config{false, false});
    const Bytes sps = nal(0x67, 20), pps = nal(0x68, 4), idr = nal(0x65, 10);
    ASSERT_EQ(mux.put(kVideo, VRC_FRAME_I, 0, annexb({sps, pps, idr})), 0);
    const LogMark mark;
    ASSERT_EQ(mux.put(kVideo, VRC_FRAME_I, 40, annexb({nal(0x67, 70), pps, idr})), 0);
    ASSERT_EQ(mux.put(kVideo, VRC_FRAME_I, 80, annexb({nal(0x67, 70), nal(0x68, 80), idr})), 0);
    EXPECT_EQ(occurrences(mark.since(), "parameter set of 71 bytes exceeds 64"), 1u);
    const Bytes avcc = box_bytes(mux.finish(), kAvc1 + "/avcC");
    EXPECT_EQ(Bytes(avcc.begin() + 16, avcc.end()), cat({sps, {1}, u16(5), pps}));
}

// Real parameter sets: cropping (1080 from 1088 lines), scaling lists,
// interlace, 4:2:2 and baseline; a set that does not parse leaves the
// declared size.
TEST(Mp4MuxerH264, PictureSizeFromTheSequenceParameterSet)
{
    const struct {
        const char *sps_hex;
        uint32_t width, height;
    } cases[] = {
        {"67640028acd940780227e5c044000003000400000300c83c60c658", 1920, 1080},
        {"67640028ad843fffc22843fff9087fffffffffffffff6ca03c0113f2e022000003000200000300641e30632c", 1920, 1080},
        {"6764001eacd940b424d8088000000300800000190f8a14cb", 720, 576},
        {"677a000dbcd94161bf89c044000003000400000300c83c50a658", 352, 200},
        {"6742c00cd901419f9f011000000300100000030320f142a480", 320, 180},
        {"6742c00cd901", 1280, 720},  // cut short inside the width
    };
    for (const auto &c : cases) {
        const Bytes sps = hex(c.sps_hex);
        vrc_track_info_t declared = video_track();
        declared.width = 1280;
        declared.height = 720;
        TestMuxer mux(Config{false, false}, {declared, audio_track()});
        ASSERT_EQ(mux.put(kVideo, VRC_FRAME_I, 0, annexb({sps, nal(0x68, 3), nal(0x65, 10)})), 0);
        const Bytes file = mux.finish();
        const Box avc1 = find_box(file, kAvc1), tkhd = find_box(file, "moov/trak[0]/tkhd");
        EXPECT_EQ(be16(file, avc1.offset + 32), c.width) << c.sps_hex;
        EXPECT_EQ(be16(file, avc1.offset + 34), c.height) << c.sps_hex;
        EXPECT_EQ(be32(file, tkhd.offset + 84), c.width << 16) << c.sps_hex;
        EXPECT_EQ(be32(file, tkhd.offset + 88), c.height << 16) << c.sps_hex;
    }
}


}  // namespace
