// Arbitrary bytes as a camera's packets: the first byte picks the muxer's
// layout, the rest is cut into frames at a marker byte sequence, and each
// frame's first byte picks its kind (bit 0 audio, bit 1 key frame, the high
// four bits a stamp gone astray) ahead of its payload. The muxer must write a
// whole file (the sizes it computed ahead matching what it wrote) or refuse
// a packet, and never touch memory it does not own.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_target.h"
#include "vrc_debug.h"
#include "vrc_mp4_muxer.h"

namespace {

const uint8_t kMarker[4] = {'F', 'R', 'M', '!'};
// What a frame's stamp is off by: a clock set back or forward, a stamp an
// hour away, a pause, a wrap of the 32-bit clock.
constexpr uint32_t kStampOffsets[16] = {0, 0, 0, 0, 0u - 5000, 5000, 3600000, 0u - 3600000,
                                        180000, 0u - 40, 1, 0u - 1000000000, 1000000000, 999, 0u - 999, 0};

vrc_media_packet_t packet_for(uint8_t kind, uint8_t *payload, size_t size, uint32_t index)
{
    vrc_media_packet_t p;
    std::memset(&p, 0, sizeof p);
    p.media_type = kind & 1 ? VRC_MEDIA_AUDIO : VRC_MEDIA_VIDEO;
    p.track_id = p.media_type;
    p.frame_type = p.media_type ? VRC_FRAME_AUDIO : ((kind & 2) ? VRC_FRAME_I : VRC_FRAME_P);
    p.key_frame = p.frame_type == VRC_FRAME_I;
    p.timestamp = index * 40 + kStampOffsets[kind >> 4];
    p.seq = index;
    p.utctime = 1704067200;
    p.data = payload;
    p.size = static_cast<uint32_t>(size);
    return p;
}

void setup(vrc_mp4_muxer_t *muxer, uint8_t options)
{
    vrc_track_info_t tracks[2];
    std::memset(tracks, 0, sizeof tracks);
    tracks[0].media_type = VRC_MEDIA_VIDEO;
    tracks[0].codec_id = VRC_CODEC_H264;
    tracks[0].timescale = 1000;
    tracks[0].width = 1920;
    tracks[0].height = 1080;
    tracks[1].media_type = VRC_MEDIA_AUDIO;
    tracks[1].codec_id = options & 4 ? VRC_CODEC_AAC : VRC_CODEC_G711U;
    tracks[1].timescale = 1000;
    tracks[1].channels = 1;
    tracks[1].sample_rate = 8000;
    tracks[1].bitwidth = 16;
    vrc_mp4_muxer_set_config(muxer, options & 1, options & 2);
    vrc_mp4_muxer_add_tracks(muxer, tracks, 2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string path = vrc_fuzz::scratch_path("output.mp4");
    if (size < 1) return 0;
    vrc_log_set_level(VRC_LOG_ERR);
    vrc_mp4_muxer_t *muxer = vrc_mp4_muxer_new(path.c_str());
    if (!muxer) return 0;
    setup(muxer, data[0]);
    if (vrc_mp4_muxer_write_header(muxer) == 0) {
        // Each frame in its own allocation, so a read past its end is caught.
        const uint8_t *end = data + size;
        const uint8_t *frame = data + 1;
        for (uint32_t index = 0; frame < end; ++index) {
            const uint8_t *stop = std::search(frame, end, kMarker, kMarker + sizeof kMarker);
            const uint8_t kind = frame < stop ? *frame : 0;
            std::vector<uint8_t> payload(frame < stop ? frame + 1 : stop, stop);
            vrc_media_packet_t packet = packet_for(kind, payload.data(), payload.size(), index);
            vrc_mp4_muxer_write_packet(muxer, &packet);
            frame = stop == end ? end : stop + sizeof kMarker;
        }
        // Nothing here fails to write: a failed tail is a box whose size
        // came out other than computed.
        if (vrc_mp4_muxer_write_tailer(muxer) != 0) std::abort();
    }
    vrc_mp4_muxer_free(muxer);
    return 0;
}
