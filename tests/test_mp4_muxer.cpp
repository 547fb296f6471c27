// The MP4 muxer: its output byte for byte (the file head, private records,
// sample tables), refusals and limits, I/O failures, H.264 reshaping,
// parameter sets and picture size.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#if !defined(_WIN32)
#  include <csignal>
#  include <sys/resource.h>
#endif

#include "mp4_test_support.h"
#include "test_support.h"
#include "vrc_mp4_demuxer.h"
#include "vrc_mp4_muxer.h"

using namespace mp4_test;

namespace {

const std::string kStbl[] = {"moov/trak[0]/mdia/minf/stbl/", "moov/trak[1]/mdia/minf/stbl/"};
const std::string kAvc1 = kStbl[0] + "stsd/avc1";

// One key frame and one audio frame, as the conversion writes them (plain)
// and as a recorder does (private records into a pre-sized mdat): golden
// files. Before any frame, the file holds the head and the mdat header, its
// size final when pre-sized, else patched at the tail.
TEST(Mp4MuxerLayout, GoldenFilesWithAndWithoutPrivateRecords)
{
    const uint64_t golden[] = {0x598a5d2ad087671bull, 0x820c69ef3a70c2b7ull};
    for (const bool records : {false, true}) {
        TestMuxer mux(Config{records, records});
        vrc_mp4_muxer_flush(mux.muxer);
        const Bytes head = vrc_test::read_file(mux.path);
        EXPECT_EQ(Bytes(head.end() - 8, head.end()), cat({u32(records ? VRC_MUXER_MDAT_SIZE_FIXED : 0), tag("mdat")}));
        ASSERT_EQ(mux.put(kVideo, VRC_FRAME_I, 40, annexb({nal(0x67, 9), nal(0x68, 3), nal(0x65, 50)}, 3), 0, 0x1234), 0);
        ASSERT_EQ(mux.put(kAudio, VRC_FRAME_AUDIO, 40, Bytes(160, 0x55)), 0);
        const Bytes file = mux.finish();
        EXPECT_EQ(fnv1a(file), golden[records]) << "the layout changed, private records: " << records;
    }
}

// 250 video frames (every tenth a key frame, SPS 23 and PPS 4 bytes) and 500
// mu-law frames, both 40 ms apart from 0: stamped together, the tracks start
// together, with no edit list. An empty recording has mvhd alone.
TEST(Mp4MuxerMoov, The250And500FrameRecording)
{
    TestMuxer empty(Config{false, false});
    EXPECT_EQ(find_box(empty.finish(), "moov").size, 116u);
    Bytes file;
    const std::string printed = vrc_test::printed_by([&file] {
        TestMuxer mux(Config{true, false});
        const Bytes key = annexb({nal(0x67, 22), nal(0x68, 3), nal(0x65, 300)});
        for (uint32_t i = 0; i < 500; ++i) {
            if (i < 250) {
                ASSERT_EQ(mux.put(kVideo, i % 10 ? VRC_FRAME_P : VRC_FRAME_I, i * 40,
                                  i % 10 ? annexb({nal(0x41, 100 + i)}) : key, 1600000000), 0);
            }
            ASSERT_EQ(mux.put(kAudio, VRC_FRAME_AUDIO, i * 40, Bytes(320, 0xFF), 1600000100), 0);
        }
        file = mux.finish();
    });
    EXPECT_NE(printed.find("moov_size's size is 7116\n"), std::string::npos);
    // the whole file: times since 1904 from a track's first packet, and an
    // mr01 record (with an mr02 for key frames) before each frame
    EXPECT_EQ(fnv1a(file), 0x182510805aeb5c1dull) << "the layout of this recording changed";
}

// Sample durations from the stamps of a track alone, damaged and unusual
// ones among them: the stts runs, and the WARN that counts the stamps put
// back in line and the steps replaced. A step of up to a second is the
// track's own; stamps that come back to the track's line were astray, however
// many; a jump after which the track goes on is a pause. The mr01 records
// keep every stamp as it came.
TEST(Mp4MuxerMoov, SampleDurationsFromTheStamps)
{
    const struct {
        std::vector<uint32_t> stamps;
        std::vector<uint32_t> stts;
        uint32_t repaired;
    } cases[] = {
        {{0, 40, 80, 3600120, 160, 200}, {6, 40}, 1},             // one stamp an hour ahead
        {{0, 40, 80, 80 - 3600000u, 160, 200}, {6, 40}, 1},       // ... or behind
        {{5000, 5040, 5080, 1000, 1040}, {5, 40}, 1},             // the clock set back
        {{0, 40, 80, 3600120, 3600160, 200, 240}, {7, 40}, 2},    // two stamps an hour ahead
        {{0, 40, 80, 79, 160}, {5, 40}, 1},                       // a stamp a little behind
        {{0, 40, 1040}, {1, 40, 2, 1000}, 0},                     // a step of a second is no jump
        {{0, 40, 1041}, {3, 40}, 1},                              // ... one of a little more is
        {{3600000, 40, 80, 120}, {4, 40}, 1},                     // the first stamp astray
        {{0, 40, 80, 3600120}, {4, 40}, 1},                       // the last stamp astray
        {{0, 40, 180040, 180080}, {1, 40, 1, 180000, 2, 40}, 0},  // a pause
        {{0, 5000, 10000, 15000}, {4, 5000}, 0},                  // a slow camera
        {{0xFFFFFFB0, 0xFFFFFFD8, 0, 40}, {4, 40}, 0},            // stamps wrapping around
        {{7}, {1, 40}, 0},
    };
    for (const auto &c : cases) {
        TestMuxer mux(Config{true, false});
        for (uint32_t stamp : c.stamps) ASSERT_EQ(mux.put(kVideo, VRC_FRAME_P, stamp, annexb({nal(0x41, 10)})), 0);
        const LogMark log;
        const Bytes file = mux.finish();
        EXPECT_EQ(table(file, kStbl[0] + "stts"), c.stts) << c.stamps[0] << " " << c.stamps.size();
        const std::string warn = "track 0: " + std::to_string(c.repaired) + " timestamps";
        EXPECT_EQ(log.since().find(warn) != std::string::npos, c.repaired != 0) << log.since();
        for (size_t i = 0; i < c.stamps.size(); ++i)
            EXPECT_EQ(be32(file, sample_offsets(file, 0)[i] - 4), c.stamps[i]);  // mr01 word 2
    }
}

// Video stamps 1.05 s off the sound's until both jump 3 minutes: the video's
// jump into agreement is where its stamps start to count, no pause, however
// alike the sound's jump is; the stamps before it are put back in line.
TEST(Mp4MuxerMoov, NoPauseWhereATrackComesToAgreeWithTheOther)
{
    TestMuxer mux(Config{false, false});
    for (uint32_t i = 0; i < 10; ++i) {
        const uint32_t agreed = 181000 + 40 * (i - 5);
        ASSERT_EQ(mux.put(kVideo, VRC_FRAME_P, i < 5 ? 40 * i : agreed, annexb({nal(0x41, 10)})), 0);
        ASSERT_EQ(mux.put(kAudio, VRC_FRAME_AUDIO, i < 5 ? 1050 + 40 * i : agreed, Bytes(320, 0xFF)), 0);
    }
    EXPECT_EQ(table(mux.finish(), kStbl[0] + "stts"), (std::vector<uint32_t>{10, 40}));
}

// Stamps wrap at 2^32 ms: video from 20 ms before the wrap and audio from
// 20 ms after it: the audio track waits behind an empty edit of exactly the
// 40 ms between them (compared as plain numbers they were 49 days apart).
TEST(Mp4MuxerMoov, TracksOnBothSidesOfTheStampWrapKeepTheirOffset)
{
    TestMuxer mux(Config{false, false});
    for (uint32_t i = 0; i < 4; ++i) {
        ASSERT_EQ(mux.put(kVideo, VRC_FRAME_P, i * 40 - 20, annexb({nal(0x41, 10)})), 0);
        ASSERT_EQ(mux.put(kAudio, VRC_FRAME_AUDIO, i * 40 + 20, Bytes(320, 0xFF)), 0);
    }
    const Bytes file = mux.finish();
    EXPECT_EQ(find_box(file, "moov/trak[0]/edts").size, 0u);
    EXPECT_EQ(table(file, "moov/trak[1]/edts/elst"), (std::vector<uint32_t>{40, 0xFFFFFFFF, 0x10000, 160, 0, 0x10000}));
}

// Tracks that pass 2^32 units (four stretches of 90 kHz video and sound,
// hours apart, a pause of both): mvhd, tkhd and mdhd take version 1 and
// 64-bit times (the golden files keep version 0 below).
TEST(Mp4MuxerMoov, DurationsPast32Bits)
{
    vrc_track_info_t video = video_track();
    vrc_track_info_t sound = audio_track();
    video.timescale = sound.timescale = 90000;
    TestMuxer mux(Config{false, false}, {video, sound});
    for (uint32_t stretch = 0; stretch < 4; ++stretch) {
        for (uint32_t i = 0; i < 3; ++i) {
            ASSERT_EQ(mux.put(kVideo, VRC_FRAME_P, stretch * 1500000000u + i * 3600, annexb({nal(0x41, 10)})), 0);
            ASSERT_EQ(mux.put(kAudio, VRC_FRAME_AUDIO, stretch * 1500000000u + i * 3600, Bytes(320, 0xFF)), 0);
        }
    }
    const Bytes file = mux.finish();
    const struct {
        std::string box;
        uint32_t version;
        size_t duration_at;  // behind the box header
        uint64_t duration;
    } cases[] = {
        {"moov/mvhd", 1, 24, 4500010800u},
        {"moov/trak[0]/tkhd", 1, 28, 4500010800u},
        {"moov/trak[0]/mdia/mdhd", 1, 24, 4500010800u},
        {"moov/trak[1]/mdia/mdhd", 1, 24, 4500010800u},
    };
    for (const auto &c : cases) {
        const Box b = find_box(file, c.box);
        ASSERT_NE(b.size, 0u) << c.box;
        EXPECT_EQ(file[b.offset + 8], c.version) << c.box;
        const size_t at = b.offset + 8 + c.duration_at;
        const uint64_t duration = c.version ? uint64_t{be32(file, at)} << 32 | be32(file, at + 4) : be32(file, at);
        EXPECT_EQ(duration, c.duration) << c.box;
    }
}

TEST(Mp4MuxerApi, NullArgumentsAndSecondCalls)
{
    EXPECT_EQ(vrc_mp4_muxer_set_config(nullptr, 1, 1), -1);
    EXPECT_EQ(vrc_mp4_muxer_get_video_duration(nullptr), -1);
    vrc_mp4_muxer_free(nullptr);
    vrc_mp4_muxer_t *m = vrc_mp4_muxer_new(vrc_test::temp_path("api.mp4").c_str());
    ASSERT_NE(m, nullptr);
    vrc_track_info_t tracks[4] = {video_track(), audio_track(), audio_track(), audio_track()};
    EXPECT_EQ(vrc_mp4_muxer_add_tracks(m, nullptr, 1), -1);
    EXPECT_EQ(vrc_mp4_muxer_add_tracks(m, tracks, 4), -1);
    EXPECT_EQ(vrc_mp4_muxer_add_tracks(m, tracks, 2), 0);
    EXPECT_EQ(vrc_mp4_muxer_add_tracks(m, tracks, 1), -1);  // once only: slots are never refilled
    EXPECT_EQ(vrc_mp4_muxer_write_packet(m, nullptr), -1);
    vrc_mp4_muxer_free(m);
}

// Refused frames write nothing, and leave the sequence check alone; a gap in
// the sequence is written with one warning. A sample may just fit 24 bits.
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
    }
    const LogMark mark;
    ASSERT_EQ(mux.put(kVideo, VRC_FRAME_P, 40, p), 0);
    ASSERT_EQ(mux.put(kVideo, VRC_FRAME_P, 80, p, 0, 6), 0);
    ASSERT_EQ(mux.put(kAudio, VRC_FRAME_AUDIO, 80, Bytes(VRC_MUXER_MAX_SAMPLE_SIZE, 1)), 0);
    const std::string log = mark.since();
    EXPECT_NE(log.find("track 0 frame sequence not continous, 6, 4!\n"), std::string::npos);
    EXPECT_EQ(log.find("not continous"), log.rfind("not continous"));
    const Bytes file = mux.finish();
    EXPECT_EQ(sample_sizes(file, 0), (std::vector<uint32_t>{14, 14, 14}));
    EXPECT_EQ(sample_sizes(file, 1), std::vector<uint32_t>{VRC_MUXER_MAX_SAMPLE_SIZE});
    EXPECT_EQ(find_box(file, "mdat").size, 8u + 4 * 20 + 3 * 14 + VRC_MUXER_MAX_SAMPLE_SIZE);
}

