// The conversion entry's paths: names, missing and empty inputs, frames the
// muxer refuses or cannot read, a full disk, recordings read in blocks; and
// the packer's split of a stream into the pictures these recordings hold.
#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "h264_access_units.h"
#include "legacy_record_packer.h"
#include "mp4_test_support.h"
#include "test_support.h"
#include "vrc_convert.h"

namespace {

using mp4_test::Bytes;
namespace fs = std::filesystem;

struct Conversion {
    int rc = -99;
    std::string printed;
    vrc_convert_result_t result{};
};

// Converts with the file entry, or with the old one (the output next to the
// input) when no output is named.
Conversion convert(const std::string &input, const std::string &output = "",
                   const vrc_convert_options_t *options = nullptr)
{
    Conversion c;
    c.printed = vrc_test::printed_by([&] {
        c.rc = output.empty() ? vrc_convert_mp4(input.c_str())
                              : vrc_convert_mp4_file(input.c_str(), output.c_str(), options, &c.result);
    });
    return c;
}

// A key frame: SPS, PPS and one IDR slice of `slice_bytes` bytes.
Bytes key_frame(size_t slice_bytes)
{
    return mp4_test::annexb({mp4_test::hex("6742c01edb02802dd80880000003008000001e078b1760"), mp4_test::hex("68ce3c80"),
                             mp4_test::nal(0x65, slice_bytes)});
}

Bytes recording(const std::vector<Bytes> &payloads)
{
    std::vector<vrc_pack::Frame> frames;
    for (size_t i = 0; i < payloads.size(); ++i)
        frames.push_back({vrc_pack::kTypeVideoI, uint32_t(i * 40), vrc_pack::kDefaultStart, payloads[i].data(),
                          uint32_t(payloads[i].size())});
    return vrc_pack::pack_recording(frames, {}).bytes;
}

// The NAL units of a frame from its first slice on, without start codes.
std::vector<Bytes> slices_and_after(const vrc_pack::Frame &frame)
{
    std::vector<Bytes> units;
    for (const vrc_pack::NalUnit &nal : vrc_pack::split_nal_units(frame.data, frame.size)) {
        if (units.empty() && (nal.type < 1 || nal.type > 5)) continue;
        size_t at = nal.begin;
        while (frame.data[at] == 0) ++at;
        units.emplace_back(frame.data + at + 1, frame.data + nal.end);
    }
    return units;
}

// Output paths are held to what the platform allows, not to 255 bytes: a
// path of about 600 bytes and a name of 254 (POSIX); on Windows a path of
// 259 and one of about 400 in long-named directories, which the host passes
// as it is (only the test's own file operations need the extended form). A
// path no platform accepts is refused with the old message.
TEST(Convert, LongOutputPaths)
{
    const std::string base = vrc_test::temp_path("");
#if defined(_WIN32)
    const std::string dir = base + std::string(150, 'd') + "\\" + std::string(150, 'e');
    const auto on_disk = [](const std::string &path) { return fs::path(L"\\\\?\\" + fs::path(path).wstring()); };
    const std::vector<std::string> inputs = {base + std::string(255 - base.size(), 'a'),
                                             dir + "\\" + std::string(40, 'b')};
#else
    const std::string dir = base + std::string(200, 'd') + "/" + std::string(200, 'e');
    const auto on_disk = [](const std::string &path) { return fs::path(path); };
    const std::vector<std::string> inputs = {dir + "/" + std::string(180, 'a'), dir + "/" + std::string(250, 'b')};
#endif
    fs::create_directories(on_disk(dir));
    for (const std::string &input : inputs) {
        vrc_test::write_file(base + "short.rec", recording({key_frame(100)}));
        fs::rename(base + "short.rec", on_disk(input));
        EXPECT_EQ(convert(input).rc, 0) << input.size();
        EXPECT_TRUE(fs::exists(on_disk(input + ".mp4")));
    }
    const Conversion too_long = convert(inputs.back(), inputs.back() + std::string(40000, 'f'));
    EXPECT_EQ(too_long.printed, "ERROR : The parameter is too long\n");
    EXPECT_EQ(too_long.rc, VRC_CONVERT_ERR_PATH_TOO_LONG);
    // a failure at a long path still says why, as it does at a short one
    const std::string why = convert(inputs.back(), base + "missing/x.mp4").result.message;
    const std::string reason = why.substr(why.rfind(':'));
    const std::string long_why = convert(inputs.back(), dir + "/missing/" + std::string(250, 'x')).result.message;
    EXPECT_EQ(long_why.substr(long_why.size() - reason.size()), reason) << long_why;
    // and is cut between the characters of a UTF-8 name, wherever the cut falls
    for (const std::string odd : {"", "x"}) {
        std::string name;
        while (name.size() < 250) name += "\xc3\xa9";  // é
        const std::string cut = convert(inputs.back(), dir + "/missing/" + name + odd).result.message;
        EXPECT_NE(static_cast<unsigned char>(cut.at(cut.find("...") + 3)) & 0xC0, 0x80) << cut;
    }
    // The scratch folder is removed through plain paths, which cannot reach in here.
    for (const std::string &input : inputs) {
        fs::remove(on_disk(input));
        fs::remove(on_disk(input + ".mp4"));
    }
    fs::remove(on_disk(dir));
    fs::remove(on_disk(dir).parent_path());
}

// A missing input, one in which no frame is found (empty, foreign bytes) and
// one that cannot be read (a directory opens, but every read fails: no
// failed read may pass for the end of a recording) are errors and leave no
// output, also none under a temporary name.
TEST(Convert, MissingUnreadableOrFramelessInputLeavesNoOutput)
{
    const std::string dir = vrc_test::temp_path("frameless");
    fs::create_directories(dir);
    vrc_test::write_file(dir + "/empty.rec", {});
    vrc_test::write_file(dir + "/foreign.rec", Bytes(100000, 0x55));
    std::vector<std::pair<std::string, int>> inputs = {{"empty.rec", VRC_CONVERT_ERR_NO_FRAMES},
                                                       {"foreign.rec", VRC_CONVERT_ERR_NO_FRAMES}};
#if !defined(_WIN32)
    fs::create_directories(dir + "/folder.rec");
    inputs.emplace_back("folder.rec", VRC_CONVERT_ERR_INPUT);
#endif
    for (const auto &[name, expected] : inputs) {
        const std::string path = dir + "/" + name;
        const Conversion c = convert(path, path + ".mp4");
        EXPECT_EQ(c.rc, expected) << name;
        EXPECT_EQ(c.result.message, expected == VRC_CONVERT_ERR_INPUT ? "cannot read " + path : "no frame found");
        EXPECT_EQ(convert(path).rc, -1);
    }
    const Conversion missing = convert(dir + "/missing.rec");
    EXPECT_EQ(missing.rc, -1);
    EXPECT_NE(missing.printed.find("vrc_oldrecord_demuxer_new err"), std::string::npos);
    EXPECT_EQ(size_t(std::distance(fs::directory_iterator(dir), {})), inputs.size());
}

extern "C" void count_output(void *user, const char *, const vrc_convert_result_t *output)
{
    *static_cast<uint32_t *>(user) += output->video_frames;
}

// The job record: null and unknown records refused; a record as the first
// release had it segments a recording (output_done sums to the whole); a
// range the recording misses names its span and leaves nothing.
TEST(Convert, JobRecord)
{
    const std::string dir = vrc_test::temp_path("job");
    fs::create_directories(dir);
    const std::string input = dir + "/a.rec";
    vrc_test::write_file(input, recording(std::vector<Bytes>(50, key_frame(100))));
    const char *inputs[] = {input.c_str()};
    const std::string pattern = dir + "/%H%M%S.mp4";
    uint32_t frames = 0;
    vrc_convert_job_t job{};
    job.size = sizeof job;
    job.inputs = inputs;
    job.input_count = 1;
    job.output = pattern.c_str();
    job.options.user = &frames;
    job.options.line = [](void *, const char *) {};
    job.segment_seconds = 1;
    job.output_done = count_output;
    vrc_convert_result_t result{};
    EXPECT_EQ(vrc_convert_run(nullptr, &result), -1);
    job.size = 8;
    EXPECT_EQ(vrc_convert_run(&job, &result), VRC_CONVERT_ERR_UNSUPPORTED);
    job.size = offsetof(vrc_convert_job_t, output_done) + sizeof job.output_done;
    ASSERT_EQ(vrc_convert_run(&job, &result), 0) << result.message;
    EXPECT_TRUE(fs::exists(dir + "/000000.mp4") && fs::exists(dir + "/000001.mp4"));
    EXPECT_EQ(frames, 50u);
    EXPECT_EQ(result.video_frames, 50u);
    job.size = sizeof job;
    job.from_ms = int64_t{vrc_pack::kDefaultStart} * 1000 + 5000;
    job.to_ms = VRC_CONVERT_NO_TIME;
    EXPECT_EQ(vrc_convert_run(&job, &result), VRC_CONVERT_ERR_RANGE);
    EXPECT_STREQ(result.message, "no frame from 2024-01-01 00:00:05.000 UTC on: the recording spans "
                                 "2024-01-01 00:00:00.000 to 2024-01-01 00:00:01.960 UTC");
    EXPECT_EQ(size_t(std::distance(fs::directory_iterator(dir), {})), 3u);
}

// AAC audio needs an encoder in the build and a bit rate it can spend:
// otherwise the job fails as unsupported, saying why, and leaves no output.
TEST(Convert, AacAudioRefusals)
{
    const std::string input = vrc_test::temp_path("aac.rec"), output = input + ".mp4";
    vrc_test::write_file(input, recording({key_frame(100)}));
    const char *const no_encoder = VRC_TEST_HAVE_AAC ? nullptr : "AAC audio: this build has no AAC encoder";
    const struct {
        uint32_t bitrate;
        const char *refusal;
    } cases[] = {{0, no_encoder},
                 {100000, no_encoder ? no_encoder
                                     : "AAC audio: the bit rate of 8000 Hz mono lies between 8000 and 48000 bit/s"}};
    for (const auto &c : cases) {
        const char *inputs[] = {input.c_str()};
        vrc_convert_job_t job{};
        job.size = sizeof job;
        job.inputs = inputs;
        job.input_count = 1;
        job.output = output.c_str();
        job.options.flags = VRC_CONVERT_AUDIO_AAC;
        job.audio_bitrate = c.bitrate;
        vrc_convert_result_t result{};
        int rc = -99;
        vrc_test::printed_by([&] { rc = vrc_convert_run(&job, &result); });
        EXPECT_EQ(rc, c.refusal ? VRC_CONVERT_ERR_UNSUPPORTED : 0) << c.bitrate;
        EXPECT_EQ(result.message, std::string(c.refusal ? c.refusal : ""));
        EXPECT_EQ(fs::exists(output), !c.refusal);
        fs::remove(output);
    }
}

// A recording with more frames than the recorder's own files hold (a track
// of a million) converts whole: the conversion's tables grow.
TEST(Convert, RecordingBeyondTheRecordersCeilingConvertsWhole)
{
    std::vector<vrc_pack::Frame> frames(VRC_MUXER_MAX_TRACK_FRAMES + 1);
    const uint8_t sound = 0xFF;
    for (uint32_t i = 0; i < frames.size(); ++i) frames[i] = {vrc_pack::kTypeAudio, i * 40, 0, &sound, 1};
    const std::string input = vrc_test::temp_path("endless.rec");
    vrc_test::write_file(input, vrc_pack::pack_recording(frames, {}).bytes);
    vrc_log_set_level(VRC_LOG_WARN);
    const Conversion c = convert(input, input + ".mp4");
    vrc_log_set_level(VRC_LOG_DEBUG);
    EXPECT_EQ(c.rc, 0) << c.result.message;
    EXPECT_EQ(c.result.audio_frames, frames.size());
    fs::remove(input + ".mp4");
}

// A conversion cancelled halfway through, or one whose output is the input
// under another name, leaves the existing output as it was and no other file.
TEST(Convert, FailureKeepsTheExistingOutput)
{
    const std::string dir = vrc_test::temp_path("keep");
    fs::create_directories(dir);
    const std::string input = dir + "/cam.rec", output = dir + "/cam.mp4";
    std::vector<Bytes> frames(30, key_frame(100000));
    vrc_test::write_file(input, recording(frames));
    vrc_test::write_file(output, Bytes(1000, 7));
    struct Seen {
        std::vector<uint64_t> progress;
        std::string lines;
    } seen;
    vrc_convert_options_t options{[](void *user, uint64_t done, uint64_t total) {
                                      static_cast<Seen *>(user)->progress.push_back(done);
                                      return done * 2 > total ? 1 : 0;
                                  },
                                  &seen, 0,
                                  [](void *user, const char *line) { static_cast<Seen *>(user)->lines += line + std::string("|"); }};
    const Conversion cancelled = convert(input, output, &options);
    EXPECT_EQ(cancelled.printed, "");
    EXPECT_EQ(cancelled.rc, VRC_CONVERT_ERR_CANCELLED);
    EXPECT_STREQ(cancelled.result.message, "cancelled");
    EXPECT_GE(seen.progress.size(), 3u);
    EXPECT_LT(seen.progress.back(), fs::file_size(input)) << "the conversion went on after it was cancelled";
    EXPECT_EQ(seen.lines.find("MOV_BOX_ATOM_SIZE  size is 8|mov_box_mvhd_t size is 100|"), 0u) << seen.lines;

    options = vrc_convert_options_t{nullptr, nullptr, VRC_CONVERT_KEEP_EXISTING, nullptr};
    EXPECT_EQ(convert(input, output, &options).rc, VRC_CONVERT_ERR_EXISTS);
    EXPECT_EQ(vrc_test::read_file(output), Bytes(1000, 7)) << "after the cancelled and the refused conversion";
    ptrdiff_t files = 2;
#if !defined(_WIN32)
    const std::string link = dir + "/link.rec.mp4";
    fs::create_symlink(input, link);
    EXPECT_EQ(convert(input, link).rc, VRC_CONVERT_ERR_SAME_FILE);
    EXPECT_EQ(vrc_test::read_file(input), recording(frames));
    files += 1;
#endif
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), files);
    const Conversion done = convert(input, output);
    EXPECT_EQ(done.rc, 0);
    EXPECT_EQ(done.result.video_frames, 30u);
    EXPECT_EQ(done.result.bytes_written, fs::file_size(output));
}

