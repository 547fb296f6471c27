// Splits an H.264 Annex B byte stream into access units, one per picture, as
// a camera hands them to its recorder.
#ifndef VRC_TOOLS_H264_ACCESS_UNITS_H
#define VRC_TOOLS_H264_ACCESS_UNITS_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vrc_pack {

struct NalUnit {
    size_t begin;  // first byte of its start code (a 4-byte one included)
    size_t end;    // where the next start code begins, or the end of the stream
    uint8_t type;  // nal_unit_type
    // first_mb_in_slice of a slice; 0 for the other kinds.
    uint32_t first_mb;
};

// A picture: its slices with the SPS, PPS, SEI and AUD in front of them.
struct AccessUnit {
    size_t begin;
    size_t end;
    bool idr;        // holds an IDR slice: a key frame
    uint32_t slices;
};

std::vector<NalUnit> split_nal_units(const uint8_t *data, size_t size);

// Access units cover the stream without gap or overlap (bytes before the
// first start code go with the first unit). A new unit begins at a slice
// whose first_mb_in_slice is 0; the parameter sets, SEI and delimiter right
// in front of it belong to it. A stream without slices gives none.
std::vector<AccessUnit> split_access_units(const uint8_t *data, size_t size);

}  // namespace vrc_pack

#endif