// The space check of a pre-sized mdat counts the bytes that are really
// written: a 3-byte start code becomes a 4-byte length.
TEST(Mp4MuxerRefusal, PreSizedMdatNeverOverflows)
{
    TestMuxer mux(Config{true, true});
    const uint32_t room = 880;
    ASSERT_EQ(mux.put(kAudio, VRC_FRAME_AUDIO, 0, Bytes(VRC_MUXER_MDAT_SIZE_FIXED - room - 8 - 20, 0x33)), 0);
    EXPECT_EQ(mux.put(kAudio, VRC_FRAME_AUDIO, 40, Bytes(900, 1)), VRC_ERR_FRAME_REFUSED);
    EXPECT_EQ(mux.put(kVideo, VRC_FRAME_P, 40, annexb({nal(0x41, 856)}, 3)), VRC_ERR_FRAME_REFUSED);  // 881
    ASSERT_EQ(mux.put(kVideo, VRC_FRAME_P, 40, annexb({nal(0x41, 855)})), 0);  // 860 + 20: full to the byte
    const Bytes file = mux.finish();
    EXPECT_EQ(file.size(), 116u + VRC_MUXER_MDAT_SIZE_FIXED + find_box(file, "moov").size);
}

// A long recording keeps every frame up to the track capacity, each sample a
// chunk of its own: the demuxer finds them all, far past what 16 bits count.
// The recorder's own files (private records) stop there; a plain file goes
// on, its frame table growing past the recorder's ceiling, and the reader's
// tables past the public record's.
TEST(Mp4MuxerRefusal, TrackFrameLimit)
{
    vrc_log_set_level(VRC_LOG_WARN);
    for (const bool records : {true, false}) {
        TestMuxer mux(Config{records, false});
        for (uint32_t i = 0; i < VRC_MUXER_MAX_TRACK_FRAMES; ++i)
            ASSERT_EQ(mux.put(kAudio, VRC_FRAME_AUDIO, i, Bytes{uint8_t(i >> 16), uint8_t(i >> 8), uint8_t(i)}), 0);
        EXPECT_EQ(mux.put(kAudio, VRC_FRAME_AUDIO, VRC_MUXER_MAX_TRACK_FRAMES, Bytes(3, 0)),
                  records ? VRC_ERR_FRAME_REFUSED : 0);
        EXPECT_EQ(mux.put(kVideo, VRC_FRAME_P, 0, annexb({nal(0x41, 3)})), 0);
        const Bytes file = mux.finish();
        EXPECT_EQ(be32(file, find_box(file, kStbl[1] + "stsz").offset + 16), VRC_MUXER_MAX_TRACK_FRAMES + !records);
        vrc_mp4_demuxer_t *demuxer = vrc_mp4_demuxer_new(0, mux.path.c_str());
        ASSERT_EQ(vrc_mp4_demuxer_read_header(demuxer), 0);
        uint8_t buf[64];
        vrc_media_packet_t p;
        uint32_t audio = 0, last = 0;  // the audio frames whose bytes number their stamp, and the last one
        uint32_t all = 0;
        while (vrc_mp4_demuxer_read_packet(demuxer, &p, buf, sizeof buf) == 0) {
            all += p.track_id == kAudio;
            if (p.track_id == kAudio && p.timestamp == uint32_t(p.data[0] << 16 | p.data[1] << 8 | p.data[2])) {
                ++audio;
                last = p.timestamp;
            }
        }
        vrc_mp4_index_counts_t counts{sizeof counts, 0, 0, 0};
        EXPECT_EQ(vrc_mp4_demuxer_index_counts(demuxer, &counts), 0);
        EXPECT_EQ(counts.audio_samples, all);
        EXPECT_EQ(demuxer->nr_audio_frames, uint32_t{MOV_MAX_FRAMES});  // what the public record shows
        vrc_mp4_demuxer_free(demuxer);
        EXPECT_EQ(audio, uint32_t{VRC_MUXER_MAX_TRACK_FRAMES});
        EXPECT_EQ(all, VRC_MUXER_MAX_TRACK_FRAMES + !records);
        EXPECT_EQ(last, VRC_MUXER_MAX_TRACK_FRAMES - 1);
    }
    vrc_log_set_level(VRC_LOG_DEBUG);
}

