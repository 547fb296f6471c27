// MP4 files read back through `recfile-convert extract`, judged by ffmpeg:
// the Annex B video decodes to the same pictures as the MP4 itself, the ADTS
// audio to the same samples and channels, a seek by calendar time starts at
// the key frame at or before that time, and a converted recording gives back
// the stream it was packed from.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ffmpeg_tools.h"
#include "legacy_record_packer.h"
#include "mp4_test_support.h"
#include "test_support.h"
#include "vrc_convert.h"

#if !defined(_WIN32) && defined(VRC_TOOL_PATH)

namespace {

using mp4_test::Bytes;
using vrc_test::frame_hashes;
using vrc_test::run;

const std::string kDataDir = VRC_TEST_DATA_DIR;

// What `extract --json` reports; on a failure, what it said on standard error.
std::string extract(const std::string &args)
{
    return run(std::string(VRC_TOOL_PATH) + " extract " + args + " --json 2>&1");
}

// A whole number from a flat JSON text: the first value of "key".
int64_t json_number(const std::string &json, const std::string &key)
{
    const size_t at = json.find("\"" + key + "\":");
    EXPECT_NE(at, std::string::npos) << key << " in " << json;
    return at == std::string::npos ? -1 : std::stoll(json.substr(at + key.size() + 3));
}

std::string decoded_audio(const std::string &input)
{
    return run("ffmpeg -v error -i '" + input + "' -map 0:a -f s16le - 2>&1");
}

struct Mp4Fixture {
    const char *file;
    int sample_rate;  // 0: no audio
    int channels;
};

std::ostream &operator<<(std::ostream &out, const Mp4Fixture &f)
{
    return out << f.file;
}

class ExtractFixture : public testing::TestWithParam<Mp4Fixture> {};

// Every fixture: 2 s written on 2024-01-01 00:00:00 UTC, 50 pictures at 25 fps
// in GOPs of 25, so key frames at 0 and 1000 ms.
TEST_P(ExtractFixture, FfmpegDecodesTheExtractedStreamsAsTheFile)
{
    SKIP_WITHOUT_FFMPEG();
    const Mp4Fixture &f = GetParam();
    const std::string mp4 = kDataDir + "/" + f.file;
    const std::string video = vrc_test::temp_path("video.h264"), audio = vrc_test::temp_path("audio.aac");
    const std::string report = extract("'" + mp4 + "' --video '" + video + "' --audio '" + audio + "'");
    EXPECT_EQ(json_number(report, "frames"), 50) << report;
    const std::vector<std::string> pictures = frame_hashes(mp4);
    ASSERT_EQ(pictures.size(), 50u);
    EXPECT_EQ(frame_hashes(video), pictures);

    if (f.sample_rate) {
        EXPECT_EQ(run("ffprobe -v error -show_entries stream=codec_name,sample_rate,channels -of csv=p=0 '" + audio +
                      "'"),
                  "aac," + std::to_string(f.sample_rate) + "," + std::to_string(f.channels) + "\n");
        // The MP4's edit list starts play behind the encoder's priming
        // samples; the ADTS stream has no such list and plays them.
        const std::vector<uint32_t> elst = mp4_test::table(vrc_test::read_file(mp4), "moov/trak[1]/edts/elst");
        ASSERT_EQ(elst.size(), 3u);  // one entry: duration, media time, rate
        const size_t priming_bytes = size_t{elst[1]} * f.channels * 2;
        const std::string from_file = decoded_audio(mp4), from_adts = decoded_audio(audio);
        ASSERT_GT(from_file.size(), 0u);
        ASSERT_GE(from_adts.size(), priming_bytes + from_file.size());
        EXPECT_TRUE(from_adts.compare(priming_bytes, from_file.size(), from_file) == 0);
    } else {
        EXPECT_EQ(vrc_test::read_file(audio).size(), 0u);
    }

    // At a key frame, and a second after the last one.
    for (const char *time : {"2024-01-01 00:00:01", "2024-01-01 00:00:02"}) {
        const std::string from = extract("'" + mp4 + "' --video '" + video + "' --from '" + time + "'");
        EXPECT_EQ(json_number(from, "first_video_timestamp"), 1000) << time << ": " << from;
        EXPECT_EQ(json_number(from, "first_video_utctime"), 1704067201) << from;
        EXPECT_EQ(frame_hashes(video), std::vector<std::string>(pictures.begin() + 25, pictures.end())) << time;
    }
}

INSTANTIATE_TEST_SUITE_P(FfmpegWritten, ExtractFixture,
                         testing::Values(Mp4Fixture{"ffmpeg_aac16k_mono.mp4", 16000, 1},
                                         Mp4Fixture{"ffmpeg_aac48k_stereo.mp4", 48000, 2},
                                         Mp4Fixture{"ffmpeg_video_only.mp4", 0, 0},
                                         Mp4Fixture{"ffmpeg_faststart.mp4", 44100, 1},
                                         Mp4Fixture{"ffmpeg_bframes_slices4.mp4", 16000, 1}));

// Four slices per picture: the extracted stream decodes to the packed
// stream's pictures, and the mu-law comes back byte for byte.
TEST(ExtractConverted, GivesBackThePackedStreams)
{
    SKIP_WITHOUT_FFMPEG();
    const std::string source = kDataDir + "/cam_320x240_slices4.h264";
    const Bytes tone = vrc_test::read_file(kDataDir + "/tone_8000hz_mulaw.ul");
    const Bytes stream = vrc_test::read_file(source);
    const std::string rec = vrc_test::temp_path("slices4.rec");
    vrc_test::write_file(rec, vrc_pack::pack_recording(vrc_pack::plan_frames(stream, tone, 25, 1704067200), {}).bytes);
    vrc_test::printed_by([&] { EXPECT_EQ(vrc_convert_mp4(rec.c_str()), 0); });
    const std::string video = vrc_test::temp_path("video.h264"), audio = vrc_test::temp_path("audio.ul");
    const std::string report = extract("'" + rec + ".mp4' --video '" + video + "' --audio '" + audio + "'");
    EXPECT_NE(report.find("\"mode\":\"table\""), std::string::npos) << report;
    EXPECT_EQ(frame_hashes(video), frame_hashes(source));
    EXPECT_EQ(vrc_test::read_file(audio), tone);
}

// moov in front of mdat, in a conversion (--faststart: read in table mode)
// and from the muxer with private records (read in private mode): mdat is
// the plain file's byte for byte, ffprobe reads the same streams, ffmpeg
// decodes the same frames at the same times, and extract gives back the
// same bytes.
TEST(ExtractFaststart, ReadsBackAsThePlainFile)
{
    SKIP_WITHOUT_FFMPEG();
    const Bytes stream = vrc_test::read_file(kDataDir + "/cam_704x576_4x3.h264");
    const Bytes tone = vrc_test::read_file(kDataDir + "/tone_8000hz_mulaw.ul");
    const std::vector<vrc_pack::Frame> frames = vrc_pack::plan_frames(stream, tone, 25, vrc_pack::kDefaultStart);
    const std::string rec = vrc_test::temp_path("faststart.rec");
    vrc_test::write_file(rec, vrc_pack::pack_recording(frames, {}).bytes);
    struct Pair {
        const char *mode;
        std::string plain, faststart;
    } pairs[2] = {{"table", rec + ".mp4", rec + ".faststart.mp4"}, {"private", "", ""}};
    for (const bool faststart : {false, true}) {
        vrc_convert_options_t options{};
        options.flags = faststart ? VRC_CONVERT_FASTSTART : 0;
        const std::string &out = faststart ? pairs[0].faststart : pairs[0].plain;
        vrc_test::printed_by([&] { EXPECT_EQ(vrc_convert_mp4_file(rec.c_str(), out.c_str(), &options, nullptr), 0); });
        mp4_test::TestMuxer mux(mp4_test::Config{true, true});
        vrc_mp4_muxer_set_faststart(mux.muxer, faststart);
        for (const vrc_pack::Frame &f : frames) {
            const bool audio = f.type == vrc_pack::kTypeAudio;
            const uint8_t type = audio ? VRC_FRAME_AUDIO : f.type == vrc_pack::kTypeVideoI ? VRC_FRAME_I : VRC_FRAME_P;
            ASSERT_EQ(mux.put(audio ? mp4_test::kAudio : mp4_test::kVideo, type, f.timestamp,
                              Bytes(f.data, f.data + f.size)), 0);
        }
        mux.finish();
        (faststart ? pairs[1].faststart : pairs[1].plain) = mux.path;
    }
    const std::string probe = "ffprobe -v error -count_frames -show_entries stream=codec_name,width,height,"
                              "sample_rate,nb_read_frames,start_time,duration -of csv=p=0 ";
    for (const Pair &pair : pairs) {
        SCOPED_TRACE(pair.mode);
        const Bytes plain = vrc_test::read_file(pair.plain), faststart = vrc_test::read_file(pair.faststart);
        EXPECT_LT(mp4_test::find_box(faststart, "moov").offset, mp4_test::find_box(faststart, "mdat").offset);
        EXPECT_TRUE(mp4_test::box_bytes(faststart, "mdat") == mp4_test::box_bytes(plain, "mdat"));
        EXPECT_EQ(run(probe + "'" + pair.faststart + "'"), run(probe + "'" + pair.plain + "'"));
        EXPECT_EQ(run("ffmpeg -v error -i '" + pair.faststart + "' -f framemd5 - 2>&1"),
                  run("ffmpeg -v error -i '" + pair.plain + "' -f framemd5 - 2>&1"));
        Bytes extracted[2][2];
        for (const bool fast : {false, true}) {
            const std::string video = vrc_test::temp_path("video.h264"), audio = vrc_test::temp_path("audio.ul");
            const std::string report = extract("'" + (fast ? pair.faststart : pair.plain) + "' --video '" + video +
                                               "' --audio '" + audio + "'");
            EXPECT_NE(report.find(std::string("\"mode\":\"") + pair.mode + "\""), std::string::npos) << report;
            extracted[fast][0] = vrc_test::read_file(video);
            extracted[fast][1] = vrc_test::read_file(audio);
        }
        EXPECT_GT(extracted[0][0].size(), 0u);
        EXPECT_TRUE(extracted[1][0] == extracted[0][0] && extracted[1][1] == extracted[0][1]);
    }
}

}  // namespace

#endif
