// G.711 mu-law, the recorder's own sound: 8000 Hz mono, one byte a sample,
// raw in every container; its sample entry (ulaw) has no configuration box.
#include "vrc_codec.h"
#include "vrc_mp4_box_writer.h"
#include "vrc_mp4_format.h"
#include "vrc_oldrecord_demuxer.h"

namespace vrc {
namespace {

uint32_t ulaw_entry_size(const CodecConfig &)
{
    return MOV_BOX_ATOM_SIZE + MOV_AUDIO_SAMPLE_FIXED_SIZE;
}

void write_ulaw_entry(BoxWriter &w, const CodecConfig &c)
{
    BoxScope box(w, mov_fourcc("ulaw"), ulaw_entry_size(c));
    write_audio_sample_fields(w, c.track.channels, c.track.bitwidth, c.track.sample_rate);
}

}  // namespace

const CodecRow kCodecG711u = {
    VRC_CODEC_G711U, VRC_MEDIA_AUDIO, "G.711 mu-law", "g711u", "mulaw", mov_fourcc("ulaw"),
    {VRC_OLDREC_TYPE_AUDIO, 0, 0}, 0,
    VRC_FRAME_AUDIO, VRC_FRAME_AUDIO,
    false, 0,
    ulaw_entry_size, write_ulaw_entry,
};

}  // namespace vrc