// A recording cut while it is converted fails and says so; one that grows (a
// recorder still writing, here in the middle of a frame) is converted as far
// as it reached at the start, and the result says so.
TEST(Convert, RecordingChangingWhileConverted)
{
    struct Scene {
        std::string path;
        Bytes bytes;  // the recording once the conversion has begun
    } scene{vrc_test::temp_path("changing.rec"), recording(std::vector<Bytes>(40, key_frame(100000)))};
    const size_t whole = scene.bytes.size(), frame = whole / 40;
    const struct {
        size_t at_start, then;
        int rc;
        uint32_t frames;
        std::string message;
    } changes[] = {{whole, whole / 2, VRC_CONVERT_ERR_INPUT, 0,
                    scene.path + " shrank from " + std::to_string(whole) + " to " + std::to_string(whole / 2) +
                        " bytes while it was converted"},
                   {20 * frame + 500, whole, 0, 20,
                    "the recording grew while it was converted: its first " + std::to_string(20 * frame + 500) +
                        " bytes converted"}};
    for (const auto &change : changes) {
        const Bytes all = scene.bytes;
        vrc_test::write_file(scene.path, Bytes(all.begin(), all.begin() + change.at_start));
        scene.bytes.resize(change.then);
        const vrc_convert_options_t options{[](void *user, uint64_t done, uint64_t) {
                                                const Scene &s = *static_cast<Scene *>(user);
                                                if (done == 0) vrc_test::write_file(s.path, s.bytes);
                                                return 0;
                                            },
                                            &scene, 0, nullptr};
        const Conversion c = convert(scene.path, scene.path + ".mp4", &options);
        EXPECT_EQ(c.rc, change.rc);
        EXPECT_EQ(c.result.message, change.message);
        EXPECT_EQ(c.result.video_frames, change.frames);
        EXPECT_EQ(c.result.bytes_skipped, 0u);
        scene.bytes = all;
    }
}

