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

TEST(Convert, OutputNameOfAtMost255Bytes)
{
    const std::string dir = vrc_test::temp_path("");
    const std::string fits = dir + std::string(251 - dir.size(), 'a');
    vrc_test::write_file(fits, recording({key_frame(100)}));
    EXPECT_EQ(convert(fits).rc, 0);
    EXPECT_TRUE(exists(fits + ".mp4"));

    const std::string too_long = dir + std::string(252 - dir.size(), 'b');
    vrc_test::write_file(too_long, recording({key_frame(100)}));
    const Conversion c = convert(too_long);
    EXPECT_EQ(c.rc, -1);
    EXPECT_EQ(c.printed, "ERROR : The parameter is too long\n");
    EXPECT_FALSE(exists(too_long + ".mp4"));
}

TEST(Convert, MissingInputWritesNothing)
{
    const std::string missing = vrc_test::temp_path("missing.rec");
    const Conversion c = convert(missing);
    EXPECT_EQ(c.rc, -1);
    EXPECT_NE(c.printed.find("vrc_oldrecord_demuxer_new err"), std::string::npos);
    EXPECT_FALSE(exists(missing + ".mp4"));
}

TEST(Convert, InputWithoutFramesEndsAtTheFirstRead)
{
    const std::string path = vrc_test::temp_path("foreign.rec");
    vrc_test::write_file(path, Bytes(1000, 0x55));
    const Conversion c = convert(path);
    EXPECT_NE(c.printed.find("read demuxer failed!, ret = -90113\n"), std::string::npos);
    EXPECT_EQ(c.rc, 0);
    EXPECT_NE(mp4_test::find_box(vrc_test::read_file(path + ".mp4"), "moov").size, 0u);
}

// A single 16777215-byte NAL unit behind a 3-byte start code needs a sample
// of 16 MiB, one more than a frame record can describe: the muxer refuses it
// and the frames before it make a complete file.
TEST(Convert, RefusedFrameEndsTheCopyButTheFileIsFinished)
{
    Bytes huge = {0, 0, 1, 0x65};
    huge.resize(16777215, 0x80);
    const std::string path = vrc_test::temp_path("huge.rec");
    vrc_test::write_file(path, recording({key_frame(100), key_frame(200), huge, key_frame(300)}));
    const Conversion c = convert(path);
    EXPECT_NE(c.printed.find("write muxer failed!, ret = -3\n"), std::string::npos);
    EXPECT_EQ(c.printed.find("read demuxer failed!"), std::string::npos);
    EXPECT_EQ(c.rc, 0);
    EXPECT_EQ(mp4_test::sample_sizes(vrc_test::read_file(path + ".mp4"), 0), (std::vector<uint32_t>{105, 205}));
}

// A frame whose payload cannot be read does not end the conversion: the
// frames after it are kept.
TEST(Convert, UnreadableFrameDoesNotLoseTheRest)
{
    const Bytes empty;
    const std::string path = vrc_test::temp_path("zero.rec");
    vrc_test::write_file(path, recording({key_frame(100), empty, key_frame(200), key_frame(300)}));
    const Conversion c = convert(path);
    EXPECT_EQ(c.rc, 0);
    EXPECT_EQ(mp4_test::sample_sizes(vrc_test::read_file(path + ".mp4"), 0), (std::vector<uint32_t>{105, 205, 305}));
}

// A payload cut off by the end of the file is padded with zeros, never with
// bytes of an earlier, longer frame.
TEST(Convert, CutPayloadIsPaddedWithZeros)
{
    const Bytes first = key_frame(500), last = key_frame(300);
    Bytes file = recording({first, last});
    file.resize(file.size() - 100);
    const std::string path = vrc_test::temp_path("cut.rec");
    vrc_test::write_file(path, file);
    ASSERT_EQ(convert(path).rc, 0);
    const Bytes mp4 = vrc_test::read_file(path + ".mp4");
    const std::vector<uint32_t> offsets = mp4_test::sample_offsets(mp4, 0), sizes = mp4_test::sample_sizes(mp4, 0);
    ASSERT_EQ(sizes.size(), 2u);
    const Bytes slice(mp4.begin() + offsets[1] + 4, mp4.begin() + offsets[1] + sizes[1]);
    ASSERT_EQ(slice.size(), 301u);
    EXPECT_EQ(Bytes(slice.begin(), slice.end() - 100), Bytes(last.end() - 301, last.end() - 100));
    EXPECT_EQ(Bytes(slice.end() - 100, slice.end()), Bytes(100, 0));
}

#if !defined(_WIN32)
TEST(Convert, FullDiskFails)
{
    const std::string path = vrc_test::temp_path("full.rec");
    vrc_test::write_file(path, recording({key_frame(5000), key_frame(5000)}));
    std::filesystem::create_symlink("/dev/full", path + ".mp4");
    const Conversion c = convert(path);
    EXPECT_EQ(c.rc, -1);
    EXPECT_NE(c.printed.find("write tailer failed!"), std::string::npos);
}
#endif

}  // namespace
