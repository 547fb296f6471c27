// What the MP4 reader knows beyond the public context, for the frame
// pipeline: the times of each delivered sample in its track's own units,
// and per track its timescale, presentation (edit list) and sample
// descriptions. Only a context made by vrc_mp4_demuxer_new carries them; a
// context a host allocated for vrc_mp4_demuxer_init answers as a file
// without any (null, false, 0).
#ifndef VRC_MP4_DEMUXER_SAMPLES_H
#define VRC_MP4_DEMUXER_SAMPLES_H

#include <cstdint>

#include "vrc_mp4_demuxer.h"
#include "vrc_mp4_sample.h"

namespace vrc {

constexpr uint32_t MOV_MAX_CONFIG_SIZE = 256;       // bytes of a configuration kept
constexpr uint32_t MOV_MAX_PARAM_SETS_SIZE = 1024;  // bytes of a description's parameter sets in Annex B

// One sample entry of a track's stsd, as far as the library reads it.
struct MovSampleDescription {
    uint32_t type;         // the entry's four-character code (mov_fourcc)
    uint32_t codec_id;     // VRC_CODEC_*; 0: a codec the library does not read
    uint32_t width;        // video: the entry's picture size
    uint32_t height;
    uint32_t channels;     // audio: the AudioSpecificConfig's count, else the entry's
    uint32_t sample_rate;  // audio: likewise, in Hz
    uint32_t config_size;  // 0: no configuration, or one longer than config
    uint8_t config[MOV_MAX_CONFIG_SIZE];  // the avcC payload, or the AudioSpecificConfig
    uint32_t param_sets_size;             // H.264: bytes of param_sets
    // H.264: every SPS, then every PPS of avcC, each behind a 4-byte start
    // code: what goes in front of a key frame of this description.
    uint8_t param_sets[MOV_MAX_PARAM_SETS_SIZE];
};

// The sample tables by media type.
constexpr uint32_t MOV_TABLE_VIDEO = 0;
constexpr uint32_t MOV_TABLE_AUDIO = 1;

// A sample as reading sees it, from either kind of context.
struct MovEntry {
    mov_frame_info_t info;  // size, track slot, key flag, stamp in milliseconds
    uint64_t pos;
    MovSampleTime time;     // zero for a context from vrc_mp4_demuxer_init
};

// Samples of table k (MOV_TABLE_VIDEO, MOV_TABLE_AUDIO) reading can reach:
// all of them for a context from new, those of the public record otherwise.
uint32_t mov_entry_count(const vrc_mp4_demuxer_t *ctx, uint32_t k);
// Sample i of table k, which must lie below mov_entry_count.
MovEntry mov_entry(const vrc_mp4_demuxer_t *ctx, uint32_t k, uint32_t i);

// Tracks the file describes: its trak boxes, or for a recording without
// moov its mr00 entries; at most MOV_MAX_TRACKS.
uint32_t mov_demuxer_track_count(const vrc_mp4_demuxer_t *ctx);

// The times of the frame the last successful read_packet delivered; null
// before the first, and for a context without them. Private-mode files
// count in milliseconds: the decode time is the frame's stamp, no offset,
// duration 0 (up to the next frame), description 0.
const MovSampleTime *mov_demuxer_sample_time(const vrc_mp4_demuxer_t *ctx);

// The edit list of the track in slot; false when it has none (or the slot
// or context none). The movie timescale is mvhd's.
bool mov_demuxer_presentation(const vrc_mp4_demuxer_t *ctx, uint32_t slot, MovPresentation *out);

// Units per second of the track's sample times: mdhd's, 1000 in private
// mode; 0 for a slot without a track.
uint32_t mov_demuxer_timescale(const vrc_mp4_demuxer_t *ctx, uint32_t slot);

// The track whose samples the reader delivers as video (kind
// VRC_MEDIA_VIDEO) or as sound (VRC_MEDIA_AUDIO): the first of its kind of
// a codec of that kind; MOV_MAX_TRACKS when none is (or the context keeps
// no state). Other tracks are described, not read.
uint32_t mov_demuxer_read_track(const vrc_mp4_demuxer_t *ctx, uint32_t kind);

// When no track of kind is read: the first track of that kind whose codec
// the reader does not take (what a refusal names). MOV_MAX_TRACKS when a
// track of the kind is read or none is refused so.
uint32_t mov_demuxer_unread_track(const vrc_mp4_demuxer_t *ctx, uint32_t kind);

// Whether the sample that read_packet delivers next comes from the table of
// kind (VRC_MEDIA_*); false for a context without the tables' times.
bool mov_demuxer_next_from(const vrc_mp4_demuxer_t *ctx, uint32_t kind);

// Sample entries kept for the track (at most MOV_MAX_DESCRIPTIONS), and
// one of them; null past the count.
uint32_t mov_demuxer_description_count(const vrc_mp4_demuxer_t *ctx, uint32_t slot);
const MovSampleDescription *mov_demuxer_description(const vrc_mp4_demuxer_t *ctx, uint32_t slot, uint32_t index);

}  // namespace vrc

#endif
