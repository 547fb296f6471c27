// The conversion reads a recording a MiB at a time and writes the samples
// straight from those blocks: in a recording of several MiB, frames that
// cross a block's end and a damaged size field (read by the copying path)
// still give samples of exactly the source's slices.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "h264_access_units.h"
#include "legacy_record_packer.h"
#include "mp4_test_support.h"
#include "test_support.h"
#include "vrc_convert.h"

namespace {

using mp4_test::Bytes;

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

TEST(ConvertBlocks, SamplesAcrossBlockEndsKeepTheSourceBytes)
{
    const Bytes picture = vrc_test::read_file(std::string(VRC_TEST_DATA_DIR) + "/cam_1920x1080_large_i.h264");
    Bytes video;
    for (int i = 0; i < 6; ++i) video.insert(video.end(), picture.begin(), picture.end());
    const Bytes audio = vrc_test::read_file(std::string(VRC_TEST_DATA_DIR) + "/tone_8000hz_mulaw.ul");
    const std::vector<vrc_pack::Frame> frames = vrc_pack::plan_frames(video, audio, 25, vrc_pack::kDefaultStart);
    vrc_pack::PackedRecording rec = vrc_pack::pack_recording(frames, {});
    ASSERT_GT(rec.bytes.size(), 3u << 20);
    const uint32_t damaged = rec.frames[frames.size() / 2].header_offset + 4;  // claims 5000 bytes more
    const uint32_t claimed = rec.frames[frames.size() / 2].frame.size + 5000;
    for (int b = 0; b < 4; ++b) rec.bytes[damaged + b] = uint8_t(claimed >> (8 * b));

    const std::string path = vrc_test::temp_path("blocks.rec"), mp4 = path + ".mp4";
    vrc_test::write_file(path, rec.bytes);
    vrc_convert_result_t result{};
    int rc = -1;
    vrc_test::printed_by([&] { rc = vrc_convert_mp4_file(path.c_str(), mp4.c_str(), nullptr, &result); });
    ASSERT_EQ(rc, 0) << result.message;

    std::vector<const vrc_pack::Frame *> pictures;
    for (const vrc_pack::Frame &f : frames)
        if (f.type != vrc_pack::kTypeAudio) pictures.push_back(&f);
    const Bytes file = vrc_test::read_file(mp4);
    const std::vector<uint32_t> offsets = mp4_test::sample_offsets(file, 0), sizes = mp4_test::sample_sizes(file, 0);
    ASSERT_EQ(sizes.size(), pictures.size());
    for (size_t i = 0; i < sizes.size(); ++i)
        EXPECT_EQ(mp4_test::split_sample(file, offsets[i], sizes[i]), slices_and_after(*pictures[i])) << i;
    EXPECT_EQ(result.bytes_skipped, 0u);
}

}  // namespace
