// The conversion entry's paths: names, missing and empty inputs, a frame the
// muxer refuses, a full disk.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "legacy_record_packer.h"
#include "mp4_test_support.h"
#include "test_support.h"
#include "vrc_convert.h"

namespace {

using mp4_test::Bytes;

struct Conversion {
    int rc;
    std::string printed;
};

Conversion convert(const std::string &path)
{
    Conversion c{-99, {}};
    c.printed = vrc_test::printed_by([&] { c.rc = vrc_convert_mp4(path.c_str()); });
    return c;
}

// A key frame: SPS, PPS and one IDR slice of `slice_bytes` bytes.
Bytes key_frame(size_t slice_bytes)
{
    const Bytes sps = mp4_test::hex("6742c01edb02802dd80880000003008000001e078b1760");
    const Bytes pps = mp4_test::hex("68ce3c80");
    return mp4_test::annexb({sps, pps, mp4_test::nal(0x65, slice_bytes)});
}

Bytes recording(const std::vector<Bytes> &payloads)
{
    std::vector<vrc_pack::Frame> frames;
    for (size_t i = 0; i < payloads.size(); ++i)
        frames.push_back({vrc_pack::kTypeVideoI, uint32_t(i * 40), vrc_pack::kDefaultStart, payloads[i].data(),
                          uint32_t(payloads[i].size())});
    return vrc_pack::pack_recording(frames, {}).bytes;
}

bool exists(const std::string &path)
{
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

// Output paths are held to what the platform allows, not to 255 bytes: a
// path of about 600 bytes and a name of 254 (POSIX), a path of 259 (the
// limit of the C library's paths on Windows). A path no platform accepts
// is refused with the old message.
TEST(Convert, LongOutputPaths)
{
    const std::string base = vrc_test::temp_path("");
#if defined(_WIN32)
    const std::string dir = base.substr(0, base.size() - 1);
    const std::vector<std::string> inputs = {base + std::string(255 - base.size(), 'a')};
#else
    const std::string dir = base + std::string(200, 'd') + "/" + std::string(200, 'e');
    std::filesystem::create_directories(dir);
    const std::vector<std::string> inputs = {dir + "/" + std::string(180, 'a'), dir + "/" + std::string(250, 'b')};
#endif
    for (const std::string &input : inputs) {
        vrc_test::write_file(input, recording({key_frame(100)}));
        EXPECT_EQ(convert(input).rc, 0) << input.size();
        EXPECT_TRUE(exists(input + ".mp4"));
    }
    const std::string input = dir + "/c";
    vrc_test::write_file(input, recording({key_frame(100)}));
    const std::string too_long = dir + "/" + std::string(40000, 'f');
    int rc = 0;
    EXPECT_EQ(vrc_test::printed_by([&] { rc = vrc_convert_mp4_file(input.c_str(), too_long.c_str(), nullptr, nullptr); }),
              "ERROR : The parameter is too long\n");
    EXPECT_EQ(rc, VRC_CONVERT_ERR_PATH_TOO_LONG);
}

// A missing input, or one in which no frame is found (empty, foreign bytes,
// a directory), is an error and leaves no output, also none under a
// temporary name.
TEST(Convert, MissingOrFramelessInputLeavesNoOutput)
{
    const std::string dir = vrc_test::temp_path("frameless");
    std::filesystem::create_directories(dir);
    vrc_test::write_file(dir + "/empty.rec", {});
    vrc_test::write_file(dir + "/foreign.rec", Bytes(100000, 0x55));
    std::vector<std::string> names = {"empty.rec", "foreign.rec"};
#if !defined(_WIN32)
    std::filesystem::create_directories(dir + "/folder.rec");  // opens, but reads nothing
    names.push_back("folder.rec");
#endif
    for (const std::string &name : names) {
        const std::string path = dir + "/" + name;
        vrc_convert_result_t result;
        EXPECT_EQ(vrc_convert_mp4_file(path.c_str(), (path + ".mp4").c_str(), nullptr, &result),
                  VRC_CONVERT_ERR_NO_FRAMES) << name;
        EXPECT_STREQ(result.message, "no frame found");
        EXPECT_EQ(convert(path).rc, -1);
    }
    const Conversion missing = convert(dir + "/missing.rec");
    EXPECT_EQ(missing.rc, -1);
    EXPECT_NE(missing.printed.find("vrc_oldrecord_demuxer_new err"), std::string::npos);
    EXPECT_EQ(size_t(std::distance(std::filesystem::directory_iterator(dir), {})), names.size());
}

// A single 16777215-byte NAL unit behind a 3-byte start code needs a sample
// of 16 MiB, one more than a frame record can describe: the muxer refuses
// that frame alone and the frames around it make the file.
TEST(Convert, FrameTooLargeForMp4IsDroppedAlone)
{
    Bytes huge = {0, 0, 1, 0x65};
    huge.resize(16777215, 0x80);
    const std::string path = vrc_test::temp_path("huge.rec");
    vrc_test::write_file(path, recording({key_frame(100), key_frame(200), huge, key_frame(300)}));
    vrc_convert_result_t result;
    int rc = -1;
    const std::string printed = vrc_test::printed_by(
        [&] { rc = vrc_convert_mp4_file(path.c_str(), (path + ".mp4").c_str(), nullptr, &result); });
    EXPECT_EQ(rc, 0);
    EXPECT_NE(printed.find("write muxer failed!, ret = -3\n"), std::string::npos);
    EXPECT_EQ(result.frames_dropped, 1u);
    EXPECT_EQ(result.bytes_skipped, 44u + huge.size());
    EXPECT_EQ(mp4_test::sample_sizes(vrc_test::read_file(path + ".mp4"), 0),
              (std::vector<uint32_t>{105, 205, 305}));
}

// A recording with more frames or bytes than one MP4 file can hold fails
// rather than losing its end, and leaves no output.
TEST(Convert, RecordingBeyondWhatMp4HoldsFails)
{
    const std::string sparse = vrc_test::temp_path("5GiB.rec");
    vrc_test::write_file(sparse, recording({key_frame(100)}));
    std::error_code ec;
    std::filesystem::resize_file(sparse, 5ull << 30, ec);
    if (!ec) {
        vrc_convert_result_t result;
        EXPECT_EQ(vrc_convert_mp4_file(sparse.c_str(), (sparse + ".mp4").c_str(), nullptr, &result),
                  VRC_CONVERT_ERR_OUTPUT);
        EXPECT_NE(std::string(result.message).find("more than one MP4 file can"), std::string::npos);
        std::filesystem::remove(sparse);
    }

    std::vector<vrc_pack::Frame> frames(VRC_MUXER_MAX_TRACK_FRAMES + 1);
    const uint8_t sound = 0xFF;
    for (uint32_t i = 0; i < frames.size(); ++i) frames[i] = {vrc_pack::kTypeAudio, i * 40, 0, &sound, 1};
    const std::string path = vrc_test::temp_path("endless.rec");
    vrc_test::write_file(path, vrc_pack::pack_recording(frames, {}).bytes);
    vrc_log_set_level(VRC_LOG_WARN);
    vrc_convert_result_t result;
    int rc = 0;
    vrc_test::printed_by([&] { rc = vrc_convert_mp4_file(path.c_str(), (path + ".mp4").c_str(), nullptr, &result); });
    vrc_log_set_level(VRC_LOG_DEBUG);
    EXPECT_EQ(rc, VRC_CONVERT_ERR_OUTPUT);
    EXPECT_NE(std::string(result.message).find("more than one MP4 file can"), std::string::npos) << result.message;
    EXPECT_FALSE(exists(path + ".mp4"));
}

// A frame whose payload cannot be read does not end the conversion: the
// frames after it are kept; a payload cut off by the end of the file keeps
// the bytes present, with nothing added.
TEST(Convert, UnreadableAndCutFramesLoseNothingElse)
{
    const Bytes last = key_frame(300);
    Bytes file = recording({key_frame(100), {}, key_frame(200), last});
    file.resize(file.size() - 100);
    const std::string path = vrc_test::temp_path("damaged.rec");
    vrc_test::write_file(path, file);
    ASSERT_EQ(convert(path).rc, 0);
    const Bytes mp4 = vrc_test::read_file(path + ".mp4");
    const std::vector<uint32_t> offsets = mp4_test::sample_offsets(mp4, 0), sizes = mp4_test::sample_sizes(mp4, 0);
    ASSERT_EQ(sizes, (std::vector<uint32_t>{105, 205, 205}));
    EXPECT_EQ(Bytes(mp4.begin() + offsets[2] + 4, mp4.begin() + offsets[2] + sizes[2]),
              Bytes(last.end() - 301, last.end() - 100));
}

// A conversion cancelled halfway through, or one whose output is the input
// under another name, leaves the existing output as it was and no other file.
TEST(Convert, FailureKeepsTheExistingOutput)
{
    const std::string dir = vrc_test::temp_path("keep");
    std::filesystem::create_directories(dir);
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
    vrc_convert_result_t result;
    int rc = 0;
    EXPECT_EQ(vrc_test::printed_by([&] { rc = vrc_convert_mp4_file(input.c_str(), output.c_str(), &options, &result); }), "");
    EXPECT_EQ(rc, VRC_CONVERT_ERR_CANCELLED);
    EXPECT_STREQ(result.message, "cancelled");
    EXPECT_GE(seen.progress.size(), 3u);
    EXPECT_EQ(seen.lines.find("MOV_BOX_ATOM_SIZE  size is 8|mov_box_mvhd_t size is 100|"), 0u) << seen.lines;
    EXPECT_EQ(vrc_test::read_file(output), Bytes(1000, 7));

    options = vrc_convert_options_t{nullptr, nullptr, VRC_CONVERT_KEEP_EXISTING, nullptr};
    EXPECT_EQ(vrc_convert_mp4_file(input.c_str(), output.c_str(), &options, &result), VRC_CONVERT_ERR_EXISTS);
    EXPECT_EQ(vrc_test::read_file(output), Bytes(1000, 7));
    ptrdiff_t files = 2;
#if !defined(_WIN32)
    const std::string link = dir + "/link.rec.mp4";
    std::filesystem::create_symlink(input, link);
    EXPECT_EQ(vrc_convert_mp4_file(input.c_str(), link.c_str(), nullptr, &result), VRC_CONVERT_ERR_SAME_FILE);
    EXPECT_EQ(vrc_test::read_file(input), recording(frames));
    files += 1;
#endif
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), files);
    EXPECT_EQ(vrc_convert_mp4_file(input.c_str(), output.c_str(), nullptr, &result), 0);
    EXPECT_EQ(result.video_frames, 30u);
    EXPECT_EQ(result.bytes_written, std::filesystem::file_size(output));
}

}  // namespace
