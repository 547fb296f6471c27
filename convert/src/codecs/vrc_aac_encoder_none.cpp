// The AAC step of a build without an AAC encoder: every request is refused.
#include "vrc_aac_encoder.h"

const char *vrc::aac_encoder_refusal(uint32_t) { return "this build has no AAC encoder"; }

std::unique_ptr<vrc::AacEncoder> vrc::aac_encoder_open(uint32_t, AacSink, void *) { return nullptr; }
