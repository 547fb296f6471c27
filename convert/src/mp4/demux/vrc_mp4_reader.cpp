// The public MP4 reader (vrc_mp4_reader.h): a demuxer context made by new,
// whose state carries the times, descriptions and edits, behind a handle.
#include "vrc_mp4_reader.h"

#include <climits>
#include <cstring>

#include "vrc_mem.h"
#include "vrc_mp4_demuxer_internal.h"

struct vrc_mp4_reader {
    vrc_mp4_demuxer_t *ctx;
};

namespace {

using namespace vrc;

// Copies the record the library filled into the host's, no further than the
// host's size; false when that cannot even hold the size field.
template <typename Record>
bool mov_fill_sized(Record *out, Record full)
{
    if (!out || out->size < sizeof out->size) return false;
    const uint32_t size = out->size;
    full.size = size;
    std::memcpy(out, &full, size < sizeof full ? size : sizeof full);
    return true;
}

uint32_t mov_track_media_type(const vrc_mp4_demuxer_t *ctx, uint32_t slot)
{
    if (ctx->private_mode) return ctx->track_meta[slot].media_type;
    const uint32_t kind = ctx->tracks[slot].handler_kind;
    return kind == 0 ? VRC_MEDIA_VIDEO : kind == 1 ? VRC_MEDIA_AUDIO : VRC_MP4_MEDIA_OTHER;
}

// Samples of the track: those of the table it filled.
uint32_t mov_track_samples(const vrc_mp4_demuxer_t *ctx, uint32_t slot)
{
    for (uint32_t k = MOV_TABLE_VIDEO; k <= MOV_TABLE_AUDIO; ++k) {
        const uint32_t count = mov_entry_count(ctx, k);
        if (count && mov_entry(ctx, k, 0).info.track_id == slot) return count;
    }
    return 0;
}

vrc_mp4_track_t mov_describe_track(const vrc_mp4_demuxer_t *ctx, uint32_t slot)
{
    vrc_mp4_track_t t{};
    t.media_type = mov_track_media_type(ctx, slot);
    t.timescale = mov_demuxer_timescale(ctx, slot);
    t.samples = mov_track_samples(ctx, slot);
    t.descriptions = mov_demuxer_description_count(ctx, slot);
    if (const MovSampleDescription *first = mov_demuxer_description(ctx, slot, 0)) {
        t.codec_id = first->codec_id;
        t.width = first->width;
        t.height = first->height;
        t.channels = first->channels;
        t.sample_rate = first->sample_rate;
    } else if (ctx->private_mode) {  // a recording without moov: its mr00 entry
        const mov_track_meta_t &meta = ctx->track_meta[slot];
        t.codec_id = meta.codec_id;
        t.width = meta.media_type == VRC_MEDIA_VIDEO ? meta.u.video.width : 0;
        t.height = meta.media_type == VRC_MEDIA_VIDEO ? meta.u.video.height : 0;
        t.channels = meta.media_type == VRC_MEDIA_AUDIO ? meta.u.audio.channels : 0;
        t.sample_rate = meta.media_type == VRC_MEDIA_AUDIO ? meta.u.audio.sample_rate : 0;
    }
    MovPresentation p{};
    if (mov_demuxer_presentation(ctx, slot, &p)) t.edits = p.count;
    t.movie_timescale = ctx->mvhd.timescale;
    return t;
}

}  // namespace

extern "C" VRC_API vrc_mp4_reader_t *vrc_mp4_reader_open(const char *path)
{
    vrc_mp4_demuxer_t *ctx = path ? vrc_mp4_demuxer_new(0, path) : nullptr;
    if (!ctx) return nullptr;
    vrc_mp4_demuxer_read_header(ctx);
    auto *reader = static_cast<vrc_mp4_reader_t *>(vrc_calloc(1, sizeof(vrc_mp4_reader_t)));
    const bool empty = mov_entry_count(ctx, MOV_TABLE_VIDEO) == 0 && mov_entry_count(ctx, MOV_TABLE_AUDIO) == 0;
    if (!reader || (empty && !ctx->private_mode)) {
        vrc_free(reader);
        vrc_mp4_demuxer_free(ctx);
        return nullptr;
    }
    reader->ctx = ctx;
    return reader;
}

extern "C" VRC_API void vrc_mp4_reader_close(vrc_mp4_reader_t *reader)
{
    if (!reader) return;
    vrc_mp4_demuxer_free(reader->ctx);
    vrc_free(reader);
}

extern "C" VRC_API int vrc_mp4_reader_track_count(const vrc_mp4_reader_t *reader)
{
    if (!reader) return -1;
    return static_cast<int>(mov_demuxer_track_count(reader->ctx));
}

extern "C" VRC_API int vrc_mp4_reader_track(const vrc_mp4_reader_t *reader, uint32_t track, vrc_mp4_track_t *out)
{
    if (!reader || static_cast<int64_t>(track) >= vrc_mp4_reader_track_count(reader)) return -1;
    return mov_fill_sized(out, mov_describe_track(reader->ctx, track)) ? 0 : -1;
}

extern "C" VRC_API int vrc_mp4_reader_edit(const vrc_mp4_reader_t *reader, uint32_t track, uint32_t index,
                                           vrc_mp4_edit_t *out)
{
    MovPresentation p{};
    if (!reader || !mov_demuxer_presentation(reader->ctx, track, &p) || index >= p.count) return -1;
    vrc_mp4_edit_t e{};
    e.duration = p.edits[index].duration;
    e.media_time = p.edits[index].media_time;
    return mov_fill_sized(out, e) ? 0 : -1;
}

extern "C" VRC_API int vrc_mp4_reader_read(vrc_mp4_reader_t *reader, uint8_t *buf, uint32_t buf_size,
                                           vrc_mp4_sample_t *out)
{
    if (!reader || !buf || !out || out->size < sizeof out->size) return -1;
    vrc_mp4_demuxer_t *ctx = reader->ctx;
    const uint32_t video_index = ctx->video_index, audio_index = ctx->audio_index;
    vrc_media_packet_t pkt{};
    uint32_t needed = 0;
    const int rc =
        mov_demuxer_read_frame(ctx, &pkt, buf, buf_size > INT_MAX ? INT_MAX : static_cast<int>(buf_size), &needed);
    vrc_mp4_sample_t s{};
    if (needed) {
        // Table mode has moved on: the sample comes again.
        ctx->video_index = video_index;
        ctx->audio_index = audio_index;
        s.bytes = needed;
        mov_fill_sized(out, s);
        return VRC_MP4_READER_SHORT;
    }
    if (rc != 0) return VRC_MP4_READER_END;
    const MovSampleTime *time = mov_demuxer_sample_time(ctx);
    s.track = pkt.track_id;
    s.decode_time = time->decode_time;
    s.composition_offset = time->composition_offset;
    s.duration = time->duration;
    s.description = time->description;
    // Every sound frame decodes on its own: sound tracks list no key frames.
    s.key_frame = pkt.key_frame || pkt.media_type == VRC_MEDIA_AUDIO;
    s.bytes = pkt.size;
    mov_fill_sized(out, s);
    return 0;
}