// The recorder's own files keep 32-bit chunk offsets: a frame that would end
// past 4 GiB - 1 is refused. The null device takes the 4 GiB without a disk.
TEST(Mp4MuxerRefusal, NothingBeyondThe32BitOffsets)
{
#if defined(_WIN32)
    const char *null_device = "NUL";
#else
    const char *null_device = "/dev/null";
#endif
    TestMuxer mux(Config{true, false}, {video_track(), audio_track()}, null_device);
    const Bytes big(VRC_MUXER_MAX_SAMPLE_SIZE, 1);
    for (int i = 0; i < 255; ++i) ASSERT_EQ(mux.put(kAudio, VRC_FRAME_AUDIO, 0, big), 0) << i;  // to 4278195049
    EXPECT_EQ(mux.put(kAudio, VRC_FRAME_AUDIO, 0, Bytes(16772226, 1)), 0);  // behind its mr01, ends at 4294967295
    EXPECT_EQ(mux.put(kAudio, VRC_FRAME_AUDIO, 0, Bytes(1, 1)), VRC_ERR_FRAME_REFUSED);
    // moov in front would push them past it: refused before anything moves
    ASSERT_EQ(vrc_mp4_muxer_set_faststart(mux.muxer, 1), 0);
    EXPECT_EQ(vrc_mp4_muxer_write_tailer(mux.muxer), VRC_ERR_FRAME_REFUSED);
}

