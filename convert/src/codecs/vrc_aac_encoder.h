// The conversion's AAC step: the recorder's 8000 Hz mono mu-law decoded and
// re-encoded as AAC-LC raw access units (1024 samples, 128 ms each) by the
// platform's encoder. Builds without one have only aac_encoder_refusal's
// answer (vrc_aac_encoder_none.cpp).
#ifndef VRC_AAC_ENCODER_H
#define VRC_AAC_ENCODER_H

#include <cstdint>
#include <memory>

#include "vrc_media.h"

struct vrc_mp4_muxer_t;

namespace vrc {

// Bits per second of speech at 8000 Hz when the caller names none.
constexpr uint32_t AAC_DEFAULT_BITRATE = 32000;
// What push and finish return when the encoder itself failed.
constexpr int AAC_ERR_ENCODER = -(0x19000 + 1);

// Takes each AAC packet as it is made: its data lives until the next packet
// is made, so a sink that borrows the bytes is done with them when it
// returns. place: the place given with the mu-law packet its first sample
// came in. 0, or a failure that stops the encoding and comes back from push
// or finish.
using AacSink = int (*)(void *user, const vrc_media_packet_t &aac, uint32_t place);

class AacEncoder {
public:
    virtual ~AacEncoder() = default;
    // Decodes the mu-law packet and hands on each AAC packet completed, in
    // the mu-law packet's track, stamped with the time of the first mu-law
    // sample it carries (the samples before the first one, of the encoder's
    // delay, count back from it). place: where the caller stands (the
    // write order), handed back with those packets. 0, the sink's failure,
    // or AAC_ERR_ENCODER.
    virtual int push(const vrc_media_packet_t &ulaw, uint32_t place) = 0;
    // Encodes the samples still held, the encoder's tail included. The same
    // results as push.
    virtual int finish() = 0;
    // The encoder's delay in units of timescale: the media time at which
    // the first mu-law sample plays.
    virtual uint32_t delay(uint32_t timescale) const = 0;
    // How long the mu-law pushed plays, from its first sample to the end of
    // its last, in units of timescale: the AAC track plays no longer (its
    // last frame is padded to 1024 samples).
    virtual uint32_t sound_length(uint32_t timescale) const = 0;
};

// Why AAC at bitrate (0: the default) cannot be had: null when it can.
const char *aac_encoder_refusal(uint32_t bitrate);

// An encoder at bitrate (0: the default) handing its packets to sink; null
// when it cannot be set up (no memory, or a refusal).
std::unique_ptr<AacEncoder> aac_encoder_open(uint32_t bitrate, AacSink sink, void *user);

// An encoder whose packets go into the muxer's slot, whose edit list then
// skips the encoder's delay (vrc_aac_muxing.cpp); null as aac_encoder_open.
std::unique_ptr<AacEncoder> aac_encoder_into_muxer(uint32_t bitrate, vrc_mp4_muxer_t *muxer, uint32_t slot);

}  // namespace vrc

#endif
