#include "h264_access_units.h"

namespace vrc_pack {

namespace {

// Reads the bits of a NAL unit's payload, dropping the emulation prevention
// byte of every 00 00 03; yields zeros past the end.
class RbspBitReader {
public:
    RbspBitReader(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    uint32_t bit()
    {
        if (bit_ == 0) load_byte();
        --bit_;
        return (byte_ >> bit_) & 1u;
    }

    // Exp-Golomb ue(v); a run of zeros too long for 32 bits reads as 0.
    uint32_t ue()
    {
        int zeros = 0;
        while (bit() == 0) {
            if (++zeros > 31 || pos_ > size_) return 0;
        }
        uint32_t value = 0;
        for (int i = 0; i < zeros; ++i) value = value << 1 | bit();
        return (1u << zeros) - 1 + value;
    }

private:
    void load_byte()
    {
        if (zeros_ >= 2 && pos_ < size_ && data_[pos_] == 3) {
            ++pos_;
            zeros_ = 0;
        }
        byte_ = pos_ < size_ ? data_[pos_] : 0;
        ++pos_;
        zeros_ = byte_ == 0 ? zeros_ + 1 : 0;
        bit_ = 8;
    }

    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
    int zeros_ = 0;
    uint32_t byte_ = 0;
    int bit_ = 0;
};

bool is_slice(uint8_t type)
{
    return type == kNalSliceNonIdr || type == 2 /* partition A */ || type == kNalSliceIdr;
}

bool opens_picture(uint8_t type)
{
    return type == kNalSei || type == kNalSps || type == kNalPps || type == kNalAud;
}

// Position of the 00 00 01 at or after from, or size.
size_t find_start_code(const uint8_t *data, size_t size, size_t from)
{
    for (size_t i = from; i + 2 < size; ++i) {
        if (data[i + 2] > 1) {
            i += 2;  // no start code can cover this byte
        } else if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            return i;
        }
    }
    return size;
}

NalUnit describe_nal(const uint8_t *data, size_t begin, size_t header, size_t end)
{
    NalUnit nal{begin, end, 0, 0};
    if (header >= end) return nal;
    nal.type = data[header] & 0x1F;
    if (is_slice(nal.type)) nal.first_mb = RbspBitReader(data + header + 1, end - header - 1).ue();
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
            current.idr = current.idr || nal.type == kNalSliceIdr;
            prefix_open = false;
        } else if (opens_picture(nal.type) && current.slices > 0 && !prefix_open) {
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