#if !defined(_WIN32)
// Muxes 50 video and audio frames and runs the tail with the file limited
// to `limit` bytes (none when 0), so that writes beyond it fail or fall
// short; returns the tail's result and the file's size.
std::pair<int, size_t> tail_with_limit(Config config, rlim_t limit, bool faststart = false)
{
    TestMuxer mux(config);
    vrc_mp4_muxer_set_faststart(mux.muxer, faststart);
    const Bytes key = annexb({nal(0x67, 12), nal(0x68, 4), nal(0x65, 900)}), other = annexb({nal(0x41, 300)});
    for (uint32_t i = 0; i < 50; ++i) {
        EXPECT_EQ(mux.put(kVideo, i % 10 ? VRC_FRAME_P : VRC_FRAME_I, i * 40, i % 10 ? other : key), 0);
        EXPECT_EQ(mux.put(kAudio, VRC_FRAME_AUDIO, i * 40, Bytes(320, 0xFF)), 0);
    }
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    const rlimit limited{limit ? limit : saved.rlim_cur, saved.rlim_max};
    std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &limited);
    const int rc = vrc_mp4_muxer_write_tailer(mux.muxer);
    setrlimit(RLIMIT_FSIZE, &saved);
    vrc_mp4_muxer_free(mux.muxer);
    mux.muxer = nullptr;
    return {rc, vrc_test::read_file(mux.path).size()};
}

