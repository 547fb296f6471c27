#include "vrc_convert.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vrc_media.h"
#include "vrc_mp4_muxer.h"
#include "vrc_oldrecord_demuxer.h"

namespace {

constexpr size_t kMaxOutputName = 255;
// The largest frame an MP4 frame record can describe: cameras write 1080p
// key frames of several hundred kilobytes, far above the legacy 256 KiB.
constexpr uint32_t kPayloadCapacity = 16777215;

struct Counters {
    uint32_t video_seq = 0;
    uint32_t audio_seq = 0;
};

void declare_tracks(vrc_track_info_t tracks[2])
{
    std::memset(tracks, 0, 2 * sizeof(vrc_track_info_t));
    tracks[0].media_type = VRC_MEDIA_VIDEO;
    tracks[0].codec_id = VRC_CODEC_H264;
    tracks[0].timescale = 1000;
    tracks[0].width = 1920;  // replaced by the stream's own picture size when its SPS parses
    tracks[0].height = 1080;
    tracks[1].media_type = VRC_MEDIA_AUDIO;
    tracks[1].codec_id = VRC_CODEC_G711U;
    tracks[1].timescale = 1000;
    tracks[1].channels = 1;
    tracks[1].sample_rate = 8000;
    tracks[1].bitwidth = 16;
}

// The legacy demuxer leaves the track and the per-track numbering to us.
void complete_packet(vrc_media_packet_t *packet, uint8_t *payload, Counters *counters)
{
    if (packet->media_type == VRC_MEDIA_AUDIO) {
        packet->track_id = 1;
        packet->codec_id = VRC_CODEC_G711U;
        packet->seq = counters->audio_seq++;
    } else {
        packet->track_id = 0;
        packet->codec_id = VRC_CODEC_H264;
        packet->seq = counters->video_seq++;
    }
    packet->data = payload;
}

// Copies frames until the source ends or the muxer refuses one. A frame
// whose payload cannot be read (a header of size 0, say) is passed over: the
// demuxer has already moved past its header, so the frames after it are
// kept. The buffer is never cleared between frames: the demuxer zeroes what
// a payload cut short by the end of the file leaves unfilled.
void copy_frames(vrc_oldrecord_demuxer_t *demuxer, vrc_mp4_muxer_t *muxer, uint8_t *payload)
{
    Counters counters;
    vrc_media_packet_t packet;
    for (;;) {
        int rc = vrc_oldrecord_demuxer_read_packet(demuxer, &packet, payload);
        if (rc == VRC_ERR_FRAME_REFUSED) continue;
        if (rc < 0) {
            std::printf("read demuxer failed!, ret = %d\n", rc);
            return;
        }
        complete_packet(&packet, payload, &counters);
        rc = vrc_mp4_muxer_write_packet(muxer, &packet);
        if (rc < 0) {
            std::printf("write muxer failed!, ret = %d\n", rc);
            return;
        }
    }
}

int convert_to(const char *path, const char *output)
{
    vrc_oldrecord_demuxer_t *demuxer = vrc_oldrecord_demuxer_new(path);
    if (!demuxer) {
        std::printf("vrc_oldrecord_demuxer_new err");
        return -1;
    }
    int errors = 0;
    uint8_t *payload = nullptr;
    vrc_mp4_muxer_t *muxer = vrc_mp4_muxer_new(output);
    if (!muxer) {
        std::puts("vrc_mp4_muxer_new err");
        ++errors;
    } else {
        vrc_track_info_t tracks[2];
        declare_tracks(tracks);
        vrc_mp4_muxer_set_config(muxer, 0, 0);
        vrc_mp4_muxer_add_tracks(muxer, tracks, 2);
        const int rc = vrc_mp4_muxer_write_header(muxer);
        if (rc < 0) {
            std::printf("write_header failed!, ret = %d\n", rc);
            ++errors;
        } else if (!(payload = static_cast<uint8_t *>(std::calloc(kPayloadCapacity, 1)))) {
            ++errors;
        } else {
            demuxer->buffer_size = kPayloadCapacity;
            copy_frames(demuxer, muxer, payload);
            const int tail = vrc_mp4_muxer_write_tailer(muxer);
            if (tail < 0) {
                std::printf("write tailer failed!, ret = %d\n", tail);
                ++errors;
            }
        }
    }
    std::free(payload);
    vrc_mp4_muxer_free(muxer);
    vrc_oldrecord_demuxer_free(demuxer);
    return errors ? -1 : 0;
}

}  // namespace

extern "C" VRC_API int vrc_convert_mp4(const char *path)
{
    if (!path) return -1;
    static const char kSuffix[] = ".mp4";
    const size_t length = std::strlen(path);
    if (length + sizeof kSuffix - 1 > kMaxOutputName) {
        std::puts("ERROR : The parameter is too long");
        return -1;
    }
    char output[kMaxOutputName + 1];
    std::memcpy(output, path, length);
    std::memcpy(output + length, kSuffix, sizeof kSuffix);

    std::printf("MOV_BOX_ATOM_SIZE  size is %ld\n", 8L);
    std::printf("mov_box_mvhd_t size is %ld\n", 100L);
    return convert_to(path, output);
}
