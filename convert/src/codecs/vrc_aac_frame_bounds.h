// Where raw AAC frames (access units without ADTS headers, as MP4 files
// keep them) end, found by decoding them: nothing in a raw frame says its
// length, and only a whole frame decodes. A repair uses it to tell a file's
// sound frames apart when its sample tables are lost. Builds without
// libavcodec have only the refusal.
#ifndef VRC_AAC_FRAME_BOUNDS_H
#define VRC_AAC_FRAME_BOUNDS_H

#include <cstdint>
#include <memory>

namespace vrc {

// The largest raw AAC frame of one channel: 6144 bits.
constexpr uint32_t AAC_MAX_FRAME_BYTES_PER_CHANNEL = 768;

class AacFrameBounds {
public:
    virtual ~AacFrameBounds() = default;
    // Bytes of the whole frame that starts at data (have bytes there), 0
    // when no frame of the stream decodes there.
    virtual uint32_t frame_size(const uint8_t *data, uint32_t have) = 0;
};

// Bounds for the stream that config (its AudioSpecificConfig) describes;
// null with the reason in *refusal when they cannot be had.
std::unique_ptr<AacFrameBounds> aac_frame_bounds_open(const uint8_t *config, uint32_t size, const char **refusal);

}  // namespace vrc

#endif