// A full disk: once a packet reaches the disk it fails, and so does the tail.
// A file that stayed buffered: whichever step of the tail meets the full disk
// (the zero fill of a pre-sized mdat, a moov box, the final flush, the move
// of mdat behind moov), the tail reports it.
TEST(Mp4MuxerIoError, AnyFailedWriteFailsPacketsOrTheTail)
{
    for (const Config config : {Config{false, false}, Config{true, true}}) {
        TestMuxer full(config, {video_track(), audio_track()}, "/dev/full");
        int rc = 0;
        for (int i = 0; i < 100 && rc == 0; ++i) rc = full.put(kAudio, VRC_FRAME_AUDIO, 0, Bytes(100, 1));
        EXPECT_EQ(rc, VRC_ERR_MUXER_IO) << config.pre_sized;
        EXPECT_LT(vrc_mp4_muxer_write_tailer(full.muxer), 0) << config.pre_sized;
        const auto [ok, size] = tail_with_limit(config, 0);
        ASSERT_EQ(ok, 0);
        // a short final write, inside moov, before moov (the fill of a pre-sized mdat)
        for (const size_t limit : {size - 1, size - 1000, size / 2})
            EXPECT_LT(tail_with_limit(config, limit).first, 0) << "limit " << limit << " of " << size;
        EXPECT_LT(tail_with_limit(config, size - 1, true).first, 0) << "moving mdat behind moov";
    }
}
#endif

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
    // the last sample lasts the cadence, not the one odd step before it
    EXPECT_EQ(table(file, "moov/trak[0]/mdia/minf/stbl/stts"), (std::vector<uint32_t>{3, 40, 1, 33, 1, 40}));
    EXPECT_EQ(box_bytes(file, kAvc1 + "/avcC"),
              cat({u32(19 + 16 + 5), tag("avcC"), {1, sps[1], sps[2], sps[3], 0xFF, 0xE1}, u16(16), sps, {1}, u16(5),
                   pps}));
    const std::vector<Bytes> samples[] = {{idr}, {p}, {slice, tiny, idr}, {idr}, {idr}};
    const std::vector<uint32_t> offsets = sample_offsets(file, 0), sizes = sample_sizes(file, 0);
    ASSERT_EQ(sizes.size(), 5u);
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(split_sample(file, offsets[i], sizes[i]), samples[i]) << i;
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
        EXPECT_EQ(be32(file, avc1 + 32), c.width << 16 | c.height) << c.sps_hex;
        EXPECT_EQ(Bytes(file.begin() + long(tkhd) + 84, file.begin() + long(tkhd) + 92),
                  cat({u32(c.width << 16), u32(c.height << 16)})) << c.sps_hex;
    }
}

}  // namespace