// The conversion reads a recording a MiB at a time and writes the samples
// straight from those blocks. In a recording of several MiB, frames that
// cross a block's end and a damaged size field (read by the copying path)
// give samples of exactly the source's slices. A frame whose payload cannot
// be read (size 0) and one the muxer refuses (a single 16777215-byte NAL unit
// behind a 3-byte start code needs a sample of 16 MiB, one more than a frame
// record can describe) are dropped alone, and so is a picture cut off by the
// end of the file, which no decoder could show whole.
TEST(Convert, DamagedFramesLoseNothingElse)
{
    const Bytes picture = vrc_test::read_file(VRC_TEST_DATA_DIR "/cam_1920x1080_large_i.h264");
    Bytes video;
    for (int i = 0; i < 6; ++i) video.insert(video.end(), picture.begin(), picture.end());
    const Bytes audio = vrc_test::read_file(VRC_TEST_DATA_DIR "/tone_8000hz_mulaw.ul");
    std::vector<vrc_pack::Frame> frames = vrc_pack::plan_frames(video, audio, 25, vrc_pack::kDefaultStart);
    std::vector<std::vector<Bytes>> pictures;
    for (const vrc_pack::Frame &f : frames)
        if (f.type != vrc_pack::kTypeAudio) pictures.push_back(slices_and_after(f));
    vrc_pack::Frame last = frames[0];  // the first picture again, at the end, cut by 100 bytes
    last.timestamp = frames.back().timestamp + 40;
    frames.push_back(last);
    Bytes huge = {0, 0, 1, 0x65};
    huge.resize(16777215, 0x80);
    frames.insert(frames.begin() + 1, {{vrc_pack::kTypeVideoP, 0, 0, nullptr, 0},
                                       {vrc_pack::kTypeVideoI, 0, 0, huge.data(), uint32_t(huge.size())}});
    vrc_pack::PackedRecording rec = vrc_pack::pack_recording(frames, {false, 0, 0, 100});
    size_t at = frames.size() / 2;
    while (rec.frames[at].frame.type == vrc_pack::kTypeAudio) ++at;
    const vrc_pack::PackedFrame &middle = rec.frames[at];  // claims 5000 bytes more
    for (int b = 0; b < 4; ++b)
        rec.bytes[middle.header_offset + 4 + b] = uint8_t((middle.frame.size + 5000) >> (8 * b));

    const std::string path = vrc_test::temp_path("damaged.rec");
    vrc_test::write_file(path, rec.bytes);
    const Conversion c = convert(path, path + ".mp4");
    ASSERT_EQ(c.rc, 0) << c.result.message;
    EXPECT_NE(c.printed.find("write muxer failed!, ret = -3\n"), std::string::npos);
    EXPECT_EQ(c.result.frames_dropped, 2u);
    EXPECT_EQ(c.result.bytes_skipped, 44u + 44u + huge.size() + 44u + last.size - 100);  // the empty frame's header too
    const Bytes file = vrc_test::read_file(path + ".mp4");
    const std::vector<uint32_t> offsets = mp4_test::sample_offsets(file, 0), sizes = mp4_test::sample_sizes(file, 0);
    ASSERT_EQ(sizes.size(), pictures.size());
    for (size_t i = 0; i < sizes.size(); ++i)
        EXPECT_EQ(mp4_test::split_sample(file, offsets[i], sizes[i]), pictures[i]) << i;
}

// Bytes before the first start code, 3- and 4-byte start codes, a second
// slice (first_mb_in_slice 40), an SEI and a delimiter opening pictures, and
// filler staying with the slice before it: one access unit per picture.
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
    const std::vector<vrc_pack::AccessUnit> units = vrc_pack::split_access_units(stream.data(), stream.size());
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
    EXPECT_TRUE(vrc_pack::split_access_units(no_slice.data(), no_slice.size()).empty());
}

}  // namespace
