// The AAC step and the AAC frame bounds of a build without libavcodec:
// every request is refused.
#include "vrc_aac_encoder.h"
#include "vrc_aac_frame_bounds.h"

const char *vrc::aac_encoder_refusal(uint32_t) { return "this build has no AAC encoder"; }

std::unique_ptr<vrc::AacEncoder> vrc::aac_encoder_open(uint32_t, AacSink, void *) { return nullptr; }

std::unique_ptr<vrc::AacFrameBounds> vrc::aac_frame_bounds_open(const uint8_t *, uint32_t, const char **refusal)
{
    *refusal = "this build has no AAC decoder";
    return nullptr;
}
