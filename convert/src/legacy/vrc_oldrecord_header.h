// The legacy frame header's fields as the readers of headers test them: the
// conversion's clip search and the command's info share them.
#ifndef VRC_OLDRECORD_HEADER_H
#define VRC_OLDRECORD_HEADER_H

#include <cstdint>

#include "vrc_oldrecord_demuxer.h"

namespace vrc {

inline uint32_t oldrec_le32(const uint8_t *p)
{
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

inline bool oldrec_is_magic(uint32_t value) { return value == VRC_OLDREC_MAGIC || value == VRC_OLDREC_MAGIC_ALT; }

inline bool oldrec_known_type(uint32_t type)
{
    return type == VRC_OLDREC_TYPE_VIDEO_I || type == VRC_OLDREC_TYPE_VIDEO_P ||
           type == VRC_OLDREC_TYPE_VIDEO_OTHER || type == VRC_OLDREC_TYPE_AUDIO;
}

// A frame as its header describes it.
struct OldrecHeader {
    uint64_t offset;  // of the payload, just behind the header
    uint32_t size, type, timestamp, utctime;
};

// The frame whose header (VRC_OLDREC_HEADER_SIZE bytes read at offset) is
// plausible: a magic, a known type and a payload that a frame record holds
// and that ends within the file. False for anything else.
inline bool oldrec_plausible_header(const uint8_t *header, uint64_t offset, uint64_t file_size, OldrecHeader *frame)
{
    const uint64_t payload = offset + VRC_OLDREC_HEADER_SIZE;
    *frame = OldrecHeader{payload, oldrec_le32(header + 4), oldrec_le32(header + 8),
                          oldrec_le32(header + 12), oldrec_le32(header + 16)};
    const uint64_t end = payload + frame->size;
    return oldrec_is_magic(oldrec_le32(header)) && oldrec_known_type(frame->type) && frame->size != 0 &&
           frame->size <= VRC_OLDREC_MAX_FRAME_SIZE && end <= file_size;
}

}  // namespace vrc

#endif
