// Writes a legacy recording's frames as the recorder writes its MP4 files
// (private records on, moov last), for measuring what a cut file gives back:
//   bench_record_mp4 IN.rec OUT.mp4 [presized]
#include <cstdio>
#include <cstring>
#include <vector>

#include "vrc_debug.h"
#include "vrc_mp4_muxer.h"
#include "vrc_oldrecord_demuxer.h"

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_record_mp4 IN.rec OUT.mp4 [presized]\n");
        return 2;
    }
    vrc_log_set_level(VRC_LOG_ERR);
    vrc_oldrecord_demuxer_t *in = vrc_oldrecord_demuxer_new(argv[1]);
    vrc_mp4_muxer_t *out = vrc_mp4_muxer_new(argv[2]);
    if (!in || !out) return 1;
    vrc_track_info_t tracks[2] = {};
    tracks[0].media_type = VRC_MEDIA_VIDEO;
    tracks[0].codec_id = VRC_CODEC_H264;
    tracks[0].timescale = 1000;
    tracks[1].track_id = 1;
    tracks[1].media_type = VRC_MEDIA_AUDIO;
    tracks[1].codec_id = VRC_CODEC_G711U;
    tracks[1].timescale = 1000;
    tracks[1].channels = 1;
    tracks[1].sample_rate = 8000;
    tracks[1].bitwidth = 16;
    vrc_mp4_muxer_set_config(out, 1, argc > 3 && std::strcmp(argv[3], "presized") == 0);
    vrc_mp4_muxer_add_tracks(out, tracks, 2);
    std::vector<uint8_t> buf(in->buffer_size);
    vrc_media_packet_t p;
    bool started = false;
    uint32_t seq[2] = {};
    while (vrc_oldrecord_demuxer_read_packet(in, &p, buf.data()) != -90113) {
        if (p.size == 0) continue;
        if (!started) {
            vrc_mp4_muxer_set_create_time(out, p.utctime, p.timestamp);
            vrc_mp4_muxer_write_header(out);
            started = true;
        }
        p.track_id = p.media_type == VRC_MEDIA_VIDEO ? 0 : 1;
        p.seq = seq[p.track_id]++;
        vrc_mp4_muxer_write_packet(out, &p);
    }
    const int rc = started ? vrc_mp4_muxer_write_tailer(out) : 1;
    vrc_mp4_muxer_free(out);
    vrc_oldrecord_demuxer_free(in);
    return rc == 0 ? 0 : 1;
}
