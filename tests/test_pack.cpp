// The packer's split into access units: one per picture, on a hand-made
// stream (packed fixtures are read back by the legacy demuxer's tests).
#include <gtest/gtest.h>

#include <vector>

#include "h264_access_units.h"
#include "mp4_test_support.h"

namespace {

using namespace vrc_pack;
using mp4_test::Bytes;

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
