#include "vrc_mp4_h264.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vrc {

namespace {

// Reads the bits of a NAL unit's payload, dropping the emulation-prevention
// byte of every 00 00 03. Past the end it yields zeros and stays not ok.
class RbspBitReader {
public:
    RbspBitReader(const uint8_t *data, uint32_t size) : p_(data), end_(data + size) {}

    bool ok() const { return ok_; }

    uint32_t bit()
    {
        if (bits_left_ == 0 && !load_byte()) return 0;
        --bits_left_;
        return (byte_ >> bits_left_) & 1u;
    }

    uint32_t bits(int count)
    {
        uint32_t value = 0;
        for (int i = 0; i < count; ++i) value = value << 1 | bit();
        return value;
    }

    // Exp-Golomb code; more than 31 leading zeros cannot be a 32-bit value.
    uint32_t ue()
    {
        int zeros = 0;
        while (bit() == 0) {
            if (!ok_ || ++zeros > 31) {
                ok_ = false;
                return 0;
            }
        }
        return static_cast<uint32_t>((uint64_t{1} << zeros) - 1 + bits(zeros));
    }

    int64_t se()
    {
        const uint32_t k = ue();
        return k & 1u ? static_cast<int64_t>(k / 2 + 1) : -static_cast<int64_t>(k / 2);
    }

private:
    bool load_byte()
    {
        if (!ok_) return false;
        if (zeros_ >= 2 && p_ < end_ && *p_ == 3) {
            ++p_;
            zeros_ = 0;
        }
        if (p_ >= end_) {
            ok_ = false;
            return false;
        }
        byte_ = *p_++;
        zeros_ = byte_ == 0 ? zeros_ + 1 : 0;
        bits_left_ = 8;
        return true;
    }

    const uint8_t *p_;
    const uint8_t *end_;
    uint32_t byte_ = 0;
    int bits_left_ = 0;
    int zeros_ = 0;
    bool ok_ = true;
};

// Profiles whose SPS carries chroma format, bit depths and scaling lists.
bool has_high_profile_fields(uint32_t profile_idc)
{
    switch (profile_idc) {
    case 44: case 83: case 86: case 100: case 110: case 118:
    case 122: case 128: case 134: case 135: case 138: case 139: case 244:
        return true;
    default:
        return false;
    }
}

void skip_scaling_list(RbspBitReader &r, int size)
{
    int64_t last_scale = 8;
    int64_t next_scale = 8;
    for (int j = 0; j < size && r.ok(); ++j) {
        if (next_scale != 0) next_scale = ((last_scale + r.se()) % 256 + 256) % 256;
        if (next_scale != 0) last_scale = next_scale;
    }
}

void skip_scaling_matrix(RbspBitReader &r, uint32_t chroma_format_idc)
{
    const int lists = chroma_format_idc == 3 ? 12 : 8;
    for (int i = 0; i < lists && r.ok(); ++i)
        if (r.bit()) skip_scaling_list(r, i < 6 ? 16 : 64);
}

// The picture order count fields; poc_lsb_bits only for type 0.
bool read_pic_order_cnt_fields(RbspBitReader &r, H264PictureOrder *order)
{
    order->poc_type = r.ue();
    if (order->poc_type == 0) {
        order->poc_lsb_bits = r.ue() + 4;  // log2_max_pic_order_cnt_lsb_minus4
        if (order->poc_lsb_bits > 16) return false;
    } else if (order->poc_type == 1) {
        r.bit();  // delta_pic_order_always_zero_flag
        r.se();   // offset_for_non_ref_pic
        r.se();   // offset_for_top_to_bottom_field
        const uint32_t cycle = r.ue();
        if (cycle > 255) return false;
        for (uint32_t i = 0; i < cycle && r.ok(); ++i) r.se();  // offset_for_ref_frame
    } else if (order->poc_type > 2) {
        return false;
    }
    return r.ok();
}

// An SPS read up to its frame_mbs_only_flag (and the flag after it): what
// the picture size and the slices' picture order need.
struct SpsFields {
    uint32_t chroma_format_idc = 1;  // 4:2:0 unless the profile says otherwise
    H264PictureOrder order{};
    int64_t width_in_mbs = 0;
    int64_t height_in_map_units = 0;
};

bool read_sps_fields(RbspBitReader &r, SpsFields *f)
{
    const uint32_t profile_idc = r.bits(8);
    r.bits(8);  // constraint flags
    r.bits(8);  // level_idc
    r.ue();     // seq_parameter_set_id
    if (has_high_profile_fields(profile_idc)) {
        f->chroma_format_idc = r.ue();
        if (f->chroma_format_idc > 3) return false;
        if (f->chroma_format_idc == 3) f->order.separate_colour_plane = r.bit() != 0;
        r.ue();   // bit_depth_luma_minus8
        r.ue();   // bit_depth_chroma_minus8
        r.bit();  // qpprime_y_zero_transform_bypass_flag
        if (r.bit()) skip_scaling_matrix(r, f->chroma_format_idc);
    }
    f->order.frame_num_bits = r.ue() + 4;  // log2_max_frame_num_minus4
    if (f->order.frame_num_bits > 16 || !read_pic_order_cnt_fields(r, &f->order)) return false;
    r.ue();   // max_num_ref_frames
    r.bit();  // gaps_in_frame_num_value_allowed_flag
    f->width_in_mbs = int64_t{r.ue()} + 1;
    f->height_in_map_units = int64_t{r.ue()} + 1;
    f->order.frame_mbs_only = r.bit() != 0;
    if (!f->order.frame_mbs_only) r.bit();  // mb_adaptive_frame_field_flag
    return r.ok();
}

bool in_picture_range(int64_t side) { return side >= 1 && side <= 65535; }

}  // namespace

