#include "h264_access_units.h"

#include "vrc_mp4_h264.h"

namespace vrc_pack {

namespace {

bool is_slice(uint8_t type)
{
    return type == vrc::H264_NAL_SLICE || type == vrc::H264_NAL_PARTITION_A || type == vrc::H264_NAL_IDR;
}

// Position of the 00 00 01 at or after from, or size.
size_t find_start_code(const uint8_t *data, size_t size, size_t from)
{
    return size_t(vrc::h264_find_start_code(data + from, data + size) - data);
}

NalUnit describe_nal(const uint8_t *data, size_t begin, size_t header, size_t end)
{
    NalUnit nal{begin, end, 0, 0};
    if (header >= end) return nal;
    nal.type = data[header] & 0x1F;
    if (is_slice(nal.type)) nal.first_mb = vrc::h264_first_mb_in_slice(data + header, uint32_t(end - header));
    return nal;
}

}  // namespace

std::vector<NalUnit> split_nal_units(const uint8_t *data, size_t size)
{
    std::vector<NalUnit> units;
    size_t code = find_start_code(data, size, 0);
    while (code < size) {
        const size_t header = code + 3;
        const size_t next = find_start_code(data, size, header);
        // The zero in front of a 4-byte start code belongs to the next unit.
        const size_t end = next < size && next > header && data[next - 1] == 0 ? next - 1 : next;
        const size_t begin = code > 0 && data[code - 1] == 0 ? code - 1 : code;
        units.push_back(describe_nal(data, begin, header, end));
        code = next;
    }
    return units;
}

std::vector<AccessUnit> split_access_units(const uint8_t *data, size_t size)
{
    std::vector<AccessUnit> units;
    AccessUnit current{0, 0, false, 0};
    bool prefix_open = false;  // NAL units after the last slice that open a picture
    size_t prefix_begin = 0;
    for (const NalUnit &nal : split_nal_units(data, size)) {
        if (is_slice(nal.type)) {
            if (nal.first_mb == 0 && current.slices > 0) {
                current.end = prefix_open ? prefix_begin : nal.begin;
                units.push_back(current);
                current = AccessUnit{current.end, 0, false, 0};
            }
            ++current.slices;
            current.idr = current.idr || nal.type == vrc::H264_NAL_IDR;
            prefix_open = false;
        } else if (vrc::h264_opens_picture(nal.type) && current.slices > 0 && !prefix_open) {
            prefix_open = true;
            prefix_begin = nal.begin;
        }
    }
    if (current.slices > 0) {
        current.end = size;
        units.push_back(current);
    }
    return units;
}

}  // namespace vrc_pack
