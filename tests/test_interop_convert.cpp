// Converted recordings and muxed files against real clients: ffprobe reads
// them, ffmpeg decodes them without a word, and the decoded pictures and
// sound equal those of the source streams.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ffmpeg_tools.h"
#include "h264_access_units.h"
#include "legacy_record_packer.h"
#include "mp4_test_support.h"
#include "test_support.h"
#include "vrc_convert.h"

#ifndef _WIN32

namespace {

using mp4_test::Bytes;
using mp4_test::Config;
using mp4_test::kAudio;
using mp4_test::kVideo;
using mp4_test::TestMuxer;
using vrc_test::frame_hashes;
using vrc_test::run;

const std::string kDataDir = VRC_TEST_DATA_DIR;
const std::string kTone = kDataDir + "/tone_8000hz_mulaw.ul";

struct Fixture {
    const char *stream;
    int width, height;
};

std::ostream &operator<<(std::ostream &out, const Fixture &f)
{
    return out << f.stream;
}

class ConvertFixture : public testing::TestWithParam<Fixture> {};

struct Packed {
    std::string rec;
    size_t video_frames = 0, audio_frames = 0;
};

void drop_audio_before(std::vector<vrc_pack::Frame> &frames, uint32_t ms)
{
    const auto early = [&](const vrc_pack::Frame &f) { return f.type == vrc_pack::kTypeAudio && f.timestamp < ms; };
    frames.erase(std::remove_if(frames.begin(), frames.end(), early), frames.end());
}

// The fixture's stream and the tone packed from stamp 0, the tone's frames
// before audio_late_ms left out.
Packed pack_fixture(const std::string &source, uint32_t audio_late_ms = 0)
{
    const Bytes video = vrc_test::read_file(source), audio = vrc_test::read_file(kTone);
    std::vector<vrc_pack::Frame> frames = vrc_pack::plan_frames(video, audio, 25, vrc_pack::kDefaultStart);
    drop_audio_before(frames, audio_late_ms);
    Packed packed{vrc_test::temp_path(source.substr(source.rfind('/') + 1) + ".rec")};
    for (const vrc_pack::Frame &frame : frames) ++(frame.type == vrc_pack::kTypeAudio ? packed.audio_frames
                                                                                         : packed.video_frames);
    vrc_test::write_file(packed.rec, vrc_pack::pack_recording(frames, {}).bytes);
    return packed;
}

TEST_P(ConvertFixture, PlayersDecodeTheConversionFrameExactly)
{
    SKIP_WITHOUT_FFMPEG();
    const Fixture &f = GetParam();
    const std::string source = kDataDir + "/" + f.stream;
    const Bytes audio = vrc_test::read_file(kTone);
    const auto [rec, video_frames, audio_frames] = pack_fixture(source);
    int rc = -1;
    vrc_test::printed_by([&] { rc = vrc_convert_mp4(rec.c_str()); });
    ASSERT_EQ(rc, 0);
    const std::string mp4 = rec + ".mp4";

    EXPECT_EQ(run("ffprobe -v error -count_frames -show_entries stream=codec_name,width,height,sample_rate,"
                  "nb_read_frames -of csv=p=0 '" + mp4 + "'"),
              "h264," + std::to_string(f.width) + "," + std::to_string(f.height) + "," +
                  std::to_string(video_frames) + "\npcm_mulaw,8000," + std::to_string(audio_frames) + "\n");
    EXPECT_EQ(run("ffmpeg -v error -i '" + mp4 + "' -f null - 2>&1"), "");
    const std::vector<std::string> decoded = frame_hashes(mp4);
    EXPECT_EQ(decoded.size(), video_frames);
    EXPECT_EQ(decoded, frame_hashes(source));
    const std::string pcm = run("ffmpeg -v error -i '" + mp4 + "' -map 0:a -f s16le - 2>&1");
    EXPECT_EQ(pcm.size(), audio.size() * 2);
    EXPECT_TRUE(pcm == run("ffmpeg -v error -f mulaw -ar 8000 -ac 1 -i '" + kTone + "' -f s16le - 2>&1"));
}

// Samples of the first audio track decoded to 16 bits, its edit list applied.
std::vector<int16_t> decoded_audio(const std::string &input)
{
    const std::string pcm = run("ffmpeg -v error " + input + " -map 0:a:0 -f s16le -ac 1 -ar 8000 -");
    std::vector<int16_t> samples(pcm.size() / 2);
    std::memcpy(samples.data(), pcm.data(), samples.size() * 2);
    return samples;
}

// got against want, got shifted by lag samples: the signal to noise ratio
// over want's length, in dB.
double snr_db(const std::vector<int16_t> &want, const std::vector<int16_t> &got, int lag)
{
    double signal = 0, noise = 1e-9;
    for (size_t i = 0; i < want.size(); ++i) {
        const double g = i + lag < got.size() ? got[i + lag] : 0.0;
        signal += double(want[i]) * want[i];
        noise += (want[i] - g) * (want[i] - g);
    }
    return 10 * std::log10(signal / noise);
}

// With AAC audio, ffmpeg decodes every frame without a word; the sound is
// the mu-law's to the sample (no other shift within 5 ms comes closer) and
// near it (32 dB at the default bit rate with FFmpeg 5.1; 25 required), and
// the tracks start where the stamps put them: with the edit lists, within
// 1 ms, whether the audio starts with the video or 200 ms after it.
TEST_P(ConvertFixture, AacAudioPlaysTheMuLawInStep)
{
    SKIP_WITHOUT_FFMPEG();
    if (!VRC_TEST_HAVE_AAC) {
        GTEST_SKIP() << "this build has no AAC encoder";
    }
    for (const uint32_t late_ms : {0u, 200u}) {
        const Packed packed = pack_fixture(kDataDir + "/" + GetParam().stream, late_ms);
        const std::string mp4 = packed.rec + ".mp4";
        vrc_convert_options_t options{};
        options.flags = VRC_CONVERT_AUDIO_AAC;
        int rc = -1;
        vrc_test::printed_by([&] { rc = vrc_convert_mp4_file(packed.rec.c_str(), mp4.c_str(), &options, nullptr); });
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(run("ffmpeg -v error -i '" + mp4 + "' -f null - 2>&1"), "");
        double video_start = -1, audio_start = -1;
        const std::string probe = run("ffprobe -v error -show_entries stream=codec_name,start_time -of csv=p=0 '" +
                                      mp4 + "'");
        ASSERT_EQ(std::sscanf(probe.c_str(), "h264,%lf\naac,%lf", &video_start, &audio_start), 2) << probe;
        EXPECT_NEAR(video_start, 0, 0.001);
        EXPECT_NEAR(audio_start, late_ms / 1000.0, 0.001);

        const std::vector<int16_t> want = decoded_audio("-f mulaw -ar 8000 -ac 1 -ss " +
                                                        std::to_string(late_ms / 1000.0) + " -i '" + kTone + "'");
        const std::vector<int16_t> got = decoded_audio("-i '" + mp4 + "'");
        ASSERT_EQ(want.size(), packed.audio_frames * 320);
        const double aligned = snr_db(want, got, 0);
        EXPECT_GT(aligned, 25.0);
        for (int lag = -40; lag <= 40; lag += lag == -1 ? 2 : 1) EXPECT_LT(snr_db(want, got, lag), aligned) << lag;
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ConvertFixture,
                         testing::Values(Fixture{"cam_320x240_25fps.h264", 320, 240},
                                         Fixture{"cam_320x240_slices4.h264", 320, 240},
                                         Fixture{"cam_320x240_aud.h264", 320, 240},
                                         Fixture{"cam_704x576_4x3.h264", 704, 576},
                                         Fixture{"cam_1920x1080_large_i.h264", 1920, 1080}));

// Recordings damaged as real archives are, converted: every frame that holds
// a picture or sound is kept, the repairs are counted, ffprobe finds each
// track where its stamps put it (tracks stamped together start together)
// and each as long as its frames imply (a real pause included), and ffmpeg
// decodes it. Runs of bad stamps, at a track's start or in its middle, move
// nothing but themselves. The same holds with the sound re-encoded as AAC,
// whose frames reach the muxer a few frames late (give or take its 128 ms
// frames and the encoder's delay, which ffprobe's durations do not always
// leave out).
TEST(ConvertDamaged, PlayersGetTheFramesAtTheirTimes)
{
    SKIP_WITHOUT_FFMPEG();
    struct Damage {
        const char *name;
        int32_t shift_second_half_ms;  // both tracks, from the middle frame on
        uint32_t run_type;             // a run of stamps shifted in this track (audio, or any video type)
        uint32_t run_first, run_length;
        int32_t run_shift_ms;
        bool damaged_size_fields;      // one in the middle, the last at its end
        bool damaged_start_code;       // of a picture in the middle
        uint32_t audio_late_ms;        // audio frames taken away at the start
        uint32_t repaired_video, repaired_audio;
    };
    constexpr uint32_t kVideo = vrc_pack::kTypeVideoP, kAudio = vrc_pack::kTypeAudio;
    constexpr int32_t kHour = 3600000;
    const Damage damages[] = {
        {"clock set back", -5000, kVideo, 0, 0, 0, false, false, 0, 1, 1},
        {"a stamp an hour ahead", 0, kVideo, 26, 1, kHour, false, false, 0, 1, 0},
        {"2 video stamps an hour ahead at the start", 0, kVideo, 0, 2, kHour, false, false, 0, 2, 0},
        {"10 video stamps an hour behind", 0, kVideo, 20, 10, -kHour, false, false, 0, 10, 0},
        {"2 audio stamps an hour ahead", 0, kAudio, 20, 2, kHour, false, false, 0, 0, 2},
        {"10 audio stamps an hour ahead at the start", 0, kAudio, 0, 10, kHour, false, false, 0, 0, 10},
        {"video stamps 5 s ahead from the middle on", 0, kVideo, 25, 25, 5000, false, false, 0, 1, 0},
        {"video stamps on a clock 5 hours off", 0, kVideo, 0, 50, 5 * kHour, false, false, 0, 0, 1},
        {"damaged size fields", 0, kVideo, 0, 0, 0, true, false, 0, 0, 0},
        {"audio 200 ms late", 0, kVideo, 0, 0, 0, false, false, 200, 0, 0},
        {"damaged start code", 0, kVideo, 0, 0, 0, false, true, 0, 0, 0},
        {"a pause of 3 minutes", 180000, kVideo, 0, 0, 0, false, false, 0, 0, 0},
    };
    const Bytes audio = vrc_test::read_file(kTone);
    for (const uint32_t flags : {0u, VRC_TEST_HAVE_AAC ? VRC_CONVERT_AUDIO_AAC : 0u})
    for (const Damage &d : damages) {
        SCOPED_TRACE(std::string(d.name) + (flags ? ", AAC" : ""));
        Bytes video = vrc_test::read_file(kDataDir + "/cam_320x240_25fps.h264");
        std::vector<vrc_pack::Frame> frames = vrc_pack::plan_frames(video, audio, 25, vrc_pack::kDefaultStart);
        const size_t middle = frames.size() / 2;
        size_t video_frames = 0, audio_frames = 0, picture = middle, in_run = 0;
        while (frames[picture].type != vrc_pack::kTypeVideoP) ++picture;
        if (d.damaged_start_code) video[size_t(frames[picture].data - video.data()) + 3] = 2;
        for (vrc_pack::Frame &f : frames)
            if ((f.type == kAudio) == (d.run_type == kAudio) && in_run++ - d.run_first < d.run_length)
                f.timestamp += uint32_t(d.run_shift_ms);
        for (size_t i = middle; i < frames.size(); ++i) frames[i].timestamp += uint32_t(d.shift_second_half_ms);
        drop_audio_before(frames, d.audio_late_ms);
        for (const vrc_pack::Frame &f : frames) ++(f.type == kAudio ? audio_frames : video_frames);
        vrc_pack::PackedRecording rec = vrc_pack::pack_recording(frames, {});
        if (d.damaged_size_fields) {
            for (const auto &[at, size] : {std::make_pair(rec.frames[middle].header_offset, 200000u),
                                           std::make_pair(rec.frames.back().header_offset, 16777215u)})
                for (int b = 0; b < 4; ++b) rec.bytes[at + 4 + b] = uint8_t(size >> (8 * b));
        }
        const std::string path = vrc_test::temp_path("damaged.rec"), mp4 = path + ".mp4";
        vrc_test::write_file(path, rec.bytes);
        vrc_convert_result_t result{};
        int rc = -1;
        vrc_convert_options_t options{};
        options.flags = flags;
        vrc_test::printed_by([&] { rc = vrc_convert_mp4_file(path.c_str(), mp4.c_str(), &options, &result); });
        ASSERT_EQ(rc, 0) << result.message;
        EXPECT_EQ(result.video_frames, video_frames - d.damaged_start_code);
        EXPECT_EQ(result.frames_dropped, uint32_t(d.damaged_start_code));
        EXPECT_EQ(result.video_steps_repaired, d.repaired_video);
        if (!flags) {  // AAC frames are fewer, and their repairs counted as theirs
            EXPECT_EQ(result.audio_frames, audio_frames);
            EXPECT_EQ(result.audio_steps_repaired, d.repaired_audio);
        }

        const double pause = std::max(d.shift_second_half_ms, 0) / 1000.0;
        const std::string probe = run("ffprobe -v error -show_entries stream=start_time,duration "
                                      "-of default=nw=1:nk=1 '" + mp4 + "'");
        double video_start = -1, video_duration = -1, audio_start = -1, audio_duration = -1;
        ASSERT_EQ(std::sscanf(probe.c_str(), "%lf %lf %lf %lf", &video_start, &video_duration, &audio_start,
                              &audio_duration), 4) << probe;
        EXPECT_EQ(video_start, 0.0);
        EXPECT_NEAR(audio_start, d.audio_late_ms / 1000.0, 0.001);
        EXPECT_NEAR(video_duration, video_frames * 0.04 + pause, 0.1);
        EXPECT_NEAR(audio_duration, audio_frames * 0.04 + pause, flags ? 0.3 : 0.1);
        EXPECT_EQ(run("ffmpeg -v error -i '" + mp4 + "' -f null - 2>&1"), "");
    }
}

// Written by the muxer directly, with its defaults (private records, a
// pre-sized mdat) and in the conversion's plain layout: 320x180 (a cropped
// height) in three slices per picture, each picture led
// by a delimiter: ffprobe sees the SPS's size and every frame decodes to the
// source's pixels.
TEST(MuxerInterop, FfmpegDecodesTheMuxedStreamFrameExactly)
{
    SKIP_WITHOUT_FFMPEG();
    const std::string source = vrc_test::temp_path("source.264");
    ASSERT_EQ(std::system(("ffmpeg -v error -y -f lavfi -i testsrc=size=320x180:rate=25 -frames:v 60 -pix_fmt yuv420p "
                           "-c:v libx264 -g 25 -bf 0 -x264-params aud=1:slices=3 -f h264 '" + source + "'").c_str()),
              0);
    const Bytes stream = vrc_test::read_file(source);
    const std::vector<vrc_pack::AccessUnit> units = vrc_pack::split_access_units(stream.data(), stream.size());
    ASSERT_EQ(units.size(), 60u);
    for (const Config config : {Config{false, false}, Config{true, true}}) {
        TestMuxer mux(config);
        for (size_t i = 0; i < units.size(); ++i) {
            const Bytes u(stream.begin() + units[i].begin, stream.begin() + units[i].end);
            ASSERT_EQ(mux.put(kVideo, units[i].idr ? VRC_FRAME_I : VRC_FRAME_P, uint32_t(i * 40), u), 0);
            ASSERT_EQ(mux.put(kAudio, VRC_FRAME_AUDIO, uint32_t(i * 40), Bytes(320, 0xFF)), 0);
        }
        mux.finish();

        const std::string probe = run("ffprobe -v error -count_frames -show_entries "
                                      "stream=codec_name,width,height,sample_rate,nb_read_frames -of csv=p=0 '" +
                                      mux.path + "'");
        EXPECT_EQ(probe, "h264,320,180,60\npcm_mulaw,8000,60\n") << config.private_records;
        EXPECT_EQ(run("ffmpeg -v error -i '" + mux.path + "' -f null - 2>&1"), "");
        EXPECT_EQ(frame_hashes(mux.path), frame_hashes(source));
    }
}

// AAC at rates and channel counts besides the recorder's 8000 Hz mono: the
// sample entry describes what the track declares, and ffmpeg decodes it.
TEST(MuxerInterop, AacTracksDescribeTheirRateAndChannels)
{
    SKIP_WITHOUT_FFMPEG();
    for (const auto &[rate, channels] : {std::make_pair(44100u, 2u), std::make_pair(22050u, 1u)}) {
        const std::string adts = vrc_test::temp_path("tone.aac");
        ASSERT_EQ(std::system(("ffmpeg -v error -y -f lavfi -i sine=sample_rate=" + std::to_string(rate) +
                               ":duration=1 -ac " + std::to_string(channels) + " -c:a aac -f adts '" + adts + "'")
                                  .c_str()),
                  0);
        const Bytes stream = vrc_test::read_file(adts);
        vrc_track_info_t aac = mp4_test::audio_track(VRC_CODEC_AAC, rate);
        aac.channels = channels;
        TestMuxer mux(Config{false, false}, {mp4_test::video_track(), aac});
        uint32_t frames = 0;
        for (size_t at = 0; at + 7 <= stream.size(); ++frames) {
            const size_t length = size_t(stream[at + 3] & 3) << 11 | size_t(stream[at + 4]) << 3 | stream[at + 5] >> 5;
            ASSERT_EQ(mux.put(kAudio, VRC_FRAME_AUDIO_ADTS, frames * 1024 * 1000 / rate,
                              Bytes(stream.begin() + at, stream.begin() + at + length)), 0);
            at += length;
        }
        mux.finish();
        EXPECT_EQ(run("ffprobe -v error -show_entries stream=codec_name,sample_rate,channels -of csv=p=0 '" +
                      mux.path + "'"),
                  "aac," + std::to_string(rate) + "," + std::to_string(channels) + "\n");
        EXPECT_EQ(run("ffmpeg -v error -i '" + mux.path + "' -f null - 2>&1"), "");
    }
}

}  // namespace

#endif