#if defined(__SSE2__)

// Zero pairs among the 16 positions from q (17 bytes read), one bit each.
inline __m128i zero_pairs(const uint8_t *q)
{
    const __m128i zero = _mm_setzero_si128();
    const __m128i here = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(q)), zero);
    const __m128i next = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(q + 1)), zero);
    return _mm_and_si128(here, next);
}

// The first zero pair of mask (positions from q) followed by 01, or null.
inline const uint8_t *start_code_in(const uint8_t *q, int pairs, const uint8_t *end)
{
    for (; pairs != 0; pairs &= pairs - 1) {
        const uint8_t *at = q + __builtin_ctz(static_cast<unsigned>(pairs));
        if (end - at >= 3 && at[2] == 1) return at;
    }
    return nullptr;
}

// Coded slices hold 00 00 only in front of an emulation-prevention byte or a
// start code, so a zero pair is rare: 64 positions at a time are tested for
// one with a single, well-predicted branch, and each pair found is checked
// for the 01 after it.
const uint8_t *h264_find_start_code(const uint8_t *p, const uint8_t *end)
{
    if (end - p < 3) return end;
    const uint8_t *q = p;
    for (; end - q >= 65; q += 64) {
        const __m128i p0 = zero_pairs(q), p1 = zero_pairs(q + 16), p2 = zero_pairs(q + 32), p3 = zero_pairs(q + 48);
        if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(p0, p1), _mm_or_si128(p2, p3))) == 0) continue;
        const __m128i parts[4] = {p0, p1, p2, p3};
        for (int i = 0; i < 4; ++i)
            if (const uint8_t *at = start_code_in(q + 16 * i, _mm_movemask_epi8(parts[i]), end)) return at;
    }
    for (; end - q >= 17; q += 16)
        if (const uint8_t *at = start_code_in(q, _mm_movemask_epi8(zero_pairs(q)), end)) return at;
    for (; end - q >= 3; ++q)
        if (q[0] == 0 && q[1] == 0 && q[2] == 1) return q;
    return end;
}

#else

// A start code ends in its 01 byte, which is rare in coded slices: memchr
// (vectorised in every C library) finds each candidate and two bytes back tell.
const uint8_t *h264_find_start_code(const uint8_t *p, const uint8_t *end)
{
    if (end - p < 3) return end;
    for (const uint8_t *q = p + 2; q < end; ++q) {
        q = static_cast<const uint8_t *>(std::memchr(q, 1, static_cast<size_t>(end - q)));
        if (!q) return end;
        if (q[-1] == 0 && q[-2] == 0) return q - 2;
    }
    return end;
}

#endif

bool NalUnitReader::next(NalUnit *unit)
{
    while (cur_ < end_) {
        const uint8_t *start_code = h264_find_start_code(cur_, end_);
        const uint8_t *unit_end = start_code;
        if (start_code < end_ && start_code > cur_ && start_code[-1] == 0) --unit_end;
        const uint8_t *unit_begin = cur_;
        cur_ = start_code < end_ ? start_code + 3 : end_;
        if (unit_end > unit_begin) {
            *unit = NalUnit{unit_begin, static_cast<uint32_t>(unit_end - unit_begin)};
            return true;
        }
    }
    return false;
}

H264FrameLayout h264_frame_layout(const uint8_t *data, uint32_t size)
{
    H264FrameLayout layout{};
    layout.sample_begin = data;
    if (size == 0) return layout;
    layout.sample_begin = data + size;
    NalUnitReader reader(data, size);
    NalUnit nal{};
    bool in_sample = false;
    while (reader.next(&nal)) {
        const uint32_t type = h264_nal_type(nal);
        if (!in_sample && type >= H264_NAL_SLICE_FIRST && type <= H264_NAL_SLICE_LAST) {
            in_sample = true;
            layout.sample_begin = nal.data;
        }
        if (in_sample) {
            layout.sample_size += 4 + uint64_t{nal.size};
            if (layout.unit_count < H264_LAYOUT_UNITS) layout.units[layout.unit_count] = nal;
            ++layout.unit_count;
        } else if (type == H264_NAL_SPS) {
            layout.sps = nal;
        } else if (type == H264_NAL_PPS) {
            layout.pps = nal;
        }
    }
    layout.sample_nal_bytes = static_cast<uint32_t>(data + size - layout.sample_begin);
    return layout;
}

