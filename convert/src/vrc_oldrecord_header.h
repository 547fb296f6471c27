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

}  // namespace vrc

#endif
