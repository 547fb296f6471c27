// The pipeline's view of what the header walk and the last read learned
// beyond the public context (vrc_mp4_demuxer_samples.h).
#include "vrc_mp4_demuxer_samples.h"

#include "vrc_mp4_demuxer_internal.h"

namespace vrc {

namespace {

// The state of a track in slot; null without the state or the track.
const MovTrackState *mov_track_state(const vrc_mp4_demuxer_t *ctx, uint32_t slot)
{
    const MovDemuxer *d = mov_demuxer_of(ctx);
    if (!d || slot >= mov_demuxer_track_count(ctx)) return nullptr;
    return &d->tracks[slot];
}

}  // namespace

uint32_t mov_demuxer_track_count(const vrc_mp4_demuxer_t *ctx)
{
    const bool records_only = ctx->private_mode && ctx->box_info.nr_tracks == 0;
    const uint32_t n = records_only ? ctx->nr_track_meta : ctx->box_info.nr_tracks;
    return n < MOV_MAX_TRACKS ? n : MOV_MAX_TRACKS;
}

const MovSampleTime *mov_demuxer_sample_time(const vrc_mp4_demuxer_t *ctx)
{
    const MovDemuxer *d = mov_demuxer_of(ctx);
    return d && d->has_delivered ? &d->delivered : nullptr;
}

bool mov_demuxer_presentation(const vrc_mp4_demuxer_t *ctx, uint32_t slot, MovPresentation *out)
{
    const MovTrackState *t = mov_track_state(ctx, slot);
    if (!t || t->presentation.count == 0 || !out) return false;
    *out = t->presentation;
    out->movie_timescale = ctx->mvhd.timescale;
    return true;
}

uint32_t mov_demuxer_timescale(const vrc_mp4_demuxer_t *ctx, uint32_t slot)
{
    if (!mov_track_state(ctx, slot)) return 0;
    return ctx->private_mode ? 1000 : ctx->tracks[slot].mdhd.timescale;
}

uint32_t mov_demuxer_read_track(const vrc_mp4_demuxer_t *ctx, uint32_t kind)
{
    const MovDemuxer *d = mov_demuxer_of(ctx);
    if (!d || kind > 1 || d->table_owner[kind] == 0) return MOV_MAX_TRACKS;
    return d->table_owner[kind] - 1;
}

uint32_t mov_demuxer_unread_track(const vrc_mp4_demuxer_t *ctx, uint32_t kind)
{
    if (ctx->private_mode || mov_demuxer_read_track(ctx, kind) < MOV_MAX_TRACKS) return MOV_MAX_TRACKS;
    for (uint32_t t = 0; t < mov_demuxer_track_count(ctx); ++t)
        if (ctx->tracks[t].handler_kind == kind && ctx->tracks[t].sample_entry_type != 0) return t;
    return MOV_MAX_TRACKS;
}

bool mov_demuxer_next_from(const vrc_mp4_demuxer_t *ctx, uint32_t kind)
{
    if (!mov_demuxer_of(ctx) || ctx->private_mode) return false;
    const bool audio = mov_next_is_audio(ctx);
    if (kind == VRC_MEDIA_AUDIO) return audio;
    return !audio && ctx->video_index < mov_entry_count(ctx, MOV_TABLE_VIDEO);
}

uint32_t mov_demuxer_description_count(const vrc_mp4_demuxer_t *ctx, uint32_t slot)
{
    const MovTrackState *t = mov_track_state(ctx, slot);
    if (!t) return 0;
    return t->nr_descriptions < MOV_MAX_DESCRIPTIONS ? t->nr_descriptions : MOV_MAX_DESCRIPTIONS;
}

const MovSampleDescription *mov_demuxer_description(const vrc_mp4_demuxer_t *ctx, uint32_t slot, uint32_t index)
{
    if (index >= mov_demuxer_description_count(ctx, slot)) return nullptr;
    return &mov_demuxer_of(ctx)->tracks[slot].descriptions[index];
}

}  // namespace vrc