bool h264_sps_picture_size(const uint8_t *sps, uint32_t size, uint32_t *width, uint32_t *height)
{
    if (size < 4 || (sps[0] & 0x1Fu) != H264_NAL_SPS) return false;
    RbspBitReader r(sps + 1, size - 1);
    SpsFields f;
    if (!read_sps_fields(r, &f)) return false;
    const uint32_t chroma_format_idc = f.chroma_format_idc;
    const bool separate_colour_plane = f.order.separate_colour_plane;
    const int64_t width_in_mbs = f.width_in_mbs;
    const int64_t height_in_map_units = f.height_in_map_units;
    const uint32_t frame_mbs_only = f.order.frame_mbs_only ? 1 : 0;
    r.bit();                       // direct_8x8_inference_flag
    int64_t crop_left = 0, crop_right = 0, crop_top = 0, crop_bottom = 0;
    if (r.bit()) {
        crop_left = r.ue();
        crop_right = r.ue();
        crop_top = r.ue();
        crop_bottom = r.ue();
    }
    if (!r.ok()) return false;

    // Cropping counts in chroma samples; without chroma (monochrome or
    // separate colour planes) in luma samples.
    const bool has_chroma = chroma_format_idc != 0 && !separate_colour_plane;
    const int64_t sub_width = has_chroma && chroma_format_idc != 3 ? 2 : 1;
    const int64_t sub_height = has_chroma && chroma_format_idc == 1 ? 2 : 1;
    const int64_t field_factor = 2 - int64_t{frame_mbs_only};
    const int64_t w = width_in_mbs * 16 - sub_width * (crop_left + crop_right);
    const int64_t h = field_factor * height_in_map_units * 16 - sub_height * field_factor * (crop_top + crop_bottom);
    if (!in_picture_range(w) || !in_picture_range(h)) return false;
    *width = static_cast<uint32_t>(w);
    *height = static_cast<uint32_t>(h);
    return true;
}

uint32_t h264_first_mb_in_slice(const uint8_t *nal, uint32_t size)
{
    if (size < 2) return 0;
    RbspBitReader r(nal + 1, size - 1);
    const uint32_t first_mb = r.ue();
    return r.ok() ? first_mb : 0;
}

bool h264_slice_start(const uint8_t *nal, uint32_t size, H264SliceStart *out)
{
    constexpr uint32_t kSliceTypes = 10, kPpsIds = 256;
    if (size < 2) return false;
    RbspBitReader r(nal + 1, size - 1);
    out->first_mb = r.ue();
    out->type = r.ue();
    out->pps_id = r.ue();
    return r.ok() && out->type < kSliceTypes && out->pps_id < kPpsIds;
}

bool h264_sps_picture_order(const uint8_t *sps, uint32_t size, H264PictureOrder *out)
{
    if (size < 4 || (sps[0] & 0x1Fu) != H264_NAL_SPS) return false;
    RbspBitReader r(sps + 1, size - 1);
    SpsFields f;
    if (!read_sps_fields(r, &f)) return false;
    *out = f.order;
    return true;
}

bool h264_slice_poc_lsb(const uint8_t *nal, uint32_t size, const H264PictureOrder &order, uint32_t *lsb)
{
    if (size < 2 || order.poc_type != 0) return false;
    RbspBitReader r(nal + 1, size - 1);
    r.ue();  // first_mb_in_slice
    r.ue();  // slice_type
    r.ue();  // pic_parameter_set_id
    if (order.separate_colour_plane) r.bits(2);  // colour_plane_id
    r.bits(static_cast<int>(order.frame_num_bits));  // frame_num
    if (!order.frame_mbs_only && r.bit()) r.bit();   // field_pic_flag, bottom_field_flag
    if ((nal[0] & 0x1Fu) == H264_NAL_SLICE_LAST) r.ue();  // idr_pic_id
    *lsb = r.bits(static_cast<int>(order.poc_lsb_bits));
    return r.ok();
}

void h264_lengths_to_start_codes(uint8_t *p, uint32_t n)
{
    uint32_t q = 0;
    while (n - q >= H264_START_CODE_SIZE) {
        const uint32_t len = uint32_t{p[q]} << 24 | uint32_t{p[q + 1]} << 16 | uint32_t{p[q + 2]} << 8 | p[q + 3];
        const bool fits = len <= n - q - H264_START_CODE_SIZE;
        if (!fits && q > 0) return;
        std::memcpy(p + q, H264_START_CODE, H264_START_CODE_SIZE);
        if (!fits) return;
        q += H264_START_CODE_SIZE + len;
    }
}

}  // namespace vrc
