// The AAC step's packets into the muxer, of every build.
#include "vrc_aac_encoder.h"
#include "vrc_mp4_muxer_internal.h"
#include "vrc_uri_io_block.h"

namespace {

// The encoder reuses a packet's memory for the next one: a write batch that
// borrows it writes it out at once. The packet is written a few frames after
// its first mu-law sample came: the stamps' repair learns where that was.
int write_to_muxer(void *muxer, const vrc_media_packet_t &packet, uint32_t place)
{
    auto *m = static_cast<vrc_mp4_muxer_t *>(muxer);
    const int rc = vrc_mp4_muxer_write_packet(m, &packet);
    if (rc == 0) m->table.late_places[m->nr_avframes[packet.track_id] - 1] = place;
    if (rc == 0 && m->batch) m->batch->flush();
    return rc;
}

}  // namespace

std::unique_ptr<vrc::AacEncoder> vrc::aac_encoder_into_muxer(uint32_t bitrate, vrc_mp4_muxer_t *muxer, uint32_t slot)
{
    std::unique_ptr<AacEncoder> encoder = aac_encoder_open(bitrate, write_to_muxer, muxer);
    if (!encoder) return encoder;
    muxer->media_skip[slot] = encoder->delay(muxer->tracks[slot].timescale);
    muxer->late_track = slot + 1;
    muxer->late_lead = encoder->delay(1000);
    return encoder;
}
