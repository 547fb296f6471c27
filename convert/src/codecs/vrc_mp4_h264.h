// H.264 helpers of the library and its packer: start codes and NAL units of
// Annex B byte streams, the step between Annex B and the length-prefixed
// samples of MP4, and the fields read from a slice header and an SPS.
#ifndef VRC_MP4_H264_H
#define VRC_MP4_H264_H

#include <cstdint>

namespace vrc {

constexpr uint32_t H264_NAL_SLICE_FIRST = 1;  // types 1..5 are slices (5: IDR)
constexpr uint32_t H264_NAL_SLICE_LAST = 5;
constexpr uint32_t H264_NAL_SLICE = 1;         // a slice of a picture that is not IDR
constexpr uint32_t H264_NAL_PARTITION_A = 2;
constexpr uint32_t H264_NAL_IDR = 5;
constexpr uint32_t H264_NAL_SEI = 6;
constexpr uint32_t H264_NAL_SPS = 7;
constexpr uint32_t H264_NAL_PPS = 8;
constexpr uint32_t H264_NAL_AUD = 9;

// Whether a NAL unit of this type stands only in front of a picture's first
// slice, so that after a slice it opens the next picture.
constexpr bool h264_opens_picture(uint32_t type)
{
    return type == H264_NAL_AUD || type == H264_NAL_SEI || type == H264_NAL_SPS || type == H264_NAL_PPS;
}

constexpr uint8_t H264_START_CODE[4] = {0, 0, 0, 1};
constexpr uint32_t H264_START_CODE_SIZE = sizeof H264_START_CODE;

// The first 00 00 01 at or after p, or end.
const uint8_t *h264_find_start_code(const uint8_t *p, const uint8_t *end);

struct NalUnit {
    const uint8_t *data;  // starts with the NAL header byte
    uint32_t size;
};

inline uint32_t h264_nal_type(const NalUnit &nal) { return nal.data[0] & 0x1Fu; }

// Yields the non-empty NAL units of an Annex B payload in order. A unit runs
// up to the next 00 00 01; a zero byte right before it belongs to the start
// code (the four-byte form). Bytes in front of the first start code form a
// unit of their own, so a payload without start codes is one unit.
class NalUnitReader {
public:
    NalUnitReader(const uint8_t *data, uint32_t size) : cur_(data), end_(data + size) {}
    bool next(NalUnit *unit);

private:
    const uint8_t *cur_;
    const uint8_t *end_;
};

// Units of a sample that one scan of the payload remembers; a sample of more
// is read again when written.
constexpr uint32_t H264_LAYOUT_UNITS = 16;

// How a video payload becomes an MP4 sample: the parameter sets in front of
// the first slice are taken out, and the sample is every NAL unit from the
// first slice on, each behind a 4-byte length.
struct H264FrameLayout {
    NalUnit sps;                  // the SPS in front of the first slice; size 0: none
    NalUnit pps;                  // the PPS in front of the first slice; size 0: none
    const uint8_t *sample_begin;  // header byte of the first slice; the payload's end if none
    uint32_t sample_nal_bytes;    // bytes from sample_begin to the end of the payload
    uint64_t sample_size;         // 4 + size of each NAL unit of the sample
    uint32_t unit_count;          // NAL units of the sample
    NalUnit units[H264_LAYOUT_UNITS];  // the first of them
};

// Calls emit with each NAL unit of the sample, in order, without scanning
// the payload again when the layout holds them all.
template <typename Emit>
void h264_for_each_sample_unit(const H264FrameLayout &layout, Emit emit)
{
    if (layout.unit_count <= H264_LAYOUT_UNITS) {
        for (uint32_t i = 0; i < layout.unit_count; ++i) emit(layout.units[i]);
        return;
    }
    NalUnitReader reader(layout.sample_begin, layout.sample_nal_bytes);
    for (NalUnit nal{}; reader.next(&nal);) emit(nal);
}

H264FrameLayout h264_frame_layout(const uint8_t *data, uint32_t size);

// The cropped picture size of a sequence parameter set (NAL header byte
// included). False unless every field up to the cropping offsets is present
// and both sides come out between 1 and 65535.
bool h264_sps_picture_size(const uint8_t *sps, uint32_t size, uint32_t *width, uint32_t *height);

// What an SPS says of how its slices give their picture's place in
// presentation order.
struct H264PictureOrder {
    uint32_t frame_num_bits;     // bits of a slice's frame_num
    uint32_t poc_type;           // pic_order_cnt_type, 0..2
    uint32_t poc_lsb_bits;       // type 0: bits of pic_order_cnt_lsb
    bool frame_mbs_only;         // false: slices may carry field flags
    bool separate_colour_plane;  // slices carry a colour plane id
};
// False unless every field up to frame_mbs_only_flag is present and valid.
bool h264_sps_picture_order(const uint8_t *sps, uint32_t size, H264PictureOrder *out);
// pic_order_cnt_lsb of a slice NAL unit (header byte included) of a stream
// of picture order count type 0; false for another type or a unit too short.
bool h264_slice_poc_lsb(const uint8_t *nal, uint32_t size, const H264PictureOrder &order, uint32_t *lsb);

// first_mb_in_slice of a slice NAL unit (header byte included); 0 when
// the unit is too short to hold it.
uint32_t h264_first_mb_in_slice(const uint8_t *nal, uint32_t size);

// The first fields of a slice header: what tells a slice of a stream from
// bytes that only look like one.
struct H264SliceStart {
    uint32_t first_mb;  // first_mb_in_slice
    uint32_t type;      // slice_type, 0..9
    uint32_t pps_id;    // pic_parameter_set_id, 0..255
};
// False when the unit (header byte included) is too short to hold them or
// holds values no stream uses.
bool h264_slice_start(const uint8_t *nal, uint32_t size, H264SliceStart *out);

// An MP4 sample back to Annex B: each 4-byte NAL length becomes a start
// code, walking the sample by its lengths. From a length that runs past the
// sample on, the bytes stay as they are; the first length always becomes a
// start code.
void h264_lengths_to_start_codes(uint8_t *sample, uint32_t size);

}  // namespace vrc

#endif
