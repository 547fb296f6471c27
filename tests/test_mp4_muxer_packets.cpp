// The MP4 muxer's packet path: arguments, refusals and limits, I/O failures,
// H.264 reshaping, parameter sets and picture size.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../convert/src/vrc_mp4_muxer_internal.h"
#include "mp4_test_support.h"
#include "test_support.h"
#include "vrc_mp4_muxer.h"

using namespace mp4_test;

namespace {

const std::string kAvc1 = "moov/trak[0]/mdia/minf/stbl/stsd/avc1";

TEST(Mp4MuxerApi, NullArgumentsAndSecondCalls)
{
    EXPECT_EQ(vrc_mp4_muxer_set_config(nullptr, 1, 1), -1);
    EXPECT_EQ(vrc_mp4_muxer_set_create_time(nullptr, 1, 1), -1);
    EXPECT_EQ(vrc_mp4_muxer_get_video_duration(nullptr), -1);
    EXPECT_EQ(vrc_mp4_muxer_flush(nullptr), 0);
    vrc_mp4_muxer_free(nullptr);
    vrc_mp4_muxer_t *m = vrc_mp4_muxer_new(vrc_test::temp_path("api.mp4").c_str());
    ASSERT_NE(m, nullptr);
    vrc_track_info_t tracks[4] = {video_track(), audio_track(), audio_track(), audio_track()};
    EXPECT_EQ(vrc_mp4_muxer_add_tracks(nullptr, tracks, 1), -1);
    EXPECT_EQ(vrc_mp4_muxer_add_tracks(m, nullptr, 1), -1);
    EXPECT_EQ(vrc_mp4_muxer_add_tracks(m, tracks, 4), -1);
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

// Refused frames change nothing, the sequence check included; a gap in the
// sequence is written with one warning. A sample may just fit 24 bits.
TEST(Mp4MuxerRefusal, RefusedFramesChangeNothing)
{
    TestMuxer mux(Config{true, false});
    const Bytes p = annexb({nal(0x41, 9)});
    ASSERT_EQ(mux.put(kVideo, VRC_FRAME_P, 0, p, 0, 3), 0);
    const struct {
        uint8_t track, type;
        Bytes data;
        const char *log;
    } refused[] = {
        {2, VRC_FRAME_AUDIO, Bytes(10, 1), "track_id error 2 >= 2!\n"},
        {kAudio, VRC_FRAME_AUDIO, Bytes(VRC_MUXER_MAX_SAMPLE_SIZE + 1, 1),
         "track 1 sample of 16777216 bytes exceeds the max sample size 16777215!\n"},
        // the largest payload, a sample one byte over behind its 4-byte length
        {kVideo, VRC_FRAME_P, annexb({nal(0x41, VRC_MUXER_MAX_SAMPLE_SIZE - 4)}, 3), "track 0 sample of 16777216"},
        {kAudio, VRC_FRAME_AUDIO_ADTS, Bytes(6, 1), "track 1 adts frame of 6 bytes has no room for its header!\n"},
    };
    for (const auto &r : refused) {
        const LogMark mark;
        EXPECT_EQ(mux.put(r.track, r.type, 40, r.data), VRC_ERR_FRAME_REFUSED) << r.log;
        EXPECT_NE(mark.since().find(r.log), std::string::npos);
        EXPECT_NE(mark.since().find("write is err\n"), std::string::npos);
    }
    EXPECT_EQ(mux.muxer->nr_frames, 1u);
    EXPECT_EQ(mux.muxer->mdat_size, 8u + 20 + 14);
    const LogMark mark;
    ASSERT_EQ(mux.put(kVideo, VRC_FRAME_P, 40, p), 0);
    ASSERT_EQ(mux.put(kVideo, VRC_FRAME_P, 80, p, 0, 6), 0);
    ASSERT_EQ(mux.put(kAudio, VRC_FRAME_AUDIO, 80, Bytes(VRC_MUXER_MAX_SAMPLE_SIZE, 1)), 0);
    const std::string log = mark.since();
    EXPECT_NE(log.find("track 0 frame sequence not continous, 6, 4!\n"), std::string::npos);
    EXPECT_EQ(log.find("not continous"), log.rfind("not continous"));
    EXPECT_EQ(mux.muxer->nr_frames, 4u);
    EXPECT_EQ(mux.muxer->frames[3].size, uint32_t(VRC_MUXER_MAX_SAMPLE_SIZE));
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
    const Bytes file = mux.finish();
    EXPECT_NE(mark.since().find("write more 0\n"), std::string::npos);
    EXPECT_EQ(file.size(), 116u + VRC_MUXER_MDAT_SIZE_FIXED + find_box(file, "moov").size);
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
    EXPECT_EQ(table(file, "moov/trak[1]/mdia/minf/stbl/stts"), (std::vector<uint32_t>{1000000, 1}));
}

// Stands in for the output's protocol once a muxer has opened it: the n-th
// write or seek fails (0: none), every write fails as on a full disk, or
// writes are dropped, so that a file of any size needs no disk.
struct OutputStub {
    enum Mode { kFailAt, kFullDisk, kDiscard };
    static inline Mode mode = kFailAt;
    static inline int calls = 0;
    static inline int fail_at = 0;
    static inline int (*write)(void *, const uint8_t *, int) = nullptr;
    static inline int64_t (*seek)(void *, int64_t, int) = nullptr;

    static int stub_write(void *h, const uint8_t *src, int n)
    {
        if (++calls == fail_at || mode == kFullDisk) return 0;  // nothing written, as on a full disk
        return mode == kDiscard ? n : write(h, src, n);
    }
    static int64_t stub_seek(void *h, int64_t o, int w) { return ++calls == fail_at ? -1 : seek(h, o, w); }

    static void install(vrc_mp4_muxer_t *muxer, Mode m, int n = 0)
    {
        vrc_uri_io_file_t *pb = muxer->pb;
        write = pb->write_packet;
        seek = pb->seek;
        pb->write_packet = stub_write;
        pb->seek = stub_seek;
        mode = m;
        calls = 0;
        fail_at = n;
    }
};

// Chunk offsets are 32 bits: a frame that would end past 4 GiB - 1 is refused.
TEST(Mp4MuxerRefusal, NothingBeyondThe32BitOffsets)
{
    TestMuxer mux(Config{false, false});
    OutputStub::install(mux.muxer, OutputStub::kDiscard);
    const Bytes big(VRC_MUXER_MAX_SAMPLE_SIZE, 1);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(mux.put(kAudio, VRC_FRAME_AUDIO, 0, big), 0) << i;  // to 4294967080
    EXPECT_EQ(mux.put(kAudio, VRC_FRAME_AUDIO, 0, Bytes(215, 1)), 0);                        // ends at 4294967295
    const LogMark mark;
    EXPECT_EQ(mux.put(kAudio, VRC_FRAME_AUDIO, 0, Bytes(1, 1)), VRC_ERR_FRAME_REFUSED);
    EXPECT_NE(mark.since().find("beyond 32-bit offsets"), std::string::npos);
}

// A full disk: once a packet reaches the disk the next one fails, and a file
// that stayed buffered fails its tail.
TEST(Mp4MuxerIoError, FullDiskFailsPacketsAndTail)
{
    for (const Config config : {Config{false, false}, Config{true, true}}) {
        for (const int packets : {1, 100}) {
            TestMuxer mux(config);
            OutputStub::install(mux.muxer, OutputStub::kFullDisk);
            int rc = 0;
            for (int i = 0; i < packets && rc == 0; ++i) rc = mux.put(kAudio, VRC_FRAME_AUDIO, 0, Bytes(100, 1));
            EXPECT_EQ(rc, packets == 1 ? 0 : VRC_ERR_MUXER_IO) << config.pre_sized;
            EXPECT_LT(vrc_mp4_muxer_write_tailer(mux.muxer), 0) << config.pre_sized << " " << packets;
        }
    }
}

// Runs a tail whose n-th write or seek fails (0: none fails); returns its
// result and how many writes and seeks it made.
std::pair<int, int> tail_with_failure(Config config, int n)
{
    TestMuxer mux(config);
    const Bytes key = annexb({nal(0x67, 12), nal(0x68, 4), nal(0x65, 900)}), other = annexb({nal(0x41, 300)});
    for (uint32_t i = 0; i < 50; ++i) {
        EXPECT_EQ(mux.put(kVideo, i % 10 ? VRC_FRAME_P : VRC_FRAME_I, i * 40, i % 10 ? other : key), 0);
        EXPECT_EQ(mux.put(kAudio, VRC_FRAME_AUDIO, i * 40, Bytes(320, 0xFF)), 0);
    }
    OutputStub::install(mux.muxer, OutputStub::kFailAt, n);
    const int rc = vrc_mp4_muxer_write_tailer(mux.muxer);
    return {rc, OutputStub::calls};
}

// Whichever step of the tail meets the failure (the zero fill of a pre-sized
// mdat, a moov box, the seek back to patch the mdat size, the final flush),
// the tail reports it.
TEST(Mp4MuxerIoError, AnyFailedWriteOrSeekFailsTheTail)
{
    for (const Config config : {Config{false, false}, Config{true, true}}) {
        const auto [ok, total] = tail_with_failure(config, 0);
        ASSERT_EQ(ok, 0);
        ASSERT_GE(total, 3);
        // Every step, but of the long zero fill only its first and middle writes.
        for (int n = 1; n <= total; ++n) {
            if (n > 1 && n != total / 2 && n < total - 8) continue;
            EXPECT_LT(tail_with_failure(config, n).first, 0) << "step " << n << " of " << total << ", pre-sized "
                                                              << config.pre_sized;
        }
    }
}

// Parameter sets are found behind a delimiter and SEI and go to avcC, not
// into the sample; every NAL unit left has its own length, whatever its start
// code; one over 64 bytes is not stored (one WARN) and the last one that fit
// stays.
TEST(Mp4MuxerH264, SamplesAndParameterSets)
{
    TestMuxer mux(Config{true, false});
    const Bytes aud = {0x09, 0xF0}, sei = nal(0x06, 12), sps = nal(0x67, 15), pps = nal(0x68, 4);
    const Bytes idr = nal(0x65, 40), p = nal(0x41, 30), slice = nal(0x65, 20), tiny = nal(0x65, 1);
    // an empty NAL unit between two start codes is dropped
    const Bytes multi_slice = cat({annexb({sps, pps, slice}), {0, 0, 1}, annexb({tiny, idr}, 3)});
    const LogMark mark;
    ASSERT_EQ(mux.put(kVideo, VRC_FRAME_I, 0, annexb({aud, sps, pps, sei, idr})), 0);
    ASSERT_EQ(mux.put(kVideo, VRC_FRAME_P, 40, annexb({aud, p}, 3)), 0);
    ASSERT_EQ(mux.put(kVideo, VRC_FRAME_I, 80, multi_slice), 0);
    ASSERT_EQ(mux.put(kVideo, VRC_FRAME_I, 120, annexb({nal(0x67, 70), pps, idr})), 0);
    ASSERT_EQ(mux.put(kVideo, VRC_FRAME_I, 153, annexb({nal(0x67, 70), nal(0x68, 80), idr})), 0);
    const std::string log = mark.since();
    EXPECT_NE(log.find("track 0 parameter set of 71 bytes exceeds 64"), std::string::npos);
    EXPECT_EQ(log.find("exceeds 64"), log.rfind("exceeds 64"));

    const Bytes file = mux.finish();
    EXPECT_EQ(table(file, "moov/trak[0]/mdia/minf/stbl/stts"), (std::vector<uint32_t>{3, 40, 2, 33}));
    EXPECT_EQ(box_bytes(file, kAvc1 + "/avcC"),
              cat({u32(19 + 16 + 5), tag("avcC"), {1, sps[1], sps[2], sps[3], 0xFF, 0xE1}, u16(16), sps, {1}, u16(5),
                   pps}));
    const std::vector<Bytes> samples[] = {{idr}, {p}, {slice, tiny, idr}, {idr}, {idr}};
    const std::vector<uint32_t> offsets = sample_offsets(file, 0), sizes = sample_sizes(file, 0);
    ASSERT_EQ(sizes.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(split_sample(file, offsets[i], sizes[i]), samples[i]) << i;
        const uint32_t records = i == 1 ? 20 : 160;
        EXPECT_EQ(be32(file, offsets[i] - records), sizes[i] + records) << i;  // mr01 counts the sample as written
    }
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
        vrc_track_info_t declared = video_track();
        declared.width = 1280;
        declared.height = 720;
        TestMuxer mux(Config{false, false}, {declared, audio_track()});
        ASSERT_EQ(mux.put(kVideo, VRC_FRAME_I, 0, annexb({hex(c.sps_hex), nal(0x68, 3), nal(0x65, 10)})), 0);
        const Bytes file = mux.finish();
        const size_t avc1 = find_box(file, kAvc1).offset, tkhd = find_box(file, "moov/trak[0]/tkhd").offset;
        EXPECT_EQ((std::vector<uint32_t>{be16(file, avc1 + 32), be16(file, avc1 + 34), be32(file, tkhd + 84),
                                         be32(file, tkhd + 88)}),
                  (std::vector<uint32_t>{c.width, c.height, c.width << 16, c.height << 16}))
            << c.sps_hex;
    }
}

}  // namespace
